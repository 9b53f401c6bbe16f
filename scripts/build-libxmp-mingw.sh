#!/usr/bin/env bash
# Cross-builds libxmp for 64-bit Windows from Debian's source package, so that the MinGW-w64 build
# also makes it2xm.exe and mod2xm.exe. Usage: src/xmconv/build-libxmp-mingw.sh [PREFIX]
# (default build/libxmp-mingw). Then configure the MinGW build with
#   -DXMCONV_XMP_INCLUDE=PREFIX/include -DXMCONV_XMP_LIBRARY=PREFIX/lib/libxmp.a
# The source comes through apt with a private source list, so the system's apt setup is untouched.
set -euo pipefail
cd "$(dirname "$0")/../.."
prefix="$(realpath -m "${1:-build/libxmp-mingw}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/lists/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
  >"$work/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
          -o "Dir::State::Lists=$work/lists")
apt-get "${apt_opts[@]}" update -qq
(cd "$work" && apt-get "${apt_opts[@]}" source --download-only -qq libxmp)
tar -xzf "$work"/libxmp_*.orig.tar.gz -C "$work"
cd "$work"/libxmp-*/
./configure --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix --enable-static --disable-shared \
  --prefix="$prefix" >/dev/null
make -j"$(nproc)" >/dev/null
make install >/dev/null
echo "libxmp for Windows in $prefix"
echo "configure with: -DXMCONV_XMP_INCLUDE=$prefix/include -DXMCONV_XMP_LIBRARY=$prefix/lib/libxmp.a"
