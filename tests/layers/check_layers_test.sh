#!/usr/bin/env bash
# The layer check passes on the repository and fails, naming the file and the include, on trees
# with an include that points upwards, sideways between front ends, or into the converter programs.
set -u
check="$1" repo="$2"
"$check" "$repo" >/dev/null || { echo "FAIL: the repository itself breaks a layer"; exit 1; }
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
fail=0
while IFS='|' read -r file include expect; do
    rm -rf "$tmp/src" && mkdir -p "$tmp/src/core" "$tmp/src/$(dirname "$file")"
    printf '#include <cstdio>\n#include "%s"\n' "$include" > "$tmp/src/$file"
    out=$("$check" "$tmp"); status=$?
    if [ "$expect" = bad ] && { [ $status -eq 0 ] || ! grep -qF "$file" <<<"$out"; }; then
        echo "FAIL: $file including $include was not caught"; fail=1
    elif [ "$expect" = ok ] && [ $status -ne 0 ]; then
        echo "FAIL: $file including $include was refused: $out"; fail=1
    fi
done <<'CASES'
core/log.cpp|settings/settings.h|bad
core/log.cpp|core/pool.h|ok
buzz/bmx_reader.cpp|convert/driver.h|bad
convert/driver.cpp|midi/smf_reader.h|ok
cli/main.cpp|gui/dialog.h|bad
gui/dialog.cpp|jobs/job_runner.h|ok
jobs/job_runner.cpp|xmconv/xm_writer.h|bad
xmconv/main.cpp|convert/module_formats.h|ok
xmconv/main.cpp|jobs/job_runner.h|bad
newfolder/x.cpp|core/log.h|bad
CASES
[ $fail -eq 0 ] && echo "layer check: all cases behave"
exit $fail
