#include <windows.h>

#include <cstdio>
#include <string>

#include "system/player_lock.h"
#include "system/win32_system.h"

namespace {

HANDLE player_lock = nullptr;

}  // namespace

bool lock_player(const char* itunes_dir, void (*before_waiting)()) {
  // The volume's serial number and the folder's file ID name the player
  // however it is reached: another drive letter, a subst, a mount folder.
  const std::wstring path = system_path(itunes_dir);
  if (path.empty())
    return false;
  HANDLE folder =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return set_errno_from_last_error();
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL known = GetFileInformationByHandle(folder, &info);
  CloseHandle(folder);
  if (!known)
    return set_errno_from_last_error();
  // Formatted by the C runtime: the program then needs no USER32.DLL, whose
  // start in a process binds it to a desktop (and can fail for want of one).
  char name[80];
  std::snprintf(name, sizeof name, "Local\\tarnwick-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                info.nFileIndexHigh, info.nFileIndexLow);
  // A named mutex leaves nothing on the player and is released when its
  // holder ends, however it ends.
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
    return true;
  }
  set_errno_from_last_error();
  CloseHandle(mutex);
  return false;
}

void unlock_player() {
  if (player_lock) {
    ReleaseMutex(player_lock);
    CloseHandle(player_lock);
  }
  player_lock = nullptr;
}
