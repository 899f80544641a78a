#!/usr/bin/env bash
# scripts/check-layers.sh on small trees: one row per rule it enforces. Each
# row starts from a tree that passes (every folder holds a header, and the top
# folder includes one from the bottom), makes one change and expects the
# script's exit status and a piece of what it says.
set -uo pipefail
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-layers.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

base_tree() {
    rm -rf "$scratch/tree"
    for folder in Host/support MAC_Class Host/protocol Host/link Host/system Host/package \
                  Host/engine Host/console Host/run; do
        mkdir -p "$scratch/tree/$folder"
        echo '#pragma once' >"$scratch/tree/$folder/${folder##*/}Part.h"
    done
    printf '#include "supportPart.h"\n#include <string>\n' >"$scratch/tree/Host/run/Flow.cpp"
    printf '#include "runPart.h"\n' >"$scratch/tree/Host/main.cpp"
}

rows=0
failed=0
row() {  # name, change (shell run in the tree), expected status, expected text
    rows=$((rows + 1))
    base_tree
    (cd "$scratch/tree" && eval "$2")
    local out status
    out=$("$check" "$scratch/tree" 2>&1)
    status=$?
    if [ "$status" -ne "$3" ] || [[ $out != *"$4"* ]]; then
        echo "FAILED $1: status $status (expected $3), output:"
        echo "$out"
        failed=$((failed + 1))
    fi
}

row "downward includes pass" ":" 0 "every include goes down"
row "an upward include fails at its line" \
    "printf '\n#include \"enginePart.h\"\n' >Host/link/Port.cpp" 1 \
    "Host/link/Port.cpp:2 includes enginePart.h of Host/engine, above Host/link"
row "a folder outside the order fails" "mkdir Host/extra" 1 "Host/extra is no folder"
row "a header name in two folders fails" "echo >Host/console/linkPart.h" 1 \
    "linkPart.h stands in both Host/link and Host/console"

echo "$((rows - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
