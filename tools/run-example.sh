#!/usr/bin/env bash
# Builds the batch program and analyses the bundled maize trial, a sheet
# saved as CSV with its site and hybrid names: the report and the
# calculation procedure go to out/.
set -euo pipefail
cd "$(dirname "$0")/.."

# Installing needs root; without it, try sudo only when something is missing.
bash tools/install-deps.sh 2>/dev/null || sudo bash tools/install-deps.sh

jobs="${KORVAN_JOBS:-$(nproc)}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build --target korvan-cli --parallel "$jobs"

mkdir -p out
build/korvan-cli --data examples/maize2010_6traits.csv --output out/maize2010_6traits.out \
  --procedure out/maize2010_6traits.procedure \
  --site-column site --block-column rep --family-column hybrid --trait-columns 5-10
echo "report:    $PWD/out/maize2010_6traits.out"
echo "procedure: $PWD/out/maize2010_6traits.procedure"
