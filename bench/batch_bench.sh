#!/usr/bin/env bash
# Times every module of ../shared/corpus converted in one call of the console edition, -j = the
# cores, against a shell loop of one call per module. The two are run by turns (ROUNDS times
# each, so that the noise of a shared machine falls on both); every run starts from an empty
# output folder and must leave one song per module in it. Prints the median of each and their
# ratio, and what the ratio would be with every core busy all the time (1 / cores).
# Run by hand from the repository:
#   bench/batch_bench.sh [ROUNDS]
# KESTRIX=path times that program instead of building build/release.
set -euo pipefail
rounds=${1:-7}
repo=$(cd "$(dirname "$0")/.." && pwd)
corpus=$repo/../shared/corpus
build=$repo/build/release
[ -d "$corpus" ] || { echo "no corpus at $corpus"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "${KESTRIX:-}" ]; then
  kx=$(cd "$(dirname "$KESTRIX")" && pwd)/$(basename "$KESTRIX")
else
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target kestrix it2xm mod2xm >/dev/null
  kx=$build/kestrix
fi
cores=$(nproc)
cd "$work"
cp "$repo/data/machines.ini" .
mkdir in
for f in "$corpus"/xm/* "$corpus"/mod/* "$corpus"/s3m/* "$corpus"/it/*; do cp "$f" in/; done
modules=(in/*)
echo "${#modules[@]} modules, $(du -cb "${modules[@]}" | tail -1 | cut -f1) bytes, $cores cores"

check() { # the folder holds one song per module
  local n; n=$(find "$1" -name '*.bmx' | wc -l)
  [ "$n" -eq "${#modules[@]}" ] || { echo "$1 holds $n songs, not ${#modules[@]}"; exit 1; }
}
seconds() { # the wall time of a command
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  python3 -c "print('%.4f' % ($end - $start))"
}
batch() { "$kx" -q -j "$cores" -O out "${modules[@]}"; }
loop() { for m in "${modules[@]}"; do "$kx" -q -O out "$m"; done; }

b=() l=()
for ((r = 1; r <= rounds; r++)); do
  rm -rf out; b+=("$(seconds batch)"); check out
  rm -rf out; l+=("$(seconds loop)"); check out
  echo "round $r: batch ${b[-1]} s, loop ${l[-1]} s"
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mb=$(median "${b[@]}") ml=$(median "${l[@]}")
echo "median: batch $mb s, loop $ml s, ratio $(python3 -c "print('%.2f' % ($mb / $ml))") (1/cores = $(python3 -c "print('%.2f' % (1 / $cores))"))"
