// Linux's vfat and Apple's msdosfs: the sequences that put each change on
// the device in an order a pulled cable cannot break.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "system/durable_files.h"
#include "system/storage_check.h"

namespace {

// Closes fd and keeps the errno of what came before.
void close_keeping_errno(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
}

std::string directory_of(const char* path) {
  const std::string text = path;
  const size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

// Puts fd's data and its entry on the device. On macOS fsync leaves the
// data in the drive's cache; F_FULLFSYNC does not. File systems that
// cannot flush a directory are taken at their word.
int flush_descriptor(int fd) {
#ifdef F_FULLFSYNC
  if (fcntl(fd, F_FULLFSYNC) == 0)
    return 1;
#endif
  return fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
}

int flush_directory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return 0;
  const int flushed = flush_descriptor(fd);
  close_keeping_errno(fd);
  return flushed;
}

// A descriptor on the file at path, for reading where its mode allows and
// for writing otherwise (a database the player's owner may write but not
// read): holding it or flushing through it needs either. -1 on failure.
int open_either_way(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 || errno != EACCES)
    return fd;
  return open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
}

// What the volume holds at path: 1 something, 0 nothing, -1 the system
// cannot tell (errno set). What a call reported failed left is decided so.
int presence(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0)
    return 1;
  return errno == ENOENT ? 0 : -1;
}

