#!/usr/bin/env bash
# Builds the batch programs for 64-bit Windows in build-windows/ with Debian's
# MinGW-w64 cross compiler: korvan-cli.exe and korvan-cli-straightforward.exe,
# linked statically.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh 2>/dev/null || sudo bash tools/install-deps.sh

# nlohmann-json, Boost.Math and Eigen are header-only and the host's copies serve the target
# too (Eigen's configuration names /usr/include/eigen3, its own folder), but
# only their own folders may go on the include path: the rest of /usr/include holds
# glibc's headers, which would stand in for the target's.
mkdir -p build-windows/include
for headers in nlohmann boost; do ln -sfn "/usr/include/$headers" "build-windows/include/$headers"; done

jobs="${KORVAN_JOBS:-$(nproc)}"
cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DKORVAN_BUILD_GUI=OFF -DKORVAN_BUILD_BENCH=OFF -DBUILD_TESTING=OFF \
  -DEigen3_DIR=/usr/share/eigen3/cmake -DKORVAN_HEADERS_DIR="$PWD/build-windows/include"
cmake --build build-windows --target korvan-cli korvan-cli-straightforward --parallel "$jobs"
# A Windows program starts with "MZ"; `file` is not on every machine.
for exe in build-windows/korvan-cli.exe build-windows/korvan-cli-straightforward.exe; do
  [[ $(head -c 2 "$exe") == MZ ]] || { echo "cross-windows: $exe is no Windows program" >&2; exit 1; }
  echo "built $PWD/$exe ($(stat -c %s "$exe") bytes)"
done
