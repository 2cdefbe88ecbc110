#!/usr/bin/env python3
"""Replays a dm-log-writes log onto the volume image it was recorded from, to
every state a crash could leave, and checks the player's database in each.

  crash_states.py check IMAGE          checks one image (old/new database given)
  crash_states.py replay LOG BASE OUT  checks every state; writes prefix states
                                       to OUT/prefix-N.img for the next run

The database must read back as the old or the new one byte for byte, its
clusters allocated and shared with no file, each companion file intact or
gone, never the new database beside a companion, and fsck.vfat -n must find
nothing wrong with any of them.
"""
import argparse
import hashlib
import itertools
import json
import os
import random
import re
import struct
import subprocess
import sys
import tempfile

FLUSH, FUA, DISCARD, MARK = 1, 2, 4, 8
COMPANIONS = ["iTunesPState", "iTunesStats", "iTunesShuffle"]


def read_log(path):
    """The log's entries in order: (flags, sector, data or mark text)."""
    with open(path, "rb") as f:
        log = f.read()
    magic, version, count, sector_size = struct.unpack_from("<QQQI", log, 0)
    if magic != 0x6A736677736872:
        sys.exit("not a dm-log-writes log: " + path)
    entries, at = [], sector_size
    for _ in range(count):
        sector, sectors, flags, data_len = struct.unpack_from("<QQQQ", log, at)
        at += sector_size
        if flags & MARK:
            text = log[at - sector_size + 32 : at - sector_size + 32 + data_len]
            entries.append((flags, 0, text.decode()))
            continue
        data = b""
        if not flags & DISCARD:
            data = log[at : at + sectors * 512]
            at += sectors * 512
        entries.append((flags, sector, data))
    return entries


class Volume:
    """Just enough of FAT32 to read every name, chain and file."""

    def __init__(self, image):
        self.image = image
        self.sector = struct.unpack_from("<H", image, 11)[0]
        self.per_cluster = image[13] * self.sector
        reserved = struct.unpack_from("<H", image, 14)[0]
        fat_sectors = struct.unpack_from("<I", image, 36)[0]
        self.root = struct.unpack_from("<I", image, 44)[0]
        self.fat_at = reserved * self.sector
        self.data_at = (reserved + image[16] * fat_sectors) * self.sector
        self.clusters = (len(image) - self.data_at) // self.per_cluster + 2

    def next(self, cluster):
        return struct.unpack_from("<I", self.image, self.fat_at + 4 * cluster)[0] & 0x0FFFFFFF

    def chain(self, first, problems, what):
        chain, cluster = [], first
        while 2 <= cluster < 0x0FFFFFF7:
            if cluster >= self.clusters or cluster in chain:
                problems.append(what + ": broken chain")
                break
            chain.append(cluster)
            following = self.next(cluster)
            if following == 0:
                problems.append(what + ": cluster %d is free in the FAT" % cluster)
                break
            cluster = following
        return chain

    def read(self, chain, size):
        data = b"".join(
            # A bounded slice: an open-ended one would copy the rest of the
            # image for every cluster.
            self.image[self.data_at + (c - 2) * self.per_cluster : self.data_at + (c - 1) * self.per_cluster]
            for c in chain
        )
        return data[:size]

    def entries(self, first, problems, path):
        """(name units, short name, attributes, first cluster, size) of a folder."""
        raw = self.read(self.chain(first, problems, path), 1 << 30)
        found, long_parts = [], []
        for at in range(0, len(raw), 32):
            entry = raw[at : at + 32]
            if entry[0] == 0:
                break
            if entry[0] == 0xE5:
                long_parts = []
                continue
            if entry[11] == 0x0F:
                units = struct.unpack_from("<5H", entry, 1) + struct.unpack_from(
                    "<6H", entry, 14) + struct.unpack_from("<2H", entry, 28)
                long_parts.insert(0, units)
                continue
            units = [u for part in long_parts for u in part]
            if 0 in units:
                units = units[: units.index(0)]
            long_parts = []
            short = entry[:8].rstrip(b" ") + (b"." + entry[8:11].rstrip(b" ") if entry[8:11].strip() else b"")
            if entry[11] & 0x08 or short in (b".", b".."):
                continue
            first_cluster = struct.unpack_from("<H", entry, 20)[0] << 16 | struct.unpack_from("<H", entry, 26)[0]
            if not units:
                # No long name: the short one, in the letter case its flags keep.
                base, _, ext = short.decode("latin-1").partition(".")
                base = base.lower() if entry[12] & 0x08 else base
                ext = ext.lower() if entry[12] & 0x10 else ext
                units = [ord(c) for c in base + ("." + ext if ext else "")]
            name = bytes(struct.pack("<%dH" % len(units), *units)).decode("utf-16-le")
            found.append((name, units, entry[11], first_cluster, struct.unpack_from("<I", entry, 28)[0]))
        return found

    def walk(self, problems):
        """Every file and folder: path -> (units, is folder, first cluster, size)."""
        tree, todo = {}, [("", self.root)]
        while todo:
            path, first = todo.pop()
            for name, units, attributes, cluster, size in self.entries(first, problems, path or "/"):
                full = path + "/" + name
                tree[full] = (units, bool(attributes & 0x10), cluster, size)
                if attributes & 0x10:
                    todo.append((full, cluster))
        return tree


