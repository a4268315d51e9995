#!/bin/sh
# Windows session runs: the cross-built shedmate.exe against the virtual loom's
# ftd2xx.dll under wine.
# - Piped input (UTF-8 bytes), with a broken ftd2xx.dll beside the program and
#   the virtual loom as ftd2xx64.dll: the program falls back to the second
#   name, and a loom name and a firmware path with accents reach the wire and
#   the file system as typed.
# - Typed on a terminal (script gives wine one): the same through the
#   console's wide API, a passphrase limit that counts bytes and a passphrase
#   never shown; the console is the program's alone, as after a double-click,
#   so the run ends with "Press Enter to close this window.".
# - Ctrl-C at the menu: the run ends at once, and holds its window.
# - Started from cmd, whose console the program shares: no hold.
# - No usable library, with a complete one in the current folder and on PATH:
#   that one is never loaded, and one line names each file found wanting.
# - Logoff: wine's end of session reaches the run, which closes the loom
#   (where the wine prefix has a graphics driver, which the hidden window
#   needs; .ci/run gives the CI's prefix wine's null driver).
#
# Usage: windows_smoke.sh BUILD_WINDOWS_DIR   (WINE: wine's loader, wine64 by default)
set -u

build=${1:?usage: windows_smoke.sh BUILD_WINDOWS_DIR}
wine=${WINE:-/usr/lib/wine/wine64}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)

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
export WINEDEBUG=-all
# Wine's console reads the terminal's bytes in the locale's character set.
export LC_ALL=C.UTF-8

work=$(mktemp -d "${TMPDIR:-/tmp}/shedmate-win-smoke.XXXXXX") || exit 2
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work" || exit 2

# Wine's desktop process, started by a program's first window, would keep the
# terminal of the run that started it open: start it here, away from them.
sh "$here/../wine_up.sh" "$wine"

fail=0
leg=""
complain() {
    echo "windows smoke: $leg: $1" >&2
    fail=1
}
check() {
    # $1 file, $2 text, $3 what it shows
    grep -qF -- "$2" "$1" || complain "$3: \"$2\" not in $1"
}
check_not() {
    ! grep -qF -- "$2" "$1" || complain "$3: \"$2\" in $1"
}
expect_status() {
    [ "$1" -eq "$2" ] || complain "exit status $1, expected $2 (124: timed out)"
}
show() {
    echo "--- $leg: console:" >&2
    cat console.txt >&2
    echo "--- $leg: Shedmate.log:" >&2
    cat Shedmate.log >&2 2>/dev/null
}
# A new folder for a leg, holding the program and what else is named.
folder() {
    mkdir "$work/$1" && cp "$exe" "$work/$1/" && cd "$work/$1" || exit 2
    leg=$1
}

# A firmware image and a loom name with accents, in UTF-8.
image="f$(printf '\303\251').bin"
name="Caf$(printf '\303\251')-Loom"
# What the loom's refusal shows of that name: one '?' per byte it cannot take.
seen_by_loom='bad hostname "Caf??-Loom"'
sent="<netconfig hostname=\"$name\" />"

# --- Piped input; ftd2xx.dll broken, ftd2xx64.dll the virtual loom.
folder piped
echo "not a library" >ftd2xx.dll
cp "$dll" ftd2xx64.dll
head -c 3000 /dev/zero >"$image"
printf '1\n%s\nf\n%s\ny\na\nq\n' "$name" "$image" |
    timeout 120 "$wine" shedmate.exe >console.txt 2>stderr.txt
expect_status $? 0
check console.txt "Current Status" "no status screen, so ftd2xx64.dll was not used"
check console.txt "Send $image (3000 bytes)" "the accented file was not opened"
check console.txt "the loom acknowledged it" "the image did not go"
check console.txt "$seen_by_loom" "the loom got other bytes than UTF-8"
check Shedmate.log "$sent" "the name was not sent as typed"
check Shedmate.log "Shedmate exiting at" "the run did not end cleanly"
[ "$fail" -eq 0 ] || show

# --- On a terminal.
plain() { sed 's/\x1b\[[0-9]*C/ /g; s/\x1b\[[0-9;?]*[a-zA-Z]//g' console.raw 2>/dev/null; }
# Waits until the screen has shown TEXT at least N times (default once).
await() {
    for _ in $(seq 600); do
        [ "$(plain | grep -oF -- "$1" | wc -l)" -ge "${2:-1}" ] && return 0
        sleep 0.1
    done
    echo "windows smoke: $leg: the screen never showed \"$1\" (${2:-1})" >&2
    return 1
}
# Runs the command in $1 on a terminal, typing what `type_in` types; the
# terminal stays open, with nothing more typed, until the run has ended.
on_terminal() {
    rm -f status
    (
        type_in
        for _ in $(seq 300); do [ -f status ] && break; sleep 0.1; done
    ) | {
        timeout 120 script -qec "$1" /dev/null >console.raw 2>&1
        echo $? >status
        date +%s%N >ended.at
    }
    plain >console.txt
}

