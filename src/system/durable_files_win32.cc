// Windows' fastfat: write-through handles and the flushes it forwards to
// the device. Every path goes to the wide calls in its long absolute form,
// and every failure is read from the system's last error.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "system/durable_files.h"
#include "system/storage_check.h"
#include "system/win32_system.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Attributes of whatever stands at path; INVALID_FILE_ATTRIBUTES, with the
// last error set, when nothing does or the path cannot be made (an empty
// path: system_path left the last error of the call that failed).
DWORD attributes_of(const std::wstring& path) {
  if (path.empty())
    return INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesW(path.c_str());
}

// What the volume holds at path: 1 something, 0 nothing, -1 the system
// cannot tell (errno set). What a call reported failed left is decided so.
int presence(const std::wstring& path) {
  if (attributes_of(path) != INVALID_FILE_ATTRIBUTES)
    return 1;
  return nothing_there() ? 0 : (set_errno_from_last_error(), -1);
}

// A stream over the handle, which it takes over; null, with errno set, when
// the runtime cannot make one. _open_osfhandle asks the system for the
// handle's type, so its failure may be the device's: the last error says,
// and is clear when the runtime itself had no descriptor left.
FILE* stream_over(HANDLE handle, int flags, const char* mode) {
  SetLastError(ERROR_SUCCESS);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    errno = error != ERROR_SUCCESS ? errno_from_error(error) : EMFILE;
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  FILE* file = _fdopen(fd, mode);
  if (!file) {
    const DWORD error = GetLastError();
    _close(fd);
    errno = error != ERROR_SUCCESS ? errno_from_error(error) : EMFILE;
  }
  return file;
}

// fastfat's FlushFileBuffers on a file writes its data, its entry and its
// parents, and forwards a flush to the device; on a directory other than
// the root it does nothing. So it is always asked of a file.
int flush_file_at(const std::wstring& path) {
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return set_errno_from_last_error();
  const BOOL flushed = FlushFileBuffers(handle);
  if (!flushed)
    set_errno_from_last_error();
  CloseHandle(handle);
  return flushed != 0;
}

}  // namespace

bool visit_directory(const char* path) {
  // The folder itself, opened as a folder: what changing into it needs.
  const std::wstring full = system_path(path);
  const DWORD attributes = attributes_of(full);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return set_errno_from_last_error();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = ENOTDIR;
    return false;
  }
  HANDLE folder = CreateFileW(full.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return set_errno_from_last_error();
  CloseHandle(folder);
  return true;
}

FILE* open_regular_file(const char* path, long long* size) {
  const std::wstring full = system_path(path);
  const DWORD attributes = attributes_of(full);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    set_errno_from_last_error();
    return nullptr;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    errno = EISDIR;
    return nullptr;
  }
  HANDLE handle = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno_from_last_error();
    return nullptr;
  }
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK) {
    // Unknown with an error: the system could not tell, and says why.
    const DWORD error = type == FILE_TYPE_UNKNOWN ? GetLastError() : ERROR_SUCCESS;
    CloseHandle(handle);
    errno = error != ERROR_SUCCESS ? errno_from_error(error) : EINVAL;
    return nullptr;
  }
  LARGE_INTEGER length;
  if (!GetFileSizeEx(handle, &length)) {
    set_errno_from_last_error();
    CloseHandle(handle);
    return nullptr;
  }
  *size = length.QuadPart;
  return stream_over(handle, _O_RDONLY | _O_BINARY, "rb");
}

bool may_replace(const char* path, bool* there) {
  const std::wstring full = system_path(path);
  *there = false;
  const DWORD attributes = attributes_of(full);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return nothing_there() ? 1 : set_errno_from_last_error();
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
    errno = EACCES;
    return false;
  }
  HANDLE handle = CreateFileW(full.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return set_errno_from_last_error();
  CloseHandle(handle);
  *there = true;
  return true;
}

