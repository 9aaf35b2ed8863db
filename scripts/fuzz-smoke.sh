#!/bin/bash
# Builds the fuzz preset and runs every fuzz target for a short while (FUZZ_SECONDS, default 30)
# on its seed corpus with its dictionary. Exits non-zero when a target finds a fault (or does not
# build). New inputs go to a scratch directory; the seed corpora in fuzz/ stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

bin=build/fuzz/bin
scratch=$(mktemp -d "${TMPDIR:-/tmp}/morvane-fuzz-smoke.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# target  seed corpus  dictionary
targets=(
    "channel_decode_fuzzer       fuzz/channel/corpus          fuzz/channel/decode.dict"
    "core_rtnetlink_fuzzer       fuzz/core/corpus             fuzz/core/rtnetlink.dict"
    "core_json_fuzzer            fuzz/core/json_corpus        fuzz/core/json.dict"
    "packet_fuzzer               fuzz/packet/corpus           fuzz/packet/packet.dict"
    "provider_http_fuzzer        fuzz/provider/corpus         fuzz/provider/http.dict"
    "webservice_documents_fuzzer fuzz/webservice/corpus       fuzz/webservice/documents.dict"
    "xml_document_fuzzer         fuzz/xml/corpus/document     fuzz/xml/document.dict"
    "xml_loadfile_fuzzer         fuzz/xml/corpus/loadfile     fuzz/xml/loadfile.dict"
)

failed=()
for line in "${targets[@]}"; do
    read -r name corpus dict <<<"$line"
    echo "== $name (${seconds}s)"
    mkdir -p "$scratch/$name"
    if ! "$bin/$name" -max_total_time="$seconds" -dict="$dict" -artifact_prefix="$scratch/$name-" \
        -print_final_stats=1 "$scratch/$name" "$corpus" >"$scratch/$name.log" 2>&1; then
        tail -n 40 "$scratch/$name.log"
        mkdir -p build/fuzz/findings
        cp "$scratch/$name"-* build/fuzz/findings/ 2>/dev/null || true
        failed+=("$name")
    else
        grep -E '^stat::number_of_executed_units|^Done' "$scratch/$name.log" || true
    fi
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "findings in: ${failed[*]} (inputs kept in build/fuzz/findings/)" >&2
    exit 1
fi
echo "no findings"
