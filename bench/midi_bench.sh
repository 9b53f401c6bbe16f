#!/usr/bin/env bash
# Times the native conversion of a large Standard MIDI File (about 4 MB, 690000 notes on 16
# tracks, bench/make_big_midi.py) into a BMX song with the console edition `kestrix`, beside
# `midicsv` of the same file (Debian package midicsv), alternating in one hyperfine run; prints
# the median times, their ratio, and each command's peak memory (/usr/bin/time -v). The
# conversion reads the file three times and writes the song. Run by hand from the repository:
#   bench/midi_bench.sh [RUNS]
set -euo pipefail
runs=${1:-10}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build/release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in hyperfine midicsv python3 jq; do
    command -v $tool >/dev/null || { echo "needs $tool"; exit 2; }
done
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kestrix >/dev/null
cp "$repo/data/machines.ini" "$work/"
cd "$work"
python3 "$repo/bench/make_big_midi.py" big.mid

convert="$build/kestrix -q big.mid big.bmx"
list="midicsv big.mid big.csv"
hyperfine -N --warmup 1 --runs "$runs" --export-json times.json "$convert" "$list" >/dev/null
median() { jq -r ".results[$1].median" times.json; }
mc=$(median 0)
ml=$(median 1)
echo "median: kestrix $mc s, midicsv $ml s, ratio $(echo "scale=2; $mc / $ml" | bc)"
peak() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'; }
echo "peak memory: kestrix $(peak $convert) KiB, midicsv $(peak $list) KiB"
echo "song: $(stat -c %s big.bmx) bytes"
