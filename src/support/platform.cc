#include "support/platform.h"

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#endif

#include <cerrno>
#include <cstdlib>

#include "support/mac_names.h"
#include "support/utf8.h"

#ifdef _WIN32

namespace {

CRITICAL_SECTION interruption_gate;
bool gate_ready = false;
bool gate_held = false;
const char* volatile removal_path = nullptr;

void restore_console_code_page(UINT code_page) {
  static UINT saved = 0;
  if (code_page != 0)
    saved = code_page;
  else if (saved != 0)
    SetConsoleOutputCP(saved);
}

void on_exit_restore_console() {
  restore_console_code_page(0);
}

// Runs on a thread of its own. It waits while interruptions are held back,
// and keeps the gate when it lets the default handler end the process, so
// that the run cannot go on to replace the database meanwhile.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  EnterCriticalSection(&interruption_gate);
  if (removal_path)
    DeleteFileA(removal_path);
  return FALSE;
}

int set_errno_from_last_error() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    case ERROR_TOO_MANY_OPEN_FILES:
      errno = EMFILE;
      break;
    default:
      errno = EIO;
  }
  return 0;
}

// Whether the last call failed because nothing stands at its path.
int nothing_there() {
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

void open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) >= 0)
      continue;
    const int null_device = _open("NUL", _O_RDWR);
    if (null_device >= 0 && null_device != fd) {
      _dup2(null_device, fd);
      _close(null_device);
    }
  }
}

void prepare_console() {
  // Names arrive in UTF-8 only when the manifest's code page was honoured
  // (Windows 10 1903 and later); otherwise the console keeps its own.
  if (GetACP() != CP_UTF8)
    return;
  const UINT previous = GetConsoleOutputCP();
  if (previous != 0 && previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    restore_console_code_page(previous);  // the console outlives the program
    std::atexit(on_exit_restore_console);
  }
}

int visit_directory(const char* path) {
  char* start = _getcwd(nullptr, 0);
  if (!start)
    return 0;
  const int visited = _chdir(path) == 0 && _chdir(start) == 0;
  std::free(start);
  return visited;
}

int lock_player(const char* itunes_dir, void (*before_waiting)()) {
  char full[MAX_PATH * 3];
  const DWORD length = GetFullPathNameA(itunes_dir, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full)
    return set_errno_from_last_error();
  // A named mutex leaves nothing on the player and is released when its
  // holder ends, however it ends. Its name stands for the volume's path.
  uint64_t hash = 14695981039346656037ull;
  for (DWORD i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(full[i]);
    hash = (hash ^ ((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c)) * 1099511628211ull;
  }
  char name[64];
  wsprintfA(name, "Local\\tarnwick-%08lx%08lx", static_cast<unsigned long>(hash >> 32),
            static_cast<unsigned long>(hash & 0xFFFFFFFF));
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (!mutex)
    return set_errno_from_last_error();
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_TIMEOUT) {
    before_waiting();
    waited = WaitForSingleObject(mutex, INFINITE);
  }
  // An abandoned mutex (its holder died) is ours all the same.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
    return 1;
  return set_errno_from_last_error();
}

FILE* open_regular_file(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    set_errno_from_last_error();
    return nullptr;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    errno = EISDIR;
    return nullptr;
  }
  return std::fopen(path, "rb");
}

int may_replace(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return nothing_there();
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
    return 0;
  FILE* existing = std::fopen(path, "r+b");
  if (!existing)
    return 0;
  std::fclose(existing);
  return 1;
}

int remove_leftover(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return nothing_there();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return RemoveDirectoryA(path) != 0;  // a link or junction goes, never its target
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileA(path) != 0;
}

FILE* create_new_file(const char* path) {
  // Shared for deletion, so that an interruption can remove it while open.
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno_from_last_error();
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "wb");
  if (!file)
    _close(fd);
  return file;
}

void copy_owner_and_mode(FILE*, const char*) {
}

int flush_to_disk(FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

int replace_file(const char* from, const char* to) {
  // Write-through: the call returns once the new name is on the device.
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 1;
  return set_errno_from_last_error();
}

void ignore_broken_pipe() {
}

void remove_on_interruption(const char* path) {
  if (!gate_ready) {
    InitializeCriticalSection(&interruption_gate);
    gate_ready = true;
    SetConsoleCtrlHandler(on_console_event, TRUE);
  }
  removal_path = path;
}

void hold_interruptions() {
  if (gate_ready && !gate_held) {
    EnterCriticalSection(&interruption_gate);
    gate_held = true;
  }
}

void release_interruptions() {
  removal_path = nullptr;
  if (gate_held) {
    gate_held = false;
    LeaveCriticalSection(&interruption_gate);
  }
}

int path_to_utf16(std::string_view path, uint16_t* units, int max_units) {
  if (path.empty())
    return 0;
  static_assert(sizeof(wchar_t) == sizeof(uint16_t));
  // Neither an ANSI code page nor UTF-8 needs more units than bytes, so a
  // path that fits the field converts whole.
  const int count = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                        reinterpret_cast<wchar_t*>(units), max_units);
  return count > 0 ? count : 0;
}

