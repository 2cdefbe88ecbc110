#!/usr/bin/env bash
# Builds tarnwick and its manual page (into build-demo/, which git ignores,
# all that "cmake --install build-demo" installs) and runs it on a copy of the
# sample volume, then shows what it wrote. The sample is never touched; a run
# that fails fails the demo.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build-demo" -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$top/build-demo" >/dev/null

volume=$(mktemp -d)
trap 'rm -rf "$volume"' EXIT
cp -R "$top/tools/sample-volume/." "$volume/"
(cd "$volume" && "$top/build-demo/tarnwick" -q) || {
  echo "FAILED: demo: tarnwick -q ended with status $? on the sample volume"
  exit 1
}

echo
echo "== iPod_Control/iTunes after the run:"
ls -l "$volume/iPod_Control/iTunes"
echo
echo "== iTunesSD: the header, then each entry's type code, flag and path"
db="$volume/iPod_Control/iTunes/iTunesSD"
od -A d -t x1 -N 18 "$db"
size=$(wc -c < "$db")
for ((at = 18; at < size; at += 558)); do
  type=$(od -A n -t u1 -j $((at + 29)) -N 1 "$db" | tr -d ' ')
  flag=$(od -A n -t u1 -j $((at + 555)) -N 1 "$db" | tr -d ' ')
  name=$(dd if="$db" bs=1 skip=$((at + 33)) count=522 status=none | iconv -f UTF-16LE -t UTF-8 | tr -d '\0')
  printf 'type %s  flag %s  %s\n' "$type" "$flag" "$name"
done
