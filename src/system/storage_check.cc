// The storage check, the same on every system: only the block reads and
// writes past the cache, and the map of where a file begins, are the
// system's.
#include "system/storage_check.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "failure/failure.h"
#include "system/durable_files.h"
#include "system/interruptions.h"

namespace {

constexpr size_t kLargestBlock = 4096;
constexpr int kTries = 64;

// Two blocks, aligned as direct I/O wants them: kept, so that the check
// asks for no memory.
alignas(kLargestBlock) std::array<unsigned char, 2 * kLargestBlock> blocks;

struct Closer {
  void operator()(const UncachedFile* file) const { close_uncached(*file); }
};
using ClosedOnReturn = std::unique_ptr<const UncachedFile, Closer>;

// One block call, made again when a signal broke it off; errno stays EINTR
// when signals keep breaking it off.
bool block_io(const UncachedFile& file, unsigned char* block, size_t size, long long at,
              bool write) {
  for (int tries = 0; tries < kTries; ++tries) {
    if (uncached_io(file, block, size, at, write))
      return true;
    if (errno != EINTR)
      return false;
  }
  return false;
}

// What a failed call says: that the system cannot look this way, or that
// the device or the process failed (an interruption that keeps coming
// included: the check was not made).
Storage after_failure() {
  return is_device_or_process_failure(errno) || errno == EINTR ? Storage::kFailed
                                                               : Storage::kUnknown;
}

// What a failed opening says: nothing there, or something that is no
// regular file, holds no chain that its removal could free; any other
// failure is the check's, with its cause.
Storage after_opening_failed() {
  return errno == ENOENT || errno == EINVAL ? Storage::kSeparate : Storage::kFailed;
}

// The device's own answer, at the byte at offset of both files.
Storage device_answer(const UncachedFile& left, const UncachedFile& db, long offset) {
  if (offset < 0 || !left.direct || !db.direct)
    return Storage::kUnknown;
  unsigned char* mine = blocks.data();
  unsigned char* theirs = mine + kLargestBlock;

  // Blocks of the usual logical sizes: the first the device takes is used.
  for (const size_t block_size : {size_t{512}, kLargestBlock}) {
    const auto size = static_cast<long long>(block_size);
    const long long block_at = offset / size * size;
    const auto within = static_cast<size_t>(offset - block_at);
    // Whole blocks within both files: a write past the end would go through
    // the cache instead, and a read past it finds nothing.
    if (block_at + size > std::min(left.size, db.size))
      return Storage::kUnknown;
    if (!block_io(left, mine, block_size, block_at, false)) {
      if (errno == EINVAL)
        continue;  // the device wants another block size
      return after_failure();
    }
    if (!block_io(db, theirs, block_size, block_at, false))
      return after_failure();
    // One chain holds one byte: different bytes on the device are different
    // clusters, whatever a check killed half-way or a coincidence left.
    const unsigned char original = mine[within];
    if (theirs[within] != original)
      return Storage::kSeparate;
    const auto changed = static_cast<unsigned char>(original ^ 0x5A);
    hold_interruptions();
    mine[within] = changed;
    const bool written = block_io(left, mine, block_size, block_at, true);
    const int write_error = errno;
    const bool read = block_io(db, theirs, block_size, block_at, false);
    const int read_error = errno;
    const bool arrived = read && theirs[within] == changed;
    mine[within] = original;
    // The byte goes back however the rest went; it is padding the player
    // never reads, so one not put back harms nothing.
    if (!block_io(left, mine, block_size, block_at, true)) {
      // Nothing to do about it: what was seen decides.
    }
    resume_interruptions();
    // The database's byte changed with the left-over's: seen, so shared,
    // even if the byte could not be put back.
    if (arrived)
      return Storage::kShared;
    // A failed write may have landed all the same: only a look at the
    // database tells, and a failed look tells nothing.
    if (!read) {
      errno = read_error;
      return Storage::kFailed;
    }
    if (!written) {
      errno = write_error;
      return after_failure();
    }
    return Storage::kSeparate;
  }
  return Storage::kUnknown;
}

// What the two files hold, read as any file is: a rename's two entries on
// one chain carry one size, and one chain holds one content, so a
// difference in either is storage of its own. Equal files tell nothing.
Storage content_answer(const char* leftover, const char* database, long long left_size,
                       long long db_size) {
  if (left_size != db_size)
    return Storage::kSeparate;
  long long size = 0;
  FILE* mine = open_regular_file(leftover, &size);
  if (!mine)
    return Storage::kFailed;
  FILE* theirs = open_regular_file(database, &size);
  if (!theirs) {
    const int error = errno;
    std::fclose(mine);
    errno = error;
    return Storage::kFailed;
  }
  Storage seen = Storage::kUnknown;
  for (;;) {
    const size_t got = std::fread(blocks.data(), 1, kLargestBlock, mine);
    const size_t also = std::fread(blocks.data() + kLargestBlock, 1, kLargestBlock, theirs);
    if (std::ferror(mine) || std::ferror(theirs)) {
      errno = file_error();
      seen = Storage::kFailed;
      break;
    }
    if (got != also || std::memcmp(blocks.data(), blocks.data() + kLargestBlock, got) != 0) {
      seen = Storage::kSeparate;
      break;
    }
    if (got < kLargestBlock)
      break;
  }
  const int error = errno;
  std::fclose(mine);
  std::fclose(theirs);
  errno = error;
  return seen;
}

// The system's answer: two entries that begin on one cluster are one chain.
Storage map_answer(const UncachedFile& left, const UncachedFile& db) {
  unsigned long long mine = 0;
  unsigned long long theirs = 0;
  if (!first_extent(left, &mine) || !first_extent(db, &theirs))
    return errno == ENOTSUP ? Storage::kUnknown : Storage::kFailed;
  return mine == theirs ? Storage::kShared : Storage::kSeparate;
}

}  // namespace

Storage shares_storage(const char* leftover, const char* database, long offset) {
  UncachedFile left;
  UncachedFile db;
  if (!open_uncached(leftover, true, &left)) {
    // A left-over that may not be written: only the map can tell.
    if (errno != EACCES && errno != EPERM)
      return after_opening_failed();
    if (!open_uncached(leftover, false, &left))
      return after_opening_failed();
    left.direct = false;
  }
  const ClosedOnReturn left_closer(&left);
  if (!open_uncached(database, false, &db))
    return after_opening_failed();
  const ClosedOnReturn db_closer(&db);
  // An empty file holds no cluster: removing it frees nothing, and the
  // database, empty, has none to lose.
  if (left.size == 0 || db.size == 0)
    return Storage::kSeparate;
  // One number for two names: one file under two links where a file system
  // has links (removing a name frees nothing); on FAT, which has none, a
  // number made from the first cluster (as some systems make it) says one
  // chain.
  if (left.identity == db.identity)
    return kept_apart_by_its_file_system(db) ? Storage::kSeparate : Storage::kShared;
  Storage seen = device_answer(left, db, offset);
  if (seen == Storage::kUnknown)
    seen = content_answer(leftover, database, left.size, db.size);
  if (seen == Storage::kUnknown)
    seen = map_answer(left, db);
  if (seen == Storage::kUnknown && kept_apart_by_its_file_system(db))
    seen = Storage::kSeparate;
  return seen;
}
