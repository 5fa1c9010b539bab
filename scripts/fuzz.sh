#!/bin/bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for SECONDS (default 60).
# Usage: fuzz.sh [SECONDS]     (CORVANE_FUZZ_BUILD names the build folder, default build-fuzz)
#
# Each target starts from its seed corpus in tests/fuzz/corpus/<name> (regression inputs of past
# findings included) and keeps what it learns in <build>/corpus/<name>, so longer runs add up.
# A finding is written to <build>/findings/ and ends the script with a failure; copy it into the
# seed corpus once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${CORVANE_FUZZ_BUILD:-build-fuzz}
targets=(fuzz_receive fuzz_updatefile fuzz_codec)

cmake -S . -B "$build" -DCORVANE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

# No MIDI service is needed: the global port manager finds none and the targets never send.
export JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=corvane-nobody QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

mkdir -p "$build/findings"
status=0
summary=""
for target in "${targets[@]}"; do
    name=${target#fuzz_}
    work="$build/corpus/$name"
    log="$build/findings/$target.log"
    mkdir -p "$work"
    echo "== $target: $seconds s"
    # -rss_limit_mb: ASan's quarantine alone holds 256 MB of freed blocks.
    if "$build/tests/fuzz/$target" "$work" "tests/fuzz/corpus/$name" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target-" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        summary+="$target: $runs executions in $seconds s, no finding"$'\n'
    else
        status=1
        summary+="$target: FINDING, see $log and $build/findings/$target-*"$'\n'
        grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -5 >&2 || true
    fi
done
printf '%s' "$summary"
exit "$status"
