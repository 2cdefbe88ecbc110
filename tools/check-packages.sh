#!/usr/bin/env bash
# Checks what users get: the manual page, "cmake --install", the .deb (built,
# listed, installed with dpkg -i and run), when build-win exists the Windows
# .zip, and the source package from debian/ (tools/check-source-package.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }
# A part skipped for a missing tool fails CI, which installs every tool.
skip_or_fail() {
  [ "${CI:-}" != true ] || fail "CI lacks what this needs: $*"
  echo "check-packages: SKIPPED $*"
}
jobs=$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)
# The one place the version is set: the CMake project.
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || fail "no version found in CMakeLists.txt"

# Built as the README says, with nothing added: what a user or packager gets.
build="$top/build-pkg"
cmake -S "$top" -B "$build" -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

# The manual page, made at build time, renders without a single warning and
# carries the project's version.
warnings=$(groff -ww -man -z "$build/tarnwick.1" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
rendered=$(MANWIDTH=80 man -l "$build/tarnwick.1" 2>"$scratch/man.err")
[ ! -s "$scratch/man.err" ] || fail "man -l: $(cat "$scratch/man.err")"
grep -q "EXIT STATUS" <<<"$rendered" || fail "man -l rendered no EXIT STATUS section"
grep -q "^\.TH TARNWICK 1 \"[0-9-]*\" \"tarnwick $version\"" "$build/tarnwick.1" ||
  fail "the manual page does not carry version $version"

# The README's install line: optimised, and stripped of debug information.
cmake --install "$build" --prefix "$scratch/prefix" --strip >/dev/null
for file in bin/tarnwick share/man/man1/tarnwick.1.gz; do
  [ -f "$scratch/prefix/$file" ] || fail "cmake --install left out $file"
done
! readelf -S "$scratch/prefix/bin/tarnwick" | grep -q '\.debug_' ||
  fail "cmake --install --strip installed debug information"
grep -q -- '-O2' "$build/CMakeFiles/tarnwick.dir/flags.make" ||
  fail "the default build is not optimised"

rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tarnwick_"$version"_*.deb)
listing=$(dpkg-deb -c "$deb")
for file in ./usr/bin/tarnwick ./usr/share/man/man1/tarnwick.1.gz \
  ./usr/share/doc/tarnwick/copyright ./usr/share/doc/tarnwick/changelog.gz; do
  grep -q " $file\$" <<<"$listing" || fail "$deb lacks $file"
done
if command -v lintian >/dev/null; then
  # Pedantic and informational tags too: not one finding.
  findings=$(lintian -I --pedantic --allow-root "$deb" 2>&1 || true)
  [ -z "$findings" ] || fail "lintian -I --pedantic finds in $deb: $findings"
  echo "check-packages: lintian -I --pedantic finds nothing in $(basename "$deb")"
  # One changelog, compressed, made from CHANGELOG.md.
  ! grep -q 'CHANGELOG.md' <<<"$listing" || fail "$deb installs CHANGELOG.md uncompressed"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/tarnwick/changelog.gz | gzip -dc |
    grep -q "^tarnwick ($version) unstable" || fail "changelog.gz has no entry for $version"
  # Hardened without being asked: PIE, BIND_NOW, fortified calls, a stack
  # protector (lintian reports the missing ones as hardening-no-*).
  readelf -d "$build/tarnwick" | grep -q 'FLAGS.*BIND_NOW' || fail "tarnwick lacks BIND_NOW"
  readelf -h "$build/tarnwick" | grep -q 'DYN' || fail "tarnwick is not PIE"
  nm -D "$build/tarnwick" | grep -q '__stack_chk_fail' || fail "tarnwick has no stack protector"
  nm -D "$build/tarnwick" | grep -q '_chk@' || fail "tarnwick has no fortified calls"
else
  skip_or_fail "lintian (not installed)"
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
  strings -el "$exe" | grep -qx "Copyright (c) .* (MIT License)" ||
    fail "tarnwick.exe has no copyright line"
  grep -q '<activeCodePage[^>]*>UTF-8<' "$exe" || fail "tarnwick.exe has no UTF-8 manifest"
  [ "$(grep -ao '<supportedOS Id=' "$exe" | wc -l)" -eq 4 ] ||
    fail "tarnwick.exe's manifest does not list Windows 7 to 11"
  head -n 1 "$scratch/$name/README-Windows.txt" | grep -q "^Tarnwick $version for Windows" ||
    fail "README-Windows.txt does not carry version $version"
  echo "check-packages: $(basename "$zip") holds tarnwick.exe and its README"
else
  skip_or_fail "the Windows .zip (no Windows build)"
fi

# Reproducible: the same commit built again in another directory, a while
# later, gives the same packages byte for byte.
sleep 1
again="$scratch/again"
cmake -S "$top" -B "$again/build" -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$again/build" -j"$jobs" >/dev/null
(cd "$again/build" && cpack -G DEB >/dev/null)
cmp "$deb" "$again/build/$(basename "$deb")" ||
  fail "two builds of one commit give different .deb files"
echo "check-packages: $(basename "$deb") is the same byte for byte when built again elsewhere"
if [ -f "$top/build-win/tarnwick.exe" ]; then
  cmake -S "$top" -B "$again/build-win" -DTARNWICK_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$again/build-win" -j"$jobs" >/dev/null
  (cd "$again/build-win" && cpack -G ZIP >/dev/null)
  cmp "$zip" "$again/build-win/$(basename "$zip")" ||
    fail "two builds of one commit give different .zip files"
  echo "check-packages: $(basename "$zip") is the same byte for byte when built again elsewhere"
fi
"$top/tools/check-source-package.sh"
echo "check-packages: all package checks passed"