def fsck_complaints(image):
    # In memory where the rig has made a folder for it: one image per state.
    scratch = os.environ.get("TARNWICK_RIG_SCRATCH") or None
    with tempfile.NamedTemporaryFile(suffix=".img", dir=scratch) as f:
        f.write(image)
        f.flush()
        out = subprocess.run(["fsck.vfat", "-n", f.name], capture_output=True, text=True).stdout
    return out


def problems_of(image, old_db, new_db, companions, new_stats=None):
    """What is wrong with the database and its companions in image; [] if nothing.
    With new_stats (a run that keeps the statistics), iTunesStats may also be
    those, but only beside the new database."""
    problems = []
    volume = Volume(image)
    tree = volume.walk(problems)
    owners = {}
    for path, (_, is_dir, first, size) in tree.items():
        for cluster in volume.chain(first, [], path) if first else []:
            owners.setdefault(cluster, []).append(path)

    def file_at(path):
        units, is_dir, first, size = tree[path]
        what = []
        chain = volume.chain(first, what, path) if first else []
        if len(chain) * volume.per_cluster < size:
            what.append(path + ": chain shorter than its size")
        for cluster in chain:
            if len(owners.get(cluster, [])) > 1:
                what.append(path + ": cluster %d shared with %s" % (cluster, owners[cluster]))
                break
        problems.extend(what)
        return volume.read(chain, size) if not what else None

    database = "/iPod_Control/iTunes/iTunesSD"
    content = file_at(database) if database in tree else None
    if database not in tree:
        problems.append("no database")
    elif content is not None and content not in (old_db, new_db):
        problems.append("the database is neither the old nor the new one (%d bytes)" % len(content))
    for name in COMPANIONS:
        path = "/iPod_Control/iTunes/" + name
        if path in tree:
            kept = file_at(path)
            if name == "iTunesStats" and new_stats is not None and kept in (new_stats, None):
                # None: shared with iTunesStats.tmp, reported above.
                if kept is not None and content != new_db:
                    problems.append("the new statistics beside the old database")
                continue
            if kept is not None and kept != companions[name]:
                problems.append(name + ": not intact")
            if content == new_db:
                problems.append("the new database beside the old " + name)
    report = fsck_complaints(image)
    for line in report.splitlines():
        # A temporary file is the next run's to remove: only the database
        # and the companions themselves count.
        if any(re.search(re.escape(name) + r"(?!\.tmp)", line) for name in COMPANIONS) or \
                any(name in line for name in ["iTunesSD ", "iTunesSD\n"]) or line.rstrip().endswith("iTunesSD"):
            problems.append("fsck: " + line.strip())
    return problems


