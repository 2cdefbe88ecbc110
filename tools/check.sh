#!/usr/bin/env bash
# Builds tarnwick for POSIX and for Windows and runs every test: the POSIX
# build natively, the Windows build under wine. Warnings are errors here.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
windows_exe=""

if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  cmake -S "$top" -B "$top/build-win" -DTARNWICK_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake"
  cmake --build "$top/build-win" -j"$jobs"
  windows_exe="$top/build-win/tarnwick.exe"
else
  echo "SKIPPED: the Windows build and its tests (mingw-w64 or wine is missing)"
fi

cmake -S "$top" -B "$top/build-check" -DTARNWICK_WERROR=ON -DTARNWICK_WINDOWS_EXE="$windows_exe"
cmake --build "$top/build-check" -j"$jobs"
if [ -n "$windows_exe" ]; then
  ctest --test-dir "$top/build-win" --output-on-failure
fi
ctest --test-dir "$top/build-check" --output-on-failure -j"$jobs"
