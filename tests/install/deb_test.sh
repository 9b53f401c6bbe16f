#!/usr/bin/env bash
# The Debian package: made from the build by cpack, named kestrix_<version>_<arch>.deb, holding
# the programs, machines.ini, the manual pages and the completion under /usr and depending on
# libxmp's runtime; installed with dpkg into a scratch root, where the installed kestrix converts
# from another folder; removed again, leaving nothing of itself. Skipped (77) without dpkg.
# Arguments: BUILD_DIR EXAMPLE_XM [IT_MODULE]
set -euo pipefail
build=$(cd "$1" && pwd) example=$(realpath "$2") it=${3:+$(realpath "$3")}
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack; do
    command -v $tool >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v fakeroot >/dev/null || { echo "skipped: not root and no fakeroot"; exit 77; }
    as_root=(fakeroot)
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.out" 2>&1) || { cat "$tmp/cpack.out"; exit 1; }
version=$("$build/kestrix" --version | head -1 | cut -d' ' -f2)
deb=$tmp/pkg/kestrix_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$tmp/pkg"; echo "no $deb"; exit 1; }

converters=0
[ -x "$build/it2xm" ] && converters=1
dpkg-deb -c "$deb" | awk '{print $NF}' >"$tmp/files"
want="./usr/bin/kestrix ./usr/bin/easyxmid ./usr/share/kestrix/machines.ini ./usr/share/man/man1/kestrix.1
./usr/share/man/man1/easyxmid.1 ./usr/share/bash-completion/completions/kestrix"
[ $converters = 1 ] && want="$want ./usr/bin/it2xm ./usr/bin/mod2xm ./usr/share/man/man1/it2xm.1"
for f in $want; do grep -qxF "$f" "$tmp/files" || { echo "the package lacks $f"; exit 1; }; done
depends=$(dpkg-deb -f "$deb" Depends)
[ $converters = 0 ] || [[ $depends == *libxmp4* ]] || { echo "Depends: $depends (no libxmp4)"; exit 1; }
if command -v lintian >/dev/null; then lintian --fail-on error "$deb"; fi

root=$tmp/root admin=$tmp/root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates"
: >"$admin/status"
# The scratch root has no other package: its dependencies are not looked at.
dpkg_root() {
    "${as_root[@]}" dpkg --root="$root" --admindir="$admin" --log=/dev/null --force-depends "$@" \
        >"$tmp/dpkg.out" 2>&1 || { cat "$tmp/dpkg.out"; exit 1; }
}
dpkg_root -i "$deb"
mkdir "$tmp/work"
cd "$tmp/work"
cp "$example" song.xm
"$root/usr/bin/kestrix" -q song.xm
test -s song.bmx
if [ -n "$it" ] && [ -f "$it" ] && [ $converters = 1 ]; then
    cp "$it" song.it
    "$root/usr/bin/kestrix" -q -y song.it
fi
dpkg_root -r kestrix
left=$(cd "$root" && find . -mindepth 1 -not -path ./var -not -path ./var/lib -not -path './var/lib/dpkg*' | sort)
[ -z "$left" ] || { echo "apt remove left: $left"; exit 1; }
echo "$(basename "$deb") ($depends): installed, converts, removed without a trace"
