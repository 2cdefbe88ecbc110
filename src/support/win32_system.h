// What every Windows file of the system layer shares: failures taken from
// the system's last error (never from the C runtime's errno, which differs
// between msvcrt and UCRT), and paths in the form the wide calls take.
// Windows only.
#pragma once

#include <string>

// Sets errno from GetLastError() and returns 0, the failure result.
int set_errno_from_last_error();

// Whether the last call failed because nothing stands at its path.
int nothing_there();

// The program's 8-bit path (UTF-8, with any unpaired surrogate of a
// Windows name encoded on its own; relative to the current folder or
// absolute, with "/" or "\") as the absolute UTF-16 path the wide calls
// take at any length: "\\?\" before a drive path, "\\?\UNC\" before a
// share. Every name is kept as it is: no "." or ".." is resolved beyond
// the program's own "./" and no trailing dot or space is dropped. Empty,
// with errno set, when the current folder cannot be read.
std::wstring system_path(const char* path);
