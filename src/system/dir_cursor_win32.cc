// The directory enumerator over the wide find-file calls, so that names in
// any script arrive whole whatever the system's code page. FindFirstFileW
// both opens the listing and delivers its first entry; the cursor holds that
// entry back until it is asked for.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "system/dir_cursor.h"
#include "system/win32_system.h"
#include "text/utf8.h"

namespace {

constexpr size_t kMaxPath = 600;  // a composed path, a name and the pattern

}  // namespace

struct DirCursor {
  HANDLE find_handle;  // INVALID_HANDLE_VALUE once the listing ended
  WIN32_FIND_DATAW find_data;
  int pending;  // find_data holds an entry not yet handed out
  int finished;
  int error;
  DirIdentity identity;
  char path[kMaxPath];  // as the program names it, in UTF-8
  // The entry handed out last, in UTF-8: a listed name is at most MAX_PATH
  // units, each at most 3 bytes (a pair's 2 units take 4).
  char name[MAX_PATH * 3 + 1];
};

namespace {

// The folder's identity, taken from the folder itself and not from a link
// that may stand in its place: a reparse point (a junction, a link, a mount
// folder put there since the parent was listed) is refused with ELOOP.
bool take_identity(DirCursor* cursor) {
  const std::wstring path = system_path(cursor->path);
  if (path.empty())
    return false;
  HANDLE folder = CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    errno = errno_from_error(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL known = GetFileInformationByHandle(folder, &info);
  const DWORD error = GetLastError();
  CloseHandle(folder);
  if (!known) {
    errno = errno_from_error(error);
    return false;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    errno = ELOOP;
    return false;
  }
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = ENOTDIR;
    return false;
  }
  cursor->identity = {info.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

DirCursor* open_listing(const char* parent, const char* name) {
  auto* cursor = static_cast<DirCursor*>(std::calloc(1, sizeof(DirCursor)));
  if (!cursor) {
    errno = ENOMEM;
    return nullptr;
  }
  size_t length = strnlen(parent, kMaxPath);
  const size_t name_length = name ? strnlen(name, kMaxPath) : 0;
  if (length + name_length + 8 > kMaxPath) {
    std::free(cursor);
    errno = ENAMETOOLONG;
    return nullptr;
  }
  std::memcpy(cursor->path, parent, length);
  if (length > 0 && cursor->path[length - 1] == '/')
    --length;
  if (name) {
    cursor->path[length++] = '\\';
    std::memcpy(cursor->path + length, name, name_length);
    length += name_length;
  }
  cursor->path[length] = '\0';
  if (!take_identity(cursor)) {
    const int error = errno;
    std::free(cursor);
    errno = error;
    return nullptr;
  }
  std::wstring pattern = system_path(cursor->path);
  if (pattern.empty()) {
    const int error = errno;
    std::free(cursor);
    errno = error;
    return nullptr;
  }
  // Grown here, the pattern may find no memory: the process's shortage.
  try {
    if (pattern.back() != L'\\')
      pattern += L'\\';
    pattern += L'*';
  } catch (const std::bad_alloc&) {
    std::free(cursor);
    errno = ENOMEM;
    return nullptr;
  }
  cursor->find_handle = FindFirstFileW(pattern.c_str(), &cursor->find_data);
  if (cursor->find_handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    std::free(cursor);
    errno = errno_from_error(error);
    return nullptr;
  }
  cursor->pending = 1;
  return cursor;
}

}  // namespace

DirCursor* dir_open(const char* path) {
  return open_listing(path, nullptr);
}

DirCursor* dir_open_inside(const DirCursor* parent, const char* name) {
  return open_listing(parent->path, name);
}

bool dir_next(DirCursor* cursor, const char** name, int* is_dir) {
  if (!cursor || cursor->finished)
    return false;
  for (;;) {
    if (!cursor->pending && !FindNextFileW(cursor->find_handle, &cursor->find_data)) {
      const DWORD error = GetLastError();
      cursor->error = error == ERROR_NO_MORE_FILES ? 0 : errno_from_error(error);
      cursor->finished = 1;
      return false;
    }
    cursor->pending = 0;
    const DWORD attributes = cursor->find_data.dwFileAttributes;
    // A directory that is a link or junction is never followed.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    const auto* units = reinterpret_cast<const char16_t*>(cursor->find_data.cFileName);
    if (utf16_to_name_in(units, cursor->name, sizeof cursor->name) < 0) {
      cursor->error = ENAMETOOLONG;
      cursor->finished = 1;
      return false;
    }
    *name = cursor->name;
    *is_dir = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
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
  if (cursor && cursor->find_handle != INVALID_HANDLE_VALUE) {
    FindClose(cursor->find_handle);
    cursor->find_handle = INVALID_HANDLE_VALUE;
    cursor->finished = 1;
  }
}

void dir_close(DirCursor* cursor) {
  if (!cursor)
    return;
  dir_end_listing(cursor);
  std::free(cursor);
}
