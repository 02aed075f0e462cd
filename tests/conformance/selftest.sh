#!/usr/bin/env bash
# The conformance runner on the small suites in sample/: the good one must
# pass, with its counts and its not-judged cases in the report; the bad one
# holds a document labelled well-formed that is not, and must fail naming it.
# Usage: selftest.sh RUNNER SAMPLE_DIR
set -uo pipefail

runner=$1
sample=$2
status=0
fail() {
    echo "selftest: $*" >&2
    status=1
}
expect() {  # expect OUTPUT-FILE REGEX WHAT
    grep -Eq -- "$2" "$1" || fail "$3 (no line matches /$2/)"
}

out=$(mktemp)
trap 'rm -f "$out"' EXIT

"$runner" "$sample/good" --strict-floor 0 >"$out" 2>&1
code=$?
cat "$out"
[ "$code" -eq 0 ] || fail "the good suite ended with status $code, not 0"
expect "$out" '^total +5 ' "five documents in the table"
expect "$out" '^well-formed XML 1.0 documents without external entities: 3, Vexa rejects 0$' \
    "three well-formed XML 1.0 documents, all accepted"
expect "$out" '^XML 1.1 documents \(not judged\): 1,' "one XML 1.1 document, found through nested bases"
expect "$out" '^canonical forms matched: [0-9]+ of [0-9]+ ' "the canonical forms counted"
expect "$out" '^conformance: failed documents: 0$' "no failure"
expect "$out" '^strict mode: well-formed XML 1.0 documents without external entities accepted: 3 of 3$' \
    "strict mode accepts the three well-formed documents"
expect "$out" '^conformance: strict mode failures: 0$' "no strict mode failure"

"$runner" "$sample/bad" --strict-floor 0 >"$out" 2>&1
code=$?
cat "$out"
[ "$code" -eq 1 ] || fail "the bad suite ended with status $code, not 1"
expect "$out" '^  mislabelled\.xml: valid, code [0-9]+ ' "the rejected document named, with Vexa's error"
expect "$out" '^conformance: failed documents: 1$' "one failure"

"$runner" >"$out" 2>&1
code=$?
[ "$code" -eq 2 ] || fail "no suite given: status $code, not 2"
"$runner" "$sample/missing" >"$out" 2>&1
code=$?
[ "$code" -eq 2 ] || fail "a missing catalogue: status $code, not 2"

[ "$status" -eq 0 ] && echo "selftest: passed"
exit "$status"
