#!/usr/bin/env bash
# The one command that installs what is missing, builds and runs every test.
#   bash scripts/test.sh            # dev preset, every test
#   bash scripts/test.sh asan       # AddressSanitizer + UBSan build, unit tests only
#   bash scripts/test.sh tsan       # ThreadSanitizer build, unit tests only
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"

bash scripts/setup-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j"$(nproc)"
