#!/bin/sh
# Renders every window of the GUI offscreen into docs/screenshots (PNG), in Chinese (the original
# texts) and in English (files ending in -en).
#   scripts/screenshots.sh [build directory]     default: build/dev
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
cmake --build "$build" --target morvane-screenshots Morvane
"$build/bin/morvane-screenshots" "$root/docs/screenshots"
"$build/bin/morvane-screenshots" "$root/docs/screenshots" en
