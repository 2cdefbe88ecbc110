// The storage check's decisions, over block reads and writes of its own:
// two names on one store (what a crash in the middle of a rename on a
// "sync" mount leaves) or on two, with any of the block calls failing, and
// with interruptions held across the change and its undoing.
#include "system/storage_check.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "system/durable_files.h"
#include "system/interruptions.h"

namespace {

// The device: each name leads to a store; two names may lead to one.
struct Device {
  std::map<std::string, std::shared_ptr<std::vector<unsigned char>>> names;
  int calls = 0;                   // block reads and writes so far
  int failing = 0;                 // the call (1, 2, ...) that fails; 0 for none
  int error = EIO;                 // with this error
  bool lands = false;              // the failing write is made all the same
  int map_error = 0;               // what the system's map fails with; 0: it tells each store
  bool apart = false;              // a file system that never shares storage between files
  bool numbered_by_store = false;  // files numbered by where they begin
  int held = 0;                    // interruptions held back now
  bool unheld_write = false;
};
Device device;

}  // namespace

void hold_interruptions() {
  ++device.held;
}
void resume_interruptions() {
  --device.held;
}

bool open_uncached(const char* path, bool, UncachedFile* file) {
  const auto found = device.names.find(path);
  if (found == device.names.end()) {
    errno = ENOENT;
    return false;
  }
  file->handle = reinterpret_cast<intptr_t>(found->second.get());
  file->size = static_cast<long long>(found->second->size());
  // Two names, two entries; or one number for one store where a system
  // numbers files by their first cluster.
  file->identity = {1, device.numbered_by_store ? reinterpret_cast<uintptr_t>(found->second.get())
                                                : reinterpret_cast<uintptr_t>(path)};
  return true;
}

bool uncached_io(const UncachedFile& file, unsigned char* block, size_t size, long long at,
                 bool write) {
  auto* store = reinterpret_cast<std::vector<unsigned char>*>(file.handle);
  const bool fails = ++device.calls == device.failing || device.failing < 0;
  if (write && device.held == 0)
    device.unheld_write = true;
  if (fails && !(write && device.lands)) {
    errno = device.error;
    return false;
  }
  if (write)
    std::memcpy(store->data() + at, block, size);
  else
    std::memcpy(block, store->data() + at, size);
  if (fails)
    errno = device.error;
  return !fails;
}

void close_uncached(const UncachedFile&) {
}

// What the files hold, read as any file is.
FILE* open_regular_file(const char* path, long long* size) {
  auto& store = *device.names.at(path);
  *size = static_cast<long long>(store.size());
  return fmemopen(store.data(), store.size(), "rb");
}

int file_error() {
  return errno;
}

bool kept_apart_by_its_file_system(const UncachedFile&) {
  return device.apart;
}

bool first_extent(const UncachedFile& file, unsigned long long* start) {
  errno = device.map_error;
  *start = static_cast<unsigned long long>(file.handle);  // one store, one place
  return device.map_error == 0;
}

