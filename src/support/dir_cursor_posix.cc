// The directory enumerator: openat, then on Linux getdents64 into a buffer
// of the cursor's own (one descriptor per folder, no C library stream that
// checks the descriptor again), elsewhere fdopendir and readdir over a
// duplicate that closedir may close.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/dir_cursor.h"

#ifdef __linux__
#define TARNWICK_GETDENTS 1
#endif

namespace {

#ifdef TARNWICK_GETDENTS
constexpr size_t kListingBytes = 32768;
// What getdents64 fills: whole entries, each d_reclen bytes long.
struct Listing {
  long filled;
  long at;
  alignas(dirent64) char bytes[kListingBytes];
};
#endif

}  // namespace

struct DirCursor {
  int fd;  // the directory itself, kept for what is opened inside it
#ifdef TARNWICK_GETDENTS
  Listing* listing;  // null once ended
#else
  DIR* dir;  // the listing, over a descriptor of its own; null once ended
#endif
  int finished;
  int error;
  DirIdentity identity;
};

namespace {

// Takes fd over, open on a directory. Null, with errno set, on failure.
DirCursor* open_listing(int fd) {
  if (fd < 0)
    return nullptr;
  struct stat st;
  auto* cursor = static_cast<DirCursor*>(std::calloc(1, sizeof(DirCursor)));
  int error = cursor ? 0 : ENOMEM;
  if (!error && fstat(fd, &st) != 0)
    error = errno;
#ifdef TARNWICK_GETDENTS
  if (!error && !(cursor->listing = static_cast<Listing*>(std::malloc(sizeof(Listing)))))
    error = ENOMEM;
  else if (!error)
    cursor->listing->filled = cursor->listing->at = 0;
#else
  const int listing = error ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (!error && !(cursor->dir = listing >= 0 ? fdopendir(listing) : nullptr)) {
    error = errno;
    if (listing >= 0)
      close(listing);
  }
#endif
  if (error) {
    close(fd);
    std::free(cursor);
    errno = error;
    return nullptr;
  }
  cursor->fd = fd;
  cursor->identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return cursor;
}

enum EntryKind { kFile, kDirectory, kLinkToDirectory };

bool is_directory_behind_link(int dir_fd, const char* name) {
  struct stat target;
  return fstatat(dir_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

// Uses the type the listing reports; only links and file systems that
// report no type cost a stat call.
EntryKind classify(int dir_fd, unsigned char type, const char* name) {
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      return kFile;
    if (S_ISDIR(st.st_mode))
      return kDirectory;
    type = S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
  }
  if (type == DT_DIR)
    return kDirectory;
  if (type == DT_LNK && is_directory_behind_link(dir_fd, name))
    return kLinkToDirectory;
  return kFile;
}

}  // namespace

DirCursor* dir_open(const char* path) {
  return open_listing(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

DirCursor* dir_open_inside(const DirCursor* parent, const char* name) {
  return open_listing(openat(parent->fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

namespace {

#ifdef TARNWICK_GETDENTS
// The next entry of the listing, or null at its end or on an error (errno
// set; 0 at the end).
const dirent64* next_entry(DirCursor* cursor) {
  Listing* listing = cursor->listing;
  if (listing->at >= listing->filled) {
    const ssize_t filled = getdents64(cursor->fd, listing->bytes, sizeof(listing->bytes));
    if (filled <= 0) {
      if (filled == 0)
        errno = 0;
      return nullptr;
    }
    listing->filled = filled;
    listing->at = 0;
  }
  const auto* entry = reinterpret_cast<const dirent64*>(listing->bytes + listing->at);
  listing->at += entry->d_reclen;
  return entry;
}
#else
const dirent* next_entry(DirCursor* cursor) {
  // readdir tells its end from an error only through errno.
  errno = 0;
  return readdir(cursor->dir);
}
#endif

}  // namespace

int dir_next(DirCursor* cursor, const char** name, int* is_dir) {
  // An ended listing is a finished one (dir_end_listing).
  if (!cursor || cursor->finished)
    return 0;
  for (;;) {
    const auto* entry = next_entry(cursor);
    if (!entry) {
      cursor->error = errno;
      cursor->finished = 1;
      return 0;
    }
    const EntryKind kind = classify(cursor->fd, entry->d_type, entry->d_name);
    if (kind == kLinkToDirectory)
      continue;
    *name = entry->d_name;
    *is_dir = kind == kDirectory;
    return 1;
  }
}

int dir_error(const DirCursor* cursor) {
  return cursor ? cursor->error : 0;
}

DirIdentity dir_identity(const DirCursor* cursor) {
  return cursor->identity;
}

void dir_end_listing(DirCursor* cursor) {
#ifdef TARNWICK_GETDENTS
  if (cursor && cursor->listing) {
    std::free(cursor->listing);
    cursor->listing = nullptr;
    cursor->finished = 1;
  }
#else
  if (cursor && cursor->dir) {
    closedir(cursor->dir);
    cursor->dir = nullptr;
    cursor->finished = 1;
  }
#endif
}

void dir_close(DirCursor* cursor) {
  if (!cursor)
    return;
  dir_end_listing(cursor);
  close(cursor->fd);
  std::free(cursor);
}
