// The few operating-system services the program needs beyond the C++
// standard library, with one implementation for POSIX and one for Windows.
// Results are 1 for success and 0 for failure (with errno set).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

// Opens any of standard input, output and error that is closed on the null
// device, so that no file opened later can take its place and receive the
// console's text.
void open_standard_streams();

// Sets the console up for the program's text: UTF-8 on Windows.
void prepare_console();

// Changes into path and back to the directory the program started in (not
// to "../..": path may hold links). 1 when both changes succeed.
[[nodiscard]] int visit_directory(const char* path);

// Takes the one lock per player, held until the process ends, so that two
// runs never write the same database at once. When another run holds it,
// calls before_waiting once and waits for that run to end. 1 when the lock
// is held, or when the file system cannot lock at all (the run goes on as
// before); 0 when the lock could not be tried.
[[nodiscard]] int lock_player(const char* itunes_dir, void (*before_waiting)());

// Opens path for reading only if it is a regular file; never blocks on a
// FIFO or a device. Null, with errno set, otherwise.
[[nodiscard]] FILE* open_regular_file(const char* path);

// 1 when nothing stands at path, or a regular file that may be written.
[[nodiscard]] int may_replace(const char* path);

// Removes whatever stands at path without following a link: a file, a
// link, a special file or an empty directory. 1 when nothing is there now.
[[nodiscard]] int remove_leftover(const char* path);

// Creates a new file at path for writing in binary mode; fails when anything
// stands there already, a link included. Null, with errno set, on failure.
[[nodiscard]] FILE* create_new_file(const char* path);

// Gives the file open as file the permission bits of the file at model, and
// its owner and group where the process may. Nothing when model is absent,
// and nothing on Windows, whose FAT volumes keep neither.
void copy_owner_and_mode(FILE* file, const char* model);

// Flushes the stream and asks the system to put its data on the device.
[[nodiscard]] int flush_to_disk(FILE* file);

// Puts the file from in the place of to, replacing to if it exists, and
// makes the new name durable on the device.
[[nodiscard]] int replace_file(const char* from, const char* to);

// A reader that goes away (a closed pipe) must not end the program in the
// middle of replacing the database: writes to it just fail from then on.
void ignore_broken_pipe();

// Interruptions: Ctrl-C, termination and hang-up (on Windows also
// Ctrl-Break and closing the console window). Once this is called, an
// interruption removes the file at path (which must stay valid) before the
// program ends, until release_interruptions.
void remove_on_interruption(const char* path);

// Holds interruptions back: one that arrives now takes effect only at
// release_interruptions.
void hold_interruptions();

// Forgets the file to remove and lets held-back interruptions take effect.
void release_interruptions();

// Converts a path in the system's 8-bit file-name encoding (UTF-8 on POSIX,
// the process code page on Windows) into at most max_units UTF-16 units, as
// the player compares them with the long names on its volume. Returns the
// number of units written.
int path_to_utf16(std::string_view path, uint16_t* units, int max_units);
