#!/usr/bin/env bash
# Builds the batch program and analyses the small hand-made example:
# the report and the calculation procedure go to out/.
set -euo pipefail
cd "$(dirname "$0")/.."

# Installing needs root; without it, try sudo only when something is missing.
bash tools/install-deps.sh 2>/dev/null || sudo bash tools/install-deps.sh

jobs="${KORVAN_JOBS:-$(nproc)}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build --target korvan-cli --parallel "$jobs"

mkdir -p out
build/korvan-cli --data examples/small_trial.dat --output out/small_trial.out \
  --procedure out/small_trial.procedure \
  --sites 3 --blocks 3 --families 5 --records 36 --traits 2 --age 10 \
  --site-col 1,4 --block-col 5,3 --family-col 8,4 --age-col 12,3 --trait-col 15,8
echo "report:    $PWD/out/small_trial.out"
echo "procedure: $PWD/out/small_trial.procedure"
