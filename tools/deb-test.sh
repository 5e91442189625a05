#!/usr/bin/env bash
# The Debian package as a user gets it: CPack makes it from build/ (after
# tools/test.sh), apt-get installs it with its dependencies, the installed
# programs, manual pages, completion and examples are tried, and the package
# is removed again. Needs root (apt-get). Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=$top/${KORVAN_BUILD_DIR:-build}

Fail() { echo "deb-test: FAIL: $*" >&2; exit 1; }

rm -rf "$build/package"
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/package/korvan_*.deb)
[[ -f ${debs[0]} ]] || Fail "cpack made no korvan_*.deb"
deb=${debs[0]}
echo "deb-test: $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"

# A copy left by an interrupted earlier test would hide what this one installs.
if dpkg-query -W -f='${Status}' korvan 2>/dev/null | grep -q "install ok installed"; then
  apt-get remove -y korvan >/dev/null
fi
work=$(mktemp -d /tmp/korvan-deb-test.XXXXXX)
trap 'apt-get remove -y korvan >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; Fail "apt-get install refused the package"; }

[[ $(command -v korvan-cli) == /usr/bin/korvan-cli ]] || Fail "korvan-cli is not /usr/bin/korvan-cli"
[[ $(korvan-cli --version) == "korvan-cli $(dpkg-deb -f "$deb" Version)" ]] ||
  Fail "korvan-cli --version says '$(korvan-cli --version)'"
for f in /usr/bin/korvan /usr/share/applications/korvan.desktop /usr/share/icons/hicolor/scalable/apps/korvan.svg \
         /usr/share/man/man1/korvan.1 /usr/share/man/man1/korvan-cli.1 \
         /usr/share/bash-completion/completions/korvan-cli /usr/share/korvan/examples/README.md \
         /usr/share/doc/korvan/copyright /usr/share/doc/korvan/LICENSE; do
  [[ -s $f ]] || Fail "$f is not installed"
done
[[ $(head -c 4 /usr/share/icons/hicolor/256x256/apps/korvan.png | tail -c 3) == PNG ]] || Fail "no PNG icon"
# The desktop entry names a program and an icon that are there.
grep -qx 'Exec=korvan' /usr/share/applications/korvan.desktop || Fail "the desktop entry does not run korvan"
grep -qx 'Icon=korvan' /usr/share/applications/korvan.desktop || Fail "the desktop entry names another icon"

# The installed maize example gives the report of the build's program.
(cd "$work" && korvan-cli --quiet --data /usr/share/korvan/examples/maize2010_6traits.csv --output maize.out \
  --site-column site --block-column rep --family-column hybrid --trait-columns 5-10) ||
  Fail "the installed maize example failed"
"$build/korvan-cli" --quiet --data examples/maize2010_6traits.csv --output "$work/built.out" \
  --site-column site --block-column rep --family-column hybrid --trait-columns 5-10
cmp -s <(tail -n +2 "$work/maize.out") <(tail -n +2 "$work/built.out") ||
  Fail "the installed program's maize report differs from the build's"

# Every option of --help has its place in the manual page, and completes.
for option in $(korvan-cli --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
  grep -qF -- "${option//-/\\-}" /usr/share/man/man1/korvan-cli.1 || Fail "korvan-cli(1) lacks $option"
done
completed=$(bash -c 'source /usr/share/bash-completion/completions/korvan-cli; compopt() { :; }
  COMP_WORDS=(korvan-cli --missing ""); COMP_CWORD=2; _korvan_cli; echo "${COMPREPLY[*]}"
  COMP_WORDS=(korvan-cli --tr); COMP_CWORD=1; _korvan_cli; echo "${COMPREPLY[*]}"')
[[ $completed == $'stop drop zero\n--trait-col --trait-columns --traits' ]] || Fail "completion gives: $completed"

apt-get remove -y korvan >/dev/null
[[ ! -e /usr/bin/korvan-cli && ! -e /usr/share/korvan ]] || Fail "removing the package left its files"
echo "deb-test: installed, tried and removed $(basename "$deb")"
