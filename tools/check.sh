#!/usr/bin/env bash
# Builds tarnwick for POSIX and for Windows and runs every test: the POSIX
# build natively, the Windows build under wine. Warnings are errors here.
# A part whose tools this machine lacks is skipped, saying so.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)
windows_exe=""
skip() { echo "SKIPPED: $*"; }

# The sources are formatted as .clang-format says.
if command -v clang-format >/dev/null && git -C "$top" rev-parse 2>/dev/null; then
  (cd "$top" && git ls-files -z 'src/*.cc' 'src/*.h' 'tests/*.cc' 'tests/*.h' 'bench/*.cc' \
    'tools/*.cc' 'tools/*.h' | xargs -0 clang-format --dry-run --Werror)
else
  skip "the format check (clang-format, or the git checkout it lists files from, is missing)"
fi

if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  cmake -S "$top" -B "$top/build-win" -DTARNWICK_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake"
  cmake --build "$top/build-win" -j"$jobs"
  windows_exe="$top/build-win/tarnwick.exe"
else
  skip "the Windows build and its tests (mingw-w64 or wine is missing)"
fi

# Every test again with AddressSanitizer and UndefinedBehaviorSanitizer: any
# report ends the program with a status the tests do not expect.
cmake -S "$top" -B "$top/build-asan" -DTARNWICK_WERROR=ON -DTARNWICK_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug
cmake --build "$top/build-asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$top/build-asan" --output-on-failure -j"$jobs"

if command -v clang++ >/dev/null; then
  # Short fuzzing runs from the committed seed corpus (clang's libFuzzer).
  CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DTARNWICK_WERROR=ON -DTARNWICK_FUZZ=ON \
    -DTARNWICK_FUZZ_SECONDS=10
  cmake --build "$top/build-fuzz" -j"$jobs"
  ctest --test-dir "$top/build-fuzz" --output-on-failure

  # The program with clang and libc++, as near to Apple's toolchain as
  # Debian gets.
  if echo '#include <version>' | clang++ -std=c++20 -stdlib=libc++ -x c++ -fsyntax-only - \
    2>/dev/null; then
    CXX=clang++ cmake -S "$top" -B "$top/build-libcxx" -DTARNWICK_WERROR=ON -DTARNWICK_TESTS=OFF \
      -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++
    cmake --build "$top/build-libcxx" -j"$jobs" --target tarnwick
  else
    skip "the libc++ build (libc++-dev and libc++abi-dev are missing)"
  fi
else
  skip "fuzzing and the libc++ build (clang++ is missing)"
fi

# Static analysis of the program's own sources.
if command -v run-clang-tidy >/dev/null; then
  cmake -S "$top" -B "$top/build-tidy" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARNWICK_TESTS=OFF
  run-clang-tidy -quiet -p "$top/build-tidy" "$top/src/"
else
  skip "clang-tidy (run-clang-tidy is missing)"
fi

# What users get: the manual page, the install, the .deb and the .zip.
"$top/tools/check-packages.sh"

cmake -S "$top" -B "$top/build-check" -DTARNWICK_WERROR=ON -DTARNWICK_WINDOWS_EXE="$windows_exe"
cmake --build "$top/build-check" -j"$jobs"
if [ -n "$windows_exe" ]; then
  ctest --test-dir "$top/build-win" --output-on-failure
fi
ctest --test-dir "$top/build-check" --output-on-failure -j"$jobs"
