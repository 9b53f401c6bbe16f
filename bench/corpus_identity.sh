#!/usr/bin/env bash
# Converts every module and XI instrument of the corpus with one kestrix binary, in every split
# mode (dotsplit 0-2) and wave mode (dowave 0-2), plus a generator target, and records a SHA-256
# of every song and exported XI file. Two runs (before and after a change) compare with diff:
#
#   bench/corpus_identity.sh build/old/kestrix /tmp/old
#   bench/corpus_identity.sh build/new/kestrix /tmp/new
#   diff /tmp/old/SHA256SUMS /tmp/new/SHA256SUMS && echo identical
#
# CORPUS names the corpus folder (default ../shared/corpus beside the repository).
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
kestrix="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
out="$2"
corpus="${CORPUS:-$here/../shared/corpus}"
[ -x "$kestrix" ] || { echo "no program $1" >&2; exit 2; }
[ -d "$corpus" ] || { echo "no corpus at $corpus" >&2; exit 2; }
rm -rf "$out"; mkdir -p "$out"
out="$(cd "$out" && pwd)"
inputs=$(find "$corpus" -type f \( -name '*.xm' -o -name '*.mod' -o -name '*.s3m' -o -name '*.it' -o -name '*.xi' \) | sort)
for f in $inputs; do
  base=$(basename "$f"); base=${base%.*}
  for split in 0 1 2; do
    for wave in 0 1 2; do
      for target in 0 1; do
        [ $target -eq 1 ] && [ $wave -ne 0 ] && continue
        tag="$base-s$split-w$wave-t$target"
        dir="$out/$tag"; mkdir -p "$dir/xi"
        ext=bmx; [ $wave -eq 1 ] && ext=bmw
        (cd "$dir" && "$kestrix" -q --set dotsplit=$split --set dowave=$wave --set dopfun=$target \
            --set xi_dir=xi/ "$f" "song.$ext" >/dev/null 2>"$dir/stderr"; echo "exit $?" > "$dir/status")
      done
    done
  done
done
(cd "$out" && find . -type f ! -name stderr ! -name SHA256SUMS | sort | xargs sha256sum > SHA256SUMS)
echo "$(grep -c . "$out/SHA256SUMS") files hashed in $out"
