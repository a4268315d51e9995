#!/usr/bin/env bash
# CI leg against FTDI's real D2XX library, fetched now from the npm registry
# (package ftdi-d2xx, which ships FTDI's libftd2xx.a, ftd2xx.h and WinTypes.h;
# FTDI's licence keeps them out of the repository):
#  1. link/d2xx.h is compiled against FTDI's header for Linux x86-64, MinGW x64
#     and MinGW i686; every type, constant, layout and function type must match.
#  2. The unmodified build/shedmate runs against FTDI's libftd2xx.so, each case
#     in a private mount namespace: no USB at all; a bus with only a root hub;
#     an FT245R on that bus (FTDI's library reads usbfs, which a tmpfs over
#     /proc/bus stands in for).
#
# Usage: scripts/ci-ftdi.sh [BUILD_DIR]   (default build/; shedmate is built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

FTDI_PACKAGE=ftdi-d2xx@1.3.1 # FTDI's libftd2xx 1.4.24

# Inside the private namespace: lay out the case's USB bus, run shedmate.
if [ "${1:-}" = "--in-namespace" ]; then
    case_name=$2 lib=$3 exe=$4 out=$5
    # Whatever USB this machine has stays out of sight.
    [ -d /dev/bus ] && mount -t tmpfs none /dev/bus
    [ -d /sys/bus/usb ] && mount -t tmpfs none /sys/bus/usb
    mount -t tmpfs none /proc/bus
    if [ "$case_name" != no-usb ]; then
        mkdir -p /proc/bus/usb/001
        # A root hub: device descriptor, then configuration, interface, endpoint.
        printf '\x12\x01\x00\x02\x09\x00\x01\x40\x6b\x1d\x02\x00\x06\x06\x03\x02\x01\x01' \
            >/proc/bus/usb/001/001
        printf '\x09\x02\x19\x00\x01\x01\x00\xe0\x00\x09\x04\x00\x00\x01\x09\x00\x00\x00' \
            >>/proc/bus/usb/001/001
        printf '\x07\x05\x81\x03\x04\x00\x0c' >>/proc/bus/usb/001/001
    fi
    if [ "$case_name" = ft245r ]; then
        # An FT245R (0403:6001): one interface, bulk endpoints in and out.
        printf '\x12\x01\x00\x02\x00\x00\x00\x08\x03\x04\x01\x60\x00\x06\x01\x02\x03\x01' \
            >/proc/bus/usb/001/002
        printf '\x09\x02\x20\x00\x01\x01\x00\xa0\x2d\x09\x04\x00\x00\x02\xff\xff\xff\x02' \
            >>/proc/bus/usb/001/002
        printf '\x07\x05\x81\x02\x40\x00\x00\x07\x05\x02\x02\x40\x00\x00' >>/proc/bus/usb/001/002
    fi
    mkdir -p "$out"
    cd "$out"
    # What FTDI's library itself reports on this bus, for the log to be checked against.
    LD_LIBRARY_PATH=$lib timeout 30 "$lib/list_devices" >ftdi-says.txt 2>&1 || true
    set +e
    LD_LIBRARY_PATH=$lib timeout 60 "$exe" </dev/null >console.txt 2>stderr.txt
    echo $? >status.txt
    exit 0
fi

build=${1:-build}
started=$(date +%s)
command -v npm >/dev/null || scripts/ensure-tools.sh npm
scripts/ensure-tools.sh g++ g++-mingw-w64-x86-64 g++-mingw-w64-i686-posix

if ! unshare -m true 2>/dev/null; then
    echo "ci-ftdi: cannot make a private mount namespace (unshare -m needs root or" \
        "CAP_SYS_ADMIN); the runs against FTDI's library need one" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/shedmate-ftdi.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

echo "== FTDI's library: fetching $FTDI_PACKAGE =="
(cd "$work" && npm pack --silent "$FTDI_PACKAGE" >/dev/null && tar xzf ftdi-d2xx-*.tgz)
inc=$work/package/inc
archive=$work/package/lib/Linux/libftd2xx.a
for f in "$inc/ftd2xx.h" "$inc/WinTypes.h" "$archive"; do
    [ -f "$f" ] || { echo "ci-ftdi: $FTDI_PACKAGE has no $f" >&2; exit 1; }
done

