#!/usr/bin/env bash
# Compares the symbols that a built libvexa.so exports with the committed list.
#
# usage: abi/check.sh LIBRARY [SYMBOL_LIST]           exits 1 on a difference
#        abi/check.sh --update LIBRARY [SYMBOL_LIST]  rewrites the list
#
# The list holds demangled names only, one a line, sorted and unique: symbol
# kinds and the count of constructor and destructor variants differ between
# compilers, the names do not.
set -euo pipefail

update=false
if [ "${1:-}" = --update ]; then
    update=true
    shift
fi
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 [--update] LIBRARY [SYMBOL_LIST]" >&2
    exit 2
fi
library=$1
list=${2:-$(cd "$(dirname "$0")" && pwd)/vexa.symbols}
nm=${NM:-nm}

[ -f "$library" ] || { echo "abi: no library at $library" >&2; exit 2; }

exported() {
    # "ADDRESS KIND NAME..." -> "NAME..."; names may hold spaces.
    LC_ALL=C "$nm" -D --defined-only -C "$library" |
        awk '{ $1 = ""; $2 = ""; sub(/^ +/, ""); print }' |
        LC_ALL=C sort -u
}

if $update; then
    exported >"$list"
    echo "abi: wrote $(wc -l <"$list") symbols to $list"
    exit 0
fi

[ -f "$list" ] || { echo "abi: no symbol list at $list (run abi/update.sh)" >&2; exit 1; }
if ! diff -u "$list" <(exported); then
    cat >&2 <<MSG
abi: the exported symbols of $library differ from $list
     ('-' lines are no longer exported, '+' lines are new). If the change is
     meant, run abi/update.sh and commit the new list; otherwise mark the new
     code hidden (no VEXA_API, or an anonymous namespace).
MSG
    exit 1
fi
echo "abi: $(wc -l <"$list") exported symbols match $list"
