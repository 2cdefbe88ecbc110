// Linux: getdents64 into a buffer of the lister's own, over the folder's
// one descriptor (no C library stream that checks the descriptor again).
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "system/dir_lister.h"

namespace {
constexpr size_t kListingBytes = 32768;
}  // namespace

// What getdents64 fills: whole entries, each d_reclen bytes long.
struct DirLister {
  int fd;
  long filled;
  long at;
  alignas(dirent64) char bytes[kListingBytes];
};

DirLister* lister_open(int fd) {
  auto* lister = static_cast<DirLister*>(std::malloc(sizeof(DirLister)));
  if (!lister) {
    errno = ENOMEM;
    return nullptr;
  }
  lister->fd = fd;
  lister->filled = lister->at = 0;
  return lister;
}

bool lister_next(DirLister* lister, ListedEntry* entry) {
  if (lister->at >= lister->filled) {
    const ssize_t filled = getdents64(lister->fd, lister->bytes, sizeof(lister->bytes));
    if (filled <= 0) {
      if (filled == 0)
        errno = 0;
      return false;
    }
    lister->filled = filled;
    lister->at = 0;
  }
  const auto* listed = reinterpret_cast<const dirent64*>(lister->bytes + lister->at);
  lister->at += listed->d_reclen;
  *entry = {listed->d_name, listed->d_type};
  return true;
}

void lister_close(DirLister* lister) {
  std::free(lister);
}
