// Windows' fastfat: write-through handles and the flushes it forwards to
// the device.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include "support/durable_files.h"
#include "support/win32_errors.h"

namespace {

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

int visit_directory(const char* path) {
  char* start = _getcwd(nullptr, 0);
  if (!start)
    return 0;
  const int visited = _chdir(path) == 0 && _chdir(start) == 0;
  std::free(start);
  return visited;
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
