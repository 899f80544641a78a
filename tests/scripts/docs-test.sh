#!/bin/bash
# The documents against the programs:
#   - every fenced block marked `sh` in README.md and docs/*.md runs with
#     sh -e in a fresh folder (build/bin there is the build's bin folder) and
#     must succeed; FLASHPILOT_TIME_SCALE is SCALE, so the blocks that run
#     the stand-in take a second or two;
#   - every long option that `--help` of flashpilot, fwpack and modemsim
#     prints is named in that program's manual page;
#   - every relative link between the documents names a file that exists.
# usage: docs-test.sh BIN_DIR [SCALE]   (SCALE: FLASHPILOT_TIME_SCALE, default 0.05)
set -u
bin=${1:?usage: docs-test.sh BIN_DIR [SCALE]}
scale=${2:-0.05}
src=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# --- Manual pages against --help --------------------------------------------
for program in flashpilot fwpack modemsim; do
    help=$("$bin/$program" --help 2>&1)
    page=$(sed 's/\\-/-/g' "$src/man/$program.1")
    options=$(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z-]*' | sort -u)
    [ -n "$options" ] || fail "$program --help names no option"
    for option in $options; do
        printf '%s\n' "$page" | grep -q -F -- "$option" || fail "man/$program.1 lacks $option"
    done
done

# --- Links between the documents ------------------------------------------
# Every relative link of README.md, docs/*.md and the Ansible README names a
# file that exists.
for doc in "$src/README.md" "$src"/docs/*.md "$src/contrib/ansible/README.md"; do
    for target in $(grep -o '](\([^)#:]*\)[)#]' "$doc" | sed 's/^](//; s/[)#]$//'); do
        [ -e "$(dirname "$doc")/$target" ] || fail "${doc#"$src"/} links to missing $target"
    done
done

# --- Runnable blocks ---------------------------------------------------------
# Prints the blocks of FILE as "<line>\0<text>\0" pairs.
blocks() {
    awk '
        /^```sh[[:space:]]*$/ { inside = 1; start = NR; text = ""; next }
        /^```/ && inside { printf "%d%c%s%c", start, 0, text, 0; inside = 0; next }
        inside { text = text $0 "\n" }
    ' "$1"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/fp-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT
count=0
port=$((20000 + $$ % 20000))
for doc in "$src/README.md" "$src"/docs/*.md; do
    while IFS= read -r -d '' line && IFS= read -r -d '' text; do
        count=$((count + 1))
        dir="$work/$count"
        mkdir -p "$dir/build"
        ln -s "$bin" "$dir/build/bin"
        printf '%s' "$text" >"$dir/block.sh"
        # timeout runs the block in a process group of its own (its process
        # id): whatever the block left running, a stand-in after a failed
        # step included, is ended with the group.
        (cd "$dir" && FLASHPILOT_TIME_SCALE=$scale FLASHPILOT_GUARD_PORT=$((port + count)) \
            exec timeout 60 sh -e block.sh >out.txt 2>&1) &
        group=$!
        wait "$group"
        status=$?
        kill -TERM -- "-$group" 2>/dev/null
        if [ "$status" -ne 0 ]; then
            fail "${doc#"$src"/} line $line:"
            sed 's/^/    /' "$dir/out.txt" | tail -n 20
        fi
    done < <(blocks "$doc")
done
[ "$count" -gt 0 ] || fail "no runnable block found"

echo "$count runnable blocks, $failures failures"
[ "$failures" -eq 0 ]
