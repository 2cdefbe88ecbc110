// Linked into tarnwick_faults.exe, a test build of tarnwick.exe, for the
// end-to-end fault tests under wine: the Win32 side of fault_injection.cc.
// At start-up it rewrites the import tables of the program and of the C
// runtime (msvcrt.dll), so that every Win32 file call of a run passes
// through it: the program's own and those the C runtime makes for it
// (WriteFile from fwrite and fflush, ReadFile from fread, CloseHandle from
// fclose, GetFileType from _open_osfhandle, SetFilePointerEx from fseek).
//
// TARNWICK_FAULT says which call goes wrong and how: "CALL[@N][:WHAT][:done]".
// CALL is a function name (CreateFileW, ReadFile, WriteFile, CloseHandle,
// GetFileType, FlushFileBuffers, MoveFileExW, DeleteFileW, FindNextFileW,
// GetCurrentDirectoryW...: kCalls below); @N picks its Nth call (the first
// by default), counting only calls on the player's files: calls on a handle
// count when the handle came from CreateFileW, so the standard streams never
// do. WHAT is a Windows error, by name (ERROR_DISK_FULL) or number, that the
// call then fails with (ERROR_GEN_FAILURE by default); with ":done" a call
// that changes the volume (WriteFile, MoveFileExW, DeleteFileW, FlushFileBuffers,
// SetFileAttributesW, RemoveDirectoryW...) is made first and reported failed
// after, as a device can answer a write it made (of the calls that make a
// handle only CreateFileW is: the file is made, its handle closed). CloseHandle and FindClose
// always let the handle go. WHAT may instead be CTRL_C: a Ctrl-C event, delivered as Windows
// delivers it (the console handler on a thread of its own), just before the call goes on.
// TARNWICK_FAULT_PATH, when set, counts only the calls whose path (or whose
// handle's path) ends with it, such as "\iTunesSD".
//
// TARNWICK_FAULT_LOG names a file that gets one line per counted call, in
// order: the call, the module that made it and its path.
//
// TARNWICK_LONG_PATHS=refuse makes every call refuse, with
// ERROR_PATH_NOT_FOUND, a path of 260 characters or more (in full, for a
// relative one) that is not in the "\\?\" form, as Windows does for a
// program without the long-path opt-in.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>

