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
# The manual pages and the completion are installed; the completion is a valid bash script.
for page in kestrix it2xm mod2xm easyxmid; do
  if [ "$page" = kestrix ] || [ -x "$tmp/prefix/bin/$page" ]; then test -s "$tmp/prefix/share/man/man1/$page.1"; fi
done
grep -qF -- '\-\-output\-dir' "$tmp/prefix/share/man/man1/kestrix.1"
bash -n "$tmp/prefix/share/bash-completion/completions/kestrix"
if command -v groff >/dev/null; then
  for page in "$tmp"/prefix/share/man/man1/*.1; do
    warnings=$(cd "$tmp/prefix/share/man" && groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
  done
fi
# Nothing but the modules and the song: no scratch file, no machines.ini copied in.
if ls | grep -qv -e '^song\.bmx$' -e '^song\.xm$' -e '^song\.it$'; then ls; exit 1; fi
echo "installed kestrix converts from another folder"
