#!/usr/bin/env bash
# The Windows build and its tests under Wine: cross-builds the programs and morvane-setup.exe
# (scripts/build-windows.sh; the libraries come from its cache when warm), then runs the tests labelled
# "windows" (unit tests of the Windows platform layer, the installer end to end against the provider
# of the Linux tree, which must be built: build/dev/bin, or MORVANE_LINUX_BIN_DIR).
#
#   bash scripts/test-windows.sh [build-dir]        (build-dir: build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/windows}
LINUX_BIN=${MORVANE_LINUX_BIN_DIR:-$PWD/build/dev/bin}
t0=$SECONDS
bash scripts/build-windows.sh "$BUILD"
cmake "$BUILD" -DMORVANE_LINUX_BIN_DIR="$LINUX_BIN" >/dev/null
echo "test-windows: built in $((SECONDS - t0)) s"
t1=$SECONDS
ctest --test-dir "$BUILD" -L windows --output-on-failure
echo "test-windows: tests in $((SECONDS - t1)) s"
