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
#include <vector>
#endif

#include <cerrno>
#include <cstdlib>

#include "support/utf8.h"

bool rename_was_refused(int error) {
  // What both systems give for a rename they would not begin (Windows'
  // sharing and access errors arrive as EACCES).
  return error == EACCES || error == EPERM || error == EBUSY;
}

#ifdef _WIN32

namespace {

CRITICAL_SECTION interruption_gate;
bool gate_ready = false;
bool gate_held = false;
const char* volatile removal_path = nullptr;
HANDLE player_lock = nullptr;

// What an interrupted console program ends with.
constexpr UINT kInterruptedStatus = 0xC000013A;

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
// then removes the run's temporary file and ends the process itself: the
// default handler's exit status is not a failure everywhere (wine).
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  EnterCriticalSection(&interruption_gate);
  if (removal_path)
    DeleteFileA(removal_path);
  restore_console_code_page(0);
  ExitProcess(kInterruptedStatus);
}

int set_errno_from_last_error() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
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
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_DIR_NOT_EMPTY:
      errno = ENOTEMPTY;
      break;
    case ERROR_WRITE_PROTECT:
      errno = EROFS;
      break;
    case ERROR_FILE_CORRUPT:
    case ERROR_DISK_CORRUPT:
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NOT_READY:
      errno = EIO;  // damage, or the player gone
      break;
    default:
      errno = EINVAL;
  }
  return 0;
}

// Whether the last call failed because nothing stands at its path.
int nothing_there() {
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// fastfat's FlushFileBuffers on a file writes its data, its entry and its
// parents, and forwards a flush to the device; on a directory other than
// the root it does nothing. So it is always asked of a file.
int flush_file_at(const char* path) {
  HANDLE handle =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return set_errno_from_last_error();
  const BOOL flushed = FlushFileBuffers(handle);
  if (!flushed)
    set_errno_from_last_error();
  CloseHandle(handle);
  return flushed != 0;
}

}  // namespace

int open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) >= 0)
      continue;
    const int null_device = _open("NUL", _O_RDWR);
    if (null_device < 0)
      return 0;
    if (null_device != fd) {
      _dup2(null_device, fd);
      _close(null_device);
    }
  }
  return 1;
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
  // The volume's serial number and the folder's file ID name the player
  // however it is reached: another drive letter, a subst, a mount folder.
  HANDLE folder = CreateFileA(itunes_dir, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return set_errno_from_last_error();
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL known = GetFileInformationByHandle(folder, &info);
  CloseHandle(folder);
  if (!known)
    return set_errno_from_last_error();
  // A named mutex leaves nothing on the player and is released when its
  // holder ends, however it ends.
  char name[80];
  wsprintfA(name, "Local\\tarnwick-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
            info.nFileIndexHigh, info.nFileIndexLow);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (!mutex)
    return set_errno_from_last_error();
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_TIMEOUT) {
    before_waiting();
    waited = WaitForSingleObject(mutex, INFINITE);
  }
  // An abandoned mutex (its holder died) is ours all the same.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    player_lock = mutex;
    return 1;
  }
  set_errno_from_last_error();
  CloseHandle(mutex);
  return 0;
}

void unlock_player() {
  if (player_lock) {
    ReleaseMutex(player_lock);
    CloseHandle(player_lock);
  }
  player_lock = nullptr;
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
    return nothing_there() ? 1 : set_errno_from_last_error();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return RemoveDirectoryA(path) != 0 ? 1 : set_errno_from_last_error();  // never a target
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileA(path) != 0 ? 1 : set_errno_from_last_error();
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

// fastfat sends a deletion without write-through out by the lazy writer, in
// no order; a write-through delete-on-close handle removes the entry when
// it closes. The flush of the new database after the rename goes to the
// device for these too.
int remove_for_good(const char* const* paths, int count, int* results) {
  for (int i = 0; i < count; ++i) {
    HANDLE handle = CreateFileA(
        paths[i], DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      results[i] = nothing_there() ? 0 : -1;
      continue;
    }
    results[i] =
        CloseHandle(handle) && GetFileAttributesA(paths[i]) == INVALID_FILE_ATTRIBUTES ? 1 : -1;
  }
  return 1;
}

// fastfat refuses a rename while anything holds the target open, so the old
// file is not held here. With write-through the rename writes the new entry
// (the temporary file's first cluster and size) before the FAT page that
// frees the old chain, but sends no flush to the device: FlushFileBuffers on
// a write handle to the new file does, with the file's entry and parents.
Replaced replace_file(const char* from, const char* to) {
  if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    set_errno_from_last_error();
    return Replaced::kNo;
  }
  return flush_file_at(to) ? Replaced::kDurable : Replaced::kNotSure;
}