namespace {

enum Call {
  kCreateFileW,
  kCreateFileA,
  kGetFileAttributesW,
  kGetFileAttributesA,
  kGetFileAttributesExW,
  kSetFileAttributesW,
  kDeleteFileW,
  kDeleteFileA,
  kRemoveDirectoryW,
  kMoveFileExW,
  kMoveFileExA,
  kFindFirstFileW,
  kFindFirstFileA,
  kFindNextFileW,
  kFindNextFileA,
  kFindClose,
  kGetCurrentDirectoryW,
  kGetFullPathNameW,
  kSetCurrentDirectoryW,
  kSetCurrentDirectoryA,
  kReadFile,
  kWriteFile,
  kCloseHandle,
  kGetFileType,
  kFlushFileBuffers,
  kSetFilePointer,
  kSetFilePointerEx,
  kSetEndOfFile,
  kGetFileInformationByHandle,
  kGetFileSizeEx,
  kSetConsoleCtrlHandler,  // watched, never counted: where a Ctrl-C goes
  kCallCount
};

constexpr const char* kCalls[kCallCount] = {
    "CreateFileW",
    "CreateFileA",
    "GetFileAttributesW",
    "GetFileAttributesA",
    "GetFileAttributesExW",
    "SetFileAttributesW",
    "DeleteFileW",
    "DeleteFileA",
    "RemoveDirectoryW",
    "MoveFileExW",
    "MoveFileExA",
    "FindFirstFileW",
    "FindFirstFileA",
    "FindNextFileW",
    "FindNextFileA",
    "FindClose",
    "GetCurrentDirectoryW",
    "GetFullPathNameW",
    "SetCurrentDirectoryW",
    "SetCurrentDirectoryA",
    "ReadFile",
    "WriteFile",
    "CloseHandle",
    "GetFileType",
    "FlushFileBuffers",
    "SetFilePointer",
    "SetFilePointerEx",
    "SetEndOfFile",
    "GetFileInformationByHandle",
    "GetFileSizeEx",
    "SetConsoleCtrlHandler",
};

// The system's own functions, as the import tables held them.
void* real[kCallCount];

template <typename Function>
Function original(Call call) {
  return reinterpret_cast<Function>(real[call]);
}

struct Fault {
  int call = -1;  // none
  long nth = 1;
  DWORD error = ERROR_GEN_FAILURE;
  bool done_first = false;
  bool ctrl_c = false;
  std::wstring path_suffix;
};

Fault fault;
bool refuse_long_paths = false;
HANDLE log_file = INVALID_HANDLE_VALUE;
PHANDLER_ROUTINE console_handler = nullptr;
CRITICAL_SECTION lock;
HMODULE program_module;
HMODULE runtime_module;

// The handles the program opened on files, with their paths.
struct Tracked {
  HANDLE handle;
  std::wstring path;
};
constexpr int kMaxTracked = 256;
Tracked tracked[kMaxTracked];

int tracked_slot(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return -1;
  for (int i = 0; i < kMaxTracked; ++i)
    if (tracked[i].handle == handle)
      return i;
  return -1;
}

void track(HANDLE handle, const std::wstring& path) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return;
  EnterCriticalSection(&lock);
  for (auto& slot : tracked)
    if (slot.handle == nullptr) {
      slot = {handle, path};
      break;
    }
  LeaveCriticalSection(&lock);
}

void untrack(HANDLE handle) {
  EnterCriticalSection(&lock);
  const int slot = tracked_slot(handle);
  if (slot >= 0)
    tracked[slot] = {nullptr, {}};
  LeaveCriticalSection(&lock);
}

std::wstring widen(const char* text) {
  if (!text)
    return {};
  std::wstring wide(std::strlen(text) + 1, L'\0');
  const int length =
      MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), static_cast<int>(wide.size()));
  wide.resize(length > 0 ? static_cast<size_t>(length - 1) : 0);
  return wide;
}

std::string narrow(const std::wstring& text) {
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(length > 0 ? static_cast<size_t>(length) : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), length, nullptr, nullptr);
  bytes.resize(bytes.size() - 1);
  return bytes;
}

bool ends_with_ignoring_case(const std::wstring& text, const std::wstring& end) {
  if (end.size() > text.size())
    return false;
  for (size_t i = 0; i < end.size(); ++i)
    if (std::towlower(text[text.size() - end.size() + i]) != std::towlower(end[i]))
      return false;
  return true;
}

// Whether Windows without the long-path opt-in would refuse the path.
bool too_long(const std::wstring& path) {
  if (!refuse_long_paths || path.empty() || path.starts_with(L"\\\\?\\"))
    return false;
  wchar_t full[32768];
  const DWORD length =
      original<decltype(&GetFullPathNameW)>(kGetFullPathNameW)(path.c_str(), 32768, full, nullptr);
  return (length > 0 ? length : path.size()) >= MAX_PATH;
}

const char* module_name(void* caller) {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCWSTR>(caller), &module);
  return module == program_module ? "program" : module == runtime_module ? "msvcrt" : "other";
}

DWORD WINAPI deliver_ctrl_c(void*) {
  if (console_handler)
    console_handler(CTRL_C_EVENT);
  return 0;
}

// What happens to one call: counted (and logged) when it is on the
// player's files, and failed when it is the one TARNWICK_FAULT names.
struct Verdict {
  bool fail = false;
  bool done_first = false;
  DWORD error = 0;
};

