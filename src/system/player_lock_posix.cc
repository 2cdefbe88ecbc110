#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "system/player_lock.h"

namespace {

int player_lock = -1;

}  // namespace

bool lock_player(const char* itunes_dir, void (*before_waiting)()) {
  // flock works on every local file system, FAT included; the descriptor
  // stays open, and the lock held, until unlock_player or the process ends.
  const int fd = open(itunes_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    player_lock = fd;
    return true;
  }
  if (errno != EWOULDBLOCK) {
    close(fd);
    return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;  // cannot lock here
  }
  before_waiting();
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int error = errno;
      close(fd);
      errno = error;
      return false;
    }
  }
  player_lock = fd;
  return true;
}

void unlock_player() {
  if (player_lock >= 0)
    close(player_lock);
  player_lock = -1;
}
