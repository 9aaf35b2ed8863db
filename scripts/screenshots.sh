#!/bin/sh
# Renders every window of the GUI offscreen into docs/screenshots (PNG).
#   scripts/screenshots.sh [build directory]     default: build/dev
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
cmake --build "$build" --target morvane-screenshots
"$build/bin/morvane-screenshots" "$root/docs/screenshots"
