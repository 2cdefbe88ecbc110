// The few operating-system services the program needs beyond the C++
// standard library, with one implementation for POSIX and one for Windows.
#pragma once

#include <cstdio>

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
