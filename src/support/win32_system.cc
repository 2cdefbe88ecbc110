#include "support/win32_system.h"

#include <windows.h>

#include <cerrno>
#include <string_view>

#include "support/utf8.h"

int set_errno_from_last_error() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    case ERROR_TOO_MANY_OPEN_FILES:
      errno = EMFILE;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_DIR_NOT_EMPTY:
      errno = ENOTEMPTY;
      break;
    case ERROR_WRITE_PROTECT:
      errno = EROFS;
      break;
    case ERROR_FILE_CORRUPT:
    case ERROR_DISK_CORRUPT:
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NOT_READY:
      errno = EIO;  // damage, or the player gone
      break;
    default:
      errno = EINVAL;
  }
  return 0;
}

// Whether the last call failed because nothing stands at its path.
int nothing_there() {
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

namespace {

bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// "C:\..." or "\\server\share\..." (or already "\\?\..."), as
// GetCurrentDirectoryW and GetFullPathNameW give them, with the prefix that
// lifts the length limit.
std::wstring with_long_prefix(std::wstring full) {
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\"))
    return full;
  if (full.size() >= 2 && is_separator(full[0]) && is_separator(full[1]))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

std::wstring system_path(const char* path) {
  const std::u16string units = name_to_utf16(path);
  std::wstring relative(units.begin(), units.end());
  const bool absolute = (relative.size() >= 2 && relative[1] == L':') ||
                        (!relative.empty() && is_separator(relative[0]));
  std::wstring full;
  if (absolute) {
    // Drive and share paths come from the tests and the user, never from a
    // listing: the system's own resolution is right for them.
    const DWORD needed = GetFullPathNameW(relative.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
      set_errno_from_last_error();
      return {};
    }
    full.resize(needed);
    const DWORD length = GetFullPathNameW(relative.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
      set_errno_from_last_error();
      return {};
    }
    full.resize(length);
    return with_long_prefix(full);
  }
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) {
    set_errno_from_last_error();
    return {};
  }
  full.resize(needed);
  const DWORD length = GetCurrentDirectoryW(needed, full.data());
  if (length == 0 || length >= needed) {
    set_errno_from_last_error();
    return {};
  }
  full.resize(length);
  // Each name of the relative path as it is, "." components dropped.
  std::wstring_view rest = relative;
  while (!rest.empty()) {
    size_t end = 0;
    while (end < rest.size() && !is_separator(rest[end]))
      ++end;
    const std::wstring_view name = rest.substr(0, end);
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    if (name.empty() || name == L".")
      continue;
    if (!is_separator(full.back()))
      full += L'\\';
    full += name;
  }
  return with_long_prefix(full);
}