folder typed
cp "$dll" .
head -c 3000 /dev/zero >"$image"
long=$(for _ in $(seq 25); do printf '\303\274'; done) # 25 characters, 50 bytes
secret="Gr$(printf '\303\274')ne-Wiese-1"
type_in() {
    await "for quit:" 1 && printf '1\r' &&
        await "New Loom Name:" && printf '%s\r' "$name" &&
        await "for quit:" 2 && printf 'f\r' &&
        await "Firmware image file:" && printf '%s\r' "$image" &&
        await "Type y to send:" && printf 'y\r' &&
        await "for quit:" 3 && printf '3\r' &&
        await "for scan:" &&
        printf '%s\r' "$(plain | sed -n 's/.*\[\([0-9]*\)\] *Dye-House.*/\1/p' | head -n 1)" &&
        await "Passphrase:" && printf '%s\r' "$long" &&
        await "at most 48 characters" && printf '%s\r' "$secret" &&
        await "for quit:" 4 && printf 'a\r' &&
        await "for quit:" 5 && printf 'q\r' &&
        await "Press Enter to close this window." && printf '\r'
}
on_terminal "$wine shedmate.exe"
expect_status "$(cat status)" 0
check console.txt "Send $image (3000 bytes)" "the accented file typed was not opened"
check console.txt "the loom acknowledged it" "the image did not go"
check console.txt "$seen_by_loom" "the loom got other bytes than UTF-8"
check console.txt "A passphrase may be at most 48 characters" "the limit did not count bytes"
check_not console.txt "$secret" "the passphrase was shown"
check_not Shedmate.log "$secret" "the passphrase was logged"
check Shedmate.log "$sent" "the typed name was not sent as typed"
check Shedmate.log "set passphrase: " "the passphrase was not taken"
check Shedmate.log "Shedmate exiting at" "the run did not end cleanly"
[ "$fail" -eq 0 ] || show

# --- Ctrl-C at the menu prompt, with no Enter after it: the run ends at once
# and holds its window, which a second Ctrl-C closes.
folder ctrlc
cp "$dll" .
type_in() {
    await "for quit:" || return
    sleep 0.3
    date +%s%N >ctrlc.at
    printf '\003'
    await "Press Enter to close this window." && date +%s%N >held.at && printf '\003'
}
on_terminal "$wine shedmate.exe"
if [ -f held.at ]; then
    echo "windows smoke: Ctrl-C at the menu ended the run in" \
        "$((($(cat held.at) - $(cat ctrlc.at)) / 1000000)) ms"
fi
expect_status "$(cat status)" 130
check console.txt "Interrupted: closing the connection" "Ctrl-C not acted on"
check Shedmate.log "interrupted by the operator" "Ctrl-C not logged"
check Shedmate.log "Shedmate exiting at" "the interrupted run did not end cleanly"
[ "$fail" -eq 0 ] || show

# --- Started from cmd, whose console it shares: no hold.
folder shell
cp "$dll" .
type_in() {
    await "for quit:" && printf 'q\r'
}
on_terminal "$wine cmd /c shedmate.exe"
expect_status "$(cat status)" 0
check Shedmate.log "Shedmate exiting at" "the run did not end cleanly"
check_not console.txt "Press Enter to close this window." "a shell's console was held"
[ "$fail" -eq 0 ] || show

# --- No usable library beside the program; a complete one in the current
# folder and on PATH, never loaded. One line names each file and why, one more
# gives Windows' advice only, and no driver status the library never gave.
folder nolib
mkdir planted && cp "$dll" planted/ftd2xx.dll && cp "$dll" planted/ftd2xx64.dll
for case in absent not-a-dll; do
    leg="nolib, $case"
    [ "$case" = not-a-dll ] && echo "not a library" >ftd2xx.dll
    (cd planted && WINEPATH='Z:'"$PWD" timeout 120 "$wine" ../shedmate.exe </dev/null \
        >../console.txt 2>../stderr.txt)
    expect_status $? 1
    check console.txt "FTDI's D2XX library could not be loaded (ftd2xx.dll: " "no word"
    check console.txt "ftd2xx64.dll: not found in this program's folder or the Windows system folder" \
        "ftd2xx64.dll not named, or found elsewhere"
    check console.txt "FTDI's installer" "no Windows advice"
    if [ "$case" = absent ]; then
        check console.txt "ftd2xx.dll: not found in this program's folder" "ftd2xx.dll found elsewhere"
    else
        check console.txt "such as this one)" "no word on why ftd2xx.dll would not do"
    fi
    if [ "$(grep -c '^ERROR:' console.txt)" -ne 1 ] || [ "$(grep -c . console.txt)" -gt 2 ] ||
        grep -qF -e "%1" -e "FT_Open returned" -e "rmmod" -e "Linux" console.txt; then
        complain "more than one clear line and one of advice"
    fi
    [ "$fail" -eq 0 ] || show
done

# --- Logoff: wine ends its session while the run waits at the menu. On a
# terminal: wine cannot cut short a read of a pipe of its own host.
folder logoff
cp "$dll" .
if ! "$wine" reg query 'HKCU\Software\Wine\Drivers' /v Graphics 2>/dev/null | grep -qi null &&
    [ -z "${DISPLAY:-}" ]; then
    echo "windows smoke: logoff not tried: this wine prefix has no graphics driver" \
        "(wine reg add 'HKCU\\Software\\Wine\\Drivers' /v Graphics /d null)"
else
    type_in() {
        await "for quit:" || return
        date +%s%N >logoff.at
        "$wine" wineboot --end-session </dev/null >/dev/null 2>&1
    }
    on_terminal "$wine shedmate.exe"
    # Wine ends the process once its window has answered, whatever its status.
    elapsed=$((($(cat ended.at) - $(cat logoff.at)) / 1000000))
    echo "windows smoke: logoff ended the run in $elapsed ms"
    [ "$elapsed" -lt 4000 ] || complain "the process was held until Windows would end it"
    check Shedmate.log "interrupted by the operator" "the end of the session did not reach the run"
    check Shedmate.log "Shedmate exiting at" "the run did not end cleanly"
    [ "$fail" -eq 0 ] || show
fi

if [ "$fail" -ne 0 ]; then
    exit 1
fi
echo "windows smoke: passed"
