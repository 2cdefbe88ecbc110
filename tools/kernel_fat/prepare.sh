#!/usr/bin/env bash
# Makes what the guest boots from: Debian's kernel, uncompressed for qemu's
# PVH entry, and an initramfs with busybox, the FAT, virtio and
# device-mapper modules (uncompressed, for busybox's insmod), the host's
# dmsetup with its libraries, and the statically linked program. Works with
# the kernel package of Debian 12 (an xz-compressed image, modules under
# lib/modules) and of Debian 13 (zstd, modules as .ko.xz under
# usr/lib/modules). Usage: prepare.sh WORK_DIR STATIC_PROGRAM
set -euo pipefail
work=$1
program=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work/download"

# Every failure names its step: set -e alone would end the rig without a
# word. fail says why for the steps expected to go wrong; the trap names any
# other command that stopped it.
fail() {
  echo "FAILED: kernel rig, preparing the guest: $*"
  exit 1
}
# (Only in the script's own shell: a pipeline in a command substitution
# that ends with a failing grep or ls is no failure of the rig.)
# shellcheck disable=SC2154 # status is set in the trap itself
trap 'status=$?; [ "$BASHPID" != $$ ] || echo "FAILED: kernel rig, preparing the guest: line $LINENO: \"$BASH_COMMAND\" ended with status $status"' ERR
set -E

# The kernel package that linux-image-amd64 names, unpacked, not installed.
if [ ! -f "$work/vmlinux" ]; then
  package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  [ -n "$package" ] ||
    fail "apt-cache knows no linux-image-amd64: the kernel package cannot be fetched (run apt-get update)"
  (cd "$work/download" && apt-get download "$package" >"$work/download/apt.log" 2>&1) ||
    fail "could not fetch the kernel package $package with apt-get download: $(tail -n 3 "$work/download/apt.log")"
  rm -rf "$work/kernel"
  dpkg-deb -x "$work"/download/"$package"_*.deb "$work/kernel" ||
    fail "dpkg-deb could not unpack $work/download/${package}_*.deb"
  vmlinuz=$(find "$work/kernel/boot" -maxdepth 1 -name 'vmlinuz-*' 2>/dev/null | head -n 1)
  [ -n "$vmlinuz" ] || fail "the package $package holds no boot/vmlinuz-*"
  # The compressed kernel inside vmlinuz is the ELF kernel, which qemu boots
  # directly, about twice as fast as the compressed one. The image's setup
  # header says where it lies (payload_offset and payload_length, after the
  # setup sectors); its last four bytes are the unpacked size, and its
  # first ones say how it is packed.
  format=$(python3 - "$vmlinuz" "$work/payload" <<'PY'
import struct, sys
image = open(sys.argv[1], "rb").read()
if image[0x202:0x206] != b"HdrS":
    sys.exit("not a bzImage (no HdrS setup header)")
setup_sectors = image[0x1F1] or 4
offset, length = struct.unpack_from("<II", image, 0x248)
start = (setup_sectors + 1) * 512 + offset
payload = image[start : start + length - 4]
formats = {b"\xfd7zXZ\x00": "xz", b"\x28\xb5\x2f\xfd": "zstd", b"\x1f\x8b": "gzip"}
for magic, name in formats.items():
    if payload.startswith(magic):
        open(sys.argv[2], "wb").write(payload)
        print(name)
        sys.exit(0)
sys.exit("a kernel packed in a format the rig does not unpack (its first bytes: %s)" % payload[:6].hex())
PY
  ) || fail "could not find the kernel inside $vmlinuz (see the line above)"
  command -v "$format" >/dev/null ||
    fail "$vmlinuz is $format-compressed and $format is missing (install the package $([ "$format" = xz ] && echo xz-utils || echo "$format"))"
  "$format" -dc "$work/payload" >"$work/vmlinux.part" ||
    fail "$format could not unpack the kernel inside $vmlinuz"
  rm -f "$work/payload"
  file "$work/vmlinux.part" | grep -q ELF ||
    fail "what $format unpacked from $vmlinuz is not an ELF kernel: $(file -b "$work/vmlinux.part")"
  mv "$work/vmlinux.part" "$work/vmlinux"
fi

# Debian 12 keeps the modules under lib/modules, Debian 13 under
# usr/lib/modules; depmod and modprobe look under lib/modules, so the latter
# gets the link that merged /usr gives an installed system.
if [ ! -d "$work/kernel/lib/modules" ]; then
  [ -d "$work/kernel/usr/lib/modules" ] ||
    fail "the kernel package has neither lib/modules nor usr/lib/modules (in $work/kernel)"
  [ ! -e "$work/kernel/lib" ] || fail "$work/kernel/lib is there but holds no modules"
  ln -s usr/lib "$work/kernel/lib"
fi
versions=$(ls "$work/kernel/lib/modules")
[ "$(wc -w <<<"$versions")" = 1 ] ||
  fail "expected one kernel version under lib/modules, found: ${versions:-none}"
version=$versions
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,mnt,modules,lib64,lib}
depmod -b "$work/kernel" "$version" || fail "depmod could not index the modules of $version"
: >"$work/modules.paths"
for module in virtio_pci virtio_blk vfat nls_utf8 nls_ascii nls_cp437 nls_iso8859-1 dm_log_writes; do
  modprobe -d "$work/kernel" -S "$version" --show-depends "$module" >"$work/depends.out" 2>&1 ||
    fail "modprobe finds no module $module for $version: $(cat "$work/depends.out")"
  awk '$1 == "insmod" {print $2}' "$work/depends.out" >>"$work/modules.paths"
done
# Uncompressed into the initramfs: busybox's insmod loads plain .ko files.
: >"$root/modules.list"
while read -r path; do
  name=$(basename "$path")
  case $name in
  *.ko) cp "$path" "$root/modules/$name" ;;
  *.ko.xz) name=${name%.xz} && xz -dc "$path" >"$root/modules/$name" ;;
  *.ko.zst) name=${name%.zst} && zstd -dcq "$path" >"$root/modules/$name" ;;
  *.ko.gz) name=${name%.gz} && gzip -dc "$path" >"$root/modules/$name" ;;
  *) false ;;
  esac || fail "could not copy or unpack the module $path"
  echo "$name" >>"$root/modules.list"
done < <(awk '!seen[$0]++' "$work/modules.paths")
busybox=$(command -v busybox) || fail "no busybox (install the package busybox-static)"
file -L "$busybox" | grep -qE 'statically linked|static-pie linked' ||
  fail "$busybox is not statically linked (install the package busybox-static)"
cp "$busybox" "$root/bin/busybox"
dmsetup=$(command -v dmsetup) || fail "no dmsetup (install the package dmsetup)"
cp "$dmsetup" "$root/bin/dmsetup"
libraries=$(ldd "$dmsetup" | grep -o '/[^ ]*') || fail "ldd could not list the libraries of $dmsetup"
for library in $libraries; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
cp "$here/init" "$root/init"
cp "$program" "$root/tarnwick"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initramfs.cpio" ||
  fail "cpio could not pack the initramfs"
