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
#   - every XM and MOD with the listing on (dolist 1, no -q): the log is hashed too;
#   - every MIDI file with waves by channel and by program, and the other MIDI settings;
#   - merges and transformations of songs it made (two songs, blow-up, repetition, clones, wave
#     tuning and ripping, the listing) and of the corpus's Buzz song.
# Then it also merges and transforms the songs converted from the modules (one each) and the corpus's
# real Buzz songs with the merge options (--merge: alone, pairwise, with blow-up, repetition,
# scaling, wave shifting, a clone, tuning), each song in $out/pairs-*.
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
# Standard MIDI Files: waves per channel (gmc_NN.xi) and per program (gmp_NN.xi, drums as one kit
# too), each slot linked to one of the corpus's XI instruments in turn; without waves, as BMW, on
# a generator, with note delays and the first note at the start, through easyxmid, and listed.
xis=($(find "$corpus/xi" -name '*.xi' | sort))
# midi TAG INPUT ARGS...: one MIDI conversion with the XI slots in place.
midi() {
  local tag="$1" input="$2"; shift 2
  local dir="$out/$tag" k=0 n
  mkdir -p "$dir/xi"
  for n in $(seq 0 255); do
    ln -f "${xis[$((n % ${#xis[@]}))]}" "$dir/xi/$(printf 'gmp_%02x.xi' "$n")"
    [ "$n" -ge 1 ] && [ "$n" -le 16 ] && ln -f "${xis[$((n % ${#xis[@]}))]}" "$dir/xi/$(printf 'gmc_%02x.xi' "$n")"
  done
  convert "$tag" "$input" "$@"
  rm -rf "$dir/xi"/gm[cp]_*.xi
}
[ ${#xis[@]} -gt 0 ] && for f in $(find "$corpus" -type f -name '*.mid' | sort); do
  name=$(basename "$f")
  for pchange in 0 1; do
    for wave in 0 1 2; do
      ext=bmx; [ $wave -eq 1 ] && ext=bmw
      midi "$name-p$pchange-w$wave" "$f" $ext -q --set dopchange=$pchange --set dowave=$wave
    done
  done
  midi "$name-kit" "$f" bmx -q --set dopchange=1 --set drkit=1 --set drfollow=1 --set dowave=2
  midi "$name-t1" "$f" bmx -q --set dopfun=1 --set dowave=0
  midi "$name-t8" "$f" bmx -q --set dopfun=8 --set dopchange=1 --set dowave=0
  midi "$name-timing" "$f" bmx -q --set use_notedels=1 --set do_firstnote0=1 --set midi_tpb=24 \
      --set midi_res=1.5 --set midi_scale=0.75 --set midi_shift=2 --set blines=32 --set dowave=2
  midi "$name-ext" "$f" bmx -q --set domidi_ext=1 --set dowave=0
  midi "$name-listing" "$f" bmx --set dolist=1 --set dopchange=1 --set dowave=2
  mv "$out/$name-listing/stderr" "$out/$name-listing/log"
done

# Merges and transformations of songs the program made from the corpus, and of the corpus's own
# Buzz song (with the machines.ini that describes it).
songs="$out/merge-inputs"
mkdir -p "$songs/xi"
first=$(find "$corpus" -name '*.xm' | sort | tail -1)
second=$(find "$corpus" -name '*.mod' | sort | head -1)
if [ -n "$first" ] && [ -n "$second" ]; then
  (cd "$songs" && "$kestrix" -q -y --set xi_dir=xi/ --set dotsplit=1 "$first" a.bmx &&
   "$kestrix" -q -y --set xi_dir=xi/ --set dotsplit=0 "$second" b.bmx &&
   "$kestrix" -q -y --set xi_dir=xi/ --set dowave=1 "$second" b.bmw) >/dev/null 2>&1
  # merge TAG ARGS...: one merge or transformation in its own folder $out/TAG, output m.bmx.
  merge() {
    local tag="$1"; shift
    local dir="$out/$tag"
    mkdir -p "$dir"
    cp "$songs"/*.bmx "$songs"/*.bmw "$dir/" 2>/dev/null
    [ -f "$corpus/bmx/buzztrax-buzz2.bmx" ] && cp "$corpus/bmx/buzztrax-buzz2.bmx" "$dir/buzz2.bmx"
    (cd "$dir" && "$kestrix" -y "$@" >"$dir/stdout" 2>"$dir/stderr"; echo "exit $?" > "$dir/status")
    rm -f "$dir"/[ab].bmx "$dir"/b.bmw "$dir"/buzz2.bmx "$dir"/machines.ini
  }
  merge merge-ab -q --merge a.bmx b.bmx -o m.bmx
  merge merge-ba-bmw -q --merge b.bmw a.bmx -o m.bmx
  merge merge-scaled -q --merge a.bmx b.bmx -o m.bmx --scale --shift-waves
  merge merge-blow -q --merge a.bmx -o m.bmx --blow-up 3
  merge merge-repeat -q --merge b.bmx -o m.bmx --repeat 3
  merge merge-blow-repeat -q --merge a.bmx b.bmx -o m.bmx --blow-up 2 --repeat 2
  merge merge-clone -q --merge a.bmx -o m.bmx --clone 2:primifun --clone-transpose 12 --source-transpose -12
  merge merge-clone-blow -q --merge b.bmx -o m.bmx --clone 1:bass3 --clone-wave 0 --blow-up 2
  merge merge-tune -q --merge a.bmx -o m.bmx --tune 1:1:22050
  merge merge-rip -q --merge a.bmx b.bmx -o m.bmx --rip 2
  merge list-rip -q --list a.bmx --rip 1
  merge list-json --list a.bmx --json
  merge merge-after -q --set xi_dir=./ "$second" c.bmx --merge-after a.bmx -o m.bmx
  merge merge-listing --merge a.bmx b.bmx -o m.bmx --set dolist=1
  mv "$out/merge-listing/stderr" "$out/merge-listing/log"
  if [ -f "$corpus/bmx/machines.ini" ]; then
    for t in "blow --blow-up 2" "repeat --repeat 2" "scale --scale" "self --merge-self"; do
      set -- $t
      tag="buzz2-$1"; shift
      mkdir -p "$out/$tag"; cp "$corpus/bmx/machines.ini" "$out/$tag/"
      if [ "$1" = --merge-self ]; then
        merge "$tag" -q --merge buzz2.bmx buzz2.bmx -o m.bmx
      else
        merge "$tag" -q --merge buzz2.bmx -o m.bmx "$@"
      fi
    done
  fi
fi

# Every song made from a module (one each) and the corpus's Buzz songs, alone and pairwise.
# pairwise TAG ARGS...: one merge or transformation in $out/pairs-TAG, its inputs from $out/songs.
pairwise() {
  local tag="$1"; shift
  local dir="$out/pairs-$tag"
  mkdir -p "$dir"
  (cd "$out/songs" && "$kestrix" -y -q "$@" -o "$dir/out.bmx" >/dev/null 2>"$dir/stderr"
   echo "exit $?" > "$dir/status")
}
mkdir -p "$out/songs"
made=()
for d in "$out"/*-s0-w0-t0; do
  [ -f "$d/song.bmx" ] || continue
  n=$(basename "$d" -s0-w0-t0); cp "$d/song.bmx" "$out/songs/$n.bmx"; made+=("$n.bmx")
done
for f in "$corpus"/bmx/*.bmx; do [ -f "$f" ] && cp "$f" "$out/songs/" && made+=("$(basename "$f")"); done
# The real songs' machines beside the shipped ones, so that every song is described.
cp "$(dirname "$kestrix")/machines.ini" "$out/songs/machines.ini" 2>/dev/null
[ -f "$corpus/bmx/machines.ini" ] && sed -n '/^; machines of the songs/,$p' "$corpus/bmx/machines.ini" >> "$out/songs/machines.ini"
for ((i = 0; i < ${#made[@]}; i++)); do
  a=${made[$i]}; b=${made[$(((i + 1) % ${#made[@]}))]}
  pairwise "$a-alone" --merge "$a"
  pairwise "$a-blow-repeat" --merge "$a" --blow-up 2 --repeat 3
  pairwise "$a-repeat" --merge "$a" --repeat 2
  pairwise "$a-clone" --merge "$a" --clone 1:primifun --clone-transpose 12 --scale
  pairwise "$a-tune" --merge "$a" --tune 1:1:8000
  pairwise "$a+$b" --merge "$a" "$b" --scale --shift-waves
  pairwise "$a+$b-blow" --merge "$a" "$b" --blow-up 3
done
rm -rf "$out/songs"
(cd "$out" && find . -type f ! -name stderr ! -name SHA256SUMS ! -path './merge-inputs/*' | sort | xargs sha256sum > SHA256SUMS)
echo "$(grep -c . "$out/SHA256SUMS") files hashed in $out"
