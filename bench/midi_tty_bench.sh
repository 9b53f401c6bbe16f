#!/usr/bin/env bash
# Times the native conversion of a large Standard MIDI File (bench/make_big_midi.py) with the
# console edition on a pseudo-terminal (`script -qc`, so that stderr is a terminal and the
# progress bar runs) against the same command with stderr redirected, and `midicsv` of the same
# file beside them. All commands run alternately, RUNS times each; each kestrix run must have
# rewritten its song (-y, the song is removed before the run and checked after it). Prints the
# median wall-clock times and the ratios terminal/redirected and kestrix/midicsv. With OLD set to
# another kestrix binary, that one runs in the same rounds, for a before/after comparison.
#   bench/midi_tty_bench.sh [RUNS]      (BUILD=build/release, OLD=path/to/kestrix)
set -euo pipefail
runs=${1:-9}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$repo/build/release}
case $build in /*) ;; *) build=$repo/$build ;; esac
new=$build/kestrix
old=${OLD:-}
[ -z "$old" ] || old=$(cd "$(dirname "$old")" && pwd)/$(basename "$old")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for tool in midicsv python3 script; do
    command -v $tool >/dev/null || { echo "needs $tool"; exit 2; }
done
[ -x "$new" ] || { echo "no $new (cmake --build $build --target kestrix)"; exit 2; }
cp "$repo/data/machines.ini" "$work/"
cd "$work"
python3 "$repo/bench/make_big_midi.py" big.mid >/dev/null

now() { date +%s.%N; }
# run NAME CMD: one timed run of a shell command line, its wall time appended to NAME.txt; a
# kestrix run must have written big.bmx anew.
run() {
    local name=$1 cmd=$2 t0 t1
    rm -f big.bmx
    t0=$(now)
    script -qec "$cmd" /dev/null >/dev/null
    t1=$(now)
    case $cmd in *kestrix*) [ -s big.bmx ] || { echo "$name wrote no song"; exit 1; } ;; esac
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", b - a }' >>"$name.txt"
}
names="tty redirected midicsv"
[ -z "$old" ] || names="$names old_tty old_redirected"
for n in $names; do : >"$n.txt"; done
for _ in $(seq "$runs"); do
    run tty "$new -q -y big.mid big.bmx"
    run redirected "$new -q -y big.mid big.bmx 2>/dev/null"
    run midicsv "midicsv big.mid big.csv"
    if [ -n "$old" ]; then
        run old_tty "$old -q -y big.mid big.bmx"
        run old_redirected "$old -q -y big.mid big.bmx 2>/dev/null"
    fi
done
median() { sort -g "$1.txt" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$(median "$1")" -v b="$(median "$2")" 'BEGIN { printf "%.3f", a / b }'; }
for n in $names; do echo "median wall $n: $(median "$n") s"; done
echo "terminal / redirected: $(ratio tty redirected)"
echo "kestrix (redirected) / midicsv: $(ratio redirected midicsv)"
if [ -n "$old" ]; then
    echo "old terminal / redirected: $(ratio old_tty old_redirected)"
    echo "old kestrix (redirected) / midicsv: $(ratio old_redirected midicsv)"
    echo "new / old, redirected: $(ratio redirected old_redirected); on a terminal: $(ratio tty old_tty)"
fi
