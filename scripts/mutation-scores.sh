#!/usr/bin/env bash
# Mutation scores per subsystem: plants 25 faults (seed 1) into each subsystem's files with
# ../shared/tools/mutants.py and records how many the tests catch.
# usage: scripts/mutation-scores.sh OUTDIR [subsystem...]   (from any folder; takes hours)
# OUTDIR gets one log per subsystem and summary.txt with the scores.
set -u
out=$(mkdir -p "$1" && cd "$1" && pwd); shift
cd "$(dirname "$0")/.." || exit 2
tool=${MUTANTS:-../shared/tools/mutants.py}
[ -f "$tool" ] || { echo "no $tool (set MUTANTS)" >&2; exit 2; }
cmake -S . -B build/mutants -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
declare -A F
F[platform]="src/platform/paths.cpp src/platform/streams.cpp src/platform/interrupts.cpp src/platform/scratch_files.cpp src/platform/programs.cpp src/platform/threads.cpp"
F[core]="src/core/log.cpp src/core/pool.cpp src/core/byteio.cpp"
F[settings]="src/settings/settings_file.cpp"
F[buzz]="src/buzz/bmx_reader.cpp src/buzz/section_reader.cpp src/buzz/machine_sections.cpp src/buzz/wave_sections.cpp src/buzz/pattern_sections.cpp src/buzz/machines_ini.cpp src/buzz/write_primitives.cpp"
F[song]="src/song/song.cpp"
F[songwriter]="src/songwriter/bmx_writer.cpp src/songwriter/generators.cpp src/songwriter/patt_sequ.cpp src/songwriter/wave_table.cpp src/songwriter/xi_file.cpp"
F[convert]="src/convert/driver.cpp src/convert/effects.cpp src/convert/mod_reader.cpp src/convert/xm_reader.cpp src/convert/module_formats.cpp"
F[jobs]="src/jobs/job_runner.cpp"
F[cli]="src/cli/console_log.cpp src/cli/options.cpp src/cli/main.cpp"
subs="$*"; [ -n "$subs" ] || subs="platform core settings buzz song songwriter convert jobs cli"
for s in $subs; do
  python3 "$tool" ${F[$s]} --count 25 --seed 1 > "$out/$s.log" 2>&1
  echo "$s: $(grep -E '^caught|^score' "$out/$s.log" | tr '\n' ' ')" >> "$out/summary.txt"
done
