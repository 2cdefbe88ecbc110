#!/usr/bin/env bash
# Checks Debian's own packaging (debian/): the source package and the .deb
# built from it with dpkg-buildpackage, as a Debian builder builds them, in a
# copy of the tree outside it, with the tests run at build time; both are
# checked with lintian -I --pedantic. The source package must be the same
# from a tree holding a build folder, and the autopkgtest passes on the
# .deb's program. Called by tools/check-packages.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The package's tests run cases as nobody, who must reach the program built
# under here.
chmod 755 "$scratch"
fail() { echo "check-source-package: $*" >&2; exit 1; }
# A part skipped for a missing tool fails CI, which installs every tool.
skip_or_fail() {
  [ "${CI:-}" != true ] || fail "CI lacks what this needs: $*"
  echo "check-source-package: SKIPPED $*"
}
jobs=$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || fail "no version found in CMakeLists.txt"

missing=""
for tool in dpkg-buildpackage dpkg-parsechangelog dh lintian; do
  command -v "$tool" >/dev/null || missing="$missing $tool"
done
if [ -n "$missing" ]; then
  skip_or_fail "the source package (missing:$missing; needs dpkg-dev, debhelper and lintian)"
  exit 0
fi
if ! unmet=$(cd "$top" && dpkg-checkbuilddeps 2>&1); then
  skip_or_fail "the source package (${unmet#dpkg-checkbuilddeps: error: })"
  exit 0
fi

# One changelog: debian/changelog is CHANGELOG.md in Debian's form, as CMake
# makes it for the CPack .deb, and one copyright.
cmake -S "$top" -B "$scratch/configured" -DTARNWICK_TESTS=OFF >/dev/null
cmp -s "$top/debian/changelog" "$scratch/configured/changelog" ||
  fail "debian/changelog differs from CHANGELOG.md's; make it anew:" \
    "cmake -S . -B build && cp build/changelog debian/changelog"
[ "$(cd "$top" && dpkg-parsechangelog -S Version)" = "$version" ] ||
  fail "debian/changelog's newest entry is not version $version"
cmp -s "$top/debian/copyright" "$top/doc/copyright" ||
  fail "debian/copyright differs from doc/copyright"

# The tree as it is, without build directories or anything git ignores.
source="$scratch/tarnwick-$version"
mkdir "$source"
if git -C "$top" rev-parse 2>/dev/null; then
  (cd "$top" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      [ ! -e "$file" ] && [ ! -L "$file" ] || printf '%s\0' "$file"
    done | tar --null -T - -cf -) | tar -xf - -C "$source"
else
  (cd "$top" && tar --exclude='./build*' --exclude=./out -cf - .) | tar -xf - -C "$source"
fi

# The same tree after the README's first command, tools/demo.sh.
used="$scratch/used/tarnwick-$version"
mkdir "$scratch/used" && cp -R "$source" "$used"
cmake -S "$used" -B "$used/build-demo" -DTARNWICK_TESTS=OFF >/dev/null

# The source alone, as an upload of it is made; then everything.
(cd "$source" && dpkg-buildpackage -S -us -uc >"$scratch/source.log" 2>&1) || {
  tail -n 20 "$scratch/source.log"
  fail "dpkg-buildpackage -S -us -uc failed"
}
[ -f "$scratch/tarnwick_$version.dsc" ] || fail "dpkg-buildpackage -S made no .dsc"
(cd "$used" && dpkg-buildpackage -S -us -uc >"$scratch/used.log" 2>&1) ||
  fail "dpkg-buildpackage -S -us -uc failed in a tree holding build-demo/"
diff <(tar -tf "$scratch/tarnwick_$version".tar.*) \
  <(tar -tf "$scratch/used/tarnwick_$version".tar.*) >&2 ||
  fail "the source package built after tools/demo.sh holds other files than a clean tree's"
(cd "$source" && DEB_BUILD_OPTIONS="parallel=$jobs" dpkg-buildpackage -us -uc \
  >"$scratch/build.log" 2>&1) || {
  tail -n 40 "$scratch/build.log"
  fail "dpkg-buildpackage -us -uc failed (the whole log: rerun it in a copy of the tree)"
}
dsc="$scratch/tarnwick_$version.dsc"
deb=$(ls "$scratch"/tarnwick_"$version"_*.deb)
# The tests ran: without GoogleTest CMake would leave them out, and ctest
# would pass on none.
ran=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$scratch/build.log")
[ "${ran:-0}" -gt 0 ] || fail "the package build ran no tests"
echo "check-source-package: dpkg-buildpackage -us -uc built $(basename "$dsc") and" \
  "$(basename "$deb"), $ran tests passing at build time"

listing=$(dpkg-deb -c "$deb")
for file in ./usr/bin/tarnwick ./usr/share/man/man1/tarnwick.1.gz \
  ./usr/share/doc/tarnwick/copyright ./usr/share/doc/tarnwick/changelog.gz; do
  grep -q " $file\$" <<<"$listing" || fail "$(basename "$deb") lacks $file"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/tarnwick/changelog.gz | gzip -dc |
  cmp -s - "$source/debian/changelog" || fail "$(basename "$deb")'s changelog.gz is not debian/changelog"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man1/tarnwick.1.gz | gzip -dc |
  grep -q "^\.TH TARNWICK 1 \"[0-9-]*\" \"tarnwick $version\"" ||
  fail "$(basename "$deb")'s manual page does not carry version $version"

# The package's autopkgtest, run as autopkgtest runs it: in the source tree,
# on the program the .deb installs.
dpkg-deb -x "$deb" "$scratch/installed"
mkdir "$scratch/autopkgtest"
(cd "$source" && AUTOPKGTEST_TMP="$scratch/autopkgtest" PATH="$scratch/installed/usr/bin:$PATH" \
  debian/tests/rebuild-a-volume) || fail "the autopkgtest debian/tests/rebuild-a-volume failed"

# Pedantic and informational tags too: not one finding. A lintian older than
# the Standards-Version (Debian 12's knows policy 4.6.2, the package follows
# Debian 13's) says only that, and it is let pass, saying so.
findings=$(lintian -I --pedantic --allow-root "$dsc" "$deb" 2>&1 || true)
standards=$(sed -n 's/^Standards-Version: //p' "$top/debian/control")
newer="W: tarnwick source: newer-standards-version $standards (current is "
let_pass=""
if [ "$(wc -l <<<"$findings")" -eq 1 ] && [[ $findings == "$newer"*")" ]]; then
  known=${findings#"$newer"}
  known=${known%)}
  dpkg --compare-versions "$standards" gt "$known" || fail "lintian finds: $findings"
  let_pass=" but newer-standards-version (it knows Standards-Version $known at most)"
  findings=""
fi
[ -z "$findings" ] || fail "lintian -I --pedantic finds: $findings"
echo "check-source-package: lintian $(lintian --version | sed 's/^Lintian v//') -I --pedantic" \
  "finds nothing$let_pass in $(basename "$dsc") and $(basename "$deb")"