// Opens the file at path only to keep it alive: while a descriptor is open,
// Linux's and Apple's FAT drivers do not free its clusters when its name is
// removed or replaced. -1 when nothing (or no regular file) is there.
int hold_open(const char* path) {
  const int fd = open_either_way(path);
  if (fd < 0)
    return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// A directory may be entered, and returned to, without being readable.
#ifdef O_PATH
constexpr int kDirectoryHandle = O_PATH;
#elif defined(O_SEARCH)
constexpr int kDirectoryHandle = O_SEARCH;
#else
constexpr int kDirectoryHandle = O_RDONLY;
#endif

bool visit_directory(const char* path) {
  const int start = open(".", kDirectoryHandle | O_DIRECTORY | O_CLOEXEC);
  if (start < 0)
    return false;
  const int visited = chdir(path) == 0 && fchdir(start) == 0;
  close(start);
  return visited;
}

FILE* open_regular_file(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close_keeping_errno(fd);  // a failure of the device or the process, not the file's kind
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  FILE* file = fdopen(fd, "rb");
  if (!file)
    close(fd);
  return file;
}

bool may_replace(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0)
    return errno == ENOENT;
  if (!S_ISREG(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  const int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  close(fd);
  return true;
}

bool remove_leftover(const char* path) {
  if (unlink(path) == 0 || errno == ENOENT)
    return true;
  // unlink refuses a directory: EISDIR on Linux, EPERM elsewhere.
  return (errno == EISDIR || errno == EPERM) && rmdir(path) == 0;
}

namespace {

// Opens path for direct I/O (the device, not the cache). -1 when it cannot:
// a file system without it (tmpfs before Linux 6.6, for one).
int open_direct(const char* path, int access) {
#ifdef O_DIRECT
  return open(path, access | O_DIRECT | O_NOFOLLOW | O_CLOEXEC);
#elif defined(F_NOCACHE)
  const int fd = open(path, access | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && fcntl(fd, F_NOCACHE, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
#else
  (void)path;
  (void)access;
  return -1;
#endif
}

}  // namespace

bool open_uncached(const char* path, bool writable, UncachedFile* file) {
  struct stat st;
  if (lstat(path, &st) != 0)
    return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  const int fd = open_direct(path, writable ? O_RDWR : O_RDONLY);
  if (fd < 0)
    return false;
  if (fstat(fd, &st) != 0) {
    close_keeping_errno(fd);
    return false;
  }
  file->handle = fd;
  file->size = st.st_size;
  file->identity = {static_cast<unsigned long long>(st.st_dev),
                    static_cast<unsigned long long>(st.st_ino)};
  return true;
}

bool uncached_io(const UncachedFile& file, unsigned char* block, size_t size, long long at,
                 bool write) {
  const auto fd = static_cast<int>(file.handle);
  const ssize_t done = write ? pwrite(fd, block, size, static_cast<off_t>(at))
                             : pread(fd, block, size, static_cast<off_t>(at));
  if (done >= 0 && done != static_cast<ssize_t>(size))
    errno = EIO;  // a short block from the device itself
  return done == static_cast<ssize_t>(size);
}

void close_uncached(const UncachedFile& file) {
  close(static_cast<int>(file.handle));
}

bool remove_own_file(const char* path) {
  return std::remove(path) == 0;
}

int file_error() {
  return errno;
}

FILE* create_new_file(const char* path) {
  int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
#ifdef __APPLE__
  // Apple's msdosfs writes a file's entry and FAT chain synchronously only
  // for O_SYNC writes; F_FULLFSYNC alone leaves them as delayed writes.
  flags |= O_SYNC;
#endif
  const int fd = open(path, flags, 0666);
  if (fd < 0)
    return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file)
    close(fd);
  return file;
}

void copy_owner_and_mode(FILE* file, const char* model) {
  struct stat st;
  if (stat(model, &st) != 0 || !S_ISREG(st.st_mode))
    return;
  const int fd = fileno(file);
  // Only root may give a file away, and FAT keeps no owners: where this
  // cannot be done, the file keeps what it has. The owner goes first, since
  // changing it may clear mode bits.
  if (fchown(fd, st.st_uid, st.st_gid) != 0) {
  }
  if (fchmod(fd, st.st_mode & 07777) != 0) {
  }
}

bool flush_to_disk(FILE* file) {
  return std::fflush(file) == 0 && flush_descriptor(fileno(file));
}

// Linux's vfat frees a deleted file's clusters when its inode is evicted,
// which the directory flush does not order after the entry's removal: each
// file is held open while unlinked, so its clusters stay taken until the
// directory (with the FAT) is on the device. Apple's msdosfs frees them when
// the last user lets go, too.
bool remove_for_good(const char* const* paths, int count, Removal* results) {
  std::vector<int> held;
  int removed_any = 0;
  for (int i = 0; i < count; ++i) {
    const int fd = hold_open(paths[i]);
    if (unlink(paths[i]) == 0) {
      results[i] = Removal::kRemoved;
    } else {
      // The volume decides what the line says: a file still there was not
      // reset, one gone was ("not needed" when it was not found to begin
      // with).
      const int error = errno;
      const int there = presence(paths[i]);
      results[i] = there != 0        ? Removal::kFailed
                   : error == ENOENT ? Removal::kNotThere
                                     : Removal::kRemoved;
      errno = error;
    }
    removed_any |= results[i] == Removal::kRemoved;
    if (fd >= 0)
      held.push_back(fd);
  }
  const int flushed = !removed_any || flush_directory(directory_of(paths[0]));
  for (const int fd : held)
    close_keeping_errno(fd);
  return flushed;
}

// Linux's vfat (vfat_rename) reuses the target's entry but only marks the
// renamed inode dirty, while the directory flush writes the FAT, freeing
// the old chain: the entry on the device would point at free clusters for
// up to a minute. So the old file is held open (its clusters stay taken),
// the directory is flushed (the temporary name gone), and then the renamed
// file, which writes its entry with the new first cluster and size. The
// other order can leave both names on one chain. On macOS the directory's
// F_FULLFSYNC before the old file is let go does the same.
Replaced replace_file(const char* from, const char* to) {
  const int old_file = hold_open(to);
  if (std::rename(from, to) != 0) {
    const int error = errno;
    const Renamed renamed = failed_rename_left(presence(from), presence(to));
    errno = error;
    if (renamed != Renamed::kYes) {
      if (old_file >= 0)
        close_keeping_errno(old_file);
      return renamed == Renamed::kNo ? Replaced::kNo : Replaced::kNotSure;
    }
  }
  int durable = flush_directory(directory_of(to));
#ifndef __APPLE__
  if (durable) {
    const int renamed = open_either_way(to);
    durable = renamed >= 0 && flush_descriptor(renamed);
    if (renamed >= 0)
      close_keeping_errno(renamed);
  }
#endif
  if (old_file >= 0)
    close_keeping_errno(old_file);
  return durable ? Replaced::kDurable : Replaced::kNotSure;
}

Replaced place_file(const char* from, const char* to) {
#ifdef __APPLE__
  return replace_file(from, to);
#else
  if (std::rename(from, to) != 0) {
    const int error = errno;
    const Renamed renamed = failed_rename_left(presence(from), presence(to));
    errno = error;
    if (renamed != Renamed::kYes)
      return renamed == Renamed::kNo ? Replaced::kNo : Replaced::kNotSure;
  }
  const int renamed = open_either_way(to);
  int durable = renamed >= 0 && flush_descriptor(renamed);
  if (renamed >= 0)
    close_keeping_errno(renamed);
  durable = durable && flush_directory(directory_of(to));
  return durable ? Replaced::kDurable : Replaced::kNotSure;
#endif
}