Verdict before(Call call, const std::wstring& path, void* caller) {
  const DWORD last_error = GetLastError();
  Verdict verdict;
  EnterCriticalSection(&lock);
  if (log_file != INVALID_HANDLE_VALUE) {
    const std::string line =
        std::string(kCalls[call]) + " " + module_name(caller) + " " + narrow(path) + "\n";
    DWORD written;
    original<decltype(&WriteFile)>(kWriteFile)(log_file, line.data(),
                                               static_cast<DWORD>(line.size()), &written, nullptr);
  }
  static long matching = 0;
  bool chosen = false;
  if (call == fault.call &&
      (fault.path_suffix.empty() || ends_with_ignoring_case(path, fault.path_suffix)))
    chosen = ++matching == fault.nth;
  LeaveCriticalSection(&lock);
  if (chosen && fault.ctrl_c) {
    // Windows runs the handler on a thread of its own; the call goes on
    // once that thread has ended the process or is held back.
    HANDLE thread = CreateThread(nullptr, 0, deliver_ctrl_c, nullptr, 0, nullptr);
    if (thread) {
      WaitForSingleObject(thread, 300);
      CloseHandle(thread);
    }
  } else if (chosen) {
    verdict = {true, fault.done_first, fault.error};
  }
  if (!verdict.fail && too_long(path))
    verdict = {true, false, ERROR_PATH_NOT_FOUND};
  SetLastError(last_error);
  return verdict;
}

// Whether the handle is one the program opened, and its path: calls on
// another handle (a standard stream, a thread) are not the player's.
bool path_of(HANDLE handle, std::wstring* path) {
  EnterCriticalSection(&lock);
  const int slot = tracked_slot(handle);
  if (slot >= 0)
    *path = tracked[slot].path;
  LeaveCriticalSection(&lock);
  return slot >= 0;
}

// A failure as the system reports it.
template <typename Result>
Result fail(DWORD error, Result result) {
  SetLastError(error);
  return result;
}

#define CALLER __builtin_return_address(0)

// Calls on a path: each fails before it is made, or (":done") after.
#define PATH_CALL(call, path, failed, invocation)               \
  do {                                                          \
    const Verdict verdict = before(call, path, CALLER);         \
    if (verdict.fail && !verdict.done_first)                    \
      return fail(verdict.error, failed);                       \
    const auto result = invocation;                             \
    return verdict.fail ? fail(verdict.error, failed) : result; \
  } while (false)

// Calls on a handle: counted only for the program's files.
#define HANDLE_CALL(call, handle, failed, invocation)                                        \
  do {                                                                                       \
    std::wstring path;                                                                       \
    const Verdict verdict = path_of(handle, &path) ? before(call, path, CALLER) : Verdict{}; \
    if (verdict.fail && !verdict.done_first)                                                 \
      return fail(verdict.error, failed);                                                    \
    const auto result = invocation;                                                          \
    return verdict.fail ? fail(verdict.error, failed) : result;                              \
  } while (false)

HANDLE WINAPI hook_CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE model) {
  const std::wstring name = path ? path : L"";
  const Verdict verdict = before(kCreateFileW, name, CALLER);
  if (verdict.fail && !verdict.done_first)
    return fail(verdict.error, INVALID_HANDLE_VALUE);
  HANDLE handle = original<decltype(&CreateFileW)>(kCreateFileW)(path, access, share, security,
                                                                 disposition, flags, model);
  if (verdict.fail) {
    if (handle != INVALID_HANDLE_VALUE)
      original<decltype(&CloseHandle)>(kCloseHandle)(handle);
    return fail(verdict.error, INVALID_HANDLE_VALUE);
  }
  track(handle, name);
  return handle;
}

HANDLE WINAPI hook_CreateFileA(LPCSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE model) {
  const std::wstring name = widen(path);
  const Verdict verdict = before(kCreateFileA, name, CALLER);
  if (verdict.fail)
    return fail(verdict.error, INVALID_HANDLE_VALUE);
  HANDLE handle = original<decltype(&CreateFileA)>(kCreateFileA)(path, access, share, security,
                                                                 disposition, flags, model);
  track(handle, name);
  return handle;
}

