#!/usr/bin/env bash
# The Windows build writes the bytes the Linux build writes: every input of the test corpus
# (modules, S3M and IT through it2xm.exe/mod2xm.exe, MIDI files, XI instruments) is converted by
# kestrix.exe under Wine and by the Linux kestrix, with the default options and again split by
# instrument into a BMW with XI files, logarithmic volumes and envelopes; every file written must
# be identical. (Only xi_dir is set to a relative folder: by default it is the absolute current
# folder, which the wave table names, and Z:\... is not /....)
#   usage: scripts/compare-wine.sh MINGW_BUILD_DIR NATIVE_BUILD_DIR
# The corpus is ../shared/corpus beside the source folder, or KESTRIX_CORPUS_DIR. Exits 0 with a
# note when the corpus or Wine is missing.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mingw=$(cd "${1:?usage: compare-wine.sh MINGW_BUILD_DIR NATIVE_BUILD_DIR}" && pwd)
native=$(cd "${2:?usage: compare-wine.sh MINGW_BUILD_DIR NATIVE_BUILD_DIR}" && pwd)
corpus=${KESTRIX_CORPUS_DIR:-$root/../shared/corpus}
[ -d "$corpus" ] || { echo "wine comparison skipped: no corpus at $corpus"; exit 0; }
source "$root/scripts/wine-env.sh"
wine_prepare "$mingw" || { echo "wine comparison skipped: $wine_skip"; exit 0; }

start=$(date +%s)
work="$mingw/wine-compare"
rm -rf "$work"
inputs=()
for dir in xm mod s3m it midi xi; do
    for f in "$corpus/$dir"/*; do [ -f "$f" ] && inputs+=("$f"); done
done
variants=("default" "bmw")
# The wave table names each wave's XI file in xi_dir: the same text on both systems. The MIDI
# files take their waves from one SoundFont on both (the Linux program would find the system's,
# the Windows one looks beside itself); an absolute path reaches it under Wine through drive Z:.
sf=/usr/share/sounds/sf2/TimGM6mb.sf2
[ -f "$sf" ] || sf=none
options_default=(--set xi_dir=xi/ --soundfont "$sf")
options_bmw=(--set xi_dir=xi/ --soundfont "$sf" --split instrument --waves bmw --set do_lnvol=1 --set do_envs=1)

# One Wine server for every conversion (each program then starts in a fraction of a second).
timeout 10 wineserver -p
trap 'timeout 10 wineserver -k 2>/dev/null' EXIT
failures=0
songs=0
for variant in "${variants[@]}"; do
    declare -n options="options_$variant"
    for system in linux windows; do mkdir -p "$work/$variant/$system"; done
    for input in "${inputs[@]}"; do
        name=$(basename "$input")
        for system in linux windows; do
            dir="$work/$variant/$system"
            cp "$input" "$dir/"
            chmod u+w "$dir/$name"
            if [ $system = linux ]; then
                (cd "$dir" && "$native/kestrix" -q -y "${options[@]}" "$name") >"$dir/$name.out" 2>&1
            else
                (cd "$dir" && timeout 120 wine "$mingw/kestrix.exe" -q -y "${options[@]}" "$name") >"$dir/$name.out" 2>&1
            fi
            echo $? >"$dir/$name.status"
            rm -f "$dir/$name"
        done
        a="$work/$variant/linux" b="$work/$variant/windows"
        if ! cmp -s "$a/$name.status" "$b/$name.status"; then
            echo "  FAILED: $variant $name: exit status $(cat "$a/$name.status") on Linux, $(cat "$b/$name.status") under Wine"
            failures=$((failures + 1))
        fi
    done
    # Every file written (songs, XI files), by name.
    while read -r f; do
        case "$f" in *.out|*.status) continue ;; esac
        songs=$((songs + 1))
        if [ ! -f "$work/$variant/windows/$f" ]; then
            echo "  FAILED: $variant $f: written on Linux only"
            failures=$((failures + 1))
        elif ! cmp "$work/$variant/linux/$f" "$work/$variant/windows/$f" >/dev/null; then
            echo "  FAILED: $variant $f differs: $(cmp "$work/$variant/linux/$f" "$work/$variant/windows/$f" 2>&1 | head -1)"
            failures=$((failures + 1))
        fi
    done < <(cd "$work/$variant/linux" && find . -type f | sed 's|^\./||' | sort)
    extra=$(cd "$work/$variant" && comm -13 <(cd linux && find . -type f | sort) <(cd windows && find . -type f | sort))
    [ -z "$extra" ] || { echo "  FAILED: $variant: written under Wine only: $extra"; failures=$((failures + 1)); }
done
echo "== wine comparison: ${#inputs[@]} inputs, $songs files compared, $failures failures, $(( $(date +%s) - start )) s"
[ $failures -eq 0 ] || echo "  the files are in $work"
exit $((failures > 0))
