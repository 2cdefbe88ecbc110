// Preloaded into the program by the fault tests. TARNWICK_FAULT names a call
// and what happens there: "fsync", "fsync-directory" (only a directory's) or
// "rename" fail with EIO, so that steps a full disk cannot reach fail too; "fsync:TERM",
// "rename:INT" and the like deliver that signal just before the call goes on, as if the user
// pressed Ctrl-C at that moment.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// True when the call is to fail; raises the signal named after the colon.
bool failing(std::string_view call) {
  const char* fault = std::getenv("TARNWICK_FAULT");
  if (!fault || !std::string_view(fault).starts_with(call))
    return false;
  const std::string_view rest = std::string_view(fault).substr(call.size());
  if (rest.empty())
    return true;
  for (const auto& [name, number] :
       {std::pair{":INT", SIGINT}, std::pair{":TERM", SIGTERM}, std::pair{":HUP", SIGHUP}})
    if (rest == name)
      raise(number);
  return false;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && failing("fsync-directory")) {
    errno = EIO;
    return -1;
  }
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
