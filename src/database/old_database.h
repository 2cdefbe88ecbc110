// The old database read whole, for what a run compares with it or carries
// over from it: its track count and each track's stored path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Appends the whole regular file at path to bytes. false, with errno set,
// when it could not be opened or read.
[[nodiscard]] bool read_whole_file(const char* path, std::string* bytes);

// Opens the database for reading, making an open that a signal broke off
// again, and sets size to its length. Null, with errno set, as
// read_old_database fails.
[[nodiscard]] FILE* open_old_database(long long* size);

// Reads the whole database into bytes. false, with errno set, when it
// could not be opened or read (ENOENT: there is none; EINVAL or EISDIR:
// something other than a regular file stands there).
[[nodiscard]] bool read_old_database(std::string* bytes);

// The number of entry records the database holds: the header's count,
// bounded by the records its length holds whole.
int32_t stored_track_count(std::string_view database);

// The name field of a record (522 bytes, UTF-16LE units and zero units
// after them) as a key that is equal for two records exactly when their
// name fields are: the units up to the first zero unit when only zero
// units follow it, the whole field otherwise.
std::string_view stored_path_key(const uint8_t* record);

// The key of the track at index in the database.
std::string_view stored_path_key(std::string_view database, int32_t index);

// The path a key names, in the program's 8-bit form, for printing.
std::string path_of_key(std::string_view key);
