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

# Every test again with AddressSanitizer and UndefinedBehaviorSanitizer: any
# report ends the program with a status the tests do not expect.
cmake -S "$top" -B "$top/build-asan" -DTARNWICK_WERROR=ON -DTARNWICK_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug
cmake --build "$top/build-asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$top/build-asan" --output-on-failure -j"$jobs"

# Short fuzzing runs from the committed seed corpus (clang's libFuzzer).
CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DTARNWICK_WERROR=ON -DTARNWICK_FUZZ=ON \
  -DTARNWICK_FUZZ_SECONDS=10
cmake --build "$top/build-fuzz" -j"$jobs"
ctest --test-dir "$top/build-fuzz" --output-on-failure

# Static analysis of the program's own sources.
cmake -S "$top" -B "$top/build-tidy" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARNWICK_TESTS=OFF
run-clang-tidy -quiet -p "$top/build-tidy" "$top/src/"

# What users get: the manual page, the install, the .deb and the .zip.
"$top/tools/check-packages.sh"

cmake -S "$top" -B "$top/build-check" -DTARNWICK_WERROR=ON -DTARNWICK_WINDOWS_EXE="$windows_exe"
cmake --build "$top/build-check" -j"$jobs"
if [ -n "$windows_exe" ]; then
  ctest --test-dir "$top/build-win" --output-on-failure
fi
ctest --test-dir "$top/build-check" --output-on-failure -j"$jobs"
