#!/usr/bin/env bash
# Builds the console edition, converts the bundled demo tune (examples/demo.xm) into a Buzz song
# in build/demo, then lists the song it wrote. With --regenerate it first rebuilds demo.xm with
# the generator in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v g++ >/dev/null; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends cmake ninja-build g++ libgtest-dev
fi
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF >/dev/null
cmake --build build/release --target kestrix
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
