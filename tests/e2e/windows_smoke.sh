#!/bin/sh
# Windows smoke run: the cross-built shedmate.exe with the virtual loom's
# ftd2xx.dll beside it, under wine. The DLL's model of the controller answers,
# so the program must log in, show the status screen and quit on "q".
#
# Usage: windows_smoke.sh BUILD_WINDOWS_DIR
set -u

build=${1:?usage: windows_smoke.sh BUILD_WINDOWS_DIR}
wine=${WINE:-/usr/lib/wine/wine64}

exe=$build/shedmate.exe
dll=$build/virtual-loom/ftd2xx.dll
for f in "$exe" "$dll"; do
    if [ ! -f "$f" ]; then
        echo "windows smoke: missing $f" >&2
        exit 2
    fi
done

# The model mode, whatever the calling shell has set for the library.
for v in $(env | sed -n 's/^\(SHEDMATE_VLOOM_[A-Z_]*\)=.*/\1/p'); do
    unset "$v"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/shedmate-win-smoke.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
cp "$exe" "$dll" "$work/" || exit 2
cd "$work" || exit 2

# The program looks for ftd2xx.dll in its own folder first, as Windows does.
printf 'q\n' | WINEDEBUG=-all timeout 120 "$wine" shedmate.exe >console.txt 2>stderr.txt
status=$?

fail=0
check() {
    # $1 file, $2 text, $3 what it shows
    if ! grep -qF -- "$2" "$1"; then
        echo "windows smoke: $3: \"$2\" not in $1" >&2
        fail=1
    fi
}
if [ "$status" -ne 0 ]; then
    echo "windows smoke: shedmate.exe exited with status $status (124: timed out)" >&2
    fail=1
fi
check console.txt "Current Status" "no status screen"
check console.txt "LOOM-7" "the loom's name is not shown"
if [ -f Shedmate.log ]; then
    check Shedmate.log "Shedmate exiting at" "the run did not end cleanly"
else
    echo "windows smoke: no Shedmate.log" >&2
    fail=1
fi

if [ "$fail" -ne 0 ]; then
    echo "--- console:" >&2
    cat console.txt >&2
    echo "--- stderr:" >&2
    cat stderr.txt >&2
    echo "--- Shedmate.log:" >&2
    cat Shedmate.log >&2 2>/dev/null
    exit 1
fi
echo "windows smoke: passed"
