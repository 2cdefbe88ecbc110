#!/usr/bin/env bash
# Times "tarnwick -q" (and "tarnwick --check" beside it) on synthetic volumes against the floor the machine sets
# for the same work: listing the tree (find . -type f) plus writing as many
# database bytes with fsync (dd conv=fsync). Warm caches, medians of RUNS runs
# (default 5). Also reports peak resident memory (/usr/bin/time -v) and
# system-call counts (strace -c -f). Needs strace and GNU time.
#
#   bench/run.sh            # all volumes
#   SIZES="10000" bench/run.sh
#   BASELINE=REF bench/run.sh   # also an older commit's program, side by side
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
sizes=${SIZES:-"10000 100000"}
build="$top/build-bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarnwick make_volume >/dev/null
tarnwick="$build/tarnwick"
work=$(mktemp -d "${BENCH_DIR:-/tmp}/tarnwick-bench-XXXXXX")
trap 'rm -rf "$work"; [ -z "${BASELINE:-}" ] || git -C "$top" worktree remove --force "$work/baseline-src" 2>/dev/null || true' EXIT
# Another commit's program, built the same way, timed on the same volumes
# in the same run: the fair comparison on a machine whose speed drifts.
baseline=""
if [ -n "${BASELINE:-}" ]; then
  git -C "$top" worktree add -q --detach "$work/baseline-src" "$BASELINE"
  cmake -S "$work/baseline-src" -B "$work/baseline-build" -DCMAKE_BUILD_TYPE=Release \
    -DTARNWICK_TESTS=OFF >/dev/null
  cmake --build "$work/baseline-build" -j"$(nproc)" --target tarnwick >/dev/null
  baseline="$work/baseline-build/tarnwick"
fi

# Seconds one run of the command takes, with microsecond resolution.
seconds() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || true
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.6f\n", b - a }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

run_program() { (cd "$1" && "$tarnwick" -q); }
run_baseline() { (cd "$1" && "$baseline" -q); }
run_check() { (cd "$1" && "$tarnwick" --check); }
calls_of() {
  (cd "$1" && strace -c -f -o "$work/strace-baseline.txt" "$2" -q >/dev/null)
  awk '$NF == "total" { print $4 }' "$work/strace-baseline.txt"
}
run_floor() {
  (cd "$1" && find . -type f >/dev/null)
  dd if=/dev/zero of="$work/floor.bin" bs="$2" count=1 conv=fsync status=none
}

printf '%-14s %8s %8s %10s %10s %6s %12s %9s %9s %9s %9s\n' \
  volume files entries tarnwick_s floor_s ratio us_per_file peak_kib stat_calls writes syscalls
report() {
  local name=$1 shape=$2 count=$3
  local volume="$work/$name"
  local entries files bytes
  entries=$("$build/bench/make_volume" "$shape" "$volume" "$count")
  files=$(cd "$volume" && find . -type f | wc -l)
  bytes=$((18 + 558 * entries))
  run_program "$volume" >/dev/null; run_floor "$volume" "$bytes"  # warm up
  local program floor
  program=$(for _ in $(seq "$runs"); do seconds run_program "$volume"; done | median)
  floor=$(for _ in $(seq "$runs"); do seconds run_floor "$volume" "$bytes"; done | median)
  local peak
  peak=$(cd "$volume" && { /usr/bin/time -v "$tarnwick" -q >/dev/null; } 2>&1 \
          | awk -F': ' '/Maximum resident/ { print $2 }')
  (cd "$volume" && strace -c -f -o "$work/strace.txt" "$tarnwick" -q >/dev/null)
  local stats writes total
  stats=$(awk '$NF ~ /^(stat|lstat|fstat|newfstatat|fstatat64|statx)$/ { n += $4 } END { print n + 0 }' "$work/strace.txt")
  writes=$(awk '$NF == "write" { print $4 }' "$work/strace.txt")
  total=$(awk '$NF == "total" { print $4 }' "$work/strace.txt")
  printf '%-14s %8d %8d %10.4f %10.4f %6.2f %12.2f %9s %9s %9s %9s\n' \
    "$name" "$files" "$entries" "$program" "$floor" \
    "$(awk -v p="$program" -v f="$floor" 'BEGIN { print p / f }')" \
    "$(awk -v p="$program" -v n="$files" 'BEGIN { print p / n * 1e6 }')" \
    "$peak" "$stats" "${writes:-0}" "$total"
  # --check on the same volume, whose database the runs above wrote: the
  # walk plus reading and comparing the database, and nothing written.
  local check check_peak
  check=$(for _ in $(seq "$runs"); do seconds run_check "$volume"; done | median)
  check_peak=$(cd "$volume" && { /usr/bin/time -v "$tarnwick" --check >/dev/null; } 2>&1 \
          | awk -F': ' '/Maximum resident/ { print $2 }')
  (cd "$volume" && strace -c -f -o "$work/strace-check.txt" "$tarnwick" --check >/dev/null || true)
  printf '%-14s %8s %8s %10.4f %10.4f %6.2f %12.2f %9s %9s %9s %9s\n' \
    "  --check" "" "" "$check" "$floor" \
    "$(awk -v p="$check" -v f="$floor" 'BEGIN { print p / f }')" \
    "$(awk -v p="$check" -v n="$files" 'BEGIN { print p / n * 1e6 }')" "$check_peak" \
    "$(awk '$NF ~ /^(stat|lstat|fstat|newfstatat|fstatat64|statx)$/ { n += $4 } END { print n + 0 }' "$work/strace-check.txt")" \
    "$(awk '$NF == "write" { print $4 }' "$work/strace-check.txt")" \
    "$(awk '$NF == "total" { print $4 }' "$work/strace-check.txt")"
  if [ -n "$baseline" ]; then
    local then_s
    then_s=$(for _ in $(seq "$runs"); do seconds run_baseline "$volume"; done | median)
    printf '%-14s %8s %8s %10.4f %10.4f %6.2f %12s %9s %9s %9s %9s\n' \
      "  $BASELINE" "" "" "$then_s" "$floor" \
      "$(awk -v p="$then_s" -v f="$floor" 'BEGIN { print p / f }')" "" "" "" "" \
      "$(calls_of "$volume" "$baseline")"
  fi
  rm -rf "$volume"
}

for size in $sizes; do
  report "tree-$size" tree "$size"
done
report flat-50000 flat 50000
report deep deep 0
echo
echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo);" \
  "$(uname -sr); file system of $work: $(stat -f -c %T "$work")"