#else

namespace {

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t removal_armed = 0;
const char* removal_path = nullptr;

sigset_t interruption_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kInterruptions)
    sigaddset(&set, signal_number);
  return set;
}

extern "C" void on_interruption(int signal_number) {
  if (removal_armed)
    unlink(removal_path);
  // Ends the process the way the signal would have: blocked while this
  // handler runs, it arrives again on return, now with its default action.
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Asks the system to put the directory's entries, a new name among them,
// on the device. File systems that cannot are taken at their word.
int flush_directory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return 0;
  const int flushed = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP || errno == EROFS;
  const int error = errno;
  close(fd);
  errno = error;
  return flushed;
}

}  // namespace

void open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // The lowest free descriptor is the closed one.
    const int null_device = open("/dev/null", O_RDWR);
    if (null_device >= 0 && null_device != fd) {
      dup2(null_device, fd);
      close(null_device);
    }
  }
}

void prepare_console() {
}

// A directory may be entered, and returned to, without being readable.
#ifdef O_PATH
constexpr int kDirectoryHandle = O_PATH;
#elif defined(O_SEARCH)
constexpr int kDirectoryHandle = O_SEARCH;
#else
constexpr int kDirectoryHandle = O_RDONLY;
#endif

int visit_directory(const char* path) {
  const int start = open(".", kDirectoryHandle | O_DIRECTORY | O_CLOEXEC);
  if (start < 0)
    return 0;
  const int visited = chdir(path) == 0 && fchdir(start) == 0;
  close(start);
  return visited;
}

int lock_player(const char* itunes_dir, void (*before_waiting)()) {
  // flock works on every local file system, FAT included; the descriptor
  // stays open, and the lock held, until the process ends.
  const int fd = open(itunes_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return 0;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0)
    return 1;
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
      return 0;
    }
  }
  return 1;
}

FILE* open_regular_file(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  FILE* file = fdopen(fd, "rb");
  if (!file)
    close(fd);
  return file;
}

int may_replace(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0)
    return errno == ENOENT;
  if (!S_ISREG(st.st_mode))
    return 0;
  const int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return 0;
  close(fd);
  return 1;
}

int remove_leftover(const char* path) {
  if (unlink(path) == 0 || errno == ENOENT)
    return 1;
  // unlink refuses a directory: EISDIR on Linux, EPERM elsewhere.
  return (errno == EISDIR || errno == EPERM) && rmdir(path) == 0;
}

FILE* create_new_file(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
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

int flush_to_disk(FILE* file) {
  if (std::fflush(file) != 0)
    return 0;
#ifdef F_FULLFSYNC
  // On macOS fsync leaves the data in the drive's cache; this does not.
  if (fcntl(fileno(file), F_FULLFSYNC) == 0)
    return 1;
#endif
  return fsync(fileno(file)) == 0;
}

int replace_file(const char* from, const char* to) {
  if (std::rename(from, to) != 0)
    return 0;
  const std::string target = to;
  const size_t slash = target.rfind('/');
  return flush_directory(slash == std::string::npos ? "." : target.substr(0, slash));
}

void ignore_broken_pipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

void remove_on_interruption(const char* path) {
  removal_path = path;
  removal_armed = 1;
  for (const int signal_number : kInterruptions) {
    struct sigaction action = {};
    sigaction(signal_number, nullptr, &action);
    if (action.sa_handler == SIG_IGN)
      continue;  // started to ignore it (nohup): keep ignoring it
    action.sa_handler = on_interruption;
    action.sa_mask = interruption_set();
    action.sa_flags = 0;
    sigaction(signal_number, &action, nullptr);
  }
}

void hold_interruptions() {
  const sigset_t set = interruption_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_interruptions() {
  removal_armed = 0;
  const sigset_t set = interruption_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

int path_to_utf16(std::string_view path, uint16_t* units, int max_units) {
#ifdef __APPLE__
  // The Mac's FAT driver lists names otherwise than it stored them.
  return mac_stored_units(path, units, max_units);
#else
  return utf8_to_units(path, units, max_units);
#endif
}

#endif
