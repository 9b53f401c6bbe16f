#!/usr/bin/env bash
# Builds every program (kestrix, it2xm, mod2xm) into build/release, converts the bundled demo tune (examples/demo.xm) into a Buzz song
# in build/demo, then lists the song it wrote. With --regenerate it first rebuilds demo.xm with
# the generator in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v g++ >/dev/null ||
   ! command -v pkg-config >/dev/null || [ ! -f /usr/include/xmp.h ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends cmake ninja-build g++ pkg-config libxmp-dev
fi
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
cmake --build build/release
echo "== programs in build/release: $(cd build/release && ls kestrix it2xm mod2xm machines.ini 2>/dev/null | tr '\n' ' ')"
if [ "${1:-}" = "--regenerate" ]; then
  g++ -std=c++20 -O2 -o build/make_demo examples/make_demo.cpp
  build/make_demo examples/demo.xm
fi
mkdir -p build/demo
cd build/demo
echo "== kestrix ../../examples/demo.xm demo.bmx"
../release/kestrix -y ../../examples/demo.xm demo.bmx
echo "== kestrix --set do_mscale1=1 +v --list demo.bmx"
../release/kestrix --set do_mscale1=1 +v --list demo.bmx
