#!/usr/bin/env bash
# Builds the benchmarks with the default preset (into build/) and runs them
# all, printing their figures and then their verdicts. With BUILD_DIR set it
# configures and builds there instead (RelWithDebInfo, like the preset).
# bench_ftdi runs too when this is root and FTDI's library has been fetched
# (`ctest --preset ftdi`).
#
# Run:  bench/run_all.sh
#       BUILD_DIR=/tmp/build-bench bench/run_all.sh
set -euo pipefail
cd "$(dirname "$0")/.."

benchmarks=(bench_startup bench_latency bench_idle_cpu bench_firmware bench_memory bench_reader_spin)
if [[ -n "${BUILD_DIR:-}" ]]; then
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$BUILD_DIR" -j2 --target "${benchmarks[@]}" bench_ftdi >/dev/null
else
    cmake --preset default >/dev/null
    cmake --build --preset default --target "${benchmarks[@]}" bench_ftdi >/dev/null
    BUILD_DIR=build
fi

if [ "$(id -u)" -eq 0 ] && [ -f "$BUILD_DIR/ftdi/lib/libftd2xx.so" ]; then
    benchmarks+=(bench_ftdi)
else
    echo "bench_ftdi left out: it needs root and FTDI's library (ctest --preset ftdi fetches it)"
fi
echo "machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name:[[:space:]]*//p'), $(uname -sr)"
results=$(mktemp)
trap 'rm -f "$results"' EXIT
status=0
for name in "${benchmarks[@]}"; do
    echo
    if ! "$BUILD_DIR/bench/$name" | tee -a "$results"; then
        printf '%s:\nverdict: FAILED TO RUN\n' "$name" >>"$results"
        status=1
    fi
done
echo
echo "== verdicts"
awk '/^bench_/ { name = $1 } /^verdict: / { sub(/^verdict: /, ""); print name, $0 }' "$results"
exit $status
