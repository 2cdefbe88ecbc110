#!/usr/bin/env bash
# Includes between the folders of src/ point one way, down this list: a file
# may include its own folder's headers and those of the folders below it,
# never above, so that no two folders come to depend on each other.
# Usage: tools/check-includes.sh [SOURCE_ROOT]   (default: this tree's src/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
src=${1:-$top/src}
order=(run discovery database system failure text)
declare -A rank
for i in "${!order[@]}"; do rank[${order[$i]}]=$i; done

# A check that read nothing must not pass.
mapfile -t files < <(find "$src" \( -name '*.cc' -o -name '*.h' \) -type f 2>/dev/null | sort)
if [ ${#files[@]} = 0 ]; then
  echo "FAILED: no C++ sources under $src" >&2
  exit 1
fi

found=0
for file in "${files[@]}"; do
  relative=${file#"$src"/}
  folder=${relative%%/*}
  from=${rank[$folder]:-}
  if [ -z "$from" ] || [ "$relative" = "$folder" ]; then
    echo "src/$relative: in no folder of the include order"
    found=1
    continue
  fi
  status=0
  includes=$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file") || status=$?
  if [ "$status" -gt 1 ]; then
    echo "FAILED: could not read $file" >&2
    exit 1
  fi
  while IFS=: read -r line text; do
    [[ $text =~ \"([^\"]*)\" ]] || continue
    included=${BASH_REMATCH[1]}
    to=${rank[${included%%/*}]:-}
    if [ -z "$to" ] || [ "$to" -lt "$from" ]; then
      echo "src/$relative:$line: includes \"$included\", which is not below $folder"
      found=1
    fi
  done <<<"$includes"
done

if [ "$found" != 0 ]; then
  echo "FAILED: an include runs against the folders' order (${order[*]})" >&2
  exit 1
fi
