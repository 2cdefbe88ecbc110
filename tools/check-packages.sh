#!/usr/bin/env bash
# Checks what users get: the manual page, "cmake --install", the .deb (built,
# listed, installed with dpkg -i and run) and, when build-win exists, the
# Windows .zip.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }

# The manual page renders without a single warning.
warnings=$(groff -ww -man -z "$top/doc/tarnwick.1" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
rendered=$(MANWIDTH=80 man -l "$top/doc/tarnwick.1" 2>"$scratch/man.err")
[ ! -s "$scratch/man.err" ] || fail "man -l: $(cat "$scratch/man.err")"
grep -q "EXIT STATUS" <<<"$rendered" || fail "man -l rendered no EXIT STATUS section"

build="$top/build-pkg"
cmake -S "$top" -B "$build" -DTARNWICK_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for file in bin/tarnwick share/man/man1/tarnwick.1; do
  [ -f "$scratch/prefix/$file" ] || fail "cmake --install left out $file"
done

rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tarnwick_0.5.0_*.deb)
listing=$(dpkg-deb -c "$deb")
for file in ./usr/bin/tarnwick ./usr/share/man/man1/tarnwick.1 ./usr/share/doc/tarnwick/copyright; do
  grep -q " $file\$" <<<"$listing" || fail "$deb lacks $file"
done

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
  [ -f /usr/share/man/man1/tarnwick.1 ] || fail "dpkg -i installed no manual page"
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
  zip="$top/build-win/tarnwick-0.5.0-windows-x64.zip"
  contents=$(cmake -E tar tf "$zip")
  for file in tarnwick.exe README-Windows.txt LICENSE.txt; do
    grep -q "^tarnwick-0.5.0-windows-x64/$file\$" <<<"$contents" || fail "$zip lacks $file"
  done
  (cd "$scratch" && cmake -E tar xf "$zip")
  grep -q $'\r$' "$scratch/tarnwick-0.5.0-windows-x64/README-Windows.txt" ||
    fail "README-Windows.txt lacks CR LF line ends"
  echo "check-packages: $(basename "$zip") holds tarnwick.exe and its README"
else
  echo "check-packages: SKIPPED the Windows .zip (no Windows build)"
fi
echo "check-packages: all package checks passed"
