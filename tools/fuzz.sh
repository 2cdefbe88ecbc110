#!/usr/bin/env bash
# Long fuzzing runs: tools/fuzz.sh [seconds per target] [target ...]
# Targets: utf8 template compare (all by default). New inputs that widen
# coverage are kept in build-fuzz/fuzz-corpus/<target>; crashes are written
# to build-fuzz/tests/fuzz.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(utf8 template compare)
CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DTARNWICK_FUZZ=ON >/dev/null
cmake --build "$top/build-fuzz" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
for target in "${targets[@]}"; do
  mkdir -p "$top/build-fuzz/fuzz-corpus/$target"
  (cd "$top/build-fuzz/tests/fuzz" &&
    "./${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      "$top/build-fuzz/fuzz-corpus/$target" "$top/tests/fuzz/corpus/$target")
done
