#!/usr/bin/env bash
# The tests under valgrind: a Debug build without sanitizers in
# build-valgrind/, run under memcheck with full leak checking; any error or
# leak fails. The largest hostile inputs (HostileSize) are left out: they
# only repeat under valgrind, very slowly, what the other runs show. So is
# the out-of-memory test, whose allocator valgrind replaces with its own, and
# the test whose thread flips the white-space default until the others end:
# valgrind runs one thread at a time, so it barely ends (ThreadSanitizer
# runs it).
set -euo pipefail

cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
build=build-valgrind

command -v valgrind >/dev/null || { echo "valgrind: not installed" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVEXA_BUILD_TESTS=ON -DVEXA_BUILD_TOOLS=OFF \
    -DVEXA_BUILD_EXAMPLES=OFF -DVEXA_INSTALL=OFF -DVEXA_WERROR=ON
cmake --build "$build" -j "$jobs"

memcheck=(valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible
    --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --quiet)

"${memcheck[@]}" "$build/tests/vexa_tests" --gtest_filter='-HostileSize.*:Threads.WhiteSpacePerDocumentIgnoresTheDefault'
echo "valgrind: clean"
