#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, replays the committed corpus of each target,
# then fuzzes each one for a bounded time. Exits non-zero on any finding;
# the input that caused it is left in build-fuzz/findings/.
#
#   bash tools/fuzz.sh                     # 60 seconds per target
#   FUZZ_SECONDS=600 bash tools/fuzz.sh    # ten minutes per target
#   FUZZ_SECONDS=0 bash tools/fuzz.sh      # replay the corpus only
#   FUZZ_TARGETS="run_fuzz" bash tools/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD_DIR:-build-fuzz}"
targets="${FUZZ_TARGETS:-parse_number_fuzz number_format_fuzz run_fuzz delimited_fuzz}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKORVAN_FUZZ=ON -DKORVAN_SANITIZE=ON \
  -DKORVAN_BUILD_GUI=OFF -DKORVAN_BUILD_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --parallel "${KORVAN_JOBS:-2}" --target $targets

mkdir -p "$build/findings"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in $targets; do
  seeds="fuzz/corpus/${target%_fuzz}"
  work="$build/corpus/${target%_fuzz}"
  mkdir -p "$work"
  common=(-artifact_prefix="$build/findings/$target-" -timeout=30 -rss_limit_mb=2048)
  echo "== $target: replaying $(ls "$seeds" | wc -l) committed inputs"
  if ! "$build/fuzz/$target" "${common[@]}" -runs=0 "$seeds" 2>"$build/$target.replay.log"; then
    tail -n 40 "$build/$target.replay.log"
    failed+=("$target (replay)")
    continue
  fi
  ((seconds > 0)) || continue
  echo "== $target: fuzzing for $seconds s"
  # New inputs go to the first folder, outside the source tree; the
  # committed seeds are read from the second.
  if ! "$build/fuzz/$target" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      "$work" "$seeds" 2>"$build/$target.fuzz.log"; then
    tail -n 40 "$build/$target.fuzz.log"
    failed+=("$target")
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.fuzz.log")
  echo "   $runs executions in $seconds s, no finding; corpus $(ls "$work" | wc -l) inputs in $work"
done

if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/findings/)" >&2
  exit 1
fi
echo "fuzzing: no finding"
