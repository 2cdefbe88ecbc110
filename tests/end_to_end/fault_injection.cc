// Preloaded into the program by the fault tests. TARNWICK_FAULT says which
// call goes wrong and how: "CALL[@N][:WHAT][:done]", as fault_injection_win32.cc's. CALL is
// "fsync", "fsync-directory" (only a directory's), "rename", "unlink", "chdir", "open-temp" (the
// temporary file's creation), "open-database" (the database opened to see that it may be written),
// "open-null" (the null device), "getdents64" (one read of a folder's listing), "openat" (a folder
// opened inside its parent), "open-old" (the old database opened to be read), "fstat-old" (its kind
// asked, once opened), "read-database" (a read of it: the stream's error flag is set as a failed
// read sets it), "read-short" (a read of it that gives no bytes and no error), "fdopen" (the stream
// over the temporary file, once it exists), "write-silent" (a write of the temporary file that
// fails but reports success, as a C runtime that keeps the error in the stream's flag does),
// "pread" or "pwrite" (a block read or written past the cache, by the storage check), "fstatat" (a
// look at a listed entry's kind, the listing then giving no kinds, as some file systems' do); @N
// picks the Nth such call (the first by default). WHAT is a signal (INT, TERM, HUP, QUIT, KILL, or
// another that ends a program: ALRM, USR1, USR2, XCPU, VTALRM, PROF, PWR, STKFLT, RTMIN), delivered
// just before the call goes on (for "open-temp" just after it), as if the user pressed Ctrl-C at
// that moment, or an error (EIO by default, EACCES, ENOSPC, ENFILE, EROFS, ENOENT, ENOMEM, EINTR,
// EISDIR, EINVAL) that the call then fails with; SWAP, for "openat", exchanges the folder for a
// link to TARNWICK_OUTSIDE just before it is opened, as another program could. With
// ":done" a "rename" or "unlink" is made first and reported failed after, as a device can
// answer a change it made. Only the Linux loader preloads it into any program; elsewhere
// it is empty.
#ifdef __linux__
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

namespace {

// The error the call is to fail with, or 0 when it goes on (after raising
// the signal named, if any; with signal_after, that signal is left to the
// caller to raise once the call is made).
int failing(std::string_view call, int* signal_after = nullptr) {
  const char* fault = std::getenv("TARNWICK_FAULT");
  if (!fault)
    return 0;
  std::string_view wanted = fault;
  if (wanted.ends_with(":done"))
    wanted.remove_suffix(5);
  std::string_view what = "EIO";
  if (const size_t colon = wanted.find(':'); colon != wanted.npos) {
    what = wanted.substr(colon + 1);
    wanted = wanted.substr(0, colon);
  }
  int nth = 1;
  if (const size_t at = wanted.find('@'); at != wanted.npos) {
    nth = std::atoi(std::string(wanted.substr(at + 1)).c_str());
    wanted = wanted.substr(0, at);
  }
  if (wanted != call)
    return 0;
  static std::map<std::string, int, std::less<>> calls;
  if (++calls[std::string(call)] != nth)
    return 0;
  for (const auto& [name, number] :
       {std::pair{"INT", SIGINT}, std::pair{"TERM", SIGTERM}, std::pair{"HUP", SIGHUP},
        std::pair{"QUIT", SIGQUIT}, std::pair{"KILL", SIGKILL}, std::pair{"ALRM", SIGALRM},
        std::pair{"USR1", SIGUSR1}, std::pair{"USR2", SIGUSR2}, std::pair{"XCPU", SIGXCPU},
        std::pair{"VTALRM", SIGVTALRM}, std::pair{"PROF", SIGPROF}, std::pair{"PWR", SIGPWR},
        std::pair{"STKFLT", SIGSTKFLT}, std::pair{"RTMIN", SIGRTMIN}})
    if (what == name) {
      if (signal_after)
        *signal_after = number;
      else
        raise(number);
      return 0;
    }
  if (what == "SWAP")
    return -1;
  for (const auto& [name, number] :
       {std::pair{"EACCES", EACCES}, std::pair{"ENOSPC", ENOSPC}, std::pair{"ENFILE", ENFILE},
        std::pair{"EROFS", EROFS}, std::pair{"ENOENT", ENOENT}, std::pair{"ENOMEM", ENOMEM},
        std::pair{"EINTR", EINTR}, std::pair{"EISDIR", EISDIR}, std::pair{"EINVAL", EINVAL}})
    if (what == name)
      return number;
  return EIO;
}

// The descriptors of the old database read for its templates and of the
// temporary file, once opened.
int old_database_fd = -1;
int temporary_fd = -1;

// A descriptor number given to another file is no longer the database's.
void forget_reused(int fd) {
  if (fd == old_database_fd)
    old_database_fd = -1;
  if (fd == temporary_fd)
    temporary_fd = -1;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Whether a failing call is made first (":done").
bool done_first() {
  const char* fault = std::getenv("TARNWICK_FAULT");
  return fault && std::string_view(fault).ends_with(":done");
}

}  // namespace

extern "C" int fsync(int fd) {
  struct stat st;
  const bool directory = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  if (const int error = failing(directory ? "fsync-directory" : "fsync")) {
    errno = error;
    return -1;
  }
  return next<int (*)(int)>("fsync")(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
  if (const int error = failing("rename")) {
    if (done_first())
      next<int (*)(const char*, const char*)>("rename")(from, to);
    errno = error;
    return -1;
  }
  return next<int (*)(const char*, const char*)>("rename")(from, to);
}

extern "C" int unlink(const char* path) noexcept {
  if (const int error = failing("unlink")) {
    if (done_first())
      next<int (*)(const char*)>("unlink")(path);
    errno = error;
    return -1;
  }
  return next<int (*)(const char*)>("unlink")(path);
}

extern "C" int chdir(const char* path) noexcept {
  if (const int error = failing("chdir")) {
    errno = error;
    return -1;
  }
  return next<int (*)(const char*)>("chdir")(path);
}

extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  const std::string_view name = path;
  const char* call =
      name == "/dev/null"                                              ? "open-null"
      : name.ends_with(".tmp") && (flags & O_CREAT)                    ? "open-temp"
      : name.ends_with("/iTunesSD") && (flags & O_ACCMODE) == O_WRONLY ? "open-database"
      : name.ends_with("/iTunesSD") && (flags & O_ACCMODE) == O_RDONLY && !(flags & O_DIRECT)
          ? "open-old"
          : "";
  // A signal comes once the file exists: the moment before the program
  // could arm its removal.
  int signal_after = 0;
  if (*call)
    if (const int error = failing(call, &signal_after)) {
      errno = error;
      return -1;
    }
  const int fd = next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
  if (signal_after)
    raise(signal_after);
  if (std::string_view(call) == "open-old")
    old_database_fd = fd;
  else if (std::string_view(call) == "open-temp")
    temporary_fd = fd;
  else
    forget_reused(fd);
  return fd;
}

// glibc's flag for a stream whose read or write failed (_IO_ERR_SEEN).
constexpr int kStreamError = 0x20;

extern "C" size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  if (old_database_fd >= 0 && fileno(stream) == old_database_fd) {
    if (const int error = failing("read-database")) {
      stream->_flags |= kStreamError;
      errno = error;
      return 0;
    }
    if (failing("read-short"))
      return 0;
  }
  return next<size_t (*)(void*, size_t, size_t, FILE*)>("fread")(buffer, size, count, stream);
}