bool remove_leftover(const char* path) {
  const std::wstring full = system_path(path);
  const DWORD attributes = attributes_of(full);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return nothing_there() ? 1 : set_errno_from_last_error();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)  // never a target
    return RemoveDirectoryW(full.c_str()) != 0 ? 1 : set_errno_from_last_error();
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(full.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileW(full.c_str()) != 0 ? 1 : set_errno_from_last_error();
}

bool remove_own_file(const char* path) {
  const std::wstring full = system_path(path);
  if (full.empty())
    return false;
  return DeleteFileW(full.c_str()) != 0 || nothing_there() ? 1 : set_errno_from_last_error();
}

FILE* create_new_file(const char* path, bool* made) {
  *made = false;
  const std::wstring full = system_path(path);
  if (full.empty())
    return nullptr;
  // Shared for deletion, so that an interruption can remove it while open.
  HANDLE handle = CreateFileW(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // Nothing stood there before: whatever does now was made by this call,
    // whatever it reported.
    const DWORD error = GetLastError();
    *made = error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && presence(full) != 0;
    errno = errno_from_error(error);
    return nullptr;
  }
  *made = true;
  return stream_over(handle, _O_WRONLY | _O_BINARY, "wb");
}

void copy_owner_and_mode(FILE*, const char*) {
}

bool flush_to_disk(FILE* file) {
  // A write that the runtime held back fails here: the system says why.
  if (std::fflush(file) != 0)
    return set_errno_from_last_error();
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return FlushFileBuffers(handle) ? 1 : set_errno_from_last_error();
}

int file_error() {
  // A runtime that failed without a failing system call leaves the last
  // error as it was: clear, or what the listing left at its end. That is
  // no cause: the runtime's own errno is the one there is.
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS || error == ERROR_NO_MORE_FILES) {
    const int runtime_error = errno;
    return runtime_error != 0 ? runtime_error : EIO;
  }
  errno = errno_from_error(error);
  return errno;
}

// fastfat sends a deletion without write-through out by the lazy writer, in
// no order; a write-through delete-on-close handle removes the entry when
// it closes. The flush of the new database after the rename goes to the
// device for these too. Whatever the calls report, the volume decides what
// each line says: a file still there was not reset, one gone was ("not
// needed" when it was not found to begin with); only when the volume cannot
// tell do the calls' answers stand.
bool remove_for_good(const char* const* paths, int count, Removal* results) {
  for (int i = 0; i < count; ++i) {
    const std::wstring full = system_path(paths[i]);
    if (full.empty()) {
      results[i] = Removal::kFailed;
      continue;
    }
    HANDLE handle = CreateFileW(full.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_WRITE_THROUGH, nullptr);
    const bool not_found = handle == INVALID_HANDLE_VALUE && nothing_there();
    const bool deleted = handle != INVALID_HANDLE_VALUE && CloseHandle(handle);
    const int there = presence(full);
    if (there == 1)
      results[i] = Removal::kFailed;
    else if (there == 0)
      results[i] = not_found ? Removal::kNotThere : Removal::kRemoved;
    else
      results[i] = deleted ? Removal::kRemoved : Removal::kFailed;
  }
  return true;
}

