// The directory enumerator over openat/fdopendir/readdir.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/dir_cursor.h"

struct DirCursor {
  int fd;    // the directory itself, kept for what is opened inside it
  DIR* dir;  // the listing, over a descriptor of its own; null once ended
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
  const int listing = cursor && fstat(fd, &st) == 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (!dir) {
    const int error = cursor ? errno : ENOMEM;
    if (listing >= 0)
      close(listing);
    close(fd);
    std::free(cursor);
    errno = error;
    return nullptr;
  }
  cursor->fd = fd;
  cursor->dir = dir;
  cursor->identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return cursor;
}

enum EntryKind { kFile, kDirectory, kLinkToDirectory };

bool is_directory_behind_link(int dir_fd, const char* name) {
  struct stat target;
  return fstatat(dir_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

// Uses the type readdir reports; only links and file systems that report no
// type cost a stat call.
EntryKind classify(DIR* dir, const dirent* entry) {
  unsigned char type = entry->d_type;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      return kFile;
    if (S_ISDIR(st.st_mode))
      return kDirectory;
    type = S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
  }
  if (type == DT_DIR)
    return kDirectory;
  if (type == DT_LNK && is_directory_behind_link(dirfd(dir), entry->d_name))
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

int dir_next(DirCursor* cursor, const char** name, int* is_dir) {
  if (!cursor || cursor->finished || !cursor->dir)
    return 0;
  for (;;) {
    // readdir tells its end from an error only through errno.
    errno = 0;
    const dirent* entry = readdir(cursor->dir);
    if (!entry) {
      cursor->error = errno;
      cursor->finished = 1;
      return 0;
    }
    const EntryKind kind = classify(cursor->dir, entry);
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
  if (cursor && cursor->dir) {
    closedir(cursor->dir);
    cursor->dir = nullptr;
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
