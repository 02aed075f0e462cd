#!/usr/bin/env bash
# Bounded fuzzing: builds the libFuzzer targets with clang in build-fuzz/ and
# runs each for FUZZ_SECONDS (default 120) from a scratch copy of its seed
# corpus. Any crash, leak, sanitizer report, timeout or failed check fails
# the script; the input that caused it is left in build-fuzz/findings/.
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-120}
jobs=${JOBS:-2}
build=build-fuzz

command -v clang++ >/dev/null || { echo "fuzz: clang++ is needed" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DVEXA_BUILD_FUZZERS=ON -DVEXA_BUILD_TESTS=OFF -DVEXA_BUILD_TOOLS=OFF \
    -DVEXA_BUILD_EXAMPLES=OFF -DVEXA_INSTALL=OFF -DVEXA_WERROR=ON
targets=(parse stream roundtrip dom xpath)
cmake --build "$build" -j "$jobs" --target "${targets[@]/%/_fuzzer}"

rm -rf "$build/work" "$build/findings"
mkdir -p "$build/findings"
status=0
for target in "${targets[@]}"; do
    corpus="$build/work/$target"
    mkdir -p "$corpus"
    cp fuzz/corpus/"$target"/* "$corpus"/
    echo "fuzz: $target for ${seconds}s"
    if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$build/fuzz/${target}_fuzzer" "$corpus" -dict=fuzz/xml.dict -max_total_time="$seconds" \
        -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target-" >"$build/findings/$target.log" 2>&1; then
        echo "fuzz: $target FAILED; last lines of $build/findings/$target.log:" >&2
        tail -n 40 "$build/findings/$target.log" >&2
        status=1
    else
        grep -E '^stat::number_of_executed_units' "$build/findings/$target.log" || true
    fi
done
[ "$status" -eq 0 ] && echo "fuzz: no findings"
exit "$status"
