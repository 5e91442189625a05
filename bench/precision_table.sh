#!/usr/bin/env bash
# The report's error against the exact values, by trial size and by the first
# trait's mean/sd: generates each trial, raises trait 1 so that its mean is
# RATIO times its standard deviation (0: as generated), runs korvan-cli with
# and without --arithmetic double and prints bench/compare_reports.py's lines.
#
#   bench/precision_table.sh BUILD_DIR SCRATCH "SITES BLOCKS FAMILIES TREES TRAITS RATIO" ...
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$1 scratch=$2
shift 2
mkdir -p "$scratch"
for rung in "$@"; do
  read -r sites blocks families trees traits ratio <<<"$rung"
  data=$scratch/trial.dat
  "$build/bench/generate_trial" --sites "$sites" --blocks "$blocks" --families "$families" --trees "$trees" \
    --traits "$traits" --seed 1 --out "$data" --sidecar >/dev/null
  if [[ $ratio != 0 ]]; then
    # Trait 1 takes characters 19-28, three decimals.
    awk -v ratio="$ratio" '!/^:/ { n++; s += substr($0, 19, 10); ss += substr($0, 19, 10) ^ 2 }
      END { m = s / n; sd = sqrt(ss / n - m * m); printf "%.3f\n", ratio * sd - m }' "$data" >"$scratch/shift"
    awk -v shift="$(cat "$scratch/shift")" '/^:/ { print; next }
      { printf "%s%10.3f%s\n", substr($0, 1, 18), substr($0, 19, 10) + shift, substr($0, 29) }' "$data" >"$data.shifted"
    mv "$data.shifted" "$data"
  fi
  records=$(grep -vc '^:' "$data")
  echo "## $records records ($sites sites x $blocks blocks x $families families x $trees trees, $traits traits), trait 1 mean/sd ${ratio/#0/as generated}"
  mapfile -t args <"$data.args"
  for i in "${!args[@]}"; do [[ ${args[$i]} == --output ]] && output=$((i + 1)); done
  args[$output]=$scratch/single.out
  "$build/korvan-cli" "${args[@]}" --quiet 2>/dev/null
  args[$output]=$scratch/exact.out
  "$build/korvan-cli" "${args[@]}" --quiet --arithmetic double 2>&1 | sed 's/^korvan-cli: /- /'
  /usr/bin/python3 "$root/bench/compare_reports.py" "$scratch/single.out" "$scratch/exact.out" | sed 's/^/- /'
  echo
done
