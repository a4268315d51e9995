#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for SECONDS (default 60) with the
# seed corpus taken from real sessions. New inputs go to a scratch corpus;
# crashes are kept in build-fuzz/findings/. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/ensure-tools.sh clang libclang-rt-14-dev cmake make libcli11-dev nlohmann-json3-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
mkdir -p build-fuzz/findings
status=0
for target in controller_stream operator_input value_parsers; do
    work=build-fuzz/corpus/$target
    mkdir -p "$work"
    echo "== fuzz_$target for ${seconds}s"
    if ! (cd build-fuzz/findings &&
          ../tests/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
              -print_final_stats=1 "../../$work" "../../tests/fuzz/corpus/$target" 2>&1 |
          grep -E "stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|Test unit written|disabled leak detection" |
          tee "../fuzz_$target.summary"); then
        :
    fi
    # A target whose heap grows from input to input makes libFuzzer give up
    # looking for leaks; that is a finding too.
    if grep -q "disabled leak detection" "build-fuzz/fuzz_$target.summary"; then
        echo "fuzz_$target: leak detection was disabled (memory kept across inputs)" >&2
        status=1
    fi
    if ls build-fuzz/findings/crash-* build-fuzz/findings/timeout-* build-fuzz/findings/leak-* >/dev/null 2>&1; then
        echo "fuzz_$target: findings in build-fuzz/findings" >&2
        status=1
    fi
done
exit $status
