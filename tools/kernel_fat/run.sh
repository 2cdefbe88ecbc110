#!/usr/bin/env bash
# The program on the Linux kernel's own FAT driver: boots Debian's kernel
# under qemu, runs the program on a FAT32 volume mounted as desktop
# automounters do, and checks, on the host, the transcript, every stored
# name and the database; then replays the run's recorded writes to every
# state a pulled cable could leave, checks each, and runs the program again
# on every prefix state. Usage: run.sh WORK_DIR [JOBS]
# Needs qemu-system-x86, busybox-static, kmod, dmsetup, dosfstools, mtools,
# python3, xz-utils, zstd, and Debian's package lists (for the kernel).
# TARNWICK_RIG_BOOT_SECONDS: how long one boot of the guest may take (600 s
# by default; a boot takes seconds to a minute on 2 loaded cores).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=$1
jobs=${2:-2}
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
mkdir -p "$work"
started=$(date +%s)
boot_seconds=${TARNWICK_RIG_BOOT_SECONDS:-600}

# Every failure names its step: set -e alone would end the rig without a
# word. die says why for the steps expected to go wrong; the trap names any
# other command that stopped it.
die() {
  echo "FAILED: kernel rig: $*"
  exit 1
}
# (Only in the script's own shell: a pipeline in a command substitution
# that ends with a failing grep or ls is no failure of the rig.)
trap 'status=$?; [ "$BASHPID" != $$ ] || echo "FAILED: kernel rig: line $LINENO: \"$BASH_COMMAND\" ended with status $status"' ERR
set -E
# The checker writes one image a state to memory: into a folder of this
# run's, removed however the run ends, so that a checker killed mid-state
# leaves nothing in /dev/shm.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  TARNWICK_RIG_SCRATCH=$(mktemp -d /dev/shm/tarnwick-rig.XXXXXX)
  export TARNWICK_RIG_SCRATCH
  trap 'rm -rf "$TARNWICK_RIG_SCRATCH"' EXIT
fi

# The program as the guest runs it: static, so the initramfs needs no C++
# runtime; and as the host runs it, for the transcript to compare with.
# TARNWICK_RIG_PROGRAM runs another static build instead (an older one, to
# see that the rig finds what it should).
program=${TARNWICK_RIG_PROGRAM:-$work/build/tarnwick}
if [ -z "${TARNWICK_RIG_PROGRAM:-}" ]; then
  cmake -S "$top" -B "$work/build" -DTARNWICK_TESTS=OFF -DCMAKE_EXE_LINKER_FLAGS=-static \
    >"$work/build.log" 2>&1 || die "cmake could not configure the static program: $(tail -n 5 "$work/build.log")"
  cmake --build "$work/build" --target tarnwick >"$work/build.log" 2>&1 ||
    die "the static program did not build: $(tail -n 5 "$work/build.log")"
fi
[ -x "$program" ] || die "no program to run at $program"
"$here/prepare.sh" "$work" "$program" || exit 1

