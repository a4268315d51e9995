#!/usr/bin/env bash
# CI leg for the packages: cpack builds the Debian package from build/ and the
# Windows zip from build-windows/ (both built before); the .deb is installed
# with dpkg -i, and the installed programs are run from their installed paths
# (shedmate --version, a scripted shedmate-demo --fast session and a command); --help, the
# man page and the README are compared; the zip must
# hold the two programs and the README, and no ftd2xx.dll. The package is
# removed again at the end.
#
# Usage: scripts/ci-package.sh [BUILD_DIR [BUILD_WINDOWS_DIR]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
build_windows=${2:-build-windows}
started=$(date +%s)
scripts/ensure-tools.sh dpkg-dev unzip

fail() {
    echo "ci-package: $*" >&2
    exit 1
}

echo "== Debian package =="
rm -f "$build"/shedmate_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/shedmate_*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/shedmate ./usr/bin/shedmate-demo ./usr/lib/udev/rules.d/70-shedmate.rules \
    ./usr/share/doc/shedmate/README.md ./usr/share/man/man1/shedmate.1.gz; do
    grep -q " $f\$" <<<"$contents" || fail "$deb lacks $f"
done
grep -qF 'ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001"' packaging/70-shedmate.rules
grep -qF "$(grep -v '^#' packaging/70-shedmate.rules)" README.md ||
    fail "the packaged udev rule is not the one the README gives"

if dpkg-query -W -f='${Status}' shedmate 2>/dev/null | grep -q "install ok installed"; then
    fail "a shedmate package is installed already; not replacing it"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/shedmate-package.XXXXXX")
cleanup() {
    dpkg -r shedmate >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
dpkg -i "$deb" >/dev/null

version=$(/usr/bin/shedmate --version)
echo "installed: $version"
[[ $version == "shedmate "* ]] || fail "shedmate --version printed \"$version\""
/usr/bin/shedmate-demo --version >/dev/null
status=0
/usr/bin/shedmate --no-such-option 2>"$work/usage.txt" >/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unknown option ended with status $status, expected 2"
grep -q "^usage: shedmate" "$work/usage.txt" || fail "no usage on standard error"

# --help, the man page and the README name the same commands, options and set
# fields: whatever a --help lists must be in the other two.
man=$(zcat /usr/share/man/man1/shedmate.1.gz | sed 's/\\-/-/g; s/\\f[BIRP]//g')
readme=$(cat /usr/share/doc/shedmate/README.md)
helps=$(/usr/bin/shedmate-demo --help
    for command in list show scan set firmware; do /usr/bin/shedmate-demo $command --help; done)
names=$(grep -oE '^  (-h, )?--[a-z-]+|^  [a-z]+=|^  (list|show|scan|set|firmware) ' <<<"$helps" |
    sed 's/^  //; s/^-h, //; s/ $//' | sort -u)
[ "$(wc -l <<<"$names")" -ge 20 ] || fail "too few names read from --help: $names"
for name in $names; do
    grep -qF -- "$name" <<<"$man" || fail "the man page does not mention $name (from --help)"
    grep -qF -- "$name" <<<"$readme" || fail "the README does not mention $name (from --help)"
done
echo "--help, man page and README: $(wc -l <<<"$names") names agree"

# A session from the installed path: rename the loom, apply, quit.
(cd "$work" && printf '1\nLOOM-9\na\nq\n' | timeout 60 /usr/bin/shedmate-demo --fast >console.txt) ||
    fail "the installed shedmate-demo ended with status $?"
grep -q "LOOM-9" "$work/console.txt" || fail "the renamed loom is not shown"
grep -q "Shedmate version" "$work/Shedmate.log" || fail "no version in the log"
grep -q "Shedmate exiting at" "$work/Shedmate.log" || fail "the session did not end cleanly"
(cd "$work" && timeout 60 /usr/bin/shedmate-demo --fast show --json >show.json 2>/dev/null) ||
    fail "the installed shedmate-demo show ended with status $?"
grep -q '"name": "LOOM-7"' "$work/show.json" || fail "show --json printed no loom name"
echo "installed shedmate-demo: scripted session and a command passed"

echo "== Windows zip =="
rm -f "$build_windows"/shedmate-*.zip
(cd "$build_windows" && cpack -G ZIP >/dev/null)
zip=$(ls "$build_windows"/shedmate-*.zip)
listing=$(unzip -Z1 "$zip")
echo "$listing"
for f in shedmate.exe shedmate-demo.exe README.txt; do
    grep -q "/$f\$" <<<"$listing" || fail "$zip lacks $f"
done
if grep -qi "\.dll\$" <<<"$listing"; then
    fail "$zip holds a DLL; FTDI's installed ftd2xx.dll must be the one loaded"
fi
if [ -x /usr/lib/wine/wine64 ]; then
    mkdir "$work/zip" && unzip -q "$zip" -d "$work/zip"
    exe=$(ls "$work"/zip/*/shedmate.exe)
    version=$(cd "$(dirname "$exe")" && WINEDEBUG=-all timeout 120 /usr/lib/wine/wine64 shedmate.exe --version | tr -d '\r')
    echo "zipped, under wine: $version"
    [[ $version == "shedmate "* ]] || fail "the zipped shedmate.exe --version printed \"$version\""
fi
echo "ci-package: passed in $(($(date +%s) - started)) s"
