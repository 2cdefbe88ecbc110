// The player's track database, iPod_Control/iTunes/iTunesSD: an 18-byte file
// header followed by one 558-byte entry record per playable file. Numbers are
// big-endian, 3 bytes wide; the name field holds UTF-16LE units.
//
// The new database is written to a temporary file beside the old one and put
// in its place only when it is complete and on the device, so that a failure
// at any step leaves the old database as it was.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

constexpr int kFileHeaderSize = 18;
constexpr int kEntrySize = 558;
constexpr int32_t kMaxEntries = 0xFFFFFF;  // what the 3-byte count can hold

inline constexpr char kDatabasePath[] = "iPod_Control/iTunes/iTunesSD";
inline constexpr char kDatabaseTempPath[] = "iPod_Control/iTunes/iTunesSD.tmp";

// Process-wide state for the whole run.
extern std::array<uint8_t, kFileHeaderSize> file_header;
extern std::array<uint8_t, kEntrySize> entry_header;  // also the staging area
extern FILE* db_file;            // the temporary file; null until opened
extern int32_t playable_count;   // entry records handed to db_file

// Takes the header and the first entry of the existing database over as
// templates when their length fields agree with the layout, and rebuilds
// them from constants otherwise. Prints one line about each.
void load_templates();

// The same from the first bytes of an old database (fewer than 576 when it
// is shorter). Returns 0 when both were rebuilt, 1 when the file header was
// taken over, 2 when both were.
int take_templates(std::string_view old);

// Checks that the database can be replaced (a file that may be written, or
// none) and starts the temporary file with the header as a placeholder.
// Returns 1 on success; 0, with nothing changed, when the database cannot be
// replaced.
int open_database();

// Prints "Fixing iTunesSD header.", stores the count in the header and
// rewrites it at the start of the temporary file. Returns 1 on success, 0
// after recording the failure.
int finalize_header();

// Flushes the temporary file to the device, closes it and renames it over
// the database. Returns 1 on success, 0 after recording the failure; the
// temporary file is then still there for abandon_database.
int commit_database();

// Closes and deletes the temporary file, leaving the old database as it was.
void abandon_database();

// Records why the new database cannot be completed: the step and the
// system's error code. A run stops at its first failure, so the record
// holds that one.
void database_fail(const char* step, int error);

// "step: reason" of the recorded failure, or "" when none was.
const char* database_failure();
