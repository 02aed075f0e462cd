#!/usr/bin/env bash
# Installs a vexa build tree into a scratch prefix, moves that prefix (the
# package must be relocatable), checks the installed layout, then builds and
# runs consumer.cpp twice: through find_package(vexa) and through pkg-config.
#
# usage: run.sh BUILD_DIR WORK_DIR CMAKE CXX CONFIG shared|static
set -euo pipefail

if [ $# -ne 6 ]; then
    echo "usage: $0 BUILD_DIR WORK_DIR CMAKE CXX CONFIG shared|static" >&2
    exit 2
fi
build_dir=$1
work=$2
cmake=$3
cxx=$4
config=$5
kind=$6
here=$(cd "$(dirname "$0")" && pwd)

fail() {
    echo "package_consumer: FAILED: $*" >&2
    exit 1
}
# Runs a command with its output in a log, shown only when it fails.
logged() {
    local log=$work/$1
    shift
    echo "+ $*"
    "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$* (log: $log)"; }
}

rm -rf "$work"
mkdir -p "$work"

# The version the build tree was configured with: the library's file names,
# its SONAME and the compatible request follow it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
major=${version%%.*}
[ -n "$version" ] || fail "no project version in $build_dir/CMakeCache.txt"

# ------------------------------------------------------------------ install
install_args=(--install "$build_dir" --prefix "$work/prefix")
[ -n "$config" ] && install_args+=(--config "$config")
logged install.log "$cmake" "${install_args[@]}"
# Everything below uses the moved tree, so no absolute path may survive.
mv "$work/prefix" "$work/moved"
prefix=$work/moved

pc=$(find "$prefix" -name vexa.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc" ] || fail "vexa.pc not installed"
libdir=$(dirname "$(dirname "$pc")")
echo "installed libdir: ${libdir#"$prefix"/}"

[ -f "$prefix/include/vexa.h" ] || fail "include/vexa.h not installed"
[ ! -e "$prefix/include/vexaimpl.h" ] || fail "private header vexaimpl.h installed"
for f in vexaConfig.cmake vexaConfigVersion.cmake vexaTargets.cmake; do
    [ -f "$libdir/cmake/vexa/$f" ] || fail "cmake/vexa/$f not installed"
done

if [ "$kind" = shared ]; then
    [ -L "$libdir/libvexa.so" ] || fail "libvexa.so is not a symbolic link"
    [ -L "$libdir/libvexa.so.$major" ] || fail "libvexa.so.$major is not a symbolic link"
    if [ ! -f "$libdir/libvexa.so.$version" ] || [ -L "$libdir/libvexa.so.$version" ]; then
        fail "libvexa.so.$version missing or not a plain file"
    fi
    [ "$(readlink "$libdir/libvexa.so")" = "libvexa.so.$major" ] || fail "libvexa.so does not point to libvexa.so.$major"
    [ "$(readlink "$libdir/libvexa.so.$major")" = "libvexa.so.$version" ] ||
        fail "libvexa.so.$major does not point to libvexa.so.$version"
    if command -v readelf >/dev/null; then
        readelf -d "$libdir/libvexa.so.$version" | grep -q "SONAME.*\[libvexa\.so\.$major\]" ||
            fail "SONAME is not libvexa.so.$major"
    fi
else
    [ -f "$libdir/libvexa.a" ] || fail "libvexa.a not installed"
fi

# The tool, when it was built, must run from the moved tree as it is.
if [ -e "$prefix/bin/vexa" ]; then
    logged tool.log env -u LD_LIBRARY_PATH "$prefix/bin/vexa" --version
    echo "installed tool: $(head -n 1 "$work/tool.log")"
fi

# ------------------------------------------------------------ find_package
consumer_args=(-S "$here" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release)
request=(-DVEXA_REQUEST_VERSION="$major.0")
logged cmake-configure.log "$cmake" "${consumer_args[@]}" "${request[@]}" -B "$work/cmake-build"
grep -q "^vexa_DIR:PATH=$prefix/" "$work/cmake-build/CMakeCache.txt" || fail "find_package found a vexa outside $prefix"
logged cmake-build.log "$cmake" --build "$work/cmake-build"
exe=$work/cmake-build/vexa_consumer
[ -x "$exe" ] || exe=$work/cmake-build/${config:-Release}/vexa_consumer
logged cmake-run.log "$exe"
echo "find_package consumer: $(cat "$work/cmake-run.log")"

# Another major version, earlier or later, must not accept this package.
for other in $((major - 1)) $((major + 1)); do
    if "$cmake" "${consumer_args[@]}" -B "$work/cmake-build-v$other" -DVEXA_REQUEST_VERSION="$other.0" \
        >"$work/cmake-v$other.log" 2>&1; then
        fail "find_package(vexa $other.0) accepted version $version"
    fi
done

# -------------------------------------------------------------- pkg-config
if ! command -v pkg-config >/dev/null; then
    echo "pkg-config not found: pkg-config consumer skipped"
    exit 77
fi
PKG_CONFIG_PATH=$(dirname "$pc")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
export PKG_CONFIG_PATH
pc_version=$(pkg-config --modversion vexa)
pc_libdir=$(pkg-config --variable=libdir vexa)
[ "$(cd "$pc_libdir" && pwd -P)" = "$(cd "$libdir" && pwd -P)" ] || fail "vexa.pc libdir $pc_libdir is not $libdir"
# shellcheck disable=SC2046  # the flags are meant to split into words
logged pc-build.log "$cxx" -std=c++11 -Wall -Wextra -Wpedantic -Werror "$here/consumer.cpp" -o "$work/pc-consumer" \
    $(pkg-config --cflags --libs vexa) "-Wl,-rpath,$pc_libdir"
logged pc-run.log "$work/pc-consumer"
echo "pkg-config consumer (vexa $pc_version): $(cat "$work/pc-run.log")"
echo "package_consumer: OK"
