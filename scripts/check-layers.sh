#!/usr/bin/env bash
# Checks that every folder of src/ includes only itself and the folders below it, so the layers
# point one way. Usage: scripts/check-layers.sh [ROOT]  (default: this repository)
# Prints each include that points upwards or sideways and exits 1 when there is one.
set -u
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"

# Bottom to top. A folder may include the folders before it in this list, never one after it,
# never one of the same rank (cli and gui are both front ends; neither uses the other).
layers="platform:0 core:1 settings:2 buzz:3 song:4 songwriter:5 midi:6 convert:7 transform:8 jobs:9 cli:10 gui:10"
# The converter programs stand beside the rest: they may use the conversion layers (convert and
# below) and nothing includes them.
layers="$layers xmconv:8"

rank() {
    local entry
    for entry in $layers; do
        [ "${entry%%:*}" = "$1" ] && { echo "${entry##*:}"; return; }
    done
    echo ""
}

bad=0
while IFS= read -r file; do
    rel=${file#"$root"/src/}
    from=${rel%%/*}
    from_rank=$(rank "$from")
    if [ -z "$from_rank" ]; then
        echo "$rel: folder src/$from is not in the layer table of scripts/check-layers.sh"
        bad=1
        continue
    fi
    while IFS=: read -r line target; do
        to=${target%%/*}
        [ "$to" = "$from" ] && continue
        to_rank=$(rank "$to")
        [ -z "$to_rank" ] && continue # a system or third-party header
        if [ "$to" = xmconv ] || [ "$to_rank" -ge "$from_rank" ]; then
            echo "$rel:$line: src/$from must not include $target (src/$to is not below it)"
            bad=1
        fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+/' "$file" |
             sed -E 's/^([0-9]+):.*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1:\2/')
done < <(find "$root/src" -mindepth 2 -type f \( -name '*.cpp' -o -name '*.h' \) | sort)

[ $bad -eq 0 ] && echo "layers: every include points down"
exit $bad
