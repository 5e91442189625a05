#!/usr/bin/env bash
# The second half of CI, after tools/test.sh: the whole test suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzz targets
# (their committed corpus replayed, then about a minute of fuzzing each),
# then the batch programs cross-compiled for Windows and tested under wine,
# then the Debian package of build/ installed, tried and removed.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${KORVAN_JOBS:-$(nproc)}"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAN_SANITIZE=ON
cmake --build build-sanitize --target korvan_tests --parallel "$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-sanitize --output-on-failure --parallel "$jobs"

FUZZ_SECONDS="${FUZZ_SECONDS:-60}" KORVAN_JOBS="$jobs" bash tools/fuzz.sh

KORVAN_JOBS="$jobs" bash tools/cross-windows.sh
bash tools/windows-test.sh
KORVAN_JOBS="$jobs" bash tools/package-windows.sh

bash tools/deb-test.sh
