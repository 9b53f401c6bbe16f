#!/usr/bin/env bash
# Times the merge and transformation of large Buzz songs with the console edition `kestrix`
# beside `cp` of the song they produce: a transformation with every option off, --blow-up 2,
# --repeat 3, and a merge of two such songs. hyperfine runs each pair in one session (ROUNDS
# rounds, the two commands one after the other in each); the medians and their ratios are
# printed, then the peak memory of each job (maximum resident set size from /usr/bin/time -v).
# Every timed run rewrites its output (-y); the output's size is checked after each job.
# Run by hand from the repository:
#   bench/merge_bench.sh [SIZE_MB] [RUNS] [ROUNDS]
# KESTRIX=path times that program instead of building build/release (to compare two builds).
set -euo pipefail
size_mb=${1:-200}
runs=${2:-7}
rounds=${3:-3}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build/release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

command -v hyperfine >/dev/null || { echo "hyperfine is needed (apt-get install hyperfine)"; exit 2; }
if [ -n "${KESTRIX:-}" ]; then
  kx=$(cd "$(dirname "$KESTRIX")" && pwd)/$(basename "$KESTRIX")
else
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target kestrix >/dev/null
  kx=$build/kestrix
fi
cp "$repo/data/machines.ini" "$work/"
cd "$work"

python3 "$repo/bench/make_big_bmx.py" a.bmx "$size_mb" 1
python3 "$repo/bench/make_big_bmx.py" b.bmx "$size_mb" 2
echo "songs: a.bmx $(stat -c %s a.bmx) bytes, b.bmx $(stat -c %s b.bmx) bytes"

median() { python3 -c "import json,sys; r=json.load(open(sys.argv[1]))['results']; print(' '.join('%.4f' % x['median'] for x in r))" "$1"; }

compare() { # name, kestrix arguments, output
    local name=$1 args=$2 out=$3 ratios=()
    "$kx" -q -y $args >/dev/null                       # the output cp copies
    local size; size=$(stat -c %s "$out")
    [ "$size" -gt $((size_mb << 20)) ] || { echo "$name: $out is too small ($size bytes)"; exit 1; }
    for ((r = 1; r <= rounds; r++)); do
        touch -d '1 minute ago' marker
        # hyperfine stops at a run that fails (a refusal exits with 1): each run rewrote $out.
        hyperfine -N --style none --runs "$runs" --warmup 1 --export-json h.json \
            -n "$name" "$kx -q -y $args" -n cp "cp $out copy.bmx" >/dev/null || exit 1
        [ "$out" -nt marker ] || { echo "$name: $out was not rewritten"; exit 1; }
        read -r mk mc < <(median h.json)
        ratios+=("$(python3 -c "print('%.2f' % ($mk / $mc))")")
        echo "$name round $r: median kestrix $mk s, cp $mc s, ratio ${ratios[-1]}"
    done
    echo "$name: median ratio $(printf '%s\n' "${ratios[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')"
    /usr/bin/time -v "$kx" -q -y $args 2>time.txt >/dev/null
    echo "$name: peak memory $(awk -F: '/Maximum resident/ {gsub(/ /, "", $2); print $2}' time.txt) KiB"
}

compare transform "--merge a.bmx -o t.bmx" t.bmx
compare blow-up "--merge a.bmx -o t.bmx --blow-up 2" t.bmx
compare repeat "--merge a.bmx -o t.bmx --repeat 3" t.bmx
compare merge "--merge a.bmx b.bmx -o m.bmx" m.bmx
echo "output sizes: t.bmx $(stat -c %s t.bmx) bytes, m.bmx $(stat -c %s m.bmx) bytes"
