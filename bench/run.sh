#!/usr/bin/env bash
# Runs the whole benchmark: installs the peer parsers when missing, builds
# vexa_bench in release mode, writes the generated inputs into a temporary
# directory, finds the real inputs that Debian packages installed, and prints
# the throughput table (one long-running process), the memory table, the
# growth table, the fresh-process table (one parse per new process), the
# instruction counts of one parse and of a parse in the steady state.
#
#   bench/run.sh               everything (about 20 minutes on 2 cores)
#   bench/run.sh --quick       a smoke run: small inputs, few and short measurements
#   bench/run.sh --callgrind   only the instruction counts and Vexa's parse profile
#   bench/run.sh --no-callgrind   everything but the instruction counts
#   bench/run.sh --no-install  never call apt-get
#   bench/run.sh --reader      only the reader's table (a 2 GB file is written
#                              to the temporary directory and deleted after)
#   bench/run.sh --xpath       only the query table (add --quick for a short run)
#
# VEXA_BUILD_DIR names the build directory (default build-bench/), JOBS the
# build parallelism (default 2).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VEXA_BUILD_DIR:-$root/build-bench}
jobs=${JOBS:-2}

quick=0
timing=1
callgrind=1
install=1
reader=1
xpath=1
xpathOnly=0
for arg in "$@"; do
    case "$arg" in
        --quick) quick=1 ;;
        --reader) timing=0; callgrind=0; reader=2; xpath=0 ;;
        --callgrind) timing=0; callgrind=1; reader=0 ;;
        --no-callgrind) callgrind=0 ;;
        --no-install) install=0 ;;
        --xpath) xpathOnly=1; timing=0; callgrind=0; reader=0 ;;
        *) echo "usage: bench/run.sh [--quick] [--callgrind|--no-callgrind|--reader|--xpath] [--no-install]" >&2; exit 2 ;;
    esac
done

# ------------------------------------------------------------------ peers

