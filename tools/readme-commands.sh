#!/usr/bin/env bash
# Prints the README's two commands, the one that builds and runs the program
# on the sample volume and the one that builds and runs every test, as
# README.md writes them (comments dropped), one a line. CI runs exactly these.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
commands=$(sed -n 's/^\(tools\/install-deps\.sh [a-z]* && tools\/[a-z]*\.sh\)\( .*\)\{0,1\}$/\1/p' \
  "$top/README.md")
count=$(grep -c . <<<"$commands" || true)
if [ "$count" != 2 ]; then
  echo "FAILED: README.md should give two commands of the form" \
    "'tools/install-deps.sh WHAT && tools/SCRIPT.sh', and gives $count" >&2
  exit 1
fi
echo "$commands"
