// The directory cursor on POSIX systems: openat, one descriptor per
// folder, and the system's own lister (dir_lister.h) for its entries.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "system/dir_cursor.h"
#include "system/dir_lister.h"

struct DirCursor {
  int fd;              // the directory itself, kept for what is opened inside it
  DirLister* listing;  // null once ended
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
  if (!error && !(cursor->listing = lister_open(fd)))
    error = errno;
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
// report no type cost a stat call. false, with errno set, when that call
// failed: a folder taken for a file would drop its tracks unseen.
bool classify(int dir_fd, unsigned char type, const char* name, EntryKind* kind) {
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      return false;
    type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
  }
  *kind = type == DT_DIR                                             ? kDirectory
          : type == DT_LNK && is_directory_behind_link(dir_fd, name) ? kLinkToDirectory
                                                                     : kFile;
  return true;
}

}  // namespace

// Listing a folder leaves its access time as it was: a look writes nothing
// to the device. Only its owner (or root) may ask so; anyone else lists it
// as usual.
#ifdef O_NOATIME
constexpr int kUnseen = O_NOATIME;
#else
constexpr int kUnseen = 0;
#endif

DirCursor* dir_open(const char* path) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  int fd = open(path, kFlags | kUnseen);
  if (fd < 0 && errno == EPERM && kUnseen != 0)
    fd = open(path, kFlags);
  return open_listing(fd);
}

DirCursor* dir_open_inside(const DirCursor* parent, const char* name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(parent->fd, name, kFlags | kUnseen);
  if (fd < 0 && errno == EPERM && kUnseen != 0)
    fd = openat(parent->fd, name, kFlags);
  return open_listing(fd);
}

bool dir_next(DirCursor* cursor, const char** name, int* is_dir) {
  // An ended listing is a finished one (dir_end_listing).
  if (!cursor || cursor->finished)
    return false;
  for (;;) {
    ListedEntry entry;
    if (!lister_next(cursor->listing, &entry)) {
      cursor->error = errno;
      cursor->finished = 1;
      return false;
    }
    EntryKind kind = kFile;
    if (!classify(cursor->fd, entry.type, entry.name, &kind)) {
      if (errno == ENOENT)
        continue;  // gone since it was listed
      cursor->error = errno;
      cursor->finished = 1;
      return false;
    }
    if (kind == kLinkToDirectory)
      continue;
    *name = entry.name;
    *is_dir = kind == kDirectory;
    return true;
  }
}

int dir_error(const DirCursor* cursor) {
  return cursor ? cursor->error : 0;
}

DirIdentity dir_identity(const DirCursor* cursor) {
  return cursor->identity;
}

void dir_end_listing(DirCursor* cursor) {
  if (cursor && cursor->listing) {
    lister_close(cursor->listing);
    cursor->listing = nullptr;
    cursor->finished = 1;
  }
}

void dir_close(DirCursor* cursor) {
  if (!cursor)
    return;
  dir_end_listing(cursor);
  close(cursor->fd);
  std::free(cursor);
}
