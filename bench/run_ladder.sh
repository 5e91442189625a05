#!/usr/bin/env bash
# The benchmark driver: builds korvan-cli (Release) if needed, writes the
# synthetic trials of the size ladder into a scratch folder, runs korvan-cli on
# each under /usr/bin/time -v and writes a Markdown report: per-stage seconds,
# peak memory, the cost of --procedure, the growth exponents, the ratio against
# a baseline build and against lme4 REML fits when R is installed.
#
#   bench/run_ladder.sh [--sizes LIST] [--scratch DIR] [--build DIR] [--cli PATH]
#                       [--baseline PATH] [--baseline-sizes LIST] [--repeat N]
#                       [--seed N] [--missing FRACTION] [--no-procedure]
#                       [--no-lme4] [--lme4-limit SECONDS] [--lme4-memory GB]
#                       [--out FILE]
#
# Sizes: medium, large, xlarge, wide, wider, traits1, traits10, traits100;
# "blocks" stands for wide and wider (many small blocks, 30 % of the site x
# family cells missing), "traits" for the three traits sizes, "all" for
# everything (the default).
# --baseline straightforward builds and runs korvan-cli-straightforward, the
# same program without its faster forms (slow: minutes on large).
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes=all
scratch=${TMPDIR:-/tmp}/korvan-bench
build=$root/build-release
cli=
baseline=
baselineSizes=medium
repeats=1
seed=1
missing=0
withProcedure=1
withLme4=1
lme4Limit=300
# lme4 takes more than 8 GB on large within a minute; leave a third of the
# machine to everything else.
lme4MemoryGb=$(awk '/MemTotal/ { gb = int($2 / 1048576 * 2 / 3); print (gb > 16 ? 16 : gb < 1 ? 1 : gb) }' /proc/meminfo)
out=

usage() { sed -n '2,19p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }
die() { echo "run_ladder: $*" >&2; exit 2; }
need_value() { [[ $# -ge 2 && -n $2 ]] || die "$1 needs a value"; }

while [[ $# -gt 0 ]]; do
  case $1 in
    --sizes) need_value "$@"; sizes=$2; shift 2 ;;
    --scratch) need_value "$@"; scratch=$2; shift 2 ;;
    --build) need_value "$@"; build=$2; shift 2 ;;
    --cli) need_value "$@"; cli=$2; shift 2 ;;
    --baseline) need_value "$@"; baseline=$2; shift 2 ;;
    --baseline-sizes) need_value "$@"; baselineSizes=$2; shift 2 ;;
    --repeat) need_value "$@"; repeats=$2; shift 2 ;;
    --seed) need_value "$@"; seed=$2; shift 2 ;;
    --missing) need_value "$@"; missing=$2; shift 2 ;;
    --no-procedure) withProcedure=0; shift ;;
    --no-lme4) withLme4=0; shift ;;
    --lme4-limit) need_value "$@"; lme4Limit=$2; shift 2 ;;
    --lme4-memory) need_value "$@"; lme4MemoryGb=$2; shift 2 ;;
    --out) need_value "$@"; out=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done
[[ $repeats =~ ^[1-9][0-9]*$ ]] || die "--repeat needs a whole number from 1"
[[ $lme4Limit =~ ^[1-9][0-9]*$ ]] || die "--lme4-limit needs whole seconds"
[[ $lme4MemoryGb =~ ^[1-9][0-9]*$ ]] || die "--lme4-memory needs whole gigabytes"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (Debian package 'time')"

# name -> sites blocks families trees traits [missing cells, else --missing]
declare -A ladder=(
  [medium]="5 8 200 2 3"
  [large]="20 30 1000 1 5"
  [xlarge]="50 40 2000 1 5"
  [wide]="40 100 500 1 3 0.3"
  [wider]="60 100 500 1 3 0.3"
  [traits1]="20 30 1000 1 1"
  [traits10]="20 30 1000 1 10"
  [traits100]="20 30 1000 1 100"
)
order=(medium large xlarge wide wider traits1 traits10 traits100)