DATABASE = "/iPod_Control/iTunes/iTunesSD"
LEFTOVER = "/iPod_Control/iTunes/iTunesSD.tmp"
# The file and the temporary name a rename cut short can leave on its chain.
PAIRS = [(DATABASE, LEFTOVER),
         ("/iPod_Control/iTunes/iTunesStats", "/iPod_Control/iTunes/iTunesStats.tmp")]


def shared_pair(image):
    """Whether a file and its temporary name (iTunesSD and iTunesSD.tmp, or
    iTunesStats and iTunesStats.tmp) are both there on one cluster chain
    (what a crash in a rename on a sync mount can leave, or in the new
    statistics' rename when the two names lie in different sectors), and
    what each is: path -> (first cluster, size, chain, content)."""
    volume = Volume(image)
    tree = volume.walk([])
    for kept, left in PAIRS:
        if kept not in tree or left not in tree:
            continue
        files = {}
        for path in (kept, left):
            _, _, first, size = tree[path]
            chain = volume.chain(first, [], path) if first else []
            files[path] = (first, size, chain, volume.read(chain, size))
        if set(files[kept][2]) & set(files[left][2]):
            return True, files
    return False, {}


def only_the_shared_pair(found):
    """Whether every problem found is the two names sharing their chain."""
    return all(p.startswith("fsck: ") or (" shared with " in p and ("iTunesSD" in p or "iTunesStats" in p))
               for p in found)


def replay(args):
    entries = read_log(args.log)
    with open(args.base, "rb") as f:
        image = bytearray(f.read())
    old_db, new_db, companions, new_stats = load_expect(args.expect)
    os.makedirs(args.out, exist_ok=True)

    # The writes, each with whether a barrier (a flush, or FUA) comes before it.
    writes, started, ended, barrier = [], None, None, True
    for flags, sector, data in entries:
        if flags & MARK:
            if data == "run-start":
                started = len(writes)
            elif data == "run-end":
                ended = len(writes)
            continue
        if flags & FLUSH:
            barrier = True
        if data and not flags & DISCARD:
            writes.append((sector, data, barrier))
            barrier = bool(flags & FUA)
    if started is None or ended is None:
        sys.exit("the log has no run-start or run-end mark")

    def apply(state, write):
        sector, data, _ = write
        state[sector * 512 : sector * 512 + len(data)] = data

    rng = random.Random(args.seed)
    broken, states, prefix_states = [], 0, 0
    shared_seen, shared_kept = set(), 0

    def judge(state, where):
        """Records a broken state; on a sync recording a state whose only
        fault is the shared chain is kept for the next run instead."""
        nonlocal shared_kept
        found = problems_of(state, old_db, new_db, companions, new_stats)
        if not found:
            return
        if args.shared_states and only_the_shared_pair(found) and shared_pair(state)[0]:
            key = hashlib.sha1(state).digest()
            if key not in shared_seen and shared_kept < args.shared_cap:
                shared_seen.add(key)
                shared_kept += 1
                with open(os.path.join(args.out, "shared-%04d.img" % shared_kept), "wb") as f:
                    f.write(state)
            elif key not in shared_seen:
                shared_seen.add(key)
            return
        broken.append((where, found))

    # Before the run the volume is as the mount left it; every state from
    # then on is checked: each prefix, and each subset of the writes between
    # two barriers on top of the state before them.
    for write in writes[:started]:
        apply(image, write)
    interval_start = bytearray(image)
    interval = []
    for i in range(started, len(writes) + 1):
        if i < len(writes) and writes[i][2] and interval:
            # A barrier: every subset of the interval that just ended.
            subsets = []
            if len(interval) <= args.all_subsets:
                for r in range(1, len(interval)):
                    subsets.extend(itertools.combinations(range(len(interval)), r))
            else:
                for _ in range(args.samples):
                    subsets.append(tuple(j for j in range(len(interval)) if rng.random() < 0.5))
            for subset in subsets:
                # Applied in place and taken back: a copy of the whole image
                # for each subset costs more than all the checks.
                saved = []
                for j in subset:
                    sector, data, _ = interval[j]
                    saved.append((sector, bytes(interval_start[sector * 512 : sector * 512 + len(data)])))
                    apply(interval_start, interval[j])
                states += 1
                judge(interval_start, "subset of writes %d-%d: %s" % (i - len(interval), i - 1, subset))
                for sector, data in reversed(saved):
                    interval_start[sector * 512 : sector * 512 + len(data)] = data
            interval_start = bytearray(image)
            interval = []
        states += 1
        judge(image, "prefix %d" % i)
        if i <= ended or i == len(writes):
            with open(os.path.join(args.out, "prefix-%04d.img" % i), "wb") as f:
                f.write(image)
            prefix_states += 1
        if i == ended:
            volume = Volume(bytes(image))
            problems = []
            tree = volume.walk(problems)
            units, _, first, size = tree["/iPod_Control/iTunes/iTunesSD"]
            on_device = volume.read(volume.chain(first, problems, "database"), size)
            if on_device != new_db:
                broken.append(("when the program ended", ["the entry on the device is not the new database"]))
            stats = tree.get("/iPod_Control/iTunes/iTunesStats")
            if new_stats is not None and (
                    not stats or volume.read(volume.chain(stats[2], problems, "statistics"), stats[3]) != new_stats):
                broken.append(("when the program ended", ["the new statistics are not on the device"]))
        if i < len(writes):
            apply(image, writes[i])
            interval.append(writes[i])
    print("%d writes during the run, %d after it; %d states checked, %d broken, %d prefix states kept"
          % (ended - started, len(writes) - ended, states, len(broken), prefix_states))
    if args.shared_states:
        print("%d distinct states with iTunesSD and iTunesSD.tmp on one chain, %d kept for the next run"
              % (len(shared_seen), shared_kept))
    for where, found in broken[:20]:
        print("BROKEN at %s: %s" % (where, "; ".join(found)))
    return 1 if broken else 0


