#!/usr/bin/env bash
# Rewrites abi/vexa.symbols from a fresh shared release build in build-abi/.
# Run it after a deliberate change of the public API and commit the result.
#
# usage: abi/update.sh [LIBRARY]   (a given library is used as it is)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -ge 1 ]; then
    library=$1
else
    build=$root/build-abi
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_STATIC=OFF \
        -DVEXA_BUILD_TESTS=OFF -DVEXA_BUILD_TOOLS=OFF -DVEXA_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build "$build" --target vexa -j2 >/dev/null
    library=$(find "$build" -maxdepth 1 -name 'libvexa.so.*.*.*' | head -n 1)
fi
exec bash "$root/abi/check.sh" --update "$library" "$root/abi/vexa.symbols"
