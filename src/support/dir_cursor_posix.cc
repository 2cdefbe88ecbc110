// The directory enumerator over opendir/readdir.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "support/dir_cursor.h"

struct DirCursor {
  DIR* dir;
  int finished;
};

DirCursor* dir_open(const char* path) {
  auto* cursor = static_cast<DirCursor*>(std::calloc(1, sizeof(DirCursor)));
  if (!cursor)
    return nullptr;
  cursor->dir = opendir(path);
  if (!cursor->dir) {
    const int error = errno;
    std::free(cursor);
    errno = error;
    return nullptr;
  }
  return cursor;
}

namespace {

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

int dir_next(DirCursor* cursor, const char** name, int* is_dir) {
  if (!cursor || cursor->finished)
    return 0;
  for (;;) {
    const dirent* entry = readdir(cursor->dir);
    if (!entry) {
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

void dir_close(DirCursor* cursor) {
  if (!cursor)
    return;
  closedir(cursor->dir);
  std::free(cursor);
}
