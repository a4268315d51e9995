#!/usr/bin/env bash
# Builds everything and runs every test (unit and end-to-end) on a Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh cmake make g++ googletest libcli11-dev nlohmann-json3-dev
cmake --preset default
cmake --build --preset default
# Every test runs in a folder of its own, so they run side by side, one per core.
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
ctest --preset default
