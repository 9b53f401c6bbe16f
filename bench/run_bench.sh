#!/usr/bin/env bash
# Times the conversion of a ~100 MB sample-heavy XM module into a BMX song with the console
# edition `kestrix`, beside a plain `cp` of the song it produced, and write_song alone beside a
# copy. Several runs each, medians printed. Run by hand from the repository:
#   bench/run_bench.sh [SIZE_MB] [RUNS]
set -euo pipefail
size_mb=${1:-100}
runs=${2:-5}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build/release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kestrix kestrix_core >/dev/null
g++ -std=c++20 -O2 -I"$repo/src" "$repo/bench/write_song_bench.cpp" "$build/libkestrix_core.a" \
    -o "$work/write_song_bench"
cp "$repo/data/machines.ini" "$work/"
cd "$work"

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
now() { date +%s.%N; }

echo "== write_song alone (${size_mb} MB of wave data)"
./write_song_bench "$size_mb" "$runs"

echo "== whole conversion with kestrix (${size_mb} MB of samples)"
python3 "$repo/bench/make_big_xm.py" big.xm "$size_mb" 8
conv=() copy=()
for ((r = 1; r <= runs; r++)); do
    rm -f big.bmx copy.bmx
    t0=$(now); "$build/kestrix" big.xm big.bmx >/dev/null 2>conv.log || { cat conv.log; exit 1; }
    t1=$(now); cp big.bmx copy.bmx; t2=$(now)
    c=$(echo "$t1 - $t0" | bc); k=$(echo "$t2 - $t1" | bc)
    conv+=("$c"); copy+=("$k")
    echo "run $r: kestrix $c s, cp $k s ($(stat -c %s big.bmx) bytes)"
done
mc=$(printf '%s\n' "${conv[@]}" | median)
mk=$(printf '%s\n' "${copy[@]}" | median)
echo "median: kestrix $mc s, cp $mk s, ratio $(echo "scale=2; $mc / $mk" | bc)"
