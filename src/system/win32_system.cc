#include "system/win32_system.h"

#include <windows.h>

#include <cerrno>
#include <new>
#include <string_view>

#include "failure/failure.h"
#include "text/utf8.h"

namespace {

int errno_kind(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_FILE_CORRUPT:
    case ERROR_DISK_CORRUPT:
    case ERROR_CRC:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_SEEK:
    case ERROR_IO_DEVICE:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_MEDIA_CHANGED:
      return EIO;  // damage, or the player gone
    default:
      return 0;
  }
}

}  // namespace

int errno_from_error(DWORD error) {
  const int kind = errno_kind(error);
  // An error the table does not know says nothing of a missing file or a
  // refusal: it is taken for the device's, and its code is kept for the
  // message (ERROR_FILE_INVALID when a removable volume changed, say).
  note_system_code(EIO, kind == 0 ? error : 0);
  return kind == 0 ? EIO : kind;
}

bool set_errno_from_last_error() {
  errno = errno_from_error(GetLastError());
  return false;
}

// Whether the last call failed because nothing stands at its path.
bool nothing_there() {
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

// The text a call that fills a buffer gives (GetCurrentDirectoryW,
// GetFullPathNameW): one call when it fits the first buffer, as it mostly
// does, else again with the size the call asked for, while it grows in
// between. False, with errno and the last error set, on failure.
template <typename Fill>
bool fill_text(std::wstring& text, Fill fill) {
  DWORD size = MAX_PATH;
  for (int tries = 0; tries < 4; ++tries) {
    text.resize(size);
    const DWORD length = fill(size, text.data());
    if (length == 0) {
      set_errno_from_last_error();
      return false;
    }
    if (length < size) {
      text.resize(length);
      return true;
    }
    size = length;
  }
  SetLastError(ERROR_BUFFER_OVERFLOW);
  set_errno_from_last_error();
  return false;
}

std::wstring long_system_path(const char* path);

}  // namespace

std::wstring system_path(const char* path) {
  // Out of memory, the path is not made: the caller sees an empty path and
  // the last error says why, as for any other failure.
  try {
    return long_system_path(path);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    errno = ENOMEM;
    return {};
  }
}

namespace {

std::wstring long_system_path(const char* path) {
  const std::u16string units = name_to_utf16(path);
  std::wstring relative(units.begin(), units.end());
  const bool absolute = (relative.size() >= 2 && relative[1] == L':') ||
                        (!relative.empty() && is_separator(relative[0]));
  std::wstring full;
  if (absolute) {
    // Drive and share paths come from the tests and the user, never from a
    // listing: the system's own resolution is right for them.
    if (!fill_text(full, [&](DWORD size, wchar_t* text) {
          return GetFullPathNameW(relative.c_str(), size, text, nullptr);
        }))
      return {};
    return with_long_prefix(full);
  }
  if (!fill_text(full, [](DWORD size, wchar_t* text) { return GetCurrentDirectoryW(size, text); }))
    return {};
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

}  // namespace
