// The few operating-system services the program needs beyond the C++
// standard library, with one implementation for POSIX and one for Windows.
// Results are 1 for success and 0 for failure (with errno set).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

// Opens any of standard input, output and error that is closed on the null
// device, so that no file opened later can take its place and receive the
// console's text. 0 when one is closed and the null device cannot be
// opened: the run must then stop before it opens anything.
[[nodiscard]] int open_standard_streams();

// Sets the console up for the program's text: UTF-8 on Windows.
void prepare_console();

// Changes into path and back to the directory the program started in (not
// to "../..": path may hold links). 1 when both changes succeed.
[[nodiscard]] int visit_directory(const char* path);

// Takes the one lock per player, held until unlock_player or the process ends, so that two
// runs never write the same database at once. When another run holds it,
// calls before_waiting once and waits for that run to end. 1 when the lock
// is held, or when the file system cannot lock at all (the run goes on as
// before); 0 when the lock could not be tried.
[[nodiscard]] int lock_player(const char* itunes_dir, void (*before_waiting)());

// Lets the next run in before this one waits at its end; nothing when no
// lock is held.
void unlock_player();

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
// On macOS every write goes to the device as it is made (O_SYNC): the
// driver otherwise leaves the file's entry and cluster chain for later.
[[nodiscard]] FILE* create_new_file(const char* path);

// Gives the file open as file the permission bits of the file at model, and
// its owner and group where the process may. Nothing when model is absent,
// and nothing on Windows, whose FAT volumes keep neither.
void copy_owner_and_mode(FILE* file, const char* model);

// Flushes the stream and asks the system to put its data on the device.
[[nodiscard]] int flush_to_disk(FILE* file);

// Deletes each of the count files at paths and makes the deletions durable
// on the device, each file's clusters freed only once its entry is gone
// there. results[i] is 1 when the file was deleted, 0 when it was not
// there, -1 when it could not be deleted. Returns 1 when every deletion
// made is on the device, 0 (errno set) when that is not sure.
[[nodiscard]] int remove_for_good(const char* const* paths, int count, int* results);

// What replace_file did.
enum class Replaced {
  kNo,       // to is as it was (errno set)
  kNotSure,  // the rename was made, but may not be on the device (errno set)
  kDurable,  // from is now to, and the entry that says so is on the device
};

// Puts the file from in the place of to, replacing to if it exists, and
// makes the new entry, with the file's first cluster and size, durable on
// the device before the old file's clusters can be reused.
[[nodiscard]] Replaced replace_file(const char* from, const char* to);

// Whether a failed rename left to untouched for certain: it was refused
// (permissions, sharing, a busy file) rather than broken off.
bool rename_was_refused(int error);

// How the user checks the volume's file system on this system.
extern const char* const kFileSystemCheck;

// Neither a reader that goes away (a closed pipe) nor a file-size limit
// may end the program in the middle of replacing the database: those
// writes fail instead, and the failure is reported.
void ignore_write_signals();

// Interruptions: Ctrl-C, Ctrl-\, termination and hang-up (on Windows
// Ctrl-C, Ctrl-Break and closing the console window). Installs the
// handling once, before any file of the run's own exists; until
// remove_on_interruption an interruption just ends the program.
void catch_interruptions();

// Holds interruptions back: one that arrives now takes effect only at
// resume_interruptions or release_interruptions.
void hold_interruptions();

// From now on, and while interruptions are held back, an interruption
// removes the file at path (which must stay valid) before the program ends.
void remove_on_interruption(const char* path);

// Lets held-back interruptions take effect, still removing the file.
void resume_interruptions();

// Forgets the file to remove and lets held-back interruptions take effect.
void release_interruptions();

// Converts a path in the system's 8-bit file-name encoding (UTF-8 on POSIX,
// on macOS in the form the FAT driver stored it; the process code page on
// Windows) into at most max_units UTF-16 units, as
// the player compares them with the long names on its volume. Returns the
// number of units written.
int path_to_utf16(std::string_view path, uint16_t* units, int max_units);
