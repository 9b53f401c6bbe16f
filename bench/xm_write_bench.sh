#!/usr/bin/env bash
# Where the time of a sample-heavy XM -> BMX conversion goes: kestrix against `cp` of the song it
# writes, and against the same bytes written the way kestrix writes a song (a new scratch file
# beside the output, then renamed: `dd` then `mv`). Each round runs hyperfine over the three
# commands (RUNS runs each); before every timed run the outputs are removed, and each command
# fails when it wrote nothing. Prints the median over the rounds of each round's ratios.
#
#   bench/xm_write_bench.sh build/release/kestrix [ROUNDS] [RUNS] [SIZE_MB]
set -euo pipefail
kestrix=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
rounds=${2:-5}
runs=${3:-5}
size_mb=${4:-100}
here=$(cd "$(dirname "$0")" && pwd)
for tool in hyperfine python3 dd; do
    command -v $tool >/dev/null || { echo "needs $tool"; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$here/../data/machines.ini" .
python3 "$here/make_big_xm.py" big.xm "$size_mb" 8 >/dev/null
"$kestrix" -q -y big.xm big.bmx >/dev/null
cat >kx.sh <<EOF
#!/bin/sh
"$kestrix" -q -y big.xm out.bmx >/dev/null && test -s out.bmx
EOF
cat >cp.sh <<'EOF'
#!/bin/sh
cp big.bmx copy.bmx && test -s copy.bmx
EOF
cat >ddmv.sh <<'EOF'
#!/bin/sh
dd if=big.bmx of=scratch.$$ bs=1M 2>/dev/null && mv scratch.$$ ddmv.bmx && test -s ddmv.bmx
EOF
chmod +x kx.sh cp.sh ddmv.sh
: >ratios.txt
for ((k = 0; k < rounds; ++k)); do
    hyperfine -N --warmup 1 --runs "$runs" --export-json round.json \
        --prepare 'rm -f out.bmx copy.bmx ddmv.bmx' ./kx.sh ./cp.sh ./ddmv.sh >/dev/null 2>&1
    python3 - >>ratios.txt <<'EOF'
import json
m = [r['median'] for r in json.load(open('round.json'))['results']]
print('%.4f %.4f %.4f' % (m[0] / m[1], m[2] / m[1], m[0] / m[2]))
EOF
done
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "${size_mb} MiB sample-heavy XM -> BMX, song $(stat -c %s big.bmx) bytes, median of $rounds rounds:"
echo "  kestrix / cp:        $(cut -d' ' -f1 ratios.txt | median)"
echo "  dd + mv / cp:        $(cut -d' ' -f2 ratios.txt | median)"
echo "  kestrix / (dd + mv): $(cut -d' ' -f3 ratios.txt | median)"
