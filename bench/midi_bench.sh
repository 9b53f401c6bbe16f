#!/usr/bin/env bash
# Times the native conversion of a large Standard MIDI File (about 4 MB, 690000 notes on 16
# tracks, bench/make_big_midi.py) into a BMX song with the console edition `kestrix`, beside
# `midicsv` of the same file (Debian package midicsv). The two commands run alternately, RUNS
# times each, under /usr/bin/time; the script prints the median wall-clock and CPU (user +
# system) times, their ratios, and each command's largest peak memory. The conversion decodes the
# file once, runs its three passes over the decoded events and writes the song; each run must
# have written it anew (-y; the song is removed before the run and checked after it). Run by hand
# from the repository:
#   bench/midi_bench.sh [RUNS]            (BUILD=build/dev to use an existing build; INSTR=0: no
#                                         instruction counts; OLD=path/to/kestrix: that one
#                                         too, in the same rounds, for a before/after comparison)
set -euo pipefail
runs=${1:-9}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$repo/build/release}
case $build in /*) ;; *) build=$repo/$build ;; esac
old=${OLD:-}
[ -z "$old" ] || old=$(cd "$(dirname "$old")" && pwd)/$(basename "$old")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in midicsv python3; do
    command -v $tool >/dev/null || { echo "needs $tool (apt-get install $tool)"; exit 2; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)"; exit 2; }
if [ -z "${BUILD:-}" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target kestrix >/dev/null
fi
cp "$repo/data/machines.ini" "$work/"
cd "$work"
python3 "$repo/bench/make_big_midi.py" big.mid

# One run: "wall cpu peak_kib" appended to FILE.
measure() {
    local out=$1
    shift
    /usr/bin/time -f '%e %U %S %M' -o t.txt "$@" >/dev/null 2>&1
    awk '{ printf "%s %.3f %s\n", $1, $2 + $3, $4 }' t.txt >>"$out"
}
: >kestrix.txt
: >midicsv.txt
: >old.txt
"$build/kestrix" -q -y big.mid big.bmx >/dev/null 2>&1 # warm-up
for _ in $(seq "$runs"); do
    rm -f big.bmx big.csv
    measure kestrix.txt "$build/kestrix" -q -y big.mid big.bmx
    measure midicsv.txt midicsv big.mid big.csv
    [ -s big.bmx ] && [ -s big.csv ] || { echo "a run wrote no output"; exit 1; }
    if [ -n "$old" ]; then
        rm -f big.bmx
        measure old.txt "$old" -q -y big.mid big.bmx
        [ -s big.bmx ] || { echo "the old kestrix wrote no song"; exit 1; }
    fi
done
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
col() { cut -d' ' -f"$2" "$1" | median; }
kw=$(col kestrix.txt 1) kc=$(col kestrix.txt 2) mw=$(col midicsv.txt 1) mc=$(col midicsv.txt 2)
echo "median wall: kestrix $kw s, midicsv $mw s, ratio $(awk -v a="$kw" -v b="$mw" 'BEGIN { printf "%.2f", a / b }')"
echo "median cpu:  kestrix $kc s, midicsv $mc s, ratio $(awk -v a="$kc" -v b="$mc" 'BEGIN { printf "%.2f", a / b }')"
peak() { cut -d' ' -f3 "$1" | sort -g | tail -1; }
echo "peak memory: kestrix $(peak kestrix.txt) KiB, midicsv $(peak midicsv.txt) KiB"
if [ -n "$old" ]; then
    ow=$(col old.txt 1) oc=$(col old.txt 2)
    echo "old kestrix: median wall $ow s (ratio to midicsv $(awk -v a="$ow" -v b="$mw" 'BEGIN { printf "%.2f", a / b }')), cpu $oc s, peak $(peak old.txt) KiB"
    echo "new / old: wall $(awk -v a="$kw" -v b="$ow" 'BEGIN { printf "%.3f", a / b }'), cpu $(awk -v a="$kc" -v b="$oc" 'BEGIN { printf "%.3f", a / b }')"
fi
echo "song: $(stat -c %s big.bmx) bytes"
# Instructions executed (valgrind's callgrind, one run each): unlike the times, the same on a busy
# machine. INSTR=0 skips it.
if [ "${INSTR:-1}" != 0 ] && command -v valgrind >/dev/null; then
    instr() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null | awk '/Collected/ { print $NF }'; }
    rm -f big.bmx
    ki=$(instr "$build/kestrix" -q -y big.mid big.bmx)
    [ -s big.bmx ] || { echo "kestrix wrote no song under valgrind"; exit 1; }
    mi=$(instr midicsv big.mid big.csv)
    echo "instructions: kestrix $ki, midicsv $mi, ratio $(awk -v a="$ki" -v b="$mi" 'BEGIN { printf "%.3f", a / b }')"
    if [ -n "$old" ]; then
        oi=$(instr "$old" -q -y big.mid big.bmx)
        echo "instructions: old kestrix $oi, ratio to midicsv $(awk -v a="$oi" -v b="$mi" 'BEGIN { printf "%.3f", a / b }')"
    fi
fi
