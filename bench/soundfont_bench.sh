#!/usr/bin/env bash
# Times a MIDI conversion whose waves come from a large SoundFont (FluidR3_GM.sf2, about 140 MB,
# Debian package fluid-soundfont-gm) against the same conversion with its waves from XI files (the
# set `kestrix --export-xi` made of that SoundFont), by program (dopchange=1), into a BMX song.
# hyperfine runs the two commands alternately; each run removes the song before and checks it was
# written after (-y). The two songs are the same bytes but for the XI folder the wave table names.
# Prints hyperfine's table and the ratio of the medians. Run by hand from the repository:
#   bench/soundfont_bench.sh [RUNS] [MIDI]   (BUILD=build/dev for an existing build; MIDI: a file
#                                             of the corpus by default)
set -euo pipefail
runs=${1:-15}
repo=$(cd "$(dirname "$0")/.." && pwd)
midi=${2:-$repo/../shared/corpus/midi/kobodeluxe-trance1.mid}
bank=${BANK:-/usr/share/sounds/sf2/FluidR3_GM.sf2}
build=${BUILD:-$repo/build/release}
case $build in /*) ;; *) build=$repo/$build ;; esac
[ -f "$bank" ] || { echo "needs $bank (apt-get install fluid-soundfont-gm)"; exit 2; }
[ -f "$midi" ] || { echo "no MIDI file $midi"; exit 2; }
command -v hyperfine >/dev/null || { echo "needs hyperfine (apt-get install hyperfine)"; exit 2; }
if [ -z "${BUILD:-}" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target kestrix >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$repo/data/machines.ini" "$midi" "$work/"
song=$(basename "$midi")
cd "$work"
k="$build/kestrix"
"$k" -q --export-xi "$bank" xi
mkdir empty
xi="$k -q -y --set dopchange=1 --set xi_dir=xi/ --soundfont none $song xi.bmx && test -s xi.bmx"
sf="$k -q -y --set dopchange=1 --set xi_dir=empty/ --soundfont $bank $song sf.bmx && test -s sf.bmx && test ! -e empty/gmp_01.xi"
hyperfine -w 2 -r "$runs" --export-json times.json --prepare 'rm -f xi.bmx sf.bmx' -n xi "$xi" -n soundfont "$sf"
python3 - <<'PY'
import json
r = {x["command"]: x["median"] for x in json.load(open("times.json"))["results"]}
print("median: SoundFont %.4f s, XI files %.4f s, ratio %.2f" % (r["soundfont"], r["xi"], r["soundfont"] / r["xi"]))
PY
