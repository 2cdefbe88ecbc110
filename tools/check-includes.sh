#!/usr/bin/env bash
# Includes between the folders of src/ point one way, down this list: a file
# may include its own folder's headers and those of the folders below it,
# never above, so that no two folders come to depend on each other.
# Usage: tools/check-includes.sh [SOURCE_ROOT]   (default: this tree's src/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
src=${1:-$top/src}
order=(run discovery database system support text)

rank_of() {
  local i
  for i in "${!order[@]}"; do
    if [ "${order[$i]}" = "$1" ]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

found=0
while IFS= read -r file; do
  relative=${file#"$src"/}
  folder=${relative%%/*}
  from=$(rank_of "$folder")
  if [ "$from" = -1 ]; then
    echo "src/$relative: in a folder the include order does not list ($folder)"
    found=1
    continue
  fi
  while IFS=: read -r line included; do
    to=$(rank_of "${included%%/*}")
    if [ "$to" = -1 ] || [ "$to" -lt "$from" ]; then
      echo "src/$relative:$line: includes \"$included\", which is not below $folder"
      found=1
    fi
  done < <(grep -n '^#include "' "$file" | sed 's/^\([0-9]*\):#include "\([^"]*\)".*/\1:\2/' || true)
done < <(find "$src" -name '*.cc' -o -name '*.h' | sort)

if [ "$found" != 0 ]; then
  echo "FAILED: an include runs against the folders' order (${order[*]})" >&2
  exit 1
fi
