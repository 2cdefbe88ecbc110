// The player's track database, iPod_Control/iTunes/iTunesSD: an 18-byte file
// header followed by one 558-byte entry record per playable file. Numbers are
// big-endian, 3 bytes wide; the name field holds UTF-16LE units.
//
// The new database is written to a temporary file beside the old one and put
// in its place only when it is complete and on the device, so that a failure
// or an interruption at any step leaves the old database as it was.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "support/failure.h"

constexpr int kFileHeaderSize = 18;
constexpr int kEntrySize = 558;
constexpr int32_t kMaxEntries = 0xFFFFFF;  // what the 3-byte count can hold

// Offsets within the entry record.
constexpr int kTrackFieldsOffset = 6;  // start and stop time and the fields beside them
constexpr int kVolumeOffset = 24;      // 3 bytes; 100 is no adjustment
constexpr int kTypeCodeOffset = 29;
constexpr int kNameFieldStart = 32;  // a zero byte, then the units
constexpr int kNameFieldOffset = 33;
constexpr int kNameFieldUnits = 261;
constexpr int kShuffleFlagOffset = 555;
constexpr int kKeepsPlaceFlagOffset = 556;  // the player remembers where playback stopped

inline constexpr char kItunesDir[] = "iPod_Control/iTunes";
inline constexpr char kDatabasePath[] = "iPod_Control/iTunes/iTunesSD";
inline constexpr char kDatabaseTempPath[] = "iPod_Control/iTunes/iTunesSD.tmp";

// Process-wide state for the whole run.
extern std::array<uint8_t, kFileHeaderSize> file_header;
extern std::array<uint8_t, kEntrySize> entry_header;  // also the staging area
extern FILE* db_file;                                 // the temporary file; null until opened
extern int32_t playable_count;                        // entry records handed to db_file

// Takes the header and the first entry of the existing database over as
// templates when their length fields agree with the layout, and rebuilds
// them from constants otherwise. Prints one line about each. 0, with the
// failure recorded and nothing printed, when the process had no memory or
// descriptors left to read the database with.
[[nodiscard]] int load_templates();

enum class Templates { kRebuilt, kHeaderTaken, kHeaderAndEntryTaken };

// The same from the first bytes of an old database (fewer than 576 when it
// is shorter). A first entry taken over keeps its record bytes but not that
// one track's start, stop and volume, which would apply to every track.
Templates take_templates(std::string_view old);

// Checks that the database can be replaced (a regular file that may be
// written, or none; not a later player's format), clears what a run that
// died left, and starts a new temporary file with the header as a
// placeholder. An interruption from now on removes that file. Returns 1 on
// success; 0, with nothing changed and errno saying why (EROFS for a
// read-only volume), when the database may not be replaced (a refusal:
// permissions, a read-only volume, a directory or a file in use in the
// way); -1 after recording the failure for any other error (a shortage of
// the volume or the process, damage, a vanished device).
[[nodiscard]] int open_database();

// Prints "Fixing iTunesSD header.", stores the count in the header and
// rewrites it at the start of the temporary file. Returns 1 on success, 0
// after recording the failure.
[[nodiscard]] int finalize_header();

// Gives the temporary file the old database's owner and mode, flushes it to
// the device and closes it. Returns 1 on success, 0 after recording the
// failure.
[[nodiscard]] int close_database();

// Renames the closed temporary file over the database and makes the new
// entry durable. so_far says what the run has changed before (the reset
// companion files), for the failure record when the rename is refused.
// Interruptions are held back from just before the rename until
// release_interruptions. Returns 1 on success, 0 after recording the
// failure; the temporary file may then still be there for abandon_database.
[[nodiscard]] int commit_database(Changed so_far);

// Closes and deletes the temporary file, leaving the old database as it was.
void abandon_database();