DWORD WINAPI hook_GetFileAttributesW(LPCWSTR path) {
  PATH_CALL(kGetFileAttributesW, path ? path : L"", INVALID_FILE_ATTRIBUTES,
            original<decltype(&GetFileAttributesW)>(kGetFileAttributesW)(path));
}

DWORD WINAPI hook_GetFileAttributesA(LPCSTR path) {
  PATH_CALL(kGetFileAttributesA, widen(path), INVALID_FILE_ATTRIBUTES,
            original<decltype(&GetFileAttributesA)>(kGetFileAttributesA)(path));
}

BOOL WINAPI hook_GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID info) {
  PATH_CALL(kGetFileAttributesExW, path ? path : L"", FALSE,
            original<decltype(&GetFileAttributesExW)>(kGetFileAttributesExW)(path, level, info));
}

BOOL WINAPI hook_SetFileAttributesW(LPCWSTR path, DWORD attributes) {
  PATH_CALL(kSetFileAttributesW, path ? path : L"", FALSE,
            original<decltype(&SetFileAttributesW)>(kSetFileAttributesW)(path, attributes));
}

BOOL WINAPI hook_DeleteFileW(LPCWSTR path) {
  PATH_CALL(kDeleteFileW, path ? path : L"", FALSE,
            original<decltype(&DeleteFileW)>(kDeleteFileW)(path));
}

BOOL WINAPI hook_DeleteFileA(LPCSTR path) {
  PATH_CALL(kDeleteFileA, widen(path), FALSE, original<decltype(&DeleteFileA)>(kDeleteFileA)(path));
}

BOOL WINAPI hook_RemoveDirectoryW(LPCWSTR path) {
  PATH_CALL(kRemoveDirectoryW, path ? path : L"", FALSE,
            original<decltype(&RemoveDirectoryW)>(kRemoveDirectoryW)(path));
}

BOOL WINAPI hook_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  // Counted and matched by its target; a long source is refused too.
  if (too_long(from ? from : L""))
    return fail(ERROR_PATH_NOT_FOUND, FALSE);
  PATH_CALL(kMoveFileExW, to ? to : L"", FALSE,
            original<decltype(&MoveFileExW)>(kMoveFileExW)(from, to, flags));
}

BOOL WINAPI hook_MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (too_long(widen(from)))
    return fail(ERROR_PATH_NOT_FOUND, FALSE);
  PATH_CALL(kMoveFileExA, widen(to), FALSE,
            original<decltype(&MoveFileExA)>(kMoveFileExA)(from, to, flags));
}

HANDLE WINAPI hook_FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  const std::wstring name = pattern ? pattern : L"";
  const Verdict verdict = before(kFindFirstFileW, name, CALLER);
  if (verdict.fail)
    return fail(verdict.error, INVALID_HANDLE_VALUE);
  HANDLE handle = original<decltype(&FindFirstFileW)>(kFindFirstFileW)(pattern, data);
  track(handle, name);
  return handle;
}

HANDLE WINAPI hook_FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  const std::wstring name = widen(pattern);
  const Verdict verdict = before(kFindFirstFileA, name, CALLER);
  if (verdict.fail)
    return fail(verdict.error, INVALID_HANDLE_VALUE);
  HANDLE handle = original<decltype(&FindFirstFileA)>(kFindFirstFileA)(pattern, data);
  track(handle, name);
  return handle;
}

BOOL WINAPI hook_FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  HANDLE_CALL(kFindNextFileW, find, FALSE,
              original<decltype(&FindNextFileW)>(kFindNextFileW)(find, data));
}

BOOL WINAPI hook_FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
  HANDLE_CALL(kFindNextFileA, find, FALSE,
              original<decltype(&FindNextFileA)>(kFindNextFileA)(find, data));
}

