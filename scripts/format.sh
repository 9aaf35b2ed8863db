#!/bin/bash
# Formats our C++ sources with the .clang-format at the top of the tree.
#   scripts/format.sh          rewrite every source file in place
#   scripts/format.sh --check  change nothing; list the files that differ and exit 1 if any do
# Only files git tracks are considered, so build trees are never touched; the gSOAP interface
# header (annotations clang-format does not understand) is left out.
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
case "${1:-}" in
"") ;;
--check) check=1 ;;
*) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
mapfile -t sources < <(git ls-files -- '*.cpp' '*.h' '*.cc' '*.hpp' | grep -v -x -e 'core/webservice/dynamic.h')

if [ "$check" = 0 ]; then
    "$CLANG_FORMAT" -i --style=file "${sources[@]}"
    exit 0
fi

differ=0
for f in "${sources[@]}"; do
    if ! "$CLANG_FORMAT" --style=file "$f" | cmp -s - "$f"; then
        echo "$f"
        differ=1
    fi
done
if [ "$differ" = 1 ]; then
    echo "the files above are not formatted; run scripts/format.sh" >&2
fi
exit "$differ"
