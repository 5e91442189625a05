#!/usr/bin/env bash
# Builds everything and runs every test; exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# Installing needs root; without it, try sudo only when something is missing.
bash tools/install-deps.sh 2>/dev/null || sudo bash tools/install-deps.sh

jobs="${KORVAN_JOBS:-$(nproc)}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build --parallel "$jobs"
ctest --test-dir build --output-on-failure --parallel "$jobs"
