#!/usr/bin/env bash
# Fails when a source of the program includes a header of a folder above its
# own. The folders, from the bottom up: a file may include the headers of its
# own folder and of the folders before it in this list. A header's name must
# be unique across them, since includes name headers by their bare names.
# Usage: scripts/check-layers.sh [ROOT]   (ROOT: a checkout; by default this one)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"
layers=(Host/support MAC_Class Host/protocol Host/link Host/system Host/package Host/engine
        Host/console Host/run Host)

declare -A rank_of_header folder_of_header
problems=0
complain() { echo "check-layers: $*" >&2; problems=$((problems + 1)); }
sources_in() { find "$1" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) | sort; }

for rank in "${!layers[@]}"; do
    folder=${layers[$rank]}
    [ -d "$folder" ] || { complain "$folder is missing"; continue; }
    while IFS= read -r file; do
        name=${file##*/}
        [[ $name == *.h ]] || continue
        if [ -n "${folder_of_header[$name]:-}" ]; then
            complain "$name stands in both ${folder_of_header[$name]} and $folder"
        fi
        rank_of_header[$name]=$rank
        folder_of_header[$name]=$folder
    done < <(sources_in "$folder")
done

# A folder under Host/ that the list does not name has no place in the order.
while IFS= read -r folder; do
    known=no
    for layer in "${layers[@]}"; do [ "$layer" = "$folder" ] && known=yes; done
    [ "$known" = yes ] || complain "$folder is no folder of the layer list in scripts/check-layers.sh"
done < <(find Host -mindepth 1 -type d | sort)

checked=0
for rank in "${!layers[@]}"; do
    folder=${layers[$rank]}
    [ -d "$folder" ] || continue
    while IFS= read -r file; do
        checked=$((checked + 1))
        while IFS=: read -r line header; do
            name=${header##*/}
            above=${rank_of_header[$name]:-}
            if [ -n "$above" ] && [ "$above" -gt "$rank" ]; then
                complain "$file:$line includes $name of ${folder_of_header[$name]}, above $folder"
            fi
        done < <(awk '/^[ \t]*#[ \t]*include[ \t]*"/ {
                          match($0, /"[^"]*"/); print FNR ":" substr($0, RSTART + 1, RLENGTH - 2) }' "$file")
    done < <(sources_in "$folder")
done

if [ "$problems" -gt 0 ]; then
    echo "check-layers: $problems problem(s); a folder includes only from the folders below it" >&2
    exit 1
fi
echo "check-layers: $checked files in ${#layers[@]} folders, every include goes down"
