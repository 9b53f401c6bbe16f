#!/usr/bin/env bash
# Builds kestrix from scratch (natively, with MinGW-w64, and under ASan+UBSan) and runs every test.
# Installs the Debian packages it needs when they are missing. The MinGW build makes libxmp for
# Windows from Debian's source package once (kept in build/libxmp-mingw) and the release archive;
# the Windows programs are then checked under Wine: the songs kestrix.exe writes against the Linux
# kestrix's, and the dialog program from the unpacked archive.
set -uo pipefail
cd "$(dirname "$0")/.."

need=()
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v make >/dev/null || need+=(make)               # libxmp for Windows
command -v dpkg-source >/dev/null || need+=(dpkg-dev)   # unpacks libxmp's source package
command -v git >/dev/null || need+=(git)                # the commit in --version
command -v python3 >/dev/null || need+=(python3)        # the version resources' reader
[ -f /usr/include/xmp.h ] || need+=(libxmp-dev)
[ -f /usr/include/libopenmpt/libopenmpt.h ] || need+=(libopenmpt-dev)
command -v clang++ >/dev/null || need+=(clang)
# A small General MIDI SoundFont: a corpus MIDI file converted with it, every note with its wave.
[ -f /usr/share/sounds/sf2/TimGM6mb.sf2 ] || need+=(timgm6mb-soundfont)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  $sudo apt-get update -qq || exit 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" || exit 1
fi
# The dialog program's test: Wine on a virtual X screen, driven by xdotool. Without them (or
# when they cannot be installed) the GUI test is skipped with a note, the rest still runs.
gui=()
command -v wine >/dev/null || gui+=(wine wine64)
command -v xvfb-run >/dev/null || gui+=(xvfb)
command -v xdotool >/dev/null || gui+=(xdotool)
command -v import >/dev/null || gui+=(imagemagick)
command -v python3 >/dev/null || gui+=(python3)
command -v unzip >/dev/null || gui+=(unzip)
[ -d /usr/share/wine/fonts ] || gui+=(fonts-wine)
[ -d /usr/share/fonts/truetype/liberation ] || gui+=(fonts-liberation)
if [ ${#gui[@]} -gt 0 ]; then
  echo "== installing for the GUI test: ${gui[*]}"
  { [ ${#need[@]} -gt 0 ] || $sudo apt-get update -qq; } &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${gui[@]}" ||
    echo "== could not install ${gui[*]}: the GUI test will be skipped"
fi

echo "== layers"
bash scripts/check-layers.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
rm -rf build/ci-native build/ci-mingw build/ci-asan

echo "== native build"
cmake -S . -B build/ci-native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_WERROR=ON >/dev/null || exit 1
cmake --build build/ci-native -j "$jobs" || exit 1

echo "== MinGW-w64 build (with libxmp for Windows, made once into build/libxmp-mingw)"
cmake -S . -B build/ci-mingw -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake 2>&1 | tee build/ci-mingw-configure.log |
  { grep -E '^libxmp|^== |build-libxmp' || true; } || { cat build/ci-mingw-configure.log; exit 1; }
cmake --build build/ci-mingw -j "$jobs" || exit 1
for program in kestrixw kestrix it2xm mod2xm easyxmid; do
  [ -f build/ci-mingw/$program.exe ] || { echo "the MinGW build made no $program.exe"; exit 1; }
done

echo "== release archives"
cmake --build build/ci-mingw --target package >/dev/null || exit 1
cmake --build build/ci-native --target package >/dev/null || exit 1
ls build/ci-mingw/kestrix-*-win64.zip build/ci-native/kestrix-*.tar.gz build/ci-native/kestrix_*.deb
echo "== version resources of the Windows programs"
python3 tests/install/versioninfo.py "$(build/ci-native/kestrix --version | head -1 | cut -d' ' -f2)" \
  build/ci-mingw/{kestrixw,kestrix,it2xm,mod2xm,easyxmid}.exe || exit 1

echo "== ASan+UBSan build"
cmake -S . -B build/ci-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_WERROR=ON -DKESTRIX_SANITIZE=ON >/dev/null || exit 1
cmake --build build/ci-asan -j "$jobs" || exit 1

status=0
echo "== tests (native)"
(cd build/ci-native && ctest -j "$jobs" --output-on-failure) || status=1
echo "== Windows build under Wine: the same songs as Linux"
bash scripts/compare-wine.sh build/ci-mingw build/ci-native || status=1
echo "== GUI test (kestrixw.exe from the release archive under Wine)"
bash scripts/test-gui.sh build/ci-mingw build/ci-native/kestrix || status=1
echo "== tests (ASan+UBSan)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build/ci-asan && ctest -j "$jobs" --output-on-failure) || status=1
echo "== fuzzing (20 s per reader, ASan+UBSan)"
bash scripts/fuzz.sh 20 || status=1
exit $status
