#!/usr/bin/env bash
# Converts every module and XI instrument of the corpus with one kestrix binary, in every split
# mode (dotsplit 0-2) and wave mode (dowave 0-2), plus a generator target, and records a SHA-256
# of every song and exported XI file. Two runs (before and after a change) compare with diff:
#
#   bench/corpus_identity.sh build/old/kestrix /tmp/old
#   bench/corpus_identity.sh build/new/kestrix /tmp/new
#   diff /tmp/old/SHA256SUMS /tmp/new/SHA256SUMS && echo identical
#
# Besides the corpus files as they are, it converts:
#   - MOD files through mod2xm (domod_ext 1);
#   - every XM and MOD cut short at three places (inside the sample data, so that samples end
#     early), given by a relative name so that both runs' songs name the same input;
#   - every XM and MOD with the listing on (dolist 1, no -q): the log is hashed too.
# Then it merges and transforms the songs converted from the modules (one each) and the corpus's
# real Buzz songs with the merge options (--merge: alone, pairwise, with blow-up, repetition,
# scaling, wave shifting, a clone, tuning), each song in $out/merge-*.
# CORPUS names the corpus folder (default ../shared/corpus beside the repository). A program that
# writes its converters' XM files beside their input needs a writable copy of the corpus.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
kestrix="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
out="$2"
corpus="${CORPUS:-$here/../shared/corpus}"
[ -x "$kestrix" ] || { echo "no program $1" >&2; exit 2; }
[ -d "$corpus" ] || { echo "no corpus at $corpus" >&2; exit 2; }
rm -rf "$out"; mkdir -p "$out"
out="$(cd "$out" && pwd)"

# convert TAG INPUT EXT ARGS...: one conversion in its own folder $out/TAG.
convert() {
  local tag="$1" input="$2" ext="$3"; shift 3
  local dir="$out/$tag"
  mkdir -p "$dir/xi"
  [ -f "$input" ] && [ "${input#/}" = "$input" ] && cp "$input" "$dir/"
  (cd "$dir" && "$kestrix" -y "$@" --set xi_dir=xi/ "$input" "song.$ext" >/dev/null 2>"$dir/stderr"
   echo "exit $?" > "$dir/status")
}

inputs=$(find "$corpus" -type f \( -name '*.xm' -o -name '*.mod' -o -name '*.s3m' -o -name '*.it' -o -name '*.xi' \) | sort)
for f in $inputs; do
  name=$(basename "$f")
  # An XM beside a module of its name is a converter's output left there, not a corpus file.
  case "$name" in
    *.xm) stem="${f%.xm}"; [ -e "$stem.it" ] || [ -e "$stem.s3m" ] || [ -e "$stem.mod" ] && continue ;;
  esac
  for split in 0 1 2; do
    for wave in 0 1 2; do
      for target in 0 1; do
        [ $target -eq 1 ] && [ $wave -ne 0 ] && continue
        ext=bmx; [ $wave -eq 1 ] && ext=bmw
        convert "$name-s$split-w$wave-t$target" "$f" $ext -q --set dotsplit=$split \
            --set dowave=$wave --set dopfun=$target
      done
    done
  done
  case "$name" in
    *.mod) convert "$name-modext" "$f" bmx -q --set domod_ext=1 --set dowave=2 ;;
  esac
  case "$name" in
    *.xm|*.mod)
      convert "$name-listing" "$f" bmx --set dolist=1 --set dotsplit=1 --set dowave=2
      mv "$out/$name-listing/stderr" "$out/$name-listing/log"
      size=$(stat -c %s "$f")
      for cut in $((size * 7 / 10)) $((size * 97 / 100)) $((size - 1)); do
        cutname="cut$cut.${name##*.}"
        head -c "$cut" "$f" > "$out/$cutname"
        for split in 0 2; do
          for wave in 0 1 2; do
            ext=bmx; [ $wave -eq 1 ] && ext=bmw
            (cd "$out" && convert "$name-cut$cut-s$split-w$wave" "$cutname" $ext -q \
                --set dotsplit=$split --set dowave=$wave)
          done
        done
        rm -f "$out/$cutname"
      done ;;
  esac
done
# merge TAG ARGS...: one merge or transformation in $out/merge-TAG, its inputs from $out/songs.
merge() {
  local tag="$1"; shift
  local dir="$out/merge-$tag"
  mkdir -p "$dir"
  (cd "$out/songs" && "$kestrix" -y -q "$@" -o "$dir/out.bmx" >/dev/null 2>"$dir/stderr"
   echo "exit $?" > "$dir/status")
}
mkdir -p "$out/songs"
songs=()
for d in "$out"/*-s0-w0-t0; do
  [ -f "$d/song.bmx" ] || continue
  n=$(basename "$d" -s0-w0-t0); cp "$d/song.bmx" "$out/songs/$n.bmx"; songs+=("$n.bmx")
done
for f in "$corpus"/bmx/*.bmx; do [ -f "$f" ] && cp "$f" "$out/songs/" && songs+=("$(basename "$f")"); done
# The real songs' machines beside the shipped ones, so that every song is described.
cp "$(dirname "$kestrix")/machines.ini" "$out/songs/machines.ini" 2>/dev/null
[ -f "$corpus/bmx/machines.ini" ] && sed -n '/^; machines of the songs/,$p' "$corpus/bmx/machines.ini" >> "$out/songs/machines.ini"
for ((i = 0; i < ${#songs[@]}; i++)); do
  a=${songs[$i]}; b=${songs[$(((i + 1) % ${#songs[@]}))]}
  merge "$a-alone" --merge "$a"
  merge "$a-blow-repeat" --merge "$a" --blow-up 2 --repeat 3
  merge "$a-repeat" --merge "$a" --repeat 2
  merge "$a-clone" --merge "$a" --clone 1:primifun --clone-transpose 12 --scale
  merge "$a-tune" --merge "$a" --tune 1:1:8000
  merge "$a+$b" --merge "$a" "$b" --scale --shift-waves
  merge "$a+$b-blow" --merge "$a" "$b" --blow-up 3
done
rm -rf "$out/songs"
(cd "$out" && find . -type f ! -name stderr ! -name SHA256SUMS | sort | xargs sha256sum > SHA256SUMS)
echo "$(grep -c . "$out/SHA256SUMS") files hashed in $out"
