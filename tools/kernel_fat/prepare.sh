#!/usr/bin/env bash
# Makes what the guest boots from: Debian's kernel, uncompressed for qemu's
# PVH entry, and an initramfs with busybox, the FAT, virtio and
# device-mapper modules, the host's dmsetup with its libraries, and the
# statically linked program. Usage: prepare.sh WORK_DIR STATIC_PROGRAM
set -euo pipefail
work=$1
program=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work/download"

# The kernel package that linux-image-amd64 names, unpacked, not installed.
if [ ! -f "$work/vmlinux" ]; then
  package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  if [ -z "$package" ]; then
    echo "FAILED: apt-cache knows no linux-image-amd64: the kernel package cannot be fetched (run apt-get update)"
    exit 1
  fi
  (cd "$work/download" && apt-get download "$package" >"$work/download/apt.log" 2>&1) || {
    echo "FAILED: could not fetch the kernel package $package with apt-get download:"
    tail -n 3 "$work/download/apt.log"
    exit 1
  }
  rm -rf "$work/kernel"
  dpkg-deb -x "$work"/download/"$package"_*.deb "$work/kernel"
  # The xz stream inside vmlinuz is the ELF kernel, which qemu boots
  # directly, about twice as fast as the compressed one.
  vmlinuz=$(ls "$work"/kernel/boot/vmlinuz-*)
  offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
  tail -c +$((offset + 1)) "$vmlinuz" | xz -dc >"$work/vmlinux" 2>/dev/null || true
  file "$work/vmlinux" | grep -q ELF
fi

version=$(ls "$work/kernel/lib/modules")
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,mnt,modules,lib64,lib}
depmod -b "$work/kernel" "$version"
: >"$root/modules.list"
for module in virtio_pci virtio_blk vfat nls_utf8 nls_ascii nls_cp437 nls_iso8859-1 dm_log_writes; do
  modprobe -d "$work/kernel" -S "$version" --show-depends "$module" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r path; do
  cp "$path" "$root/modules/"
  basename "$path" >>"$root/modules.list"
done
cp /bin/busybox "$root/bin/busybox"
cp /usr/sbin/dmsetup "$root/bin/dmsetup"
ldd /usr/sbin/dmsetup | grep -o '/[^ ]*' | while read -r library; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
cp "$here/init" "$root/init"
cp "$program" "$root/tarnwick"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
