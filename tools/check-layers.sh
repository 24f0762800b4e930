#!/usr/bin/env bash
# Checks that includes between the folders of src/ point downward only
# (README, "Layout"): each folder includes its own headers and those of the
# folders below it, never one above.
#   runtime/ < schema/ < engine/ < surface/ < lib.cpp
# Usage: tools/check-layers.sh (no arguments)
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
[ $# = 0 ] || refuse_option "$1"
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../src"
LAYERS=(runtime schema engine surface)
status=0
for ((rank = 0; rank < ${#LAYERS[@]}; ++rank)); do
    above=("${LAYERS[@]:rank+1}")
    [ ${#above[@]} -gt 0 ] || continue
    pattern="^#include \"($(IFS='|'; echo "${above[*]}"))/"
    if grep -rnE "$pattern" "${LAYERS[rank]}"; then
        echo "${LAYERS[rank]}/ includes a layer above it (above: ${above[*]})" >&2
        status=1
    fi
done
for folder in */; do
    case " ${LAYERS[*]} " in
        *" ${folder%/} "*) ;;
        *) echo "src/$folder is no layer; add it to tools/check-layers.sh and the README's layout" >&2; status=1 ;;
    esac
done
[ $status = 0 ] && echo "includes point downward only (${LAYERS[*]})"
exit $status
