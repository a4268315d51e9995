#!/bin/sh
# Windows smoke run: the cross-built shedmate.exe with the virtual loom's
# ftd2xx.dll beside it, under wine. The DLL's model of the controller answers,
# so the program must log in, show the status screen and quit on "q"; then,
# on a terminal, Ctrl-C at the menu must end the run at once. Without a usable
# ftd2xx.dll the program must say so in one line.
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

# No usable library: one line that names the file (no "%1" left by Windows'
# texts), status 1, and no driver status the library never gave.
if [ "$fail" -eq 0 ]; then
    mkdir nolib && cp shedmate.exe nolib/ && cd nolib || exit 2
    for dll in none not-a-dll; do
        rm -f ftd2xx.dll
        [ "$dll" = not-a-dll ] && echo "not a library" >ftd2xx.dll
        WINEDEBUG=-all timeout 120 "$wine" shedmate.exe </dev/null >console.txt 2>stderr.txt
        status=$?
        if [ "$status" -ne 1 ]; then
            echo "windows smoke: $dll: exit status $status, expected 1" >&2
            fail=1
        fi
        check console.txt "FTDI's D2XX library could not be loaded (ftd2xx.dll: " "$dll: no word"
        if [ "$(grep -c . console.txt)" -ne 1 ] || grep -qF -e "%1" -e "FT_Open returned" console.txt; then
            echo "windows smoke: $dll: more than the one clear line" >&2
            fail=1
        fi
    done
    cd .. || exit 2
fi

# Ctrl-C at the menu prompt, typed on a terminal (script gives wine one), with
# no Enter after it: the run must end at once through its exit state, status 130.
if [ "$fail" -eq 0 ]; then
    mkdir ctrlc && cp shedmate.exe ftd2xx.dll ctrlc/ && cd ctrlc || exit 2
    plain() { sed 's/\x1b\[[0-9]*C/ /g; s/\x1b\[[0-9;?]*[a-zA-Z]//g' console.raw 2>/dev/null; }
    (
        for _ in $(seq 600); do plain | grep -q "for quit:" && break; sleep 0.1; done
        sleep 0.3
        date +%s%N >ctrlc.at
        printf '\003'
        # The terminal stays open, with nothing more typed, until the run has ended.
        for _ in $(seq 300); do [ -f status ] && break; sleep 0.1; done
    ) | {
        WINEDEBUG=-all timeout 60 script -qec "$wine shedmate.exe" /dev/null >console.raw 2>&1
        echo $? >status
        date +%s%N >ended.at
    }
    status=$(cat status)
    plain >console.txt
    if [ -f ctrlc.at ]; then
        echo "windows smoke: Ctrl-C at the menu ended the run in" \
            "$((($(cat ended.at) - $(cat ctrlc.at)) / 1000000)) ms"
    else
        echo "windows smoke: the menu prompt never came" >&2
        fail=1
    fi
    if [ "$status" -ne 130 ]; then
        echo "windows smoke: Ctrl-C: exit status $status, expected 130 (124: still waiting)" >&2
        fail=1
    fi
    check console.txt "Interrupted: closing the connection" "Ctrl-C not acted on"
    check Shedmate.log "interrupted by the operator" "Ctrl-C not logged"
    check Shedmate.log "Shedmate exiting at" "the interrupted run did not end cleanly"
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
