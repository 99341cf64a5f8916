#!/usr/bin/env bash
# The code's include graph, checked: every file of src/ includes only headers of its
# own folder or of the folders below it, and no headers include each other in a circle.
#   tests/layers.sh SRC-FOLDER
set -euo pipefail
src=${1:?usage: layers.sh SRC-FOLDER}
layers=(platform camera tracking core window app) # bottom to top
rank() {
  local i
  for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done
  echo "layers: $1 is in no layer" >&2; exit 1
}
status=0 edges=
for file in "$src"/*/*.h "$src"/*/*.cpp; do
  from=${file#"$src"/}
  while read -r header; do
    [ -f "$src/$header" ] || continue # a system or generated header
    if [ "$(rank "${from%%/*}")" -lt "$(rank "${header%%/*}")" ]; then
      echo "layers: $from includes $header, a layer above it" >&2
      status=1
    fi
    edges+="$from $header"$'\n'
  done < <(sed -n 's/^#include "\(.*\)".*/\1/p' "$file")
done
if ! circle=$(printf '%s' "$edges" | tsort 2>&1 > /dev/null); then
  printf 'layers: the includes go round in a circle:\n%s\n' "$circle" >&2
  status=1
fi
exit $status
