#!/usr/bin/env bash
# CI leg against FTDI's real D2XX library: `ctest --preset ftdi` (tests/ftdi/).
# Its fixture fetches the library once from the npm registry (package
# ftdi-d2xx, never committed) and checks link/d2xx.h against FTDI's header for
# Linux x86-64, MinGW x64 and MinGW i686; every case then runs the unmodified
# build/shedmate through FTDI's libftd2xx.so and an FT245R emulated at the usbfs
# level, in a private mount namespace of its own (so as root).
#
# Usage: scripts/ci-ftdi.sh
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
command -v npm >/dev/null || scripts/ensure-tools.sh npm
scripts/ensure-tools.sh cmake make g++ googletest g++-mingw-w64-x86-64 g++-mingw-w64-i686-posix
cmake --preset default
cmake --build --preset default
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
ctest --preset ftdi
echo "ci-ftdi: passed in $(($(date +%s) - started)) s"