const char* const kFileSystemCheck = "chkdsk";

void ignore_write_signals() {
}

void catch_interruptions() {
  if (gate_ready)
    return;
  InitializeCriticalSection(&interruption_gate);
  gate_ready = true;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void hold_interruptions() {
  if (gate_ready && !gate_held) {
    EnterCriticalSection(&interruption_gate);
    gate_held = true;
  }
}

void remove_on_interruption(const char* path) {
  removal_path = path;
}

void resume_interruptions() {
  if (gate_held) {
    gate_held = false;
    LeaveCriticalSection(&interruption_gate);
  }
}

void release_interruptions() {
  removal_path = nullptr;
  resume_interruptions();
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

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile sig_atomic_t removal_armed = 0;
const char* removal_path = nullptr;
int player_lock = -1;

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

// Opens the file at path only to keep it alive: while a descriptor is open,
// Linux's and Apple's FAT drivers do not free its clusters when its name is
// removed or replaced. -1 when nothing (or no regular file) is there.
int hold_open(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
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

int open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // The lowest free descriptor is the closed one.
    const int null_device = open("/dev/null", O_RDWR);
    if (null_device < 0)
      return 0;
    if (null_device != fd) {
      dup2(null_device, fd);
      close(null_device);
    }
  }
  return 1;
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
  // stays open, and the lock held, until unlock_player or the process ends.
  const int fd = open(itunes_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return 0;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    player_lock = fd;
    return 1;
  }
  if (errno != EWOULDBLOCK) {
    close(fd);
    return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;  // cannot lock here
  }
  before_waiting();
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close_keeping_errno(fd);
      return 0;
    }
  }
  player_lock = fd;
  return 1;
}

void unlock_player() {
  if (player_lock >= 0)
    close(player_lock);
  player_lock = -1;
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

int flush_to_disk(FILE* file) {
  return std::fflush(file) == 0 && flush_descriptor(fileno(file));
}

// Linux's vfat frees a deleted file's clusters when its inode is evicted,
// which the directory flush does not order after the entry's removal: each
// file is held open while unlinked, so its clusters stay taken until the
// directory (with the FAT) is on the device. Apple's msdosfs frees them when
// the last user lets go, too.
int remove_for_good(const char* const* paths, int count, int* results) {
  std::vector<int> held;
  int removed_any = 0;
  for (int i = 0; i < count; ++i) {
    const int fd = hold_open(paths[i]);
    if (unlink(paths[i]) == 0) {
      results[i] = 1;
      removed_any = 1;
    } else {
      results[i] = errno == ENOENT ? 0 : -1;
    }
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
    if (old_file >= 0)
      close_keeping_errno(old_file);
    return Replaced::kNo;
  }
  int durable = flush_directory(directory_of(to));
#ifndef __APPLE__
  if (durable) {
    const int renamed = open(to, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    durable = renamed >= 0 && flush_descriptor(renamed);
    if (renamed >= 0)
      close_keeping_errno(renamed);
  }
#endif
  if (old_file >= 0)
    close_keeping_errno(old_file);
  return durable ? Replaced::kDurable : Replaced::kNotSure;
}

#ifdef __APPLE__
const char* const kFileSystemCheck = "First Aid in Disk Utility";
#else
const char* const kFileSystemCheck = "fsck.vfat";
#endif

void ignore_write_signals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void catch_interruptions() {
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

void remove_on_interruption(const char* path) {
  removal_path = path;
  removal_armed = 1;
}

void resume_interruptions() {
  const sigset_t set = interruption_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void release_interruptions() {
  removal_armed = 0;
  resume_interruptions();
}

int path_to_utf16(std::string_view path, uint16_t* units, int max_units) {
  // On the Mac the walk has already turned each name into its stored form.
  return utf8_to_units(path, units, max_units);
}

#endif
