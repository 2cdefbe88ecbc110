// Other POSIX systems: fdopendir and readdir over a duplicate of the
// folder's descriptor, which closedir may close.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "system/dir_lister.h"

struct DirLister {
  DIR* dir;
};

DirLister* lister_open(int fd) {
  const int listing = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (!dir) {
    const int error = errno;
    if (listing >= 0)
      close(listing);
    errno = error;
    return nullptr;
  }
  auto* lister = new (std::nothrow) DirLister{dir};
  if (!lister) {
    closedir(dir);
    errno = ENOMEM;
  }
  return lister;
}

bool lister_next(DirLister* lister, ListedEntry* entry) {
  // readdir tells its end from an error only through errno.
  errno = 0;
  const dirent* listed = readdir(lister->dir);
  if (!listed)
    return false;
  *entry = {listed->d_name, listed->d_type};
  return true;
}

void lister_close(DirLister* lister) {
  if (!lister)
    return;
  closedir(lister->dir);
  delete lister;
}