extern "C" FILE* fdopen(int fd, const char* mode) noexcept {
  if (temporary_fd >= 0 && fd == temporary_fd)
    if (const int error = failing("fdopen")) {
      errno = error;
      return nullptr;
    }
  return next<FILE* (*)(int, const char*)>("fdopen")(fd, mode);
}

extern "C" size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  if (temporary_fd >= 0 && fileno(stream) == temporary_fd)
    if (const int error = failing("write-silent")) {
      stream->_flags |= kStreamError;
      errno = error;
      return count;
    }
  return next<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite")(buffer, size, count,
                                                                        stream);
}

extern "C" int fstat(int fd, struct stat* st) noexcept {
  if (old_database_fd >= 0 && fd == old_database_fd)
    if (const int error = failing("fstat-old")) {
      errno = error;
      return -1;
    }
  return next<int (*)(int, struct stat*)>("fstat")(fd, st);
}

extern "C" ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
  if (const int error = failing("pread")) {
    errno = error;
    return -1;
  }
  return next<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, buffer, length, offset);
}

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t length, off_t offset) {
  if (const int error = failing("pwrite")) {
    errno = error;
    return -1;
  }
  return next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, buffer, length, offset);
}

extern "C" ssize_t getdents64(int fd, void* buffer, size_t length) {
  if (const int error = failing("getdents64")) {
    errno = error;
    return -1;
  }
  const ssize_t got = next<ssize_t (*)(int, void*, size_t)>("getdents64")(fd, buffer, length);
  const char* fault = std::getenv("TARNWICK_FAULT");
  if (got > 0 && fault && std::string_view(fault).starts_with("fstatat"))
    for (ssize_t at = 0; at < got;
         at += reinterpret_cast<dirent64*>(static_cast<char*>(buffer) + at)->d_reclen)
      reinterpret_cast<dirent64*>(static_cast<char*>(buffer) + at)->d_type = DT_UNKNOWN;
  return got;
}

extern "C" int fstatat(int dir_fd, const char* path, struct stat* st, int flags) {
  if (const int error = failing("fstatat")) {
    errno = error;
    return -1;
  }
  return next<int (*)(int, const char*, struct stat*, int)>("fstatat")(dir_fd, path, st, flags);
}

extern "C" int openat(int dir_fd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (const int error = failing("openat")) {
    if (error > 0) {
      errno = error;
      return -1;
    }
    // Another program puts a link to outside the volume in the folder's place.
    const std::string moved = std::string(path) + ".moved";
    next<int (*)(int, const char*, int, const char*)>("renameat")(dir_fd, path, dir_fd,
                                                                  moved.c_str());
    const char* outside = std::getenv("TARNWICK_OUTSIDE");
    if (outside && symlinkat(outside, dir_fd, path) != 0)
      std::abort();  // the case could not be set up
  }
  const int fd = next<int (*)(int, const char*, int, ...)>("openat")(dir_fd, path, flags, mode);
  forget_reused(fd);
  return fd;
}

#endif  // __linux__
