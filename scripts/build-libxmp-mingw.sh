#!/usr/bin/env bash
# Cross-builds libxmp for 64-bit Windows from Debian's libxmp source package, so that the MinGW-w64
# build makes it2xm.exe and mod2xm.exe. The MinGW configuration runs it when it finds no libxmp for
# the target; by hand:
#   scripts/build-libxmp-mingw.sh [PREFIX]        (default: build/libxmp-mingw)
# PREFIX then holds include/xmp.h, bin/libxmp.dll with its import library lib/libxmp.dll.a, and
# share/doc/libxmp (the licence). libxmp is LGPL: the programs link it as a DLL that ships beside
# them, so a user can replace it with a build of their own. The source
# package is fetched once into PREFIX/source and kept there; a library that is there already is
# not built again. CC names the cross compiler (default x86_64-w64-mingw32-gcc-posix); the target
# is the compiler's prefix.
#
# The source comes through this machine's own apt configuration: every `deb` entry of its sources
# (one-line lists and deb822 .sources files) is copied as a `deb-src` entry into a private list,
# and apt-get reads only that list and keeps its indexes in a private folder, so the system's apt
# state is untouched. Any failure ends the script with the reason on stderr and a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix="$(realpath -m "${1:-build/libxmp-mingw}")"
cc="${CC:-x86_64-w64-mingw32-gcc-posix}"
host="$(basename "${cc%-gcc*}")"

die() { echo "build-libxmp-mingw: $*" >&2; exit 1; }

if [ -f "$prefix/.complete" ] && [ -f "$prefix/bin/libxmp.dll" ] && [ -f "$prefix/include/xmp.h" ]; then
    echo "libxmp for $host in $prefix ($(cat "$prefix/.complete"), built before)"
    exit 0
fi

command -v "$cc" >/dev/null || die "no cross compiler $cc (Debian: g++-mingw-w64-x86-64-posix)"
command -v make >/dev/null || die "no make (Debian: make)"
command -v dpkg-source >/dev/null || die "no dpkg-source to unpack the source package (Debian: dpkg-dev)"
command -v apt-get >/dev/null || die "no apt-get: fetch libxmp's source yourself and pass -DXMCONV_XMP_INCLUDE/-DXMCONV_XMP_LIBRARY"

mkdir -p "$prefix"
# Two builds configuring at once share the one library.
exec 9>"$prefix/.lock"
flock 9
if [ -f "$prefix/.complete" ] && [ -f "$prefix/bin/libxmp.dll" ]; then
    echo "libxmp for $host in $prefix (built by another run)"
    exit 0
fi

work="$(mktemp -d "$prefix/work.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The machine's apt sources as deb-src entries.
write_source_entries() {
    local list parts
    eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
    mkdir -p "$work/etc/sources.list.d"
    : >"$work/etc/sources.list"
    local one_line=()
    [ -f "${list:-}" ] && one_line+=("$list")
    local f
    for f in "${parts:-/nonexistent}"*.list; do [ -f "$f" ] && one_line+=("$f"); done
    for f in "${one_line[@]}"; do
        # "deb [options] URI SUITE COMPONENTS..." -> the same with deb-src; deb-src lines as they are.
        sed -nE 's/^[[:space:]]*deb(-src)?([[:space:]]+)/deb-src\2/p' "$f" >>"$work/etc/sources.list"
    done
    local n=0
    for f in "${parts:-/nonexistent}"*.sources; do
        [ -f "$f" ] || continue
        n=$((n + 1))
        # deb822 paragraphs: each enabled one with a deb or deb-src type becomes a deb-src one; the
        # other fields (URIs, Suites, Components, Signed-By with its key block) stay as they are.
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             {
               if (tolower($0) ~ /(^|\n)enabled:[ \t]*no/) next
               if ($0 !~ /(^|\n)Types:[^\n]*deb/) next
               sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src")
               sub(/^\n/, "")
               print
             }' "$f" >"$work/etc/sources.list.d/system-$n.sources"
    done
    grep -q . "$work/etc/sources.list" "$work"/etc/sources.list.d/*.sources 2>/dev/null ||
        die "apt has no sources configured on this machine (looked at ${list:-?} and ${parts:-?}*.list, *.sources)"
}

fetch_source() {
    write_source_entries
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/download"
    local apt_opts=(-o "Dir::Etc::SourceList=$work/etc/sources.list"
                    -o "Dir::Etc::SourceParts=$work/etc/sources.list.d"
                    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
                    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
    [ "$(id -u)" -eq 0 ] && apt_opts+=(-o "APT::Sandbox::User=root")
    echo "== fetching Debian's libxmp source package through apt"
    # A source that offers no source packages makes update complain; apt-get source below says
    # whether libxmp was found anywhere.
    apt-get "${apt_opts[@]}" update -qq >"$work/update.log" 2>&1 || true
    if ! (cd "$work/download" && apt-get "${apt_opts[@]}" source --download-only -qq libxmp) >"$work/source.log" 2>&1; then
        cat "$work/update.log" "$work/source.log" >&2
        die "cannot fetch the libxmp source package through apt (see apt's messages above)"
    fi
    mkdir -p "$prefix/source"
    mv "$work"/download/libxmp_* "$prefix/source/"
}

dsc=$(ls "$prefix"/source/libxmp_*.dsc 2>/dev/null | head -1 || true)
if [ -z "$dsc" ]; then
    fetch_source
    dsc=$(ls "$prefix"/source/libxmp_*.dsc | head -1)
else
    echo "== libxmp source package: $dsc (fetched before)"
fi
version=$(basename "$dsc" .dsc)
version=${version#libxmp_}

echo "== building libxmp $version for $host"
dpkg-source -x "$dsc" "$work/src" >"$work/unpack.log" 2>&1 || { cat "$work/unpack.log" >&2; die "cannot unpack $dsc"; }
build_log="$work/build.log"
(
    cd "$work/src"
    # The DLL carries its C runtime helpers itself (no libgcc DLL beside it).
    ./configure --host="$host" CC="$cc" LDFLAGS="-static-libgcc" --enable-shared --disable-static \
        --prefix="$prefix"
    make -j"$(nproc 2>/dev/null || echo 2)"
    make install
) >"$build_log" 2>&1 || { tail -n 30 "$build_log" >&2; die "building libxmp $version failed (the end of its log is above)"; }
# The DLL ships with the programs: without its symbols (a tenth of the size).
command -v "$host-strip" >/dev/null && "$host-strip" --strip-unneeded "$prefix/bin/libxmp.dll"
mkdir -p "$prefix/share/doc/libxmp"
for f in README docs/COPYING.LIB; do
    [ -f "$work/src/$f" ] && cp "$work/src/$f" "$prefix/share/doc/libxmp/"
done
[ -f "$work/src/debian/copyright" ] && cp "$work/src/debian/copyright" "$prefix/share/doc/libxmp/copyright"
echo "$version" >"$prefix/.complete"
echo "libxmp $version for $host in $prefix"
