#!/usr/bin/env bash
# Builds shedmate-demo and runs it against the built-in virtual loom.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh cmake make g++ googletest libcli11-dev nlohmann-json3-dev
cmake --preset default >/dev/null
cmake --build --preset default --target shedmate-demo >/dev/null
mkdir -p build/demo-run
cd build/demo-run
echo "(the log is written to $(pwd)/Shedmate.log)"
exec ../shedmate-demo "$@"
