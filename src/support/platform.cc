#include "support/platform.h"

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#endif

#include <cerrno>

#include "support/utf8.h"

#ifdef _WIN32

int change_directory(const char* path) {
  return _chdir(path);
}

int flush_to_disk(FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

int replace_file(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 1;
  errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
  return 0;
}

void ignore_broken_pipe() {}

int path_to_utf16(std::string_view path, uint16_t* units, int max_units) {
  if (path.empty())
    return 0;
  static_assert(sizeof(wchar_t) == sizeof(uint16_t));
  // An ANSI code page never needs more units than bytes, so a path that
  // fits the field converts whole.
  const int count = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                        reinterpret_cast<wchar_t*>(units), max_units);
  return count > 0 ? count : 0;
}

#else

int change_directory(const char* path) {
  return chdir(path) == 0 ? 0 : -1;
}

int flush_to_disk(FILE* file) {
  if (std::fflush(file) != 0)
    return 0;
#ifdef F_FULLFSYNC
  // On macOS fsync leaves the data in the drive's cache; this does not.
  if (fcntl(fileno(file), F_FULLFSYNC) == 0)
    return 1;
#endif
  return fsync(fileno(file)) == 0;
}

int replace_file(const char* from, const char* to) {
  return std::rename(from, to) == 0;
}

void ignore_broken_pipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

int path_to_utf16(std::string_view path, uint16_t* units, int max_units) {
  return utf8_to_units(path, units, max_units);
}

#endif
