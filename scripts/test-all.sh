#!/usr/bin/env bash
# Builds kestrix from scratch (natively, with MinGW-w64, and under ASan+UBSan) and runs every test.
# Installs the Debian packages it needs when they are missing.
set -uo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
[ -f /usr/include/xmp.h ] || need+=(libxmp-dev)
[ -f /usr/include/libopenmpt/libopenmpt.h ] || need+=(libopenmpt-dev)
command -v clang++ >/dev/null || need+=(clang)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "== installing: ${need[*]}"
  $sudo apt-get update -qq || exit 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" || exit 1
fi

echo "== layers"
bash scripts/check-layers.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
rm -rf build/ci-native build/ci-mingw build/ci-asan

echo "== native build"
cmake -S . -B build/ci-native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_WERROR=ON >/dev/null || exit 1
cmake --build build/ci-native -j "$jobs" || exit 1

echo "== MinGW-w64 build"
cmake -S . -B build/ci-mingw -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null || exit 1
cmake --build build/ci-mingw -j "$jobs" || exit 1

echo "== ASan+UBSan build"
cmake -S . -B build/ci-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_WERROR=ON -DKESTRIX_SANITIZE=ON >/dev/null || exit 1
cmake --build build/ci-asan -j "$jobs" || exit 1

status=0
echo "== tests (native)"
(cd build/ci-native && ctest -j "$jobs" --output-on-failure) || status=1
echo "== tests (ASan+UBSan)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build/ci-asan && ctest -j "$jobs" --output-on-failure) || status=1
echo "== fuzzing (20 s per reader, ASan+UBSan)"
bash scripts/fuzz.sh 20 || status=1
exit $status
