#!/usr/bin/env bash
# Whether a long song costs what its length says: a MIDI song of SHORT patterns (100 by default)
# and one of LONG patterns (2000 by default), of 64 rows each, equally dense (bench/make_big_midi.py:
# 4 note tracks, 2 notes a row, every pattern of its own), converted natively into BMX songs with
# the console edition `kestrix`. Each round runs hyperfine over both conversions (RUNS runs each);
# a round's figure is the time per pattern of the long song over that of the short one, the
# figure quoted the median of the rounds' figures (1.00: a pattern costs the same in both).
# Every timed run writes its song anew (-y; the songs are removed before each run and must exist
# after it); the last songs are listed to show that every pattern is in them.
#
#   bench/long_midi_bench.sh [ROUNDS] [RUNS] [SHORT] [LONG]
#   (BUILD=build/dev to use an existing build instead of building build/release)
set -euo pipefail
rounds=${1:-5}
runs=${2:-5}
short=${3:-100}
long=${4:-2000}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$repo/build/release}
case $build in /*) ;; *) build=$repo/$build ;; esac
command -v hyperfine >/dev/null || { echo "needs hyperfine (apt-get install hyperfine)"; exit 2; }
if [ -z "${BUILD:-}" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target kestrix >/dev/null
fi
kx=$build/kestrix
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$repo/data/machines.ini" "$work/"
cd "$work"
python3 "$repo/bench/make_big_midi.py" short.mid 2 4 "$short"
python3 "$repo/bench/make_big_midi.py" long.mid 2 4 "$long"

figures=()
for r in $(seq "$rounds"); do
    hyperfine -N --style none --warmup 1 --runs "$runs" --prepare 'rm -f short.bmx' --prepare 'rm -f long.bmx' --export-json round.json \
        -n short "$kx -q -y short.mid short.bmx" -n long "$kx -q -y long.mid long.bmx" >/dev/null
    [ -s short.bmx ] && [ -s long.bmx ] || { echo "round $r: a run wrote no song"; exit 1; }
    read -r figure ts tl < <(python3 - "$short" "$long" <<'EOF'
import json, sys
short, long = int(sys.argv[1]), int(sys.argv[2])
r = {x['command']: x['median'] for x in json.load(open('round.json'))['results']}
print('%.3f %.4f %.4f' % ((r['long'] / long) / (r['short'] / short), r['short'], r['long']))
EOF
)
    figures+=("$figure")
    echo "round $r: median $ts s for $short patterns, $tl s for $long; per pattern long / short $figure"
done
median=$(printf '%s\n' "${figures[@]}" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
echo "time per pattern, $long patterns over $short: median $median"
for s in short long; do
    "$kx" --list --json $s.bmx | python3 -c "
import json, sys
f = json.load(sys.stdin)
print('$s.bmx: %d rows, patterns %s' % (f['sequence_length'], ' '.join(str(m['patterns']) for m in f['machines'])))"
done