peers=(libpugixml-dev librapidxml-dev libxml2-dev libexpat1-dev)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if command -v dpkg-query >/dev/null; then
    missing=()
    for pkg in "${peers[@]}"; do installed "$pkg" || missing+=("$pkg"); done
    if [ ${#missing[@]} -gt 0 ] && [ "$install" = 1 ]; then
        sudo=()
        if [ "$(id -u)" -ne 0 ]; then
            if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then sudo=(sudo -n); else sudo=(none); fi
        fi
        if [ "${sudo[0]:-}" = none ]; then
            echo "not root: cannot install ${missing[*]}; those peers are skipped"
        else
            echo "installing the peers: ${missing[*]}"
            export DEBIAN_FRONTEND=noninteractive
            if ! "${sudo[@]}" apt-get install -y -q "${missing[@]}" >/dev/null; then
                "${sudo[@]}" apt-get update -q >/dev/null || true
                "${sudo[@]}" apt-get install -y -q "${missing[@]}" >/dev/null ||
                    echo "could not install ${missing[*]}; those peers are skipped"
            fi
        fi
    fi
fi

# ------------------------------------------------------------------ build

# Configured again on every run, so that peers installed just now are found.
if [ -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_BENCH=ON -DVEXA_BUILD_EXAMPLES=ON \
        -DVEXA_BUILD_TOOLS=ON >/dev/null
else
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_BENCH=ON -DVEXA_BUILD_TESTS=OFF \
        -DVEXA_BUILD_EXAMPLES=ON -DVEXA_BUILD_TOOLS=ON >/dev/null
fi
cmake --build "$build" -j "$jobs" --target vexa_bench vexa_reader_bench vexa_example_each vexa-tool >/dev/null
bin=$build/bench/vexa_bench

# ------------------------------------------------------------------ inputs

work=$(mktemp -d "${TMPDIR:-/tmp}/vexa-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ "$quick" = 1 ]; then scale=0.1; scale2=0.2; quickflag=--quick; runs=3; else scale=1; scale2=2; quickflag=; runs=7; fi
"$bin" --gen "$work/gen" --scale "$scale"
generated=("$work/gen/records.xml" "$work/gen/text.xml" "$work/gen/attrs.xml" "$work/gen/deep.xml")

# Real files from Debian packages, each content once.
declare -A wanted=(
    [shared-mime-info]='/mime/packages/freedesktop\.org\.xml$'
    [iso-codes]='/xml/iso-codes/[^/]*\.xml$'
    [xkb-data]='/xkb/rules/[^/]*\.xml$'
)
candidates=()
for pkg in shared-mime-info iso-codes xkb-data; do
    if ! command -v dpkg >/dev/null || ! installed "$pkg"; then
        echo "package $pkg is not installed: its files are skipped"
        continue
    fi
    while IFS= read -r f; do
        if [ -f "$f" ] && [ ! -L "$f" ] && [ -s "$f" ]; then candidates+=("$f"); fi
    done < <(dpkg -L "$pkg" | grep -E "${wanted[$pkg]}" | sort)
done
real=()
if [ ${#candidates[@]} -gt 0 ]; then
    while IFS= read -r f; do real+=("$f"); done < <(md5sum "${candidates[@]}" | awk '!seen[$1]++ { print $2 }')
fi

# ------------------------------------------------------------------ run

echo "Vexa benchmark on $(nproc) cores, $(uname -srm); load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$bin" --peers | awk '{ printf "%s%s", (NR > 1 ? ", " : "peers: "), $1 ($2 == "yes" ? "" : " (missing)") } END { print "" }'

# The reader's table: records.xml repeated inside one root to 2 GB or more
# (a tenth of that with --quick), read with Next in fresh processes.
if [ "$reader" != 0 ]; then
    "$bin" --gen "$work/small" --scale 0.1 >/dev/null
    copies=43
    [ "$quick" = 1 ] && copies=5
    records=$work/gen/records.xml
    big=$work/big.xml
    {
        head -n 3 "$records"
        body=$(($(wc -l <"$records") - 4))
        for _ in $(seq "$copies"); do tail -n +4 "$records" | head -n "$body"; done
        tail -n 1 "$records"
    } >"$big"
    "$build/bench/vexa_reader_bench" --table "$records" "$work/small/records.xml" "$big" \
        "$build/examples/vexa_example_each"
    # The tool on the same file: its counts and peak memory.
    tool_out=$( { /usr/bin/time -f "%M %e" "$build/tools/vexa" stats --each record "$big" >/dev/null; } 2>&1 | tail -n 1)
    echo "vexa stats --each record on the generated file: peak RSS $(awk '{ printf "%.1f MB, %.1f s", $1 / 1024, $2 }' <<<"$tool_out")  [figure: bounded]"
    rm -f "$big"
    echo "(2 cores shared with other work: timings are noisy; load average $(cut -d' ' -f1-3 /proc/loadavg))"
fi

if [ "$timing" = 1 ]; then
    "$bin" $quickflag --real "${real[@]}" --generated "${generated[@]}"

    largest=$(ls -S "${real[@]}" "${generated[@]}" | sed -n 1p)
    "$bin" --memory "$largest"

    "$bin" --gen "$work/gen2" --scale "$scale2"
    pairs=()
    for name in records text attrs deep; do pairs+=("$work/gen/$name.xml" "$work/gen2/$name.xml"); done
    "$bin" --growth $quickflag "${pairs[@]}"
    rm -rf "$work/gen2"

    "$bin" --fresh --runs "$runs" "${real[@]}" "${generated[@]}"
fi

# The query table runs on the largest file of each package.
if [ "$xpath" = 1 ] && { [ "$timing" = 1 ] || [ "$xpathOnly" = 1 ]; }; then
    queried=()
    for pattern in 'iso_639-3\.xml$' 'iso_3166-1\.xml$' 'freedesktop\.org\.xml$' '/(evdev|base)\.xml$'; do
        for f in "${real[@]}"; do
            if [[ $f =~ $pattern ]]; then queried+=("$f"); break; fi
        done
    done
    [ ${#queried[@]} -gt 0 ] || queried=("$work/gen/records.xml")
    "$bin" --xpath $quickflag "${queried[@]}"
fi

if [ "$callgrind" = 1 ]; then
    if ! command -v valgrind >/dev/null; then
        echo "valgrind is not installed: instruction counts skipped"
    else
        "$bin" --callgrind "${real[@]}" "${generated[@]}"

        # The steady-state figure is judged on the real files (else the records).
        if [ ${#real[@]} -gt 0 ]; then steady=("${real[@]}"); else steady=("$work/gen/records.xml"); fi
        "$bin" --steady "${steady[@]}"

        # Where Vexa's instructions go, on the largest real file (else the records).
        target=$(ls -S "${real[@]}" 2>/dev/null | sed -n 1p || true)
        [ -n "$target" ] || target=$work/gen/records.xml
        valgrind --tool=callgrind --instr-atstart=no --collect-atstart=no \
            --callgrind-out-file="$work/profile" "$bin" --one vexa "$target" >/dev/null 2>&1 || true
        if [ -f "$work/profile.1" ] && command -v callgrind_annotate >/dev/null; then
            echo
            echo "== Vexa's parse of $(basename "$target") by function (self instructions, top 15)"
            callgrind_annotate "$work/profile.1" >"$work/profile.txt" 2>/dev/null || true
            awk '/PROGRAM TOTALS/ { print; next } /file:function/ { on = 1; getline; next } on && NF { print }' \
                "$work/profile.txt" | sed -n 1,16p |
                sed -E 's/\(char const\*[^)]*\)/(...)/g; s/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g' |
                cut -c1-150
        fi
    fi
fi
