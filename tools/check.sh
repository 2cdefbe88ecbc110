#!/usr/bin/env bash
# Builds tarnwick and runs every test. Warnings are errors here.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-check"
cmake -S "$top" -B "$build" -DTARNWICK_WERROR=ON
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
