// The few operating-system services the program needs beyond the C++
// standard library, with one implementation for POSIX and one for Windows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

// Changes the working directory; 0 on success, -1 on failure (like _chdir).
int change_directory(const char* path);

// Flushes the stream and asks the system to put its data on the device.
// Returns 1 on success, 0 on failure with errno set.
int flush_to_disk(FILE* file);

// Puts the file from in the place of to, replacing to if it exists, in one
// step: afterwards to is either the old file or the new one, never a mix.
// Returns 1 on success, 0 on failure with errno set.
int replace_file(const char* from, const char* to);

// A reader that goes away (a closed pipe) must not end the program in the
// middle of replacing the database: writes to it just fail from then on.
void ignore_broken_pipe();

// Converts a path in the system's 8-bit file-name encoding (UTF-8 on POSIX,
// the ANSI code page on Windows) into at most max_units UTF-16 units, as the
// player compares them with the long names on its volume. Returns the number
// of units written.
int path_to_utf16(std::string_view path, uint16_t* units, int max_units);
