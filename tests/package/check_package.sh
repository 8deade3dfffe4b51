#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then builds and runs a small consumer against it,
# once through find_package and once through pkg-config.
# usage: check_package.sh BUILD_DIR CXX "CXX_FLAGS"
set -euo pipefail
build_dir=$1
cxx=$2
flags=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/binmat" && test -x "$work/prefix/bin/bf_test"
"$work/prefix/bin/binmat" --version

cmake -S "$here/consumer" -B "$work/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer"

pc_dir=$(dirname "$(find "$work/prefix" -name binmat.pc)")
# Word splitting of the flags is intended.
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags "$here/consumer/main.cpp" -o "$work/with-pkg-config" \
    $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs binmat)
"$work/with-pkg-config"
