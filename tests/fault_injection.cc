// Preloaded into the program by the fault tests: makes the call named in
// TARNWICK_FAULT ("fsync" or "rename") fail with EIO, so that the steps a
// full disk cannot reach fail too.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool failing(const char* call) {
  const char* fault = std::getenv("TARNWICK_FAULT");
  return fault && std::strcmp(fault, call) == 0;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  if (failing("fsync")) {
    errno = EIO;
    return -1;
  }
  return next<int (*)(int)>("fsync")(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
  if (failing("rename")) {
    errno = EIO;
    return -1;
  }
  return next<int (*)(const char*, const char*)>("rename")(from, to);
}
