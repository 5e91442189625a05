#!/bin/bash
# Renders the results page of two runs to the PNGs in docs/: the maize trial
# and the benchmarks' 100-trait rung (600,000 trees). Needs a build with the
# benchmarks (for the trial generator) and Chromium.
#
#   tools/screenshot-pages.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Chromium draws the first WIDTH x HEIGHT pixels of the page.
Shoot() {  # page png height [width]
  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --force-device-scale-factor=1 \
    --screenshot="$2" --window-size="${4:-1400}","$3" "file://$1" 2>/dev/null
  echo "wrote $2"
}

"$build/korvan-cli" --data examples/maize2010_6traits.csv --output "$work/maize.out" --quiet \
  --site-column site --block-column rep --family-column hybrid --trait-columns 5-10 \
  --html "$work/maize.html" --json "$work/maize.json" --reml
Shoot "$work/maize.html" docs/results-maize.png 3600
Shoot "$work/maize.html" docs/results-maize-phone.png 2400 390

# Named from inside the work folder, so that the page's heading is the trial's name.
build=$(realpath "$build")
top=$PWD
cd "$work"
"$build/bench/generate_trial" --sites 20 --blocks 30 --families 1000 --trees 1 --traits 100 --seed 1 \
  --out traits100.dat >/dev/null
time "$build/korvan-cli" --data traits100.dat --output "$work/traits100.out" --quiet \
  --traits 100 --age 10 --site-col 1,4 --block-col 5,4 --family-col 9,6 --age-col 15,4 --trait-col 19,10 \
  --html "$work/traits100.html" --timings "$work/traits100.timings"
cat "$work/traits100.timings"
ls -l "$work/traits100.html"
Shoot "$work/traits100.html" "$top/docs/results-100traits.png" 3000
