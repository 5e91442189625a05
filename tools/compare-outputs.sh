#!/usr/bin/env bash
# Runs two builds of korvan-cli on the examples and on generated trials and
# compares what they write, file by file: the check that a change of the code
# left the outputs as they were.
#
#   tools/compare-outputs.sh OLD_CLI NEW_CLI [--reports-only] [--scratch DIR]
#
# Every case writes the report and the procedure file; without
# --reports-only also the JSON, the tables and the page. Exits 1 when any
# file differs (and names it), 0 when all are the same.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
old=${1:?old korvan-cli}
new=${2:?new korvan-cli}
shift 2
results=1
scratch=${TMPDIR:-/tmp}/korvan-compare
while [[ $# -gt 0 ]]; do
  case $1 in
    --reports-only) results=0; shift ;;
    --scratch) scratch=$2; shift 2 ;;
    *) echo "compare-outputs: unknown option '$1'" >&2; exit 2 ;;
  esac
done
generator=$(dirname "$new")/bench/generate_trial
[[ -x $generator ]] || generator=$(dirname "$old")/bench/generate_trial
rm -rf "$scratch"
mkdir -p "$scratch/data"

fixed=(--site-col 1,4 --block-col 5,4 --family-col 9,6 --age-col 15,4 --trait-col 19,10)
declare -A cases=(
  [small]="--data $root/examples/small_trial.dat --traits 2 --age 10 --site-col 1,4 --block-col 5,3 --family-col 8,4 --age-col 12,3 --trait-col 15,8"
  [bamboo]="--data $root/examples/bamboo_height.dat --traits 1 --age 10 ${fixed[*]}"
  [maize-dat]="--data $root/examples/maize2010_6traits.dat --traits 6 --age 10 ${fixed[*]}"
  [maize-csv]="--data $root/examples/maize2010_6traits.csv --site-column site --block-column rep --family-column hybrid --trait-columns 5-10"
  [maize-double]="--data $root/examples/maize2010_6traits.dat --traits 6 --age 10 ${fixed[*]} --arithmetic double"
)
if [[ -f $root/../shared/data/douglas_c13.dat ]]; then
  cases[douglas]="--data $root/../shared/data/douglas_c13.dat --traits 1 --age 15 ${fixed[*]}"
fi
# Generated trials: unbalanced, with cells missing, and with many traits.
if [[ -x $generator ]]; then
  while read -r name args; do
    "$generator" $args --sidecar --out "$scratch/data/$name.dat" >/dev/null
    cases[$name]="--data $scratch/data/$name.dat $(grep -v -e '^--data$' -e "^$scratch" "$scratch/data/$name.dat.args" |
      grep -v -e '^--output$' -e '\.out$' | tr '\n' ' ')"
  done <<'EOF'
gen-medium --sites 5 --blocks 8 --families 200 --trees 2 --traits 3 --seed 3
gen-missing --sites 6 --blocks 4 --families 60 --trees 2 --traits 4 --missing 0.3 --seed 5
gen-traits --sites 3 --blocks 3 --families 30 --trees 1 --traits 12 --seed 7
EOF
fi

status=0
for name in $(printf '%s\n' "${!cases[@]}" | sort); do
  for build in old new; do
    cli=$old; [[ $build == new ]] && cli=$new
    # Both write to one place: the report's first line is its path.
    out=$scratch/run
    rm -rf "$out"
    mkdir -p "$out" "$scratch/$build"
    more=()
    ((results)) && more=(--json "$out/results.json" --tables "$out/tables" --html "$out/page.html")
    # shellcheck disable=SC2086
    "$cli" ${cases[$name]} --output "$out/report.out" --procedure "$out/procedure.txt" "${more[@]}" --quiet \
      2>"$out/stderr.txt" || echo "exit $?" >>"$out/stderr.txt"
    # Two runs need not end in the same second.
    [[ -f $out/procedure.txt ]] && sed -i -E 's/^ Start at [0-9:]+ and Ended at [0-9:]+$/ Start at hh:mm:ss and Ended at hh:mm:ss/' "$out/procedure.txt"
    mv "$out" "$scratch/$build/$name"
  done
  if diff -r -q "$scratch/old/$name" "$scratch/new/$name" >/dev/null; then
    echo "same      $name"
  else
    echo "DIFFERENT $name:"
    diff -r -q "$scratch/old/$name" "$scratch/new/$name" | sed 's/^/  /' || true
    status=1
  fi
done
exit $status
