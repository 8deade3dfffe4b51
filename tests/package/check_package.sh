#!/usr/bin/env bash
# Builds a small consumer of binmat the three ways consumers use it: find_package and pkg-config
# against an install of the build tree, and add_subdirectory of the source tree. Each reads
# binary1 with both interfaces. A library-only build installed with an absolute library directory
# shows that the library needs nothing but a C++20 compiler and that its pkg-config file holds.
# usage: check_package.sh SOURCE_DIR BUILD_DIR CXX "CXX_FLAGS"
set -euo pipefail
source_dir=$1
build_dir=$2
cxx=$3
flags=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
configure() { cmake -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" "$@" >/dev/null; }

# Everything but the GDAL plugin, which goes to GDAL's own directory: staged under DESTDIR here,
# never into the system.
cmake --install "$build_dir" --prefix "$work/prefix" --component Unspecified >/dev/null
if grep -q gdal_plugin "$build_dir/cmake_install.cmake" 2>/dev/null ||
    grep -rq gdal_plugin "$build_dir/gdal/cmake_install.cmake" 2>/dev/null; then
    DESTDIR="$work/staged" cmake --install "$build_dir" --component gdal_plugin >/dev/null
    find "$work/staged" -name gdal_BINMAT.so | grep -q gdalplugins/gdal_BINMAT.so
fi
test -x "$work/prefix/bin/binmat" && test -x "$work/prefix/bin/bf_test"
"$work/prefix/bin/binmat" --version
(cd "$work" && "$work/prefix/bin/bf_test")
binary1=$work/binary1

echo "find_package:"
configure -S "$here/consumer" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$work/prefix"
cmake --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer" "$binary1"

pkg_config() { PKG_CONFIG_PATH="$1" pkg-config "${@:2}"; }
echo "pkg-config:"
pc_dir=$(dirname "$(find "$work/prefix" -name binmat.pc)")
# Word splitting of the flags is intended.
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags "$here/consumer/main.cpp" -o "$work/with-pkg-config" \
    $(pkg_config "$pc_dir" --cflags --libs binmat-formats)
"$work/with-pkg-config" "$binary1"

echo "add_subdirectory:"
configure -S "$here/consumer" -B "$work/with-subdirectory" -DBINMAT_SOURCE_DIR="$source_dir"
cmake --build "$work/with-subdirectory" >/dev/null
"$work/with-subdirectory/consumer" "$binary1"
# A parent project gets the library alone: no programs, tests or benchmarks of binmat's.
! find "$work/with-subdirectory" -name bf_test -o -name binmat_tests | grep -q .

echo "library alone, absolute library directory, pkg-config:"
configure -S "$source_dir" -B "$work/library-only" -DBINMAT_BUILD_PROGRAMS=OFF \
    -DBINMAT_BUILD_TESTS=OFF -DBINMAT_BUILD_BENCHMARKS=OFF -DBINMAT_INSTALL=ON \
    -DCMAKE_INSTALL_PREFIX="$work/fixed" -DCMAKE_INSTALL_LIBDIR="$work/elsewhere/lib64"
cmake --build "$work/library-only" >/dev/null
cmake --install "$work/library-only" >/dev/null
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags "$here/consumer/main.cpp" -o "$work/with-absolute-libdir" \
    $(pkg_config "$work/elsewhere/lib64/pkgconfig" --cflags --libs binmat-formats)
"$work/with-absolute-libdir" "$binary1"
