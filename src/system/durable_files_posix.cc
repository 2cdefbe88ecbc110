// Linux's vfat and Apple's msdosfs: the sequences that put each change on
// the device in an order a pulled cable cannot break.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/vfs.h>
#else
#include <sys/mount.h>
#include <sys/param.h>
#endif

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "system/durable_files.h"
#include "system/storage_check.h"

namespace {

// Closes fd and keeps the errno of what came before.
void close_keeping_errno(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
}

// The folder that holds path, in folder (no memory is asked for: it may
// be needed after the rename). false, with errno set, when it does not fit.
bool directory_of(const char* path, std::array<char, PATH_MAX>& folder) {
  const char* slash = std::strrchr(path, '/');
  const size_t length = slash ? static_cast<size_t>(slash - path) : 1;
  if (length >= folder.size()) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(folder.data(), slash ? path : ".", length);
  folder[length] = '\0';
  return true;
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

// Flushes the folder that holds path.
int flush_directory(const char* path) {
  std::array<char, PATH_MAX> dir;
  if (!directory_of(path, dir))
    return 0;
  const int fd = open(dir.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

FILE* open_regular_file(const char* path, long long* size) {
  // Reading leaves the access time as it was: a look writes nothing to the
  // device. Only the file's owner (or root) may ask so.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
#ifdef O_NOATIME
  int fd = open(path, kFlags | O_NOATIME);
  if (fd < 0 && errno == EPERM)
    fd = open(path, kFlags);
#else
  const int fd = open(path, kFlags);
#endif
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
  *size = st.st_size;
  FILE* file = fdopen(fd, "rb");
  if (!file)
    close(fd);
  return file;
}

bool may_replace(const char* path, bool* there) {
  struct stat st;
  *there = false;
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
  *there = true;
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
  const int access = writable ? O_RDWR : O_RDONLY;
  int fd = open_direct(path, access);
  file->direct = fd >= 0;
  // A file system without direct I/O: the file is still opened, so that
  // the system's map of it can be asked for.
  if (fd < 0 && (errno == EINVAL || errno == ENOTSUP))
    fd = open(path, access | O_NOFOLLOW | O_CLOEXEC);
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

namespace {

// The system says it has no such map, or none the process may ask for.
bool cannot_map(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP || error == ENOTTY || error == ENOSYS ||
         error == EINVAL || error == EPERM || error == EACCES;
}

// One request for the map, made again when a signal broke it off. -1, with
// errno ENOTSUP when the system cannot say.
template <typename Request>
int ask_map(Request request) {
  int result = -1;
  for (int tries = 0; tries < 64 && result != 0; ++tries) {
    result = request();
    if (result != 0 && errno != EINTR)
      break;
  }
  if (result != 0 && cannot_map(errno))
    errno = ENOTSUP;
  return result;
}

}  // namespace

bool first_extent(const UncachedFile& file, unsigned long long* start) {
  const auto fd = static_cast<int>(file.handle);
#ifdef __linux__
  // FIEMAP first; Linux's vfat answers only FIBMAP, which needs the right
  // to raw I/O. The file's data goes to the device first (FIEMAP_FLAG_SYNC),
  // so that every byte has its place.
  // The request, with room for one extent after it.
  alignas(struct fiemap)
      std::array<unsigned char, sizeof(struct fiemap) + sizeof(struct fiemap_extent)>
          request{};
  auto* map = reinterpret_cast<struct fiemap*>(request.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = 1;
  if (ask_map([&] { return ioctl(fd, FS_IOC_FIEMAP, map); }) == 0) {
    const struct fiemap_extent& extent = map->fm_extents[0];
    // An extent without a place of its own (kept in the inode, or not yet
    // placed) tells nothing of a chain.
    constexpr unsigned kNoPlace = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                  FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_DATA_TAIL |
                                  FIEMAP_EXTENT_NOT_ALIGNED | FIEMAP_EXTENT_SHARED;
    if (map->fm_mapped_extents == 0 || (extent.fe_flags & kNoPlace) != 0) {
      errno = ENOTSUP;
      return false;
    }
    *start = extent.fe_physical;
    return true;
  }
  if (errno != ENOTSUP)
    return false;
  int block = 0;
  if (ask_map([&] { return ioctl(fd, FIBMAP, &block); }) != 0)
    return false;
  if (block == 0) {  // no block there: a hole, or not yet placed
    errno = ENOTSUP;
    return false;
  }
  *start = static_cast<unsigned long long>(block);
  return true;
#elif defined(F_LOG2PHYS_EXT)
  struct log2phys where = {};
  where.l2p_contigbytes = 1;
  where.l2p_devoffset = 0;  // the file's first byte
  if (ask_map([&] { return fcntl(fd, F_LOG2PHYS_EXT, &where); }) != 0)
    return false;
  *start = static_cast<unsigned long long>(where.l2p_devoffset);
  return true;
#else
  (void)fd;
  (void)start;
  errno = ENOTSUP;
  return false;
#endif
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

bool kept_apart_by_its_file_system(const UncachedFile& file) {
  struct statfs volume;
  if (fstatfs(static_cast<int>(file.handle), &volume) != 0)
    return false;
#ifdef __linux__
  constexpr long kFat = 0x4d44;        // msdos and vfat
  constexpr long kExfat = 0x2011BAB0;  // exFAT
  constexpr long kFuse = 0x65735546;   // any FUSE file system, fusefat among them
  const auto type = static_cast<long>(volume.f_type);
  return type != kFat && type != kExfat && type != kFuse;
#else
  const std::string_view type = volume.f_fstypename;
  return type != "msdos" && type != "exfat" && type.find("fuse") == std::string_view::npos;
#endif
}

bool remove_own_file(const char* path) {
  return unlink(path) == 0 || errno == ENOENT;
}

int file_error() {
  return errno;
}

FILE* create_new_file(const char* path, bool* made) {
  int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
#ifdef __APPLE__
  // Apple's msdosfs writes a file's entry and FAT chain synchronously only
  // for O_SYNC writes; F_FULLFSYNC alone leaves them as delayed writes.
  flags |= O_SYNC;
#endif
  const int fd = open(path, flags, 0666);
  if (fd < 0) {
    // Nothing stood there before: whatever does now was made by this call,
    // whatever it reported.
    const int error = errno;
    *made = error != EEXIST && presence(path) != 0;
    errno = error;
    return nullptr;
  }
  *made = true;
  FILE* file = fdopen(fd, "wb");
  if (!file)
    close_keeping_errno(fd);
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
  // Room enough for the companions, kept on the stack: a removal half made
  // must never stop for want of memory.
  std::array<int, 8> held;
  size_t held_count = 0;
  if (count > static_cast<int>(held.size())) {
    errno = E2BIG;
    for (int i = 0; i < count; ++i)
      results[i] = presence(paths[i]) == 0 ? Removal::kNotThere : Removal::kFailed;
    return false;
  }
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
      held[held_count++] = fd;
  }
  const int flushed = !removed_any || flush_directory(paths[0]);
  for (size_t i = 0; i < held_count; ++i)
    close_keeping_errno(held[i]);
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
  int durable = flush_directory(to);
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
  durable = durable && flush_directory(to);
  return durable ? Replaced::kDurable : Replaced::kNotSure;
#endif
}