// Handles are let go however the call is reported.
BOOL WINAPI hook_FindClose(HANDLE find) {
  std::wstring path;
  const Verdict verdict = path_of(find, &path) ? before(kFindClose, path, CALLER) : Verdict{};
  untrack(find);
  const BOOL result = original<decltype(&FindClose)>(kFindClose)(find);
  return verdict.fail ? fail(verdict.error, FALSE) : result;
}

BOOL WINAPI hook_CloseHandle(HANDLE handle) {
  std::wstring path;
  const Verdict verdict = path_of(handle, &path) ? before(kCloseHandle, path, CALLER) : Verdict{};
  untrack(handle);
  const BOOL result = original<decltype(&CloseHandle)>(kCloseHandle)(handle);
  return verdict.fail ? fail(verdict.error, FALSE) : result;
}

DWORD WINAPI hook_GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
  PATH_CALL(kGetCurrentDirectoryW, L"", DWORD{0},
            original<decltype(&GetCurrentDirectoryW)>(kGetCurrentDirectoryW)(size, buffer));
}

DWORD WINAPI hook_GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* name) {
  // A string operation: never refused for its length.
  const bool refusing = refuse_long_paths;
  refuse_long_paths = false;
  const Verdict verdict = before(kGetFullPathNameW, path ? path : L"", CALLER);
  refuse_long_paths = refusing;
  if (verdict.fail)
    return fail(verdict.error, DWORD{0});
  return original<decltype(&GetFullPathNameW)>(kGetFullPathNameW)(path, size, buffer, name);
}

BOOL WINAPI hook_SetCurrentDirectoryW(LPCWSTR path) {
  PATH_CALL(kSetCurrentDirectoryW, path ? path : L"", FALSE,
            original<decltype(&SetCurrentDirectoryW)>(kSetCurrentDirectoryW)(path));
}

BOOL WINAPI hook_SetCurrentDirectoryA(LPCSTR path) {
  PATH_CALL(kSetCurrentDirectoryA, widen(path), FALSE,
            original<decltype(&SetCurrentDirectoryA)>(kSetCurrentDirectoryA)(path));
}

BOOL WINAPI hook_ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done,
                          LPOVERLAPPED overlapped) {
  HANDLE_CALL(kReadFile, file, FALSE,
              original<decltype(&ReadFile)>(kReadFile)(file, buffer, size, done, overlapped));
}

BOOL WINAPI hook_WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done,
                           LPOVERLAPPED overlapped) {
  HANDLE_CALL(kWriteFile, file, FALSE,
              original<decltype(&WriteFile)>(kWriteFile)(file, buffer, size, done, overlapped));
}

DWORD WINAPI hook_GetFileType(HANDLE file) {
  HANDLE_CALL(kGetFileType, file, DWORD{FILE_TYPE_UNKNOWN},
              original<decltype(&GetFileType)>(kGetFileType)(file));
}

BOOL WINAPI hook_FlushFileBuffers(HANDLE file) {
  HANDLE_CALL(kFlushFileBuffers, file, FALSE,
              original<decltype(&FlushFileBuffers)>(kFlushFileBuffers)(file));
}

DWORD WINAPI hook_SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method) {
  HANDLE_CALL(kSetFilePointer, file, DWORD{INVALID_SET_FILE_POINTER},
              original<decltype(&SetFilePointer)>(kSetFilePointer)(file, distance, high, method));
}

BOOL WINAPI hook_SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position,
                                  DWORD method) {
  HANDLE_CALL(
      kSetFilePointerEx, file, FALSE,
      original<decltype(&SetFilePointerEx)>(kSetFilePointerEx)(file, distance, position, method));
}

BOOL WINAPI hook_SetEndOfFile(HANDLE file) {
  HANDLE_CALL(kSetEndOfFile, file, FALSE, original<decltype(&SetEndOfFile)>(kSetEndOfFile)(file));
}