namespace {

struct CheckCase {
  const char* name;
  bool one_store;
  int failing;  // the block call that fails: 1 and 2 read both files, 3 changes the
                // left-over's byte, 4 reads the database again, 5 puts the byte back; -1 all
  int error;
  bool lands;
  Storage expected;
  long offset = 600;        // the byte the player never reads; -1 for none
  size_t size = 8192;       // of both files
  int map_error = ENOTSUP;  // the system's map: 0 when it can tell
  bool apart = false;
  long differs_at = -1;  // a byte of the left-over's own store that differs
  size_t left_size = 0;  // the left-over's, when not size
  bool numbered_by_store = false;
};

TEST(StorageCheck, SharedOnlyWhenItsOwnChangeIsSeen) {
  const CheckCase cases[] = {
      {"one store", true, 0, 0, false, Storage::kShared},
      {"two stores", false, 0, 0, false, Storage::kSeparate},
      // A block size the device does not take: the next one is used.
      {"one store, 512-byte blocks refused", true, 1, EINVAL, false, Storage::kShared},
      {"two stores, 512-byte blocks refused", false, 1, EINVAL, false, Storage::kSeparate},
      // A call broken off by a signal is made again.
      {"one store, a read interrupted", true, 4, EINTR, false, Storage::kShared},
      {"one store, the change interrupted", true, 3, EINTR, false, Storage::kShared},
      {"two stores, a read interrupted", false, 2, EINTR, false, Storage::kSeparate},
      // The device failing: nothing is known, so nothing may be removed.
      {"one store, the left-over unreadable", true, 1, EIO, false, Storage::kFailed},
      {"one store, the database unreadable", true, 2, EIO, false, Storage::kFailed},
      {"one store, no memory for the database", true, 2, ENOMEM, false, Storage::kFailed},
      {"one store, the change fails", true, 3, EIO, false, Storage::kFailed},
      {"one store, the change reported failed but made", true, 3, EIO, true, Storage::kShared},
      {"one store, the look after the change fails", true, 4, EIO, false, Storage::kFailed},
      {"two stores, the look after the change fails", false, 4, EINVAL, false, Storage::kFailed},
      // Seen, then not put back: still shared, never forgotten.
      {"one store, the byte cannot be put back", true, 5, EIO, false, Storage::kShared},
      {"two stores, the change fails", false, 3, EIO, false, Storage::kFailed},
      {"two stores, the change not allowed", false, 3, EACCES, false, Storage::kUnknown},
      {"two stores, the byte cannot be put back", false, 5, EIO, false, Storage::kSeparate},
      // Interrupted without end: the check was never made.
      {"two stores, reads interrupted without end", false, -1, EINTR, false, Storage::kFailed},
      // No byte to change (no tracks), or none in a block wholly inside
      // both files: the system's map decides, and without it nothing does.
      {"one store, no byte, the map", true, 0, 0, false, Storage::kShared, -1, 18, 0},
      {"two stores, no byte, the map", false, 0, 0, false, Storage::kSeparate, -1, 18, 0},
      {"one store, no byte, no map", true, 0, 0, false, Storage::kUnknown, -1, 18},
      // Without the device, different contents or sizes are different chains.
      {"two stores, no byte, no map, contents differ", false, 0, 0, false, Storage::kSeparate, -1,
       18, ENOTSUP, false, 17},
      {"two stores, byte past the first block, no map, contents differ", false, 0, 0, false,
       Storage::kSeparate, 700, 1000, ENOTSUP, false, 999},
      {"two stores, no byte, no map, sizes differ", false, 0, 0, false, Storage::kSeparate, -1, 18,
       ENOTSUP, false, -1, 1692},
      {"two stores, no byte, no map, one content", false, 0, 0, false, Storage::kUnknown, -1, 5000},
      {"one store, no byte, the map fails", true, 0, 0, false, Storage::kFailed, -1, 18, EIO},
      {"one store, 512-byte blocks refused, small files", true, 1, EINVAL, false, Storage::kShared,
       600, 1000, 0},
      {"two stores, 512-byte blocks refused, small files, no map", false, 1, EINVAL, false,
       Storage::kUnknown, 600, 1000},
      {"one store, byte past the first block of 1000", true, 0, 0, false, Storage::kShared, 700,
       1000, 0},
      {"two stores, both empty", false, 0, 0, false, Storage::kSeparate, -1, 0},
      // Where nothing can look, only a file system other than FAT's vouches.
      {"two stores, no byte, no map, not FAT", false, 0, 0, false, Storage::kSeparate, -1, 18,
       ENOTSUP, true},
      {"one store, no byte, the map fails, not FAT", true, 0, 0, false, Storage::kFailed, -1, 18,
       EIO, true},
      // One number for both names: one chain on FAT, two links elsewhere.
      {"one store, numbered by it", true, 0, 0, false, Storage::kShared, -1, 18, ENOTSUP, false, -1,
       0, true},
      {"one file, two links, not FAT", true, 0, 0, false, Storage::kSeparate, -1, 18, ENOTSUP, true,
       -1, 0, true},
      {"two stores, numbered by them", false, 0, 0, false, Storage::kUnknown, -1, 5000, ENOTSUP,
       false, -1, 0, true},
  };
  for (const CheckCase& c : cases) {
    device = {};
    const auto database = std::make_shared<std::vector<unsigned char>>(c.size, 0x09);
    device.names["iTunesSD"] = database;
    device.names["iTunesSD.tmp"] = c.one_store ? database
                                               : std::make_shared<std::vector<unsigned char>>(
                                                     c.left_size != 0 ? c.left_size : c.size, 0x09);
    if (c.differs_at >= 0)
      device.names["iTunesSD.tmp"]->at(c.differs_at) = 0x0A;
    const std::vector<unsigned char> before = *device.names["iTunesSD.tmp"];
    device.failing = c.failing;
    device.error = c.error;
    device.lands = c.lands;
    device.map_error = c.map_error;
    device.apart = c.apart;
    device.numbered_by_store = c.numbered_by_store;
    EXPECT_EQ(shares_storage("iTunesSD.tmp", "iTunesSD", c.offset), c.expected) << c.name;
    EXPECT_EQ(device.held, 0) << c.name << ": interruptions are let go";
    EXPECT_FALSE(device.unheld_write) << c.name << ": every write is made while they are held";
    if (c.failing != 5) {
      EXPECT_TRUE(*device.names["iTunesSD.tmp"] == before) << c.name << ": the byte is put back";
    }
  }
}

}  // namespace
