#!/usr/bin/env bash
# Makes build-windows/korvan-windows-x64.zip: the batch program for 64-bit
# Windows (static, so no DLL goes with it), the bundled examples, and the
# README and licences as text files a Windows editor shows (CR LF, .txt).
# Builds the program first with tools/cross-windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

KORVAN_JOBS="${KORVAN_JOBS:-$(nproc)}" bash tools/cross-windows.sh >/dev/null

name=korvan-windows-x64
stage=build-windows/package/$name
rm -rf "build-windows/package" "build-windows/$name.zip"
mkdir -p "$stage/examples" "$stage/licences"

AsText() { sed 's/\r*$/\r/' "$1" >"$2"; }

cp build-windows/korvan-cli.exe "$stage/"
# The data files stay as they are: the program reads LF and CR LF alike.
cp examples/*.dat examples/*.csv "$stage/examples/"
AsText README.md "$stage/README.txt"
AsText examples/README.md "$stage/examples/README.txt"
AsText examples/LICENSE-agridat "$stage/licences/examples-agridat.txt"
# korvan's own licence, then what the static program carries of others: the
# GCC runtime with libstdc++, the MinGW-w64 runtime with winpthreads, and the
# header-only libraries compiled into it.
AsText LICENSE "$stage/licences/korvan.txt"
AsText /usr/share/doc/libeigen3-dev/copyright "$stage/licences/Eigen.txt"
AsText /usr/share/doc/nlohmann-json3-dev/copyright "$stage/licences/nlohmann-json.txt"
AsText /usr/share/doc/libboost-math1.74-dev/copyright "$stage/licences/Boost.txt"
AsText /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licences/gcc-runtime.txt"
AsText /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licences/mingw-w64-runtime.txt"

(cd build-windows/package && cmake -E tar cf "../$name.zip" --format=zip "$name")
echo "built $PWD/build-windows/$name.zip ($(stat -c %s "build-windows/$name.zip") bytes)"
(cd build-windows/package && cmake -E tar tf "../$name.zip")