BOOL WINAPI hook_GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  HANDLE_CALL(
      kGetFileInformationByHandle, file, FALSE,
      original<decltype(&GetFileInformationByHandle)>(kGetFileInformationByHandle)(file, info));
}

BOOL WINAPI hook_GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  HANDLE_CALL(kGetFileSizeEx, file, FALSE,
              original<decltype(&GetFileSizeEx)>(kGetFileSizeEx)(file, size));
}

BOOL WINAPI hook_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (add && handler)
    console_handler = handler;
  return original<decltype(&SetConsoleCtrlHandler)>(kSetConsoleCtrlHandler)(handler, add);
}

void* const kHooks[kCallCount] = {
    reinterpret_cast<void*>(hook_CreateFileW),
    reinterpret_cast<void*>(hook_CreateFileA),
    reinterpret_cast<void*>(hook_GetFileAttributesW),
    reinterpret_cast<void*>(hook_GetFileAttributesA),
    reinterpret_cast<void*>(hook_GetFileAttributesExW),
    reinterpret_cast<void*>(hook_SetFileAttributesW),
    reinterpret_cast<void*>(hook_DeleteFileW),
    reinterpret_cast<void*>(hook_DeleteFileA),
    reinterpret_cast<void*>(hook_RemoveDirectoryW),
    reinterpret_cast<void*>(hook_MoveFileExW),
    reinterpret_cast<void*>(hook_MoveFileExA),
    reinterpret_cast<void*>(hook_FindFirstFileW),
    reinterpret_cast<void*>(hook_FindFirstFileA),
    reinterpret_cast<void*>(hook_FindNextFileW),
    reinterpret_cast<void*>(hook_FindNextFileA),
    reinterpret_cast<void*>(hook_FindClose),
    reinterpret_cast<void*>(hook_GetCurrentDirectoryW),
    reinterpret_cast<void*>(hook_GetFullPathNameW),
    reinterpret_cast<void*>(hook_SetCurrentDirectoryW),
    reinterpret_cast<void*>(hook_SetCurrentDirectoryA),
    reinterpret_cast<void*>(hook_ReadFile),
    reinterpret_cast<void*>(hook_WriteFile),
    reinterpret_cast<void*>(hook_CloseHandle),
    reinterpret_cast<void*>(hook_GetFileType),
    reinterpret_cast<void*>(hook_FlushFileBuffers),
    reinterpret_cast<void*>(hook_SetFilePointer),
    reinterpret_cast<void*>(hook_SetFilePointerEx),
    reinterpret_cast<void*>(hook_SetEndOfFile),
    reinterpret_cast<void*>(hook_GetFileInformationByHandle),
    reinterpret_cast<void*>(hook_GetFileSizeEx),
    reinterpret_cast<void*>(hook_SetConsoleCtrlHandler),
};

int call_named(const char* name) {
  for (int call = 0; call < kCallCount; ++call)
    if (std::strcmp(kCalls[call], name) == 0)
      return call;
  return -1;
}

// Points the module's imports of the hooked calls (from kernel32 or
// kernelbase, by whatever name the module imports them) at the hooks.
void patch_imports(HMODULE module) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0)
    return;
  for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    const char* library_name = reinterpret_cast<const char*>(base + library->Name);
    if (_strnicmp(library_name, "kernel", 6) != 0 && _strnicmp(library_name, "api-ms-", 7) != 0)
      continue;
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
        base + (library->OriginalFirstThunk ? library->OriginalFirstThunk : library->FirstThunk));
    for (; slot->u1.Function != 0; ++slot, ++names) {
      int call = -1;
      if (library->OriginalFirstThunk && !IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
        const auto* by_name =
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        call = call_named(reinterpret_cast<const char*>(by_name->Name));
      } else {
        for (int c = 0; c < kCallCount; ++c)
          if (reinterpret_cast<void*>(slot->u1.Function) == real[c])
            call = c;
      }
      if (call < 0)
        continue;
      DWORD protection;
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
      slot->u1.Function = reinterpret_cast<ULONG_PTR>(kHooks[call]);
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
    }
  }
}