def load_expect(path):
    with open(path) as f:
        expect = json.load(f)
    new_stats = bytes.fromhex(expect["new_stats"]) if "new_stats" in expect else None
    return (bytes.fromhex(expect["old"]), bytes.fromhex(expect["new"]),
            {k: bytes.fromhex(v) for k, v in expect["companions"].items()}, new_stats)


def names(args):
    """Each entry's path, unit for unit, as the volume stores its names."""
    with open(args.image, "rb") as f:
        volume = Volume(f.read())
    with open(args.database, "rb") as f:
        db = f.read()
    problems = []
    tree = volume.walk(problems)
    count = int.from_bytes(db[0:3], "big")
    for n in range(count):
        at = 18 + 558 * n + 33
        units = list(struct.unpack_from("<261H", db, at))
        units = units[: units.index(0)] if 0 in units else units
        parts, part = [], []
        for u in units[1:] + [0x2F]:
            if u == 0x2F:
                parts.append(part)
                part = []
            else:
                part.append(u)
        path = ""
        for part in parts:
            path += "/" + bytes(struct.pack("<%dH" % len(part), *part)).decode("utf-16-le")
            stored = tree.get(path)
            if stored is None:
                problems.append("entry %d: %s is not on the volume" % (n, path))
                break
            if stored[0] and list(stored[0]) != part:
                problems.append("entry %d: %s is stored as other units" % (n, path))
    for p in problems:
        print(p)
    return 1 if problems or count == 0 else 0


