#!/usr/bin/env bash
# The W3C XML conformance suite, in the test build (g++) and in the sanitizer
# build (ASan + UBSan, clang): fetched once into build-conformance/ with
# `npm pack`, then every document through the runner. A well-formed XML 1.0
# document that fails to load, a saved copy that libxml2 rejects or reads
# differently, a crash, a hang or a sanitizer report fails the script. Both
# builds run even when the first fails, so the log shows both tables.
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
jobs=${JOBS:-2}
status=0

echo "conformance: test build"
make conformance VEXA_WERROR=ON CXX=g++ JOBS="$jobs" || status=1

echo "conformance: sanitizer build"
make conformance SANITIZE=1 VEXA_WERROR=ON JOBS="$jobs" || status=1

[ "$status" -eq 0 ] && echo "conformance: both builds passed"
exit "$status"