# Boots the guest on a volume image; with a log image the run's writes are
# recorded. Prints the guest's report (transcript between the markers),
# then @@timeout when the guest had not ended after $boot_seconds s, or
# @@qemu-status when qemu failed, and @@boot-seconds, the time it took.
# MOUNT_OPTIONS, when set, mounts the volume with those options instead of
# the automounters' ones.
# no_timer_check: under qemu's emulation on a loaded machine the kernel's
# check that the IO-APIC delivers timer interrupts can miss them and end in
# a panic ("IO-APIC + timer doesn't work!", about one boot in 25 with six at
# once on 2 cores); the timer works, so the check is skipped.
boot() {
  local volume=$1 log=${2:-} append="console=ttyS0 quiet panic=-1 no_timer_check"
  [ -z "${MOUNT_OPTIONS:-}" ] || append="$append tarnwick.mount=$MOUNT_OPTIONS"
  [ -z "${PROGRAM_OPTION:-}" ] || append="$append tarnwick.args=$PROGRAM_OPTION"
  local drives=(-drive "file=$volume,format=raw,if=virtio")
  # SECTOR_SIZE, when set, gives the volume's disk sectors of that size.
  if [ -n "${SECTOR_SIZE:-}" ]; then
    drives=(-drive "file=$volume,format=raw,if=none,id=volume"
      -device "virtio-blk-pci,drive=volume,logical_block_size=$SECTOR_SIZE,physical_block_size=$SECTOR_SIZE")
  fi
  if [ -n "$log" ]; then
    append="$append tarnwick.record=1"
    drives+=(-drive "file=$log,format=raw,if=virtio")
  fi
  local boot_started=$SECONDS status=0
  timeout "$boot_seconds" qemu-system-x86_64 -machine q35 -m 256 -display none -serial stdio \
    -nic none -no-reboot -kernel "$work/vmlinux" -initrd "$work/initramfs.cpio" \
    -append "$append" "${drives[@]}" </dev/null 2>&1 | tr -d '\r' || status=$?
  if [ "$status" = 124 ]; then
    echo "@@timeout"
  elif [ "$status" != 0 ]; then
    echo "@@qemu-status $status"
  fi
  echo "@@boot-seconds $((SECONDS - boot_started))"
}
transcript_of() { sed -n '/^@@transcript$/,/^@@status/p' | sed '1d;$d'; }
status_of() { sed -n 's/^@@status //p'; }
# Why a boot's output (the argument) holds no status.
no_report() {
  local why
  if grep -q '^@@timeout' <<<"$1"; then
    why="the guest had not ended after $boot_seconds s: timed out (TARNWICK_RIG_BOOT_SECONDS gives a slow machine more)"
  elif grep -q '^@@qemu-status' <<<"$1"; then
    why="qemu failed with status $(sed -n 's/^@@qemu-status //p' <<<"$1")"
  else
    why="the guest ended without reporting a status"
  fi
  # A kernel panic, or the guest's last lines.
  local said
  said=$(grep -m 1 -E 'Kernel panic|BUG:|Oops' <<<"$1" || grep -v '^@@' <<<"$1" | grep . | tail -n 3 |
    paste -sd '|' -)
  echo "$why; it said: $said"
}
# The next run on a crash state (the argument): the new database, or an
# error that names the damage with the old database kept. A boot that
# timed out says nothing about the program; it is tried once more from the
# same state, so that a slow moment of a loaded machine is not taken for a
# hang, and a second timeout fails, saying so.
next_run() {
  local state=$1 out status verdict
  cp "$state" "$state.before"
  out=$(boot "$state")
  if grep -q '^@@timeout' <<<"$out"; then
    echo "note: the next run on $(basename "$state") timed out after $boot_seconds s; once more"
    cp "$state.before" "$state"
    out=$(boot "$state")
  fi
  sed -n 's/^@@boot-seconds //p' <<<"$out" >"$state.seconds"
  status=$(status_of <<<"$out")
  if [ -z "$status" ]; then
    echo "FAILED next run on $(basename "$state"): $(no_report "$out")"
  elif ! verdict=$(python3 "$here/crash_states.py" verify --before "$state.before" "$state" \
    "$expect" "$status" <<<"$(transcript_of <<<"$out")"); then
    echo "FAILED next run on $(basename "$state"): $verdict"
  fi
  rm -f "$state.before"
}
longest_boot=0
note_boot() {
  local seconds
  for seconds in "$@"; do
    [ -z "$seconds" ] || [ "$seconds" -le "$longest_boot" ] || longest_boot=$seconds
  done
}

