#!/usr/bin/env bash
# cmake --install into a fresh prefix, then the installed kestrix converts from another folder:
# it finds its converter programs and machines.ini without either beside the module.
# Arguments: BUILD_DIR EXAMPLE_XM [IT_MODULE]
set -euo pipefail
build=$1 example=$2 it=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
mkdir "$tmp/work"
cd "$tmp/work"
cp "$example" song.xm
"$tmp/prefix/bin/kestrix" -q song.xm
test -s song.bmx
if [ -n "$it" ] && [ -f "$it" ] && [ -x "$tmp/prefix/bin/it2xm" ]; then
  cp "$it" song.it
  "$tmp/prefix/bin/kestrix" -q -y song.it
fi
# Nothing but the modules and the song: no scratch file, no machines.ini copied in.
if ls | grep -qv -e '^song\.bmx$' -e '^song\.xm$' -e '^song\.it$'; then ls; exit 1; fi
echo "installed kestrix converts from another folder"
