#!/usr/bin/env bash
# End-to-end tests of the Windows batch program under wine: every case runs
# build-windows/korvan-cli.exe and the Linux build/korvan-cli on copies of the
# same files, and wants the same exit status, the same messages, the same
# files left in the folder, and reports byte-identical apart from line 1 (the
# report's path). Cases with drive letters and backslashes run the Windows
# program alone, on a drive A: that wine maps to a temporary folder, and are
# held against the Linux program's report of the same data.
# Needs both builds (tools/test.sh, tools/cross-windows.sh) and Debian wine64.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
linux=$top/${KORVAN_LINUX_CLI:-build/korvan-cli}
windows=$top/${KORVAN_WINDOWS_CLI:-build-windows/korvan-cli.exe}
[[ -x $linux && -f $windows ]] || { echo "windows-test: build $linux and $windows first" >&2; exit 1; }
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64 || command -v wine)
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)

work=$(mktemp -d /tmp/korvan-windows-test.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
started=$SECONDS
# One server for the set-up and all the cases: each run then starts in well
# under a second.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$wine" wineboot -i >/dev/null 2>&1
echo "windows-test: wine prefix set up in $((SECONDS - started)) s"
mkdir -p "$work/a" "$work/linux"
ln -s "$work/a" "$WINEPREFIX/dosdevices/a:"

# The inputs of every case: the bundled examples, the same with CR LF line
# ends as a Windows editor saves them, and files the reader must refuse.
inputs=$work/inputs
mkdir -p "$inputs"
cp examples/*.dat examples/*.csv "$inputs"
sed 's/$/\r/' examples/small_trial.dat >"$inputs/small_crlf.dat"
sed 's/$/\r/' examples/maize2010_6traits.csv >"$inputs/maize_crlf.csv"
tr '\n' '\r' <examples/small_trial.dat >"$inputs/small_cr.dat"
printf '\xff\xfe1\x002\x00\r\x00\n\x00' >"$inputs/unicode.dat"
mkdir -p "$inputs/sub"
# Quoted fields as spreadsheets write them: every site and hybrid in quotes,
# blanks around the hybrid, a site whose name holds a doubled quote, a comma
# and line ends (a blank line and one that begins with ':' among them), a
# hybrid whose name holds the delimiter; the same with semicolons and
# decimal commas, with tabs, and with CR LF. Then files whose quotes break
# the rules, each at line 5 of the sheet.
awk -F, -v OFS=, 'NR == 1 { print; next }
  { $1 = "\"" $1 "\""; $3 = " \"" $3 "\" " } { print }' examples/maize2010_6traits.csv |
  sed -e 's/"2010BA"/"2010 ""BA"", north\n\n:ridge"/' -e 's/"1161PRO"/"1161,PRO"/' >"$inputs/quoted.csv"
sed -e 's/,/;/g' -e 's/\([0-9]\)\.\([0-9]\)/\1,\2/g' -e 's/;\([0-9,]*\)$/;"\1"/' "$inputs/quoted.csv" \
  >"$inputs/quoted_semicolons.csv"
tr ',' '\t' <"$inputs/quoted.csv" >"$inputs/quoted_tabs.csv"
sed 's/$/\r/' "$inputs/quoted.csv" >"$inputs/quoted_crlf.csv"
sed '5s/^[^,]*,/20"10BA,/' examples/maize2010_6traits.csv >"$inputs/quote_inside.csv"
sed '5s/^[^,]*,/"2010BA"x,/' examples/maize2010_6traits.csv >"$inputs/after_quote.csv"
sed '5s/^[^,]*,/"2010BA,/' examples/maize2010_6traits.csv >"$inputs/never_closed.csv"

small=(--sites 3 --blocks 3 --families 5 --records 36 --traits 2 --age 10
       --site-col 1,4 --block-col 5,3 --family-col 8,4 --age-col 12,3 --trait-col 15,8)
wide=(--traits 6 --age 10 --site-col 1,4 --block-col 5,4 --family-col 9,6 --age-col 15,4 --trait-col 19,10)
maize=(--site-column site --block-column rep --family-column hybrid --trait-columns 5-10)
failures=0
Fail() { echo "windows-test: FAIL $1: $2" >&2; failures=$((failures + 1)); }

# Runs one program in its own copy of the inputs, where R.OUT already holds
# an earlier report that a failed run must leave as it is. Console output is
# compared with CR LF read as LF, as a Windows console program writes lines.
RunIn() {
  local dir=$1; shift
  rm -rf "$dir"
  cp -r "$inputs" "$dir"
  echo "earlier report" >"$dir/R.OUT"
  local status=0
  (cd "$dir" && "$@" >stdout.txt 2>stderr.txt) || status=$?
  echo "$status" >"$dir/status.txt"
  sed -i 's/\r$//' "$dir/stdout.txt" "$dir/stderr.txt"
}

# Reports: line 1 holds the path as given, which may differ. Procedure
# files: the last line holds the clock times of the run.
SameFile() {
  local name=$1 a=$2 b=$3
  if [[ $(basename "$a") == *.OUT ]]; then
    cmp -s <(tail -n +2 "$a") <(tail -n +2 "$b") || Fail "$name" "$(basename "$a") differs after line 1"
  else
    local clock='s/^ Start at [0-9:]* and Ended at [0-9:]*\r*$/ Start at T and Ended at T/'
    cmp -s <(sed "$clock" "$a") <(sed "$clock" "$b") || Fail "$name" "$(basename "$a") differs"
  fi
}

# Both programs with the same arguments (paths relative to the case folder).
Same() {
  local name=$1; shift
  RunIn "$work/linux/$name" "$linux" "$@"
  RunIn "$work/a/$name" "$wine" "$windows" "$@"
  local l=$work/linux/$name w=$work/a/$name
  cmp -s <(cd "$l" && find . -type f | sort) <(cd "$w" && find . -type f | sort) ||
    Fail "$name" "other files left: $(diff <(cd "$l" && find . -type f | sort) <(cd "$w" && find . -type f | sort) | tr '\n' ' ')"
  for f in status.txt stdout.txt stderr.txt; do
    cmp -s "$l/$f" "$w/$f" || Fail "$name" "$f differs: $(diff "$l/$f" "$w/$f" | head -5 | tr '\n' ' ')"
  done
  for f in "$l"/*.OUT "$l"/*.PRO; do
    [[ -f $f && -f $w/${f#"$l/"} ]] && SameFile "$name" "$f" "$w/${f#"$l/"}"
  done
  echo "windows-test: $name: status $(cat "$l/status.txt")"
}

# The bundled examples, fixed columns and a sheet with names.
Same small --quiet --data small_trial.dat --output R.OUT --procedure R.PRO "${small[@]}"
Same bamboo --quiet --data bamboo_height.dat --output R.OUT --traits 1 --age 10 \
  --site-col 1,4 --block-col 5,4 --family-col 9,6 --age-col 15,4 --trait-col 19,10
Same maize-fixed --quiet --data maize2010_6traits.dat --output R.OUT --procedure R.PRO "${wide[@]}"
Same maize-csv --quiet --data maize2010_6traits.csv --output R.OUT --procedure R.PRO "${maize[@]}"
Same maize-preview --preview 3 --data maize2010_6traits.csv "${maize[@]}"
# The results files with REML beside the analysis of variance, pairs and all.
Same maize-reml --quiet --data maize2010_6traits.csv --output R.OUT --json R.JSON --tables T --html R.HTML --reml \
  "${maize[@]}"
# CR LF files.
Same small-crlf --quiet --data small_crlf.dat --output R.OUT --procedure R.PRO "${small[@]}"
Same maize-crlf --quiet --data maize_crlf.csv --output R.OUT "${maize[@]}"
# Quoted fields, read by the one parser both programs share.
Same quoted --quiet --data quoted.csv --output R.OUT --procedure R.PRO "${maize[@]}"
Same quoted-preview --preview 3 --data quoted.csv "${maize[@]}"
Same quoted-semicolons --quiet --data quoted_semicolons.csv --output R.OUT --decimal-comma "${maize[@]}"
Same quoted-tabs --quiet --data quoted_tabs.csv --output R.OUT "${maize[@]}"
Same quoted-crlf --quiet --data quoted_crlf.csv --output R.OUT "${maize[@]}"
Same quote-inside --data quote_inside.csv --output R.OUT "${maize[@]}"
Same after-quote --data after_quote.csv --output R.OUT "${maize[@]}"
Same never-closed --data never_closed.csv --output R.OUT "${maize[@]}"
# A sample of the message catalogue; each leaves R.OUT as it was.
Same no-data-file --data NOPE.DAT --output R.OUT "${small[@]}"
Same misspelt-option --data small_trial.dat --output R.OUT --site-cols 1,4
Same malformed-count --data small_trial.dat --output R.OUT "${small[@]}" --records '90 trees'
Same given-twice --data small_trial.dat --output R.OUT "${small[@]}" --sites 2
Same capacity --data maize2010_6traits.csv --output R.OUT "${maize[@]}" --families 50
Same one-site --data small_trial.dat --output R.OUT "${small[@]/#10/5}"
Same cr-alone --data small_cr.dat --output R.OUT "${small[@]}"
Same utf16 --data unicode.dat --output R.OUT "${small[@]}"
Same no-folder --data small_trial.dat --output missing/R.OUT "${small[@]}"
Same output-is-data --data small_trial.dat --output small_trial.dat "${small[@]}"
Same unknown-column --data maize2010_6traits.csv --output R.OUT "${maize[@]/#hybrid/family}"

# Windows paths: A:\ + D.TXT, backslashes and drive letters in every output,
# forward slashes after a drive letter. Held against the Linux report.
RunIn "$work/linux/paths" "$linux" --quiet --data small_trial.dat --output R.OUT --procedure sub/R.PRO "${small[@]}"
WindowsPaths() {
  local name=$1 data=$2 report=$3 procedure=$4
  rm -f "$work/a/D.TXT" "$work/a/R.OUT"
  cp examples/small_trial.dat "$work/a/D.TXT"
  mkdir -p "$work/a/sub"
  local status=0
  "$wine" "$windows" --quiet --data "$data" --output "$report" --procedure "$procedure" "${small[@]}" \
    >"$work/a/stdout.txt" 2>&1 || status=$?
  [[ $status == 0 ]] || Fail "$name" "status $status: $(cat "$work/a/stdout.txt")"
  [[ -f $work/a/R.OUT && -f $work/a/sub/R.PRO ]] || { Fail "$name" "no report or procedure file"; return; }
  [[ $(head -n 1 "$work/a/R.OUT" | tr -d '\r') == "$report" ]] || Fail "$name" "line 1 is $(head -n 1 "$work/a/R.OUT")"
  SameFile "$name" "$work/linux/paths/R.OUT" "$work/a/R.OUT"
  SameFile "$name" "$work/linux/paths/sub/R.PRO" "$work/a/sub/R.PRO"
  [[ -z $(find "$work/a" "$work/a/sub" -maxdepth 1 -name '*.tmp') ]] || Fail "$name" "a temporary file is left"
  echo "windows-test: $name: status $status"
}
WindowsPaths drive-root 'A:\D.TXT' 'A:\R.OUT' 'A:\sub\R.PRO'
WindowsPaths drive-slashes 'A:/D.TXT' 'A:/R.OUT' 'A:/sub/R.PRO'

echo "windows-test: $((SECONDS - started)) s"
if ((failures)); then
  echo "windows-test: $failures failed" >&2
  exit 1
fi
echo "windows-test: all passed"
