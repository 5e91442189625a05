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
# What the static program carries of others: CLI11 (its options), the GCC
# runtime with libstdc++ and the MinGW-w64 runtime with winpthreads.
AsText /usr/share/doc/libcli11-dev/copyright "$stage/licences/CLI11.txt"
AsText /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licences/gcc-runtime.txt"
AsText /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licences/mingw-w64-runtime.txt"

(cd build-windows/package && cmake -E tar cf "../$name.zip" --format=zip "$name")
echo "built $PWD/build-windows/$name.zip ($(stat -c %s "build-windows/$name.zip") bytes)"
(cd build-windows/package && cmake -E tar tf "../$name.zip")
