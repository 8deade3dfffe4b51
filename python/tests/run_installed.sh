#!/usr/bin/env bash
# Installs the Python package as a user does (a virtual environment over Debian's Python packages,
# no network) and runs its tests against that installation.
# Usage: run_installed.sh BUILD_DIR BF_TEST BINMAT_TOOL
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$1
export BF_TEST=$2 BINMAT_TOOL=$3

venv=$build_dir/python-venv
log=$build_dir/python-install.log
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
# The extension is the one this build made (held to the warnings of the rest of the C++).
if ! BINMAT_CMAKE_BUILD_DIR=$build_dir "$venv/bin/pip" install -v --no-build-isolation --no-index \
    "$source_dir/python" >"$log" 2>&1; then
    cat "$log"
    echo "installing the Python package failed" >&2
    exit 1
fi
# From elsewhere, so that only the installed package can be imported.
cd "$build_dir"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$source_dir/python/tests"