DWORD error_named(const std::string& name) {
  static const struct {
    const char* name;
    DWORD error;
  } kErrors[] = {
      {"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
      {"ERROR_PATH_NOT_FOUND", ERROR_PATH_NOT_FOUND},
      {"ERROR_TOO_MANY_OPEN_FILES", ERROR_TOO_MANY_OPEN_FILES},
      {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},
      {"ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY},
      {"ERROR_OUTOFMEMORY", ERROR_OUTOFMEMORY},
      {"ERROR_WRITE_PROTECT", ERROR_WRITE_PROTECT},
      {"ERROR_NOT_READY", ERROR_NOT_READY},
      {"ERROR_CRC", ERROR_CRC},
      {"ERROR_GEN_FAILURE", ERROR_GEN_FAILURE},
      {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
      {"ERROR_LOCK_VIOLATION", ERROR_LOCK_VIOLATION},
      {"ERROR_HANDLE_DISK_FULL", ERROR_HANDLE_DISK_FULL},
      {"ERROR_DISK_FULL", ERROR_DISK_FULL},
      {"ERROR_INVALID_PARAMETER", ERROR_INVALID_PARAMETER},
      {"ERROR_FILENAME_EXCED_RANGE", ERROR_FILENAME_EXCED_RANGE},
      {"ERROR_IO_DEVICE", ERROR_IO_DEVICE},
      {"ERROR_DEVICE_NOT_CONNECTED", ERROR_DEVICE_NOT_CONNECTED},
      {"ERROR_FILE_CORRUPT", ERROR_FILE_CORRUPT},
      {"ERROR_DISK_CORRUPT", ERROR_DISK_CORRUPT},
  };
  for (const auto& known : kErrors)
    if (name == known.name)
      return known.error;
  return static_cast<DWORD>(std::strtoul(name.c_str(), nullptr, 0));
}

// Takes the next ":"-separated field off the front of rest.
std::string take_field(std::string& rest) {
  const size_t colon = rest.find(':');
  std::string field = rest.substr(0, colon);
  rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
  return field;
}

void read_fault(const char* text) {
  std::string rest = text;
  std::string call = take_field(rest);
  if (const size_t at = call.find('@'); at != std::string::npos) {
    fault.nth = std::strtol(call.c_str() + at + 1, nullptr, 10);
    call.resize(at);
  }
  fault.call = call_named(call.c_str());
  while (!rest.empty()) {
    const std::string what = take_field(rest);
    if (what == "done")
      fault.done_first = true;
    else if (what == "CTRL_C")
      fault.ctrl_c = true;
    else
      fault.error = error_named(what);
  }
  if (const char* suffix = std::getenv("TARNWICK_FAULT_PATH"))
    fault.path_suffix = widen(suffix);
}

// Before main, and before the program makes any call of its own.
struct FaultLayer {
  FaultLayer() {
    InitializeCriticalSection(&lock);
    program_module = GetModuleHandleW(nullptr);
    runtime_module = GetModuleHandleW(L"msvcrt.dll");
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    for (int call = 0; call < kCallCount; ++call)
      real[call] = reinterpret_cast<void*>(GetProcAddress(kernel, kCalls[call]));
    if (const char* wanted = std::getenv("TARNWICK_FAULT"))
      read_fault(wanted);
    const char* long_paths = std::getenv("TARNWICK_LONG_PATHS");
    refuse_long_paths = long_paths && std::strcmp(long_paths, "refuse") == 0;
    if (const char* log = std::getenv("TARNWICK_FAULT_LOG"))
      log_file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    patch_imports(program_module);
    if (runtime_module)
      patch_imports(runtime_module);
  }
};

FaultLayer fault_layer;

}  // namespace
