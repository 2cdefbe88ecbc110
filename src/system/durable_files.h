// The files and folders on the player: opened without being fooled by what
// stands at a path, created without replacing anything, flushed to the
// device, replaced and removed durably, in each FAT driver's own sequence.
// Each reports failure by returning false (or null, or an outcome that says
// so) with errno set: the cause, in errno's kinds on every system.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>

// Changes into path and back to the directory the program started in (not
// to "../..": path may hold links). true when both changes succeed.
[[nodiscard]] bool visit_directory(const char* path);

// Opens path for reading only if it is a regular file, and sets size to
// its length; never blocks on a FIFO or a device. Null, with errno set,
// otherwise: EINVAL (EISDIR for a folder on Windows) when something other
// than a regular file is there.
[[nodiscard]] FILE* open_regular_file(const char* path, long long* size);

// true when nothing stands at path, or a regular file that may be written;
// there then says which of the two.
[[nodiscard]] bool may_replace(const char* path, bool* there);

// Removes whatever stands at path without following a link: a file, a
// link, a special file or an empty directory. true when nothing is there now.
[[nodiscard]] bool remove_leftover(const char* path);

// Removes the run's own file at path (the temporary file it created).
// true when it is gone (or was never there), false with errno set.
bool remove_own_file(const char* path);

// Why the last read, write, seek or close of a stream on the player
// failed, in errno's kinds. On Windows it is read from the system's last
// error, so that every C runtime (msvcrt, UCRT) reports the same cause.
[[nodiscard]] int file_error();

// Creates a new file at path for writing in binary mode; fails when anything
// stands there already, a link included. Null, with errno set, on failure;
// made then says whether the file was made all the same (a stream that could
// not be put over it, a creation reported failed), for the caller to remove.
// On macOS every write goes to the device as it is made (O_SYNC): the
// driver otherwise leaves the file's entry and cluster chain for later.
[[nodiscard]] FILE* create_new_file(const char* path, bool* made);

// Gives the file open as file the permission bits of the file at model, and
// its owner and group where the process may. Nothing when model is absent,
// and nothing on Windows, whose FAT volumes keep neither.
void copy_owner_and_mode(FILE* file, const char* model);

// Flushes the stream and asks the system to put its data on the device.
[[nodiscard]] bool flush_to_disk(FILE* file);

// What became of one file remove_for_good was to delete.
enum class Removal { kNotThere, kRemoved, kFailed };

// Deletes each of the count files at paths and makes the deletions durable
// on the device, each file's clusters freed only once its entry is gone
// there; results[i] says what became of each. true when every deletion made
// is on the device, false (errno set) when that is not sure.
[[nodiscard]] bool remove_for_good(const char* const* paths, int count, Removal* results);

// What replace_file did.
enum class Replaced {
  kNo,       // to is as it was, from still there (errno set)
  kNotSure,  // the rename was made, but may not be on the device (errno set)
  kDurable,  // from is now to, and the entry that says so is on the device
};

// Puts the file from in the place of to, replacing to if it exists, and
// makes the new entry, with the file's first cluster and size, durable on
// the device before the old file's clusters can be reused.
[[nodiscard]] Replaced replace_file(const char* from, const char* to);

// replace_file for a target where nothing stands (the new statistics):
// Linux's vfat writes the new name first as an empty file and fills in its
// first cluster and size only when the renamed file's entry is written, so
// that entry goes to the device before the directory is flushed. Elsewhere
// it is replace_file.
[[nodiscard]] Replaced place_file(const char* from, const char* to);

// What a rename reported failed did, decided from what the volume holds
// after it: from_there and to_there are 1 when something stands at that
// name, 0 when nothing does, -1 when the system cannot tell. A call may fail
// after it made the change (a device that answers late), or break off.
enum class Renamed { kNo, kYes, kUnknown };
inline Renamed failed_rename_left(int from_there, int to_there) {
  if (from_there == 1)
    return Renamed::kNo;  // the source is still there: nothing was moved
  if (from_there == 0 && to_there == 1)
    return Renamed::kYes;
  return Renamed::kUnknown;
}
