#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan+UBSan) into build/fuzz and runs each for SECONDS
# (default 20), seeded with fuzz/seeds/HARNESS, files of the repository and the corpus files where
# ../shared has them. First each harness's seeds run alone: a harness whose seed run covers not
# every function it is there to reach (the table in targets below) fails, as it would fuzz
# nothing of what it names. Prints each harness's executions, the target functions' edges the
# seeds covered, and crashes; exits non-zero when a harness missed a target or crashed (the
# input is kept in build/fuzz/found).
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
build="$(pwd)/build/fuzz"

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRIX_FUZZ=ON -DKESTRIX_SANITIZE=ON -DKESTRIX_TESTS=OFF >/dev/null || exit 1
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null || {
  cmake --build "$build" -j 1 | tail -40; exit 1; }

corpus=${KESTRIX_CORPUS_DIR:-}
[ -z "$corpus" ] && for d in ../shared/corpus ../../shared/corpus; do
  [ -d "$d" ] && { corpus=$d; break; }
done

# Seeds per harness: its own small files (fuzz/seeds/HARNESS), files of the repository (songs,
# one of them with compressed waves, which the corpus lacks; a SoundFont bank made by a script),
# and the corpus files of the formats it reads.
seeds() {
  [ -d "fuzz/seeds/$1" ] && find "fuzz/seeds/$1" -type f
  case $1 in
    module) ls examples/demo.xm tests/xmconv/golden/*.xm ;;
    buzz_song|transform) ls tests/e2e/golden/*.bmx fuzz/seeds/*.bmx ;;
    machines_ini) ls data/machines.ini ;;
    soundfont) python3 fuzz/soundfont_seed.py "$build/seed-bank.sf2" && echo "$build/seed-bank.sf2"; return 0 ;;
  esac
  [ -n "$corpus" ] && [ -d "$corpus" ] || return 0
  case $1 in
    module) find "$corpus/xm" "$corpus/mod" -type f -size -400k 2>/dev/null ;;
    xi) find "$corpus/xi" -type f -name '*.xi' 2>/dev/null ;;
    buzz_song) find "$corpus/bmx" -type f \( -name '*.bmx' -o -name '*.bmw' \) 2>/dev/null ;;
    machines_ini) find "$corpus/bmx" -name machines.ini 2>/dev/null ;;
    settings) ls tests/settings/default_kestrix.ini 2>/dev/null ;;
    midi) find "$corpus/midi" -type f 2>/dev/null ;;
    transform) find "$corpus/bmx" -type f -name '*.bmx' 2>/dev/null ;;
  esac
}

# The functions each harness is there to reach, as libFuzzer names them (a prefix of the name
# it prints, up to the parameters): its seed run must cover each. A new harness adds its line.
targets() {
  case $1 in
    module) echo "read_module read_xm read_mod read_instruments write_song" ;;
    xi) echo "load_xi_instruments read_instruments write_song" ;;
    buzz_song) echo "read_buzz_song merge_songs" ;;
    machines_ini) echo "load_machine_descriptions find_machine_description" ;;
    settings) echo "load_settings settings_apply_line save_settings" ;;
    midi) echo "smf_decode decode_track midi_pass NotePlacement::note midi_write_tempo_changes write_song" ;;
    transform) echo "merge_songs gather_song_facts facts_json read_compressed_wave decode_level" ;;
    midi_xi) echo "smf_decode NotePlacement::note load_xi_instruments read_instruments write_song" ;;
    soundfont) echo "read_soundfont soundfont_wave SoundFontWaves::give write_soundfont_xi" ;;
    *) return 1 ;;
  esac
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && for f in "$build"/fuzz/fuzz_*; do
  [ -x "$f" ] && harnesses+=("$(basename "$f" | sed 's/^fuzz_//')")
done
status=0
mkdir -p "$build/found"
for h in "${harnesses[@]}"; do
  work="$build/corpus/$h"
  mkdir -p "$work"
  seeds "$h" | while read -r s; do cp -n "$s" "$work/" 2>/dev/null; done
  # MIDI files behind XI instruments: the instrument goes into the slots of xi/.
  if [ "$h" = midi_xi ] && [ -n "$corpus" ] && [ -d "$corpus/midi" ]; then
    for m in "$corpus"/midi/*; do
      cp -n "$m" "$work/" 2>/dev/null
      for x in "$corpus"/xi/*.xi; do
        [ -f "$x" ] && [ ! -f "$work/$(basename "$x")+$(basename "$m")" ] && cat "$x" "$m" >"$work/$(basename "$x")+$(basename "$m")"
      done
    done
  fi
  dict=()
  [ -f "fuzz/$h.dict" ] && dict=(-dict="$(pwd)/fuzz/$h.dict")
  # The seeds alone: every target function covered, or the harness fails here.
  want=$(targets "$h") || { echo "fuzz $h: no target functions named for it in scripts/fuzz.sh"; status=1; continue; }
  "$build/fuzz/fuzz_$h" "$work" -runs=0 -print_coverage=1 -rss_limit_mb=2048 -timeout=20 \
    >"$build/$h.seeds.log" 2>&1
  reached="" missed=""
  for f in $want; do
    # "COVERED_FUNC: hits: H edges: E/N name(parameters) file:line", the name maybe qualified
    # and, for a function that returns a string, followed by its ABI tag ("name[abi:cxx11](").
    edges=$(grep -E "^COVERED_FUNC: .* edges: [0-9]+/[0-9]+ (.*[ :])?$f(\[abi:[^]]*\])*\(" "$build/$h.seeds.log" |
      sed -E 's/.* edges: ([0-9]+\/[0-9]+) .*/\1/' | head -1)
    if [ -n "$edges" ]; then reached+="${reached:+, }$f $edges"; else missed+="${missed:+ }$f"; fi
  done
  echo "fuzz $h: seeds cover ${reached:-none of its targets} (edges)"
  if [ -n "$missed" ]; then
    echo "fuzz $h: the seed run covers none of: $missed (see $build/$h.seeds.log)"
    status=1
    continue
  fi
  log="$build/$h.log"
  max_len=65536 # long enough for every structure; the seeds' tails are cut, which tries early ends
  "$build/fuzz/fuzz_$h" "$work" "${dict[@]}" -max_total_time="$seconds" -max_len=$max_len \
    -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 -artifact_prefix="$build/found/$h-" \
    >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $rc -eq 0 ]; then
    crashes=0
  else
    crashes=$(ls "$build/found/$h-"* 2>/dev/null | wc -l)
    [ "$crashes" -eq 0 ] && crashes=1
    status=1
    tail -30 "$log"
  fi
  echo "fuzz $h: ${seconds}s, ${execs:-0} execs, $crashes crashes"
done
exit $status
