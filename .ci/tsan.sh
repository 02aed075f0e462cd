#!/usr/bin/env bash
# ThreadSanitizer, in a release build: builds the test binary with clang and
# -fsanitize=thread in build-tsan/ as RelWithDebInfo, so NDEBUG compiles the
# assertions out. Runs the threads test, and the contract tests, which then
# show that a contract violation corrupts nothing.
set -euo pipefail

cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
build=build-tsan
flags="-fsanitize=thread -fno-omit-frame-pointer"

command -v clang++ >/dev/null || { echo "tsan: clang++ is needed" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEXA_BUILD_TESTS=ON -DVEXA_BUILD_TOOLS=OFF -DVEXA_BUILD_EXAMPLES=OFF -DVEXA_INSTALL=OFF \
    -DVEXA_WERROR=ON -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags"
cmake --build "$build" -j "$jobs" --target vexa_tests

# Kernels with a wide address randomisation break the sanitizer's memory
# layout; run without it where setarch can say so.
run=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    run=(setarch "$(uname -m)" -R)
fi

# The release build checks the contract tests (each suite tests violations
# under NDEBUG) and the threads test.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "${run[@]}" "$build/tests/vexa_tests" \
    --gtest_filter='Threads.*:*Contract*:AttributeSet.*'
