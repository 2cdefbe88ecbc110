#!/usr/bin/env bash
# Checks what users get: the manual page, "cmake --install", the .deb (built,
# listed, installed with dpkg -i and run) and, when build-win exists, the
# Windows .zip.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }
jobs=$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)
# The one place the version is set: the CMake project.
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || fail "no version found in CMakeLists.txt"

# The manual page renders without a single warning.
warnings=$(groff -ww -man -z "$top/doc/tarnwick.1" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
rendered=$(MANWIDTH=80 man -l "$top/doc/tarnwick.1" 2>"$scratch/man.err")
[ ! -s "$scratch/man.err" ] || fail "man -l: $(cat "$scratch/man.err")"
grep -q "EXIT STATUS" <<<"$rendered" || fail "man -l rendered no EXIT STATUS section"

build="$top/build-pkg"
cmake -S "$top" -B "$build" -DTARNWICK_TESTS=OFF -DTARNWICK_HARDENING=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for file in bin/tarnwick share/man/man1/tarnwick.1.gz; do
  [ -f "$scratch/prefix/$file" ] || fail "cmake --install left out $file"
done

rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tarnwick_"$version"_*.deb)
listing=$(dpkg-deb -c "$deb")
for file in ./usr/bin/tarnwick ./usr/share/man/man1/tarnwick.1.gz \
  ./usr/share/doc/tarnwick/copyright ./usr/share/doc/tarnwick/changelog.gz; do
  grep -q " $file\$" <<<"$listing" || fail "$deb lacks $file"
done
if command -v lintian >/dev/null; then
  findings=$(lintian --allow-root --fail-on error,warning "$deb" 2>&1) ||
    fail "lintian finds errors or warnings in $deb: $findings"
  echo "check-packages: lintian finds no error and no warning in $(basename "$deb")"
else
  echo "check-packages: SKIPPED lintian (not installed)"
fi

# Runs the packaged program on a copy of the sample volume.
try_program() {
  local volume="$scratch/volume"
  rm -rf "$volume"
  cp -R "$top/tools/sample-volume" "$volume"
  local output
  output=$(cd "$volume" && "$1" -q) || fail "$1 -q ended with status $?"
  grep -q "^The iPod shuffle database was rebuilt successfully.\$" <<<"$output" ||
    fail "$1 -q printed: $output"
  [ "$(wc -c <"$volume/iPod_Control/iTunes/iTunesSD")" -eq $((18 + 6 * 558)) ] ||
    fail "$1 wrote a database of the wrong length"
}

if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then
  dpkg -i "$deb" >/dev/null
  try_program /usr/bin/tarnwick
  [ -f /usr/share/man/man1/tarnwick.1.gz ] || fail "dpkg -i installed no manual page"
  dpkg -r tarnwick >/dev/null
  echo "check-packages: $(basename "$deb") installs with dpkg -i and runs"
else
  echo "check-packages: SKIPPED dpkg -i (done in CI, as root); running the unpacked program"
  dpkg-deb -x "$deb" "$scratch/unpacked"
  try_program "$scratch/unpacked/usr/bin/tarnwick"
fi

if [ -f "$top/build-win/tarnwick.exe" ]; then
  rm -f "$top/build-win"/*.zip
  (cd "$top/build-win" && cpack -G ZIP >/dev/null)
  name="tarnwick-$version-windows-x64"
  zip="$top/build-win/$name.zip"
  contents=$(cmake -E tar tf "$zip")
  for file in tarnwick.exe README-Windows.txt LICENSE.txt; do
    grep -q "^$name/$file\$" <<<"$contents" || fail "$zip lacks $file"
  done
  (cd "$scratch" && cmake -E tar xf "$zip")
  grep -q $'\r$' "$scratch/$name/README-Windows.txt" ||
    fail "README-Windows.txt lacks CR LF line ends"
  exe="$scratch/$name/tarnwick.exe"
  if command -v x86_64-w64-mingw32-objdump >/dev/null; then
    x86_64-w64-mingw32-objdump -h "$exe" | grep -q ' \.debug_' && fail "tarnwick.exe is not stripped"
    x86_64-w64-mingw32-objdump -t "$exe" | grep -q '^\[' && fail "tarnwick.exe keeps a symbol table"
  fi
  # The version resource and the manifest's code page, as UTF-16 and text.
  strings -el "$exe" | grep -qx "$version" || fail "tarnwick.exe has no version resource"
  grep -q '<activeCodePage[^>]*>UTF-8<' "$exe" || fail "tarnwick.exe has no UTF-8 manifest"
  echo "check-packages: $(basename "$zip") holds tarnwick.exe and its README"
else
  echo "check-packages: SKIPPED the Windows .zip (no Windows build)"
fi
echo "check-packages: all package checks passed"
