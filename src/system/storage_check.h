// The storage check: whether a left-over temporary file and the database
// are two names for one cluster chain, decided by the device itself through
// block reads and writes past the system's cache, or else by the system's
// map of where each file begins (one per system).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// What the storage check found of a left-over file and the database.
enum class Storage {
  kSeparate,  // clusters of their own, either absent, or one file under two links
  kShared,    // one chain under two names: removing the left-over frees the database's
  kUnknown,   // cannot tell: neither the device nor the system's map could be asked
  kFailed,    // the device or the process failed the check (errno says why): nothing is known
};

// Whether the left-over file at leftover and the database at database are
// two names for the same clusters, as a crash between the two writes of a
// rename on a "sync" mount leaves them (both entries on one chain): then
// removing the left-over would free the database's clusters. The device
// itself decides, at offset (a byte the caller knows the player never
// reads): the two files' bytes there are read past the cache; different
// bytes are different storage; equal ones are told apart by changing the
// left-over's byte and seeing whether the database's changes with it,
// before it is put back. Interruptions are held back meanwhile, and a check
// killed half-way leaves only a left-over whose byte differs, which the
// next check finds separate. Where the device cannot be asked so (no such
// byte, offset -1: a database without tracks; a byte whose block is not
// wholly inside both files; no direct I/O), files of different sizes or
// contents are separate (a rename's two entries carry one size, and one
// chain holds one content); for equal ones the system's map decides: one
// first cluster is one chain; where neither can look, a file system other
// than FAT's keeps two files apart. A call broken off by a signal is made again,
// a few times; any other failure of the device or the process, an
// interruption that keeps coming, and any failure once the byte was
// changed, is kFailed. kFailed and kUnknown both mean nothing may be removed.
[[nodiscard]] Storage shares_storage(const char* leftover, const char* database, long offset);

// A file whose blocks are read and written on the device itself, past the
// system's cache: what the storage check is made of, one per system.
struct UncachedFile {
  intptr_t handle = -1;
  bool direct = true;  // false where the file system has no direct I/O: no block calls
  long long size = 0;
  std::array<unsigned long long, 2> identity{};  // the volume, and the file's number on it
};

// Opens the regular file at path past the cache (direct false where the
// file system cannot), for writing too when writable. false, with errno set
// (ENOENT when nothing is there, EINVAL for something other than a regular
// file), on failure.
[[nodiscard]] bool open_uncached(const char* path, bool writable, UncachedFile* file);

// Reads or writes the size bytes at at, a multiple of the device's block
// size, through block, aligned to 4096 bytes. false when not all were,
// with errno EINVAL when the device takes blocks of another size.
[[nodiscard]] bool uncached_io(const UncachedFile& file, unsigned char* block, size_t size,
                               long long at, bool write);

void close_uncached(const UncachedFile& file);

// Where the file begins on the device, from the system's own map of it: a
// position that two files of one volume share only when they begin on one
// cluster. false with errno set: ENOTSUP when the system cannot say (no map
// for this file system, none the process may ask for, a file not yet given
// its place); any other error when the device or the process failed.
[[nodiscard]] bool first_extent(const UncachedFile& file, unsigned long long* start);

// Whether the file lies on a file system whose files never share storage
// that removing one would free: one chain under two names is FAT's (and
// exFAT's) damage alone. false where it may be such a volume, or the system
// cannot say which it is (a FUSE file system, for one).
[[nodiscard]] bool kept_apart_by_its_file_system(const UncachedFile& file);