ExpandSizes() {
  local list=",$1," name
  list=${list//,all,/,medium,large,xlarge,wide,wider,traits1,traits10,traits100,}
  list=${list//,blocks,/,wide,wider,}
  list=${list//,traits,/,traits1,traits10,traits100,}
  for name in ${list//,/ }; do
    [[ -n ${ladder[$name]:-} ]] ||
      die "unknown size '$name' (medium, large, xlarge, wide, wider, traits1, traits10, traits100, blocks, traits, all)"
  done
  for name in "${order[@]}"; do
    [[ $list == *",$name,"* ]] && echo "$name"
  done
  return 0
}
mapfile -t chosen < <(ExpandSizes "$sizes")
mapfile -t baselineChosen < <(ExpandSizes "$baselineSizes")

# The trials run to gigabytes: never inside the source tree.
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
case $scratch/ in "$root"/*) die "--scratch must lie outside the repository ($root)" ;; esac
[[ -z $out ]] && out=$scratch/ladder.md

# --- Build ---------------------------------------------------------------
generator=$build/bench/generate_trial
if [[ -z $cli ]]; then
  if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DKORVAN_BUILD_GUI=OFF -DBUILD_TESTING=OFF -DKORVAN_BUILD_BENCH=ON >/dev/null
  fi
  grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt" ||
    die "$build is not a Release build; pass another --build folder"
  cmake --build "$build" -j2 --target korvan-cli generate_trial >/dev/null ||
    die "building korvan-cli and generate_trial in $build failed"
  cli=$build/korvan-cli
else
  [[ -x $generator ]] || cmake --build "$build" -j2 --target generate_trial >/dev/null ||
    die "no trial generator in $build; build the target generate_trial"
fi
[[ -x $cli ]] || die "no korvan-cli at $cli"
if [[ $baseline == straightforward ]]; then
  cmake --build "$build" -j2 --target korvan-cli-straightforward >/dev/null ||
    die "building korvan-cli-straightforward in $build failed"
  baseline=$build/korvan-cli-straightforward
fi
[[ -z $baseline || -x $baseline ]] || die "no baseline program at $baseline"
hasTimings=0
"$cli" --help 2>&1 | grep -q -- '--timings' && hasTimings=1

# --- Data ----------------------------------------------------------------
# Writes the trial of size $1 unless the same command already wrote it with
# this generator; echoes the data file's path.
GenerateTrial() {
  local name=$1 s b f t n m
  read -r s b f t n m <<<"${ladder[$name]}"
  local data=$scratch/$name.dat
  local command="--sites $s --blocks $b --families $f --trees $t --traits $n --missing ${m:-$missing} --seed $seed"
  if [[ ! -f $data.counts || $data.counts -ot $generator || $(cat "$data.made" 2>/dev/null) != "$command" ]]; then
    echo "generating $name ($s x $b x $f x $t, $n traits)" >&2
    # shellcheck disable=SC2086
    "$generator" $command --report "$scratch/$name.out" --out "$data" --sidecar >/dev/null
    echo "$command" >"$data.made"
  fi
  echo "$data"
}

Count() { awk -v key="$2" '$1 == key { print $2 }' "$1.counts"; }

# --- Runs ----------------------------------------------------------------
# RunOnce PROGRAM DATA TAG [extra options]: runs the program on the trial,
# leaves the report at DATA.TAG.report and sets runSeconds, runPeakMb, runExit
# and runStages (the stage seconds in the column order, "-" where unknown).
stageNames=(read coding set-up traits pairs report)
RunOnce() {
  local program=$1 data=$2 tag=$3; shift 3
  local args report=${data%.dat}.out timeLog=$data.$tag.time timings=$data.$tag.timings
  mapfile -t args <"$data.args"
  rm -f "$report" "$timings"
  local extra=(--quiet)
  [[ $hasTimings == 1 && $program == "$cli" ]] && extra+=(--timings "$timings")
  local start end
  start=$(date +%s%N)
  set +e
  /usr/bin/time -v -o "$timeLog" "$program" "${args[@]}" "${extra[@]}" "$@" 2>"$data.$tag.stderr" >/dev/null
  runExit=$?
  set -e
  end=$(date +%s%N)
  runSeconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", (b - a) / 1e9 }')
  runPeakMb=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$timeLog")
  runStages=()
  local stage value
  for stage in "${stageNames[@]}"; do
    value=-
    [[ -f $timings ]] && value=$(awk -v s="$stage" '$1 == s { t += $2; found = 1 } END { if (found) printf "%.6f", t; else print "-" }' "$timings")
    runStages+=("$value")
  done
  if [[ $runExit == 0 ]]; then
    mv "$report" "$data.$tag.report"
  else
    echo "run_ladder: $program failed on $(basename "$data") (exit $runExit):" >&2
    tail -n 5 "$data.$tag.stderr" >&2
  fi
}

# Best of $repeats runs: the fastest is the one least disturbed by the machine.
RunBest() {
  local program=$1 data=$2 tag=$3; shift 3
  local best='' bestPeak='' bestStages=() bestExit=0 r
  for ((r = 0; r < repeats; ++r)); do
    RunOnce "$program" "$data" "$tag" "$@"
    if [[ $runExit != 0 ]]; then bestExit=$runExit; break; fi
    if [[ -z $best ]] || awk -v a="$runSeconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$runSeconds bestPeak=$runPeakMb bestStages=("${runStages[@]}")
    fi
  done
  runExit=$bestExit
  if [[ $runExit == 0 ]]; then runSeconds=$best runPeakMb=$bestPeak runStages=("${bestStages[@]}"); fi
}

HaveLme4() { command -v Rscript >/dev/null && Rscript -e 'library(lme4)' >/dev/null 2>&1; }

# Seconds as the tables show them; the growth fit takes the microseconds.
Show() { awk -v t="$1" 'BEGIN { if (t == "-") print "-"; else printf "%.3f", t }'; }

# One line per run for the growth fit: name records p traits total, then the stage seconds.
results=$scratch/results.txt
: >"$results"
mainRows=() procRows=() baseRows=() lme4Rows=() remlRows=() notes=()
# A failed run or two reports that differ make the driver's exit status 1,
# after the tables are written.
faults=0

for name in "${chosen[@]}"; do
  data=$(GenerateTrial "$name")
  records=$(Count "$data" records) nSF=$(Count "$data" nSF) p=$(Count "$data" p) K=$(Count "$data" K)
  traits=$(Count "$data" traits)
  echo "running $name: $records records, p = $p, K = $K, nSF = $nSF" >&2
  RunBest "$cli" "$data" plain
  if [[ $runExit != 0 ]]; then
    mainRows+=("| $name | $records | $traits | $p | $K | $nSF | failed (exit $runExit) | | | | | | | |")
    faults=1
    continue
  fi
  plainRaw=$runSeconds plainSeconds=$(Show "$runSeconds")
  stageCells=
  for value in "${runStages[@]}"; do stageCells+=" $(Show "$value") |"; done
  mainRows+=("| $name | $records | $traits | $p | $K | $nSF |$stageCells $plainSeconds | $runPeakMb |")
  echo "$name $records $p $traits $runSeconds ${runStages[*]}" >>"$results"

  if [[ $withProcedure == 1 ]]; then
    RunBest "$cli" "$data" procedure --procedure "$data.procedure"
    if [[ $runExit != 0 ]]; then
      procRows+=("| $name | $plainSeconds | failed (exit $runExit) | | | |")
      faults=1
    else
      same=yes
      cmp -s "$data.plain.report" "$data.procedure.report" || same="**no**" faults=1
      procMb=$(awk -v b="$(stat -c %s "$data.procedure")" 'BEGIN { printf "%.1f", b / 1048576 }')
      ratio=$(awk -v a="$runSeconds" -v b="$plainRaw" 'BEGIN { printf "%.2f", a / b }')
      procRows+=("| $name | $plainSeconds | $(Show "$runSeconds") | $ratio | $procMb | $same |")
      rm -f "$data.procedure"
    fi
  fi

  if [[ -n $baseline && " ${baselineChosen[*]} " == *" $name "* ]]; then
    RunBest "$baseline" "$data" baseline
    if [[ $runExit != 0 ]]; then
      baseRows+=("| $name | $plainSeconds | failed (exit $runExit) | | |")
      faults=1
    else
      same=yes
      cmp -s "$data.plain.report" "$data.baseline.report" || same="**no**" faults=1
      ratio=$(awk -v a="$runSeconds" -v b="$plainRaw" 'BEGIN { printf "%.2f", a / b }')
      baseRows+=("| $name | $plainSeconds | $(Show "$runSeconds") | $ratio | $same |")
    fi
  fi

  # korvan's own REML beside the analysis of variance (--reml) on the sizes
  # lme4 is timed on: every trait alone, then with the pairs (medium only:
  # a pair of large takes minutes).
  if [[ $name == medium || $name == large ]]; then
    RunBest "$cli" "$data" reml --json "$data.reml.json" --reml --reml-pairs none
    if [[ $runExit != 0 ]]; then
      remlRows+=("| $name | $traits | $plainSeconds | failed (exit $runExit) | | |")
      faults=1
    else
      remlSeconds=$(Show "$runSeconds") remlPeak=$runPeakMb pairsCell=-
      if [[ $name == medium ]]; then
        RunBest "$cli" "$data" remlpairs --json "$data.reml.json" --reml --reml-pairs all
        pairsCell=$([[ $runExit == 0 ]] && Show "$runSeconds" || echo "failed (exit $runExit)")
      fi
      remlRows+=("| $name | $traits | $plainSeconds | $remlSeconds | $pairsCell | $remlPeak |")
    fi
    rm -f "$data.reml.json"
  fi

  # lme4 on medium for every trait; on large for the first trait only, within
  # hard limits of time and memory, because it has been seen to take over half
  # an hour and 14 GB there without finishing.
  if [[ $withLme4 == 1 && ($name == medium || $name == large) ]] && ! HaveLme4; then
    notes+=("lme4 was not run: R with lme4 is not installed (Debian: r-base-core, r-cran-lme4).")
    withLme4=0
  fi
  if [[ $withLme4 == 1 && ($name == medium || $name == large) ]]; then
    lastTrait=$traits
    [[ $name == large ]] && lastTrait=1
    echo "running lme4 on $name (traits 1 to $lastTrait, limit ${lme4Limit} s)" >&2
    lme4Start=$(date +%s)
    set +e
    (ulimit -v $((lme4MemoryGb * 1024 * 1024)); /usr/bin/time -v -o "$data.lme4.time" timeout "$lme4Limit" \
      Rscript "$root/bench/lme4_compare.R" "$data" "$traits" 1 "$lastTrait") >"$data.lme4" 2>"$data.lme4.stderr"
    lme4Exit=$?
    set -e
    lme4PeakMb=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$data.lme4.time")
    lme4Spent=$(($(date +%s) - lme4Start))
    if [[ $lme4Exit == 0 ]]; then
      lme4Seconds=$(awk '$1 == "total" { print $2 }' "$data.lme4")
      perTrait=$(awk '$1 ~ /^[0-9]+$/ { printf "%s%.2f", sep, $2; sep = ", " }' "$data.lme4")
      ratio=$(awk -v a="$lme4Seconds" -v b="$plainRaw" 'BEGIN { printf "%.0f", a / b }')
      lme4Rows+=("| $name | 1-$lastTrait | $plainSeconds | $lme4Seconds ($perTrait) | $lme4PeakMb | $ratio |")
    elif [[ $lme4Exit == 124 ]]; then
      ratio=$(awk -v a="$lme4Limit" -v b="$plainRaw" 'BEGIN { printf "%.0f", a / b }')
      lme4Rows+=("| $name | 1-$lastTrait | $plainSeconds | > $lme4Limit (stopped by the time limit) | $lme4PeakMb | > $ratio |")
    elif grep -q 'cannot allocate' "$data.lme4.stderr"; then
      lme4Rows+=("| $name | 1-$lastTrait | $plainSeconds | stopped by the ${lme4MemoryGb} GB memory limit after $lme4Spent s | $lme4PeakMb | |")
    else
      lme4Rows+=("| $name | 1-$lastTrait | $plainSeconds | failed (exit $lme4Exit after $lme4Spent s) | $lme4PeakMb | |")
      tail -n 3 "$data.lme4.stderr" >&2
    fi
  fi
done

# --- Growth --------------------------------------------------------------
# Least-squares slope of log(seconds) on log(size) over the rows that ran:
# t ~ c * size^b, b reported per column ("-" when a column has no positive
# times on two or more distinct sizes).
Exponents() {  # $1: rows to use (regex on the name), $2: size field (2 records, 3 p, 4 traits)
  awk -v rows="$1" -v col="$2" '
    $1 ~ rows {
      for (c = 5; c <= 11; ++c) {
        if ($c != "-" && $c > 0 && $col > 0) {
          x = log($col); y = log($c)
          n[c]++; sx[c] += x; sy[c] += y; sxx[c] += x * x; sxy[c] += x * y
        }
      }
    }
    END {
      line = ""
      for (k = 6; k <= 12; ++k) {
        c = k == 12 ? 5 : k
        d = n[c] * sxx[c] - sx[c] * sx[c]
        if (n[c] >= 2 && d > 1e-12) line = line sprintf(" %.2f |", (n[c] * sxy[c] - sx[c] * sy[c]) / d)
        else line = line " - |"
      }
      print line
    }' "$results"
}
Seconds() { awk -v n="$1" '$1 == n { print $5 }' "$results"; }
Ran() {  # the names among $@ that have a row, comma-separated
  local name list=''
  for name in "$@"; do
    [[ -n $(Seconds "$name") ]] && list+="${list:+, }$name"
  done
  echo "${list:--}"
}

# --- Report --------------------------------------------------------------
{
  echo "# korvan benchmark ladder"
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD 2>/dev/null || echo ' (with local changes)')"
  echo "- Machine: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GB", $2 / 1048576 }' /proc/meminfo)"
  echo "- Program: $cli; best of $repeats run(s); seed $seed, missing cells $missing"
  [[ $hasTimings == 1 ]] || echo "- Per-stage seconds are missing: this korvan-cli has no --timings option."
  echo
  echo "## Runs"
  echo
  echo "Seconds are wall-clock; the stage columns come from korvan-cli --timings, the total and the peak resident memory from /usr/bin/time -v."
  echo
  echo "| size | records | traits | p | K | nSF | read | coding | set-up | traits | pairs | report | total s | peak MB |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  printf '%s\n' "${mainRows[@]}"
  if ((${#procRows[@]})); then
    echo
    echo "## With and without --procedure"
    echo
    echo "| size | without s | with s | ratio | procedure file MB | same report |"
    echo "|---|---:|---:|---:|---:|---|"
    printf '%s\n' "${procRows[@]}"
  fi
  echo
  echo "## Growth"
  echo
  echo "Exponent b of a least-squares fit of log(seconds) on log(size), t ~ c size^b, per column."
  echo
  echo "| against | sizes | read | coding | set-up | traits | pairs | report | total |"
  echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
  echo "| records | $(Ran medium large xlarge) |$(Exponents '^(medium|large|xlarge)$' 2)"
  echo "| p | $(Ran medium large xlarge) |$(Exponents '^(medium|large|xlarge)$' 3)"
  echo "| traits | $(Ran traits1 large traits10 traits100) |$(Exponents '^(large|traits1|traits10|traits100)$' 4)"
  echo "| p, many blocks | $(Ran wide wider) |$(Exponents '^(wide|wider)$' 3)"
  large=$(Seconds large) wide=$(Seconds wide)
  if [[ -n $large && -n $wide ]]; then
    echo
    echo "wide against large: $(awk -v a="$wide" -v b="$large" 'BEGIN { printf "%.1f", a / b }') times the time (target: at most 25)."
  fi
  one=$(Seconds traits1) hundred=$(Seconds traits100)
  if [[ -n $one && -n $hundred ]]; then
    echo
    echo "100 traits against 1 trait on large: $(awk -v a="$hundred" -v b="$one" 'BEGIN { printf "%.2f", a / b }') times the time (target: under 3)."
  fi
  if ((${#baseRows[@]})); then
    echo
    echo "## Against the baseline build"
    echo
    echo "Baseline: $baseline"
    echo
    echo "| size | korvan s | baseline s | ratio | same report |"
    echo "|---|---:|---:|---:|---|"
    printf '%s\n' "${baseRows[@]}"
  fi
  if ((${#lme4Rows[@]})); then
    echo
    echo "## Against lme4 REML"
    echo
    echo "lme4 seconds are the fits alone (reading the file excluded), one trait after the other; korvan's are the whole batch run. Limits: ${lme4Limit} s, ${lme4MemoryGb} GB of address space."
    echo
    echo "| size | traits | korvan s | lme4 s (per trait) | lme4 peak MB | ratio |"
    echo "|---|---|---:|---:|---:|---:|"
    printf '%s\n' "${lme4Rows[@]}"
  fi
  if ((${#remlRows[@]})); then
    echo
    echo "## korvan's REML"
    echo
    echo "The whole batch run with --json --reml: every trait by REML beside the analysis of variance (pairs: also every pair by bivariate REML)."
    echo
    echo "| size | traits | korvan s | with REML s | with REML and pairs s | peak MB |"
    echo "|---|---|---:|---:|---:|---:|"
    printf '%s\n' "${remlRows[@]}"
  fi
  if ((${#notes[@]})); then
    echo
    printf -- '- %s\n' "${notes[@]}"
  fi
} >"$out"
cat "$out"
echo "written to $out" >&2
exit $faults
