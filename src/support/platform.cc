#include "support/platform.h"

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

#include <cerrno>

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

#else

int change_directory(const char* path) {
  return chdir(path) == 0 ? 0 : -1;
}

int flush_to_disk(FILE* file) {
  return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

int replace_file(const char* from, const char* to) {
  return std::rename(from, to) == 0;
}

void ignore_broken_pipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

#endif
