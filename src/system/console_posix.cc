#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "system/console.h"

namespace {
bool output_closed = false;
}  // namespace

bool open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    if (fd == 1)
      output_closed = true;
    // The lowest free descriptor is the closed one.
    const int null_device = open("/dev/null", O_RDWR);
    if (null_device < 0)
      return false;
    if (null_device != fd) {
      dup2(null_device, fd);
      close(null_device);
    }
  }
  return true;
}

void prepare_console() {
}

void restore_console() {
}

bool standard_output_was_closed() {
  return output_closed;
}