def verify(args):
    """After the next run on a crash state: the new database and nothing
    wrong, or an error that names damage with the old database kept."""
    old_db, new_db, companions, new_stats = load_expect(args.expect)
    with open(args.image, "rb") as f:
        image = f.read()
    transcript = sys.stdin.read()
    if args.before:
        with open(args.before, "rb") as f:
            shared, files = shared_pair(f.read())
        if shared:
            # Both names on one chain: the run must stop, name the damage,
            # and leave both files (chain, size, bytes) exactly as they were.
            after = shared_pair(image)[1]
            if args.status != "1" or "share their storage" not in transcript:
                print("shared chain, but status %s: %s" % (args.status, transcript.strip().splitlines()[-3:]))
                return 1
            if after != files:
                print("shared chain: the run changed iTunesSD or iTunesSD.tmp")
                return 1
            return 0
    problems = problems_of(image, old_db, new_db, companions, new_stats)
    volume = Volume(image)
    tree = volume.walk([])
    entry = tree.get("/iPod_Control/iTunes/iTunesSD")
    content = volume.read(volume.chain(entry[2], [], "db"), entry[3]) if entry else None
    if args.status == "0":
        if content != new_db or problems:
            print("success, but: " + "; ".join(problems or ["not the new database"]))
            return 1
        return 0
    # The kernel may have set the volume read-only for what it found: that
    # message names the damage too.
    damage_named = "file system may be damaged" in transcript or "may have found damage" in transcript
    if args.status == "1" and damage_named and content == old_db:
        return 0
    print("status %s: %s" % (args.status, transcript.strip().splitlines()[-3:]))
    return 1


def share(args):
    """Puts iTunesSD.tmp on iTunesSD's chain, with its size: the state a
    crash in a rename on a sync mount leaves, made for any database."""
    with open(args.image, "rb") as f:
        image = bytearray(f.read())
    entries = {}
    for name in (b"ITUNESSD   ", b"ITUNESSDTMP"):
        found = [at for at in range(0, len(image) - 32, 32)
                 if image[at:at + 11] == name and image[at + 11] & 0x18 == 0]
        if len(found) != 1:
            sys.exit("%s: %d short entries" % (name, len(found)))
        entries[name] = found[0]
    db, tmp = entries[b"ITUNESSD   "], entries[b"ITUNESSDTMP"]
    for field in ((20, 22), (26, 28), (28, 32)):  # first cluster (high, low), size
        image[tmp + field[0]:tmp + field[1]] = image[db + field[0]:db + field[1]]
    with open(args.image, "wb") as f:
        f.write(image)
    return 0 if shared_pair(bytes(image))[0] else 1


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("replay")
    r.add_argument("log")
    r.add_argument("base")
    r.add_argument("expect", help="JSON: old, new (hex) and companions (name -> hex)")
    r.add_argument("out")
    r.add_argument("--seed", type=int, default=1)
    r.add_argument("--all-subsets", type=int, default=10)
    r.add_argument("--samples", type=int, default=200)
    r.add_argument("--shared-states", action="store_true",
                   help="keep states whose only fault is iTunesSD and iTunesSD.tmp on one chain")
    r.add_argument("--shared-cap", type=int, default=24, help="at most this many kept")
    t = sub.add_parser("tree", help="every path with its name units and size, as JSON")
    t.add_argument("image")
    n = sub.add_parser("names")
    n.add_argument("image")
    n.add_argument("database")
    v = sub.add_parser("verify")
    v.add_argument("--before", help="the state as it was before the next run")
    v.add_argument("image")
    v.add_argument("expect")
    v.add_argument("status")
    s = sub.add_parser("share")
    s.add_argument("image")
    args = parser.parse_args()
    if args.command == "share":
        return share(args)
    if args.command == "replay":
        return replay(args)
    if args.command == "names":
        return names(args)
    if args.command == "verify":
        return verify(args)
    with open(args.image, "rb") as f:
        image = f.read()
    problems = []
    tree = Volume(image).walk(problems)
    json.dump({p: {"units": ["%04X" % u for u in v[0]], "dir": v[1], "size": v[3]} for p, v in tree.items()},
              sys.stdout, indent=0, sort_keys=True)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
