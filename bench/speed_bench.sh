#!/usr/bin/env bash
# Conversion speed and memory of one kestrix binary, each measurement paired with a reference
# command on the same input and run alternately, so that a busy machine slows both alike:
#
#   (a) a sample-heavy XM (SIZE_MB of 16-bit samples) converted into a BMX, against `cp` of the
#       song it produces; peak memory of the conversion;
#   (b) a pattern-heavy XM (112 patterns x 256 rows x 32 channels, every cell dense) converted
#       in each split mode, against `openmpt123 --info` of the same file; peak memory per mode.
#
# Each round runs hyperfine over both commands (RUNS runs each); the ratio of a round is the
# ratio of its two medians, and the figure quoted is the median of the rounds' ratios.
#
#   bench/speed_bench.sh build/release/kestrix [ROUNDS] [RUNS] [SIZE_MB]
set -euo pipefail
kestrix=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
rounds=${2:-7}
runs=${3:-3}
size_mb=${4:-100}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }

# One pairing: prints "ratio median_a median_b" (seconds) of a round.
pair() {
    hyperfine -N --warmup 1 --runs "$runs" --export-json round.json "$1" "$2" >/dev/null 2>&1
    python3 - <<'EOF'
import json
r = json.load(open('round.json'))['results']
a, b = r[0]['median'], r[1]['median']
print('%.4f %.4f %.4f' % (a / b, a, b))
EOF
}

# Median ratio (and the medians of both commands' medians) over the rounds.
compare() {
    local a="$1" b="$2" ratios=() ta=() tb=()
    for ((k = 0; k < rounds; ++k)); do
        read -r ratio x y < <(pair "$a" "$b")
        ratios+=("$ratio"); ta+=("$x"); tb+=("$y")
    done
    printf '%s %s %s\n' "$(printf '%s\n' "${ratios[@]}" | median)" \
        "$(printf '%s\n' "${ta[@]}" | median)" "$(printf '%s\n' "${tb[@]}" | median)"
}

echo "== (a) ${size_mb} MiB sample-heavy XM -> BMX, against cp of the song"
python3 "$here/make_big_xm.py" big.xm "$size_mb" 8 >/dev/null
"$kestrix" -q -y big.xm big.bmx
read -r ratio tk tc < <(compare "$kestrix -q -y big.xm out.bmx" "cp big.bmx copy.bmx")
echo "median ratio ${ratio}x  (kestrix ${tk} s, cp ${tc} s, song $(stat -c %s big.bmx) bytes)"
echo "peak memory: $(peak_kib "$kestrix" -q -y big.xm out.bmx) KiB"

echo "== (b) pattern-heavy XM (112 x 256 rows x 32 channels), against openmpt123 --info"
python3 "$here/make_pattern_xm.py" pat.xm >/dev/null
for split in 0 1 2; do
    cmd="$kestrix -q -y --set dotsplit=$split pat.xm pat$split.bmx"
    read -r ratio tk to < <(compare "$cmd" "openmpt123 --info pat.xm")
    echo "split $split: median ratio ${ratio}x  (kestrix ${tk} s, openmpt123 ${to} s)," \
         "peak memory $(peak_kib $cmd) KiB"
done