// fastfat refuses a rename while anything holds the target open, so the old
// file is not held here. With write-through the rename writes the new entry
// (the temporary file's first cluster and size) before the FAT page that
// frees the old chain, but sends no flush to the device: FlushFileBuffers on
// a write handle to the new file does, with the file's entry and parents.
Replaced replace_file(const char* from, const char* to) {
  const std::wstring source = system_path(from);
  const std::wstring target = system_path(to);
  if (source.empty() || target.empty())
    return Replaced::kNo;
  if (!MoveFileExW(source.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const int error = errno_from_error(GetLastError());
    const Renamed renamed = failed_rename_left(presence(source), presence(target));
    errno = error;
    if (renamed != Renamed::kYes)
      return renamed == Renamed::kNo ? Replaced::kNo : Replaced::kNotSure;
  }
  return flush_file_at(target) ? Replaced::kDurable : Replaced::kNotSure;
}

Replaced place_file(const char* from, const char* to) {
  return replace_file(from, to);
}

bool open_uncached(const char* path, bool writable, UncachedFile* file) {
  const std::wstring full = system_path(path);
  const DWORD attributes = attributes_of(full);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return full.empty() ? false : set_errno_from_last_error();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    errno = EINVAL;  // no regular file
    return false;
  }
  // Unbuffered: straight to and from the device, whole sectors at a time.
  const DWORD access = writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  const DWORD flags =
      writable ? FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH : FILE_FLAG_NO_BUFFERING;
  HANDLE handle =
      CreateFileW(full.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return set_errno_from_last_error();
  BY_HANDLE_FILE_INFORMATION info;
  LARGE_INTEGER size;
  if (!GetFileInformationByHandle(handle, &info) || !GetFileSizeEx(handle, &size)) {
    set_errno_from_last_error();
    CloseHandle(handle);
    return false;
  }
  file->handle = reinterpret_cast<intptr_t>(handle);
  file->size = size.QuadPart;
  file->identity = {
      info.dwVolumeSerialNumber,
      (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

bool uncached_io(const UncachedFile& file, unsigned char* block, size_t size, long long at,
                 bool write) {
  const auto handle = reinterpret_cast<HANDLE>(file.handle);
  OVERLAPPED where = {};
  where.Offset = static_cast<DWORD>(at);
  where.OffsetHigh = static_cast<DWORD>(at >> 32);
  const auto wanted = static_cast<DWORD>(size);
  DWORD done = 0;
  const BOOL ok = write ? WriteFile(handle, block, wanted, &done, &where)
                        : ReadFile(handle, block, wanted, &done, &where);
  if (!ok) {
    // Unbuffered, a size that is not a whole number of the device's sectors
    // is refused so: the check then tries the next block size.
    if (GetLastError() == ERROR_INVALID_PARAMETER) {
      errno = EINVAL;
      return false;
    }
    return set_errno_from_last_error();
  }
  if (done != wanted) {
    errno = EIO;  // a short block from the device itself
    return false;
  }
  return true;
}

void close_uncached(const UncachedFile& file) {
  CloseHandle(reinterpret_cast<HANDLE>(file.handle));
}

// fastfat answers with the file's clusters: the first extent's logical
// cluster number is where its chain begins.
bool first_extent(const UncachedFile& file, unsigned long long* start) {
  STARTING_VCN_INPUT_BUFFER from = {};
  RETRIEVAL_POINTERS_BUFFER map = {};
  DWORD returned = 0;
  if (!DeviceIoControl(reinterpret_cast<HANDLE>(file.handle), FSCTL_GET_RETRIEVAL_POINTERS, &from,
                       sizeof from, &map, sizeof map, &returned, nullptr)) {
    const DWORD error = GetLastError();
    // One extent is asked for: more of them is no failure.
    if (error != ERROR_MORE_DATA) {
      // A file system without the map, or a file without clusters.
      if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
          error == ERROR_HANDLE_EOF) {
        errno = ENOTSUP;
        return false;
      }
      return set_errno_from_last_error();
    }
  }
  // A true map begins where it was asked to, at the file's first cluster,
  // and its first extent holds at least that one; one that does not (a
  // stand-in's, as wine gives) tells nothing, and no place of its own
  // (-1) neither.
  if (map.ExtentCount == 0 || map.StartingVcn.QuadPart != 0 ||
      map.Extents[0].NextVcn.QuadPart <= 0 || map.Extents[0].Lcn.QuadPart < 0) {
    errno = ENOTSUP;
    return false;
  }
  *start = static_cast<unsigned long long>(map.Extents[0].Lcn.QuadPart);
  return true;
}

bool kept_apart_by_its_file_system(const UncachedFile& file) {
  std::array<wchar_t, MAX_PATH + 1> name{};
  if (!GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(file.handle), nullptr, 0, nullptr,
                                     nullptr, nullptr, name.data(),
                                     static_cast<DWORD>(name.size())))
    return false;
  // FAT, FAT32 and exFAT may hold one chain under two names.
  const std::wstring_view type = name.data();
  return !type.starts_with(L"FAT") && type != L"exFAT";
}