# The volume: nested folders, names beyond ASCII, an old database from an
# earlier run over fewer files, the three companion files. In the layout
# other-sector the control folder's first sector is full, so that the
# temporary file's name lands in another sector than the database's. In
# deleted-slot a deleted two-slot entry lies ahead of iTunesSD, where the
# temporary name then goes, and a left-over iTunesSD.tmp with the old
# database's bytes in clusters of its own waits to be removed.
make_volume() {
  local layout=$1 dir=$2 tree=$2/tree
  rm -rf "$dir"
  mkdir -p "$tree/iPod_Control/iTunes"
  for file in "Music/Artist A/01 Intro.mp3" "Music/Artist A/02 Song.MP3" \
    "Audiobooks/Chapter 1.m4b" "Café/Beyoncé – Halo.m4a" "日本語/歌.mp3" \
    "Ελληνικά/Τραγούδι.wav" "jingle.mp3"; do
    mkdir -p "$tree/$(dirname "$file")"
    printf 'audio' >"$tree/$file"
  done
  (cd "$tree" && "$program" -q >/dev/null)
  for file in "Music/Later/03 New.mp3" "Music/Later/04 Nüance.aa" "zz last.m4a"; do
    mkdir -p "$tree/$(dirname "$file")"
    printf 'audio' >"$tree/$file"
  done
  local itunes=$tree/iPod_Control/iTunes
  head -c 700 /dev/urandom >"$itunes/iTunesPState"
  if [ -n "${PROGRAM_OPTION:-}" ]; then
    # Statistics the run keeps: one record per old track, each record's
    # length 18 and its other fields random.
    python3 - "$itunes" <<'PY'
import os, sys
d = sys.argv[1]
count = int.from_bytes(open(d + "/iTunesSD", "rb").read()[0:3], "big")
records = b"".join(b"\x12\x00\x00" + os.urandom(15) for _ in range(count))
open(d + "/iTunesStats", "wb").write(count.to_bytes(3, "little") + bytes(3) + records)
PY
  else
    head -c 1500 /dev/urandom >"$itunes/iTunesStats"
  fi
  head -c 300 /dev/urandom >"$itunes/iTunesShuffle"
  truncate -s 40M "$dir/base.img"
  mkfs.vfat -F 32 -s 1 -n IPOD "$dir/base.img" >/dev/null
  local image=$dir/base.img
  mmd -i "$image" ::/iPod_Control ::/iPod_Control/iTunes
  # One long-name slot and the short entry: the slots iTunesSD.tmp takes.
  [ "$layout" != deleted-slot ] || mcopy -i "$image" /dev/null "::/iPod_Control/iTunes/del me.txt"
  mcopy -i "$image" "$itunes/iTunesSD" "$itunes/iTunesPState" "$itunes/iTunesStats" \
    "$itunes/iTunesShuffle" ::/iPod_Control/iTunes/
  if [ "$layout" = deleted-slot ]; then
    mcopy -i "$image" "$itunes/iTunesSD" ::/iPod_Control/iTunes/iTunesSD.tmp
    mdel -i "$image" "::/iPod_Control/iTunes/del me.txt"
  fi
  if [ "$layout" = other-sector ]; then
    for n in 1 2 3 4 5 6; do mcopy -i "$image" /dev/null "::/iPod_Control/iTunes/FILL$n.TXT"; done
  fi
  for entry in "$tree"/*; do
    [ "$(basename "$entry")" = iPod_Control ] || mcopy -s -i "$image" "$entry" ::/
  done
  python3 - "$itunes" "$dir/expect.json" <<'PY'
import json, sys
d = sys.argv[1]
read = lambda n: open(d + "/" + n, "rb").read().hex()
json.dump({"old": read("iTunesSD"), "companions": {n: read(n) for n in
           ["iTunesPState", "iTunesStats", "iTunesShuffle"]}}, open(sys.argv[2], "w"))
PY
}

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# Each layout under a mount option: "flush" as desktop automounters mount,
# "sync" as usbmount and many fstab lines do. On a sync mount the kernel
# writes the renamed entry before it removes the temporary name, with no
# flush between: a crash there leaves both names on one cluster chain, which
# no program can prevent (the new statistics' rename, with the two names in
# different sectors, can leave iTunesStats and iTunesStats.tmp so on any
# mount); the next run must then stop, change nothing and
# name the damage, never remove the left-over (that frees the database's
# clusters).
# A third field, keep, runs the program with --keep-places: the new
# statistics replace the old ones after the database, and must never stand
# beside a database they do not describe. TARNWICK_RIG_RUNS picks runs.
for run in ${TARNWICK_RIG_RUNS:-same-sector:flush other-sector:flush deleted-slot:flush \
  same-sector:sync deleted-slot:sync same-sector:flush:keep other-sector:flush:keep}; do
  IFS=: read -r layout mode keep <<<"$run"
  name=$layout-$mode${keep:+-$keep}
  dir=$work/$name
  export MOUNT_OPTIONS=utf8,shortname=mixed,$mode
  export PROGRAM_OPTION=${keep:+--keep-places}
  make_volume "$layout" "$dir"
  # What the program does on the host with the same files.
  host=$dir/host
  mkdir -p "$host"
  mcopy -s -i "$dir/base.img" ::/ "$host/" 2>/dev/null
  # shellcheck disable=SC2086 # no option, or one
  (cd "$host" && "$program" -q $PROGRAM_OPTION >"$dir/host.out") || true
  python3 - "$dir/expect.json" "$host/iPod_Control/iTunes" "$PROGRAM_OPTION" <<'PY'
import json, sys
expect = json.load(open(sys.argv[1]))
expect["new"] = open(sys.argv[2] + "/iTunesSD", "rb").read().hex()
if sys.argv[3]:
    expect["new_stats"] = open(sys.argv[2] + "/iTunesStats", "rb").read().hex()
json.dump(expect, open(sys.argv[1], "w"))
PY

  cp "$dir/base.img" "$dir/run.img"
  truncate -s 64M "$dir/log.img"
  boot "$dir/run.img" "$dir/log.img" >"$dir/guest.out"
  note_boot "$(sed -n 's/^@@boot-seconds //p' "$dir/guest.out")"
  if [ -z "$(status_of <"$dir/guest.out")" ]; then
    # Without the run there are no writes to replay.
    fail "$name: the recorded run: $(no_report "$(cat "$dir/guest.out")")"
    continue
  fi
  ! grep -q '^@@mount failed' "$dir/guest.out" || fail "$name: the guest could not mount the volume"
  transcript_of <"$dir/guest.out" >"$dir/guest.transcript"
  cmp -s "$dir/guest.transcript" "$dir/host.out" ||
    fail "$name: the transcript differs from the host's: $(diff "$dir/host.out" "$dir/guest.transcript" | head -5)"
  [ "$(status_of <"$dir/guest.out")" = 0 ] || fail "$name: the run did not succeed"
  # The database (and the statistics kept) byte for byte, read with mtools,
  # each temporary file gone; the volume clean, the left-over (deleted-slot)
  # gone.
  for file in iTunesSD ${keep:+iTunesStats}; do
    rm -f "$dir/guest.$file"
    mcopy -n -i "$dir/run.img" "::/iPod_Control/iTunes/$file" "$dir/guest.$file" ||
      fail "$name: mcopy could not read $file from the volume"
    cmp -s "$dir/guest.$file" "$host/iPod_Control/iTunes/$file" ||
      fail "$name: $file differs from the host's"
    ! mdir -i "$dir/run.img" "::/iPod_Control/iTunes/$file.tmp" >/dev/null 2>&1 ||
      fail "$name: $file.tmp is still there"
  done
  fsck.vfat -n "$dir/run.img" >"$dir/fsck.out" 2>&1 || fail "$name: fsck.vfat: $(cat "$dir/fsck.out")"
  # Every entry's name, unit for unit, as the volume stores it.
  python3 "$here/crash_states.py" names "$dir/run.img" "$dir/guest.iTunesSD" ||
    fail "$name: stored names differ from the database's"

  # Its status is read from what it printed, so that the next runs are made
  # on the prefix states however the replay went. On a sync mount, states
  # where iTunesSD and iTunesSD.tmp share a chain are kept aside for the
  # next run instead of counted as broken.
  sync_flag=()
  [ "$mode" != sync ] && [ -z "$keep" ] || sync_flag=(--shared-states)
  python3 "$here/crash_states.py" replay "${sync_flag[@]}" "$dir/log.img" "$dir/base.img" \
    "$dir/expect.json" "$dir/states" | tee "$dir/replay.out" || true
  if ! grep -q ' states checked, ' "$dir/replay.out"; then
    fail "$name: the replay of the recorded writes did not finish (its error is above)"
    continue
  fi
  grep -q ', 0 broken,' "$dir/replay.out" || fail "$name: broken crash states"

  # The next run on every prefix state: the new database, or an error that
  # names the damage with the old database kept; never a success over damage.
  # On a shared state: the damage named and nothing changed.
  export -f boot transcript_of status_of no_report next_run
  export work here boot_seconds expect=$dir/expect.json
  # shellcheck disable=SC2016 # expanded by the bash that xargs starts
  find "$dir/states" -name '*.img' | sort | xargs -P "$jobs" -I{} bash -c 'next_run "$1"' _ {} |
    tee "$dir/next-runs.out"
  if grep -q FAILED "$dir/next-runs.out"; then fail "$name: a next run"; fi
  # shellcheck disable=SC2046 # one number a line
  note_boot $(cat "$dir"/states/*.seconds 2>/dev/null || true)
  echo "$name: $(find "$dir/states" -name 'prefix-*.img' | wc -l) next runs on prefix states," \
    "$(find "$dir/states" -name 'shared-*.img' | wc -l) on states with a shared chain"
  rm -rf "$dir/states"
done
# Shared chains of small databases: one without tracks (18 bytes, no byte
# the player never reads), one track with a path of more than 230
# characters (that byte past the first 512-byte block), and three tracks
# (under 4,096 bytes), on 512- and 4,096-byte sectors. Each is made as a
# crash in a rename on a sync mount leaves it (iTunesSD.tmp on the
# database's chain): the run must stop, name the damage and change
# neither file. The same volume with a left-over of its own must succeed.
unset MOUNT_OPTIONS
small_stopped=0 small_states=0 small_healthy=0 small_healthy_states=0
for sector in 512 4096; do
  for kind in empty long-path three; do
    dir=$work/small-$kind-$sector
    rm -rf "$dir"
    mkdir -p "$dir/tree/iPod_Control/iTunes"
    case $kind in
      long-path)
        mkdir -p "$dir/tree/$(printf 'F%.0s' $(seq 110))"
        printf 'audio' >"$dir/tree/$(printf 'F%.0s' $(seq 110))/$(printf 'n%.0s' $(seq 125)).mp3" ;;
      three) for n in 1 2 3; do printf 'audio' >"$dir/tree/track $n.mp3"; done ;;
    esac
    (cd "$dir/tree" && "$program" -q >/dev/null)
    itunes=$dir/tree/iPod_Control/iTunes
    size=40M
    [ "$sector" = 512 ] || size=300M
    truncate -s "$size" "$dir/base.img"
    mkfs.vfat -F 32 -S "$sector" -s 1 -n IPOD "$dir/base.img" >/dev/null
    mcopy -s -i "$dir/base.img" "$dir/tree/"* ::/
    # The next run's database is the same: the same files.
    python3 - "$itunes/iTunesSD" "$dir/expect.json" <<'PY'
import json, sys
db = open(sys.argv[1], "rb").read().hex()
json.dump({"old": db, "new": db, "companions": {}}, open(sys.argv[2], "w"))
PY
    for state in shared healthy; do
      image=$dir/$state.img
      cp "$dir/base.img" "$image"
      if [ "$state" = shared ]; then
        mcopy -i "$image" /dev/null ::/iPod_Control/iTunes/iTunesSD.tmp
        python3 "$here/crash_states.py" share "$image" || { fail "small-$kind-$sector: no shared chain made"; continue; }
      else
        mcopy -i "$image" "$itunes/iTunesSD" ::/iPod_Control/iTunes/iTunesSD.tmp
      fi
      cp "$image" "$image.before"
      out=$(SECTOR_SIZE=$sector boot "$image")
      note_boot "$(sed -n 's/^@@boot-seconds //p' <<<"$out")"
      status=$(status_of <<<"$out")
      if [ -z "$status" ]; then
        fail "small-$kind-$sector $state: $(no_report "$out")"
        continue
      fi
      if [ "$state" = shared ]; then
        small_states=$((small_states + 1))
        verdict=$(python3 "$here/crash_states.py" verify --before "$image.before" "$image" \
          "$dir/expect.json" "$status" <<<"$(transcript_of <<<"$out")") &&
          small_stopped=$((small_stopped + 1)) ||
          fail "small-$kind-$sector shared: $verdict"
      else
        small_healthy_states=$((small_healthy_states + 1))
        if [ "$status" = 0 ] && ! mdir -i "$image" ::/iPod_Control/iTunes/iTunesSD.tmp >/dev/null 2>&1 &&
          fsck.vfat -n "$image" >/dev/null 2>&1; then
          small_healthy=$((small_healthy + 1))
        else
          fail "small-$kind-$sector healthy: status $status: $(transcript_of <<<"$out" | tail -n 3 | paste -sd '|' -)"
        fi
      fi
      rm -f "$image.before"
    done
    rm -f "$dir"/*.img
  done
done
echo "small databases: $small_stopped of $small_states shared states stopped with nothing changed," \
  "$small_healthy of $small_healthy_states healthy ones rebuilt"

echo "kernel FAT rig: $(($(date +%s) - started)) s, $failures failures, the longest boot" \
  "$longest_boot s (of at most $boot_seconds)"
if [ "$failures" != 0 ]; then exit 1; fi
