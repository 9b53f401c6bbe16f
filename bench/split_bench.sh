#!/usr/bin/env bash
# Split modes of the pattern-heavy XM (bench/make_pattern_xm.py: 112 patterns x 256 rows x 32
# channels, every cell dense) against `openmpt123 --info` of the same file. The commands run
# alternately, RUNS rounds, under /usr/bin/time; every kestrix run must have rewritten its song
# (removed before, checked after, -y). Prints per command the median wall and CPU (user + system)
# time, the largest peak memory, and the median ratios to openmpt123. With OLD set to another
# kestrix binary, its split by instrument runs in the same rounds (before/after).
#   bench/split_bench.sh path/to/kestrix [RUNS]        (OLD=path/to/old/kestrix)
set -euo pipefail
kestrix=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=${2:-7}
old=${OLD:-}
[ -z "$old" ] || old=$(cd "$(dirname "$old")" && pwd)/$(basename "$old")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for tool in openmpt123 python3; do command -v $tool >/dev/null || { echo "needs $tool"; exit 2; }; done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)"; exit 2; }
cp "$(dirname "$kestrix")/machines.ini" "$work/" 2>/dev/null || cp "$here/../data/machines.ini" "$work/"
cd "$work"
python3 "$here/make_pattern_xm.py" pat.xm >/dev/null

# run NAME CMD...: "wall cpu peak_kib" appended to NAME.txt; a kestrix run must write out.bmx.
run() {
    local name=$1
    shift
    rm -f out.bmx
    /usr/bin/time -f '%e %U %S %M' -o t.txt "$@" >/dev/null 2>&1
    case $1 in *kestrix*) [ -s out.bmx ] || { echo "$name wrote no song"; exit 1; } ;; esac
    awk '{ printf "%s %.3f %s\n", $1, $2 + $3, $4 }' t.txt >>"$name.txt"
}
names="split0 split1 split2 openmpt"
[ -z "$old" ] || names="$names old_split2"
for n in $names; do : >"$n.txt"; done
for _ in $(seq "$runs"); do
    for s in 0 1 2; do run split$s "$kestrix" -q -y --set dotsplit=$s pat.xm out.bmx; done
    run openmpt openmpt123 --info pat.xm
    [ -z "$old" ] || run old_split2 "$old" -q -y --set dotsplit=2 pat.xm out.bmx
done
median() { cut -d' ' -f"$2" "$1.txt" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
for n in $names; do
    w=$(median "$n" 1) c=$(median "$n" 2)
    echo "$n: median wall $w s, cpu $c s, peak $(cut -d' ' -f3 "$n.txt" | sort -g | tail -1) KiB," \
        "ratio to openmpt123 wall $(awk -v a="$w" -v b="$(median openmpt 1)" 'BEGIN { printf "%.2f", a / b }')" \
        "cpu $(awk -v a="$c" -v b="$(median openmpt 2)" 'BEGIN { printf "%.2f", a / b }')"
done
