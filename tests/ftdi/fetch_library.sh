#!/usr/bin/env bash
# Fetches FTDI's D2XX library once into OUT (npm package ftdi-d2xx, which ships
# FTDI's libftd2xx.a, ftd2xx.h and WinTypes.h; FTDI's licence keeps them out of
# the repository), links OUT/lib/libftd2xx.so from it, and compiles link/d2xx.h
# against FTDI's header for Linux x86-64, MinGW x64 and MinGW i686: every type,
# constant, layout and function type must match.
#
# Usage: tests/ftdi/fetch_library.sh OUT SOURCE_DIR
set -euo pipefail
package=ftdi-d2xx@1.3.1 # FTDI's libftd2xx 1.4.24
mkdir -p "$1"
out=$(cd "$1" && pwd) root=$(cd "$2" && pwd)
cd "$out"
if [ ! -f package/lib/Linux/libftd2xx.a ]; then
    command -v npm >/dev/null || { echo "fetch_library: npm is needed to fetch $package" >&2; exit 1; }
    rm -rf package ftdi-d2xx-*.tgz
    npm pack --silent "$package" >/dev/null
    tar xzf ftdi-d2xx-*.tgz
fi
inc=$out/package/inc
archive=$out/package/lib/Linux/libftd2xx.a
for f in "$inc/ftd2xx.h" "$inc/WinTypes.h" "$archive"; do
    [ -f "$f" ] || { echo "fetch_library: $package has no $f" >&2; exit 1; }
done

mkdir -p lib
gcc -shared -o lib/libftd2xx.so.new -Wl,--whole-archive "$archive" -Wl,--no-whole-archive \
    -lpthread -lrt -ldl
mv lib/libftd2xx.so.new lib/libftd2xx.so
echo "FTDI's library: $out/lib/libftd2xx.so"

status=0
for cxx in g++ x86_64-w64-mingw32-g++ i686-w64-mingw32-g++-posix; do
    if ! command -v "$cxx" >/dev/null; then
        # CI installs every one of them (scripts/ci-ftdi.sh).
        echo "ABI not checked for $cxx: not installed"
        [ -z "${CI:-}" ] || status=1
        continue
    fi
    "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$root" -I"$inc" \
        "$root/tests/ftdi/d2xx_abi_check.cpp"
    echo "ABI matches FTDI's: $("$cxx" -dumpmachine)"
done
exit $status
