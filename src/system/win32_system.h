// What every Windows file of the system layer shares: failures taken from
// the system's last error (never from the C runtime's errno, which differs
// between msvcrt and UCRT), and paths in the form the wide calls take.
// Windows only.
#pragma once

#include <windows.h>

#include <string>

// The errno kind of a Windows error: the one translation every Windows file
// of the program uses. A vanished or failing device and a damaged volume are
// input/output errors (EIO), so that the user is sent to the file system
// check; a write-protected volume is EROFS; a refusal (access, sharing, a
// lock) EACCES; a shortage of the volume or the process ENOSPC, ENOMEM or
// EMFILE; nothing at the path ENOENT. Any error it does not list is EIO,
// and its code goes to the failure record (note_system_code), so that the
// message names it.
int errno_from_error(DWORD error);

// Sets errno from GetLastError() and returns 0, the failure result.
bool set_errno_from_last_error();

// Whether the last call failed because nothing stands at its path.
bool nothing_there();

// The program's 8-bit path (UTF-8, with any unpaired surrogate of a
// Windows name encoded on its own; relative to the current folder or
// absolute, with "/" or "\") as the absolute UTF-16 path the wide calls
// take at any length: "\\?\" before a drive path, "\\?\UNC\" before a
// share. Every name is kept as it is: no "." or ".." is resolved beyond
// the program's own "./" and no trailing dot or space is dropped. Empty,
// with errno ENOMEM when memory ran out, and with errno and the last error
// as the failing call left them when the
// current folder cannot be read.
std::wstring system_path(const char* path);
