#!/usr/bin/env bash
# Long fuzzing runs: tools/fuzz.sh [seconds per target] [target ...]
# Targets: utf8 template compare (all by default). They are the CMake fuzz
# tests, run for longer: new inputs that widen coverage are kept in
# build-fuzz/fuzz-corpus/<target>; crashes are written to build-fuzz/tests/fuzz.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(utf8 template compare)
CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DTARNWICK_FUZZ=ON \
  -DTARNWICK_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build "$top/build-fuzz" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
pattern=$(IFS='|'; echo "^fuzz_(${targets[*]})\$")
ctest --test-dir "$top/build-fuzz" -R "$pattern" --timeout $((seconds + 120)) --output-on-failure