echo "== link/d2xx.h against FTDI's ftd2xx.h =="
for cxx in g++ x86_64-w64-mingw32-g++ i686-w64-mingw32-g++-posix; do
    "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$root" -I"$inc" \
        tests/ftdi/d2xx_abi_check.cpp
    echo "ABI matches FTDI's: $("$cxx" -dumpmachine)"
done

echo "== shedmate against FTDI's libftd2xx.so =="
lib=$work/lib
mkdir -p "$lib"
gcc -shared -o "$lib/libftd2xx.so" -Wl,--whole-archive "$archive" -Wl,--no-whole-archive \
    -lpthread -lrt -ldl
gcc -Wall -Wextra -I"$inc" tests/ftdi/list_devices.c -o "$lib/list_devices" -L"$lib" -lftd2xx
[ -x "$build/shedmate" ] || cmake --build "$build" --target shedmate
exe=$(cd "$build" && pwd)/shedmate

fail=0
expect() { # file text what
    if ! grep -qF -- "$2" "$1"; then
        echo "ci-ftdi: $case_name: $3: \"$2\" not in $(basename "$1")" >&2
        fail=1
    fi
}
refuse() { # file text what
    if grep -qF -- "$2" "$1"; then
        echo "ci-ftdi: $case_name: $3: \"$2\" in $(basename "$1")" >&2
        fail=1
    fi
}

for case_name in no-usb root-hub ft245r; do
    out=$work/$case_name
    unshare -m "$root/scripts/ci-ftdi.sh" --in-namespace "$case_name" "$lib" "$exe" "$out"
    status=$(cat "$out/status.txt")
    console=$out/console.txt log=$out/Shedmate.log
    [ -f "$log" ] || : >"$log"
    if [ "$status" != 1 ]; then
        echo "ci-ftdi: $case_name: exit status $status, expected 1" >&2
        fail=1
    fi
    expect "$log" "driver: FTDI D2XX library" "FTDI's library not the one used"
    # One failure, told once: one ERROR line and at most one line of advice.
    if [ "$(grep -c '^ERROR:' "$console")" != 1 ] || [ "$(grep -c . "$console")" -gt 2 ]; then
        echo "ci-ftdi: $case_name: not one ERROR line and at most one of advice" >&2
        fail=1
    fi
    expect "$log" "Shedmate exiting at" "no exit line"
    case $case_name in
    no-usb)
        expect "$out/ftdi-says.txt" "FT_CreateDeviceInfoList returned 18" \
            "FTDI's library lists devices without USB"
        expect "$console" "ERROR: FTDI's library cannot list USB devices: FT_CreateDeviceInfoList returned 18 (FT_OTHER_ERROR)." \
            "no word on the failed list"
        expect "$console" "ftdi_sio" "no hint"
        refuse "$console" "FT_Open returned" "FT_Open reported though never called"
        expect "$log" "ERROR: FT_CreateDeviceInfoList returned status : 18" "list failure not logged"
        expect "$log" "openLoom failed: 18" "failed start not logged"
        ;;
    root-hub)
        expect "$log" "Number of devices is 0" "a device listed on an empty bus"
        expect "$console" "ERROR: FT_Open returned: 2" "no failed open"
        ;;
    ft245r)
        expect "$log" "Number of devices is 1" "the FT245R not counted"
        # Every line FTDI's library gives for the device is in the log as it gave it.
        grep -q "^Dev 0:" "$out/ftdi-says.txt" || {
            echo "ci-ftdi: ft245r: FTDI's library did not list the device" >&2
            fail=1
        }
        while IFS= read -r line; do
            expect "$log" "$line" "device line differs from FTDI's library"
        done < <(grep -v "^Number of devices" "$out/ftdi-says.txt")
        expect "$console" "ERROR: FT_Open returned: " "open not refused"
        refuse "$console" "ERROR: FT_Open returned: 0" "open not refused"
        ;;
    esac
    echo "-- $case_name: status $status; console:"
    sed 's/^/   /' "$console"
    if [ "$fail" -ne 0 ]; then
        for f in ftdi-says.txt stderr.txt Shedmate.log; do
            echo "--- $case_name/$f:" >&2
            cat "$out/$f" >&2
        done
        exit 1
    fi
done
echo "ci-ftdi: passed in $(($(date +%s) - started)) s"
