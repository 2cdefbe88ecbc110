// The directory enumerator over the find-file calls. FindFirstFileA both
// opens the listing and delivers its first entry; the cursor holds that entry
// back until it is asked for.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/dir_cursor.h"

struct DirCursor {
  HANDLE find_handle;
  WIN32_FIND_DATAA find_data;
  int pending;  // find_data holds an entry not yet handed out
  int finished;
};

namespace {

constexpr size_t kPatternSize = 268;
constexpr size_t kMaxPathCopied = 260;

}  // namespace

DirCursor* dir_open(const char* path) {
  auto* cursor = static_cast<DirCursor*>(std::calloc(1, sizeof(DirCursor)));
  if (!cursor)
    return nullptr;
  char pattern[kPatternSize];
  size_t length = strnlen(path, kMaxPathCopied);
  std::memcpy(pattern, path, length);
  if (length > 0 && pattern[length - 1] == '/')
    --length;
  std::memcpy(pattern + length, "\\*.*", 5);
  cursor->find_handle = FindFirstFileA(pattern, &cursor->find_data);
  if (cursor->find_handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    std::free(cursor);
    errno = error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ? ENOMEM
            : error == ERROR_TOO_MANY_OPEN_FILES                           ? EMFILE
                                                                           : EACCES;
    return nullptr;
  }
  cursor->pending = 1;
  return cursor;
}

int dir_next(DirCursor* cursor, const char** name, int* is_dir) {
  if (!cursor || cursor->finished)
    return 0;
  for (;;) {
    if (!cursor->pending && !FindNextFileA(cursor->find_handle, &cursor->find_data)) {
      cursor->finished = 1;
      return 0;
    }
    cursor->pending = 0;
    const DWORD attributes = cursor->find_data.dwFileAttributes;
    // A directory that is a link or junction is never followed.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    *name = cursor->find_data.cFileName;
    *is_dir = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return 1;
  }
}

void dir_close(DirCursor* cursor) {
  if (!cursor)
    return;
  FindClose(cursor->find_handle);
  std::free(cursor);
}
