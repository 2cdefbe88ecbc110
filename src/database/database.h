// The player's track database, iPod_Control/iTunes/iTunesSD: an 18-byte file
// header followed by one 558-byte entry record per playable file. Numbers are
// big-endian, 3 bytes wide; the name field holds UTF-16LE units.
//
// The new database is written to a temporary file beside the old one and put
// in its place only when it is complete and on the device, so that a failure
// or an interruption at any step leaves the old database as it was.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "failure/failure.h"
#include "system/durable_files.h"

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

// The player's folder for the database and its companions, and the path of
// a file in it, joined at compile time.
inline constexpr char kItunesDir[] = "iPod_Control/iTunes";
template <size_t kNameSize>
constexpr std::array<char, sizeof kItunesDir + kNameSize> in_itunes_dir(
    const char (&name)[kNameSize]) {
  std::array<char, sizeof kItunesDir + kNameSize> path{};
  size_t at = 0;
  for (size_t i = 0; i + 1 < sizeof kItunesDir; ++i)
    path[at++] = kItunesDir[i];
  path[at++] = '/';
  for (size_t i = 0; i < kNameSize; ++i)
    path[at++] = name[i];
  return path;
}
inline constexpr auto kDatabaseFile = in_itunes_dir("iTunesSD");
inline constexpr auto kDatabaseTempFile = in_itunes_dir("iTunesSD.tmp");
inline constexpr const char* kDatabasePath = kDatabaseFile.data();
inline constexpr const char* kDatabaseTempPath = kDatabaseTempFile.data();

// Process-wide state for the whole run.
extern std::array<uint8_t, kFileHeaderSize> file_header;
extern std::array<uint8_t, kEntrySize> entry_header;  // also the staging area
extern FILE* db_file;                                 // the temporary file; null until opened
extern int32_t playable_count;                        // entry records handed to db_file

// Whether the player's control directory, iPod_Control/iTunes, is there
// to work in: kMissing when it is not (or is no folder), kFailed after
// recording the failure when it could not be reached.
enum class Control { kFound, kMissing, kFailed };
[[nodiscard]] Control find_control_directory();

// Makes this run the only one on the player, saying before_waiting() first
// when another holds it. false after recording the failure.
[[nodiscard]] bool lock_database(void (*before_waiting)());

// Takes the header and the first entry of the existing database over as
// templates when their length fields agree with the layout, and rebuilds
// them from constants otherwise. Prints one line about each, but for a later
// player's database (refused later as it is). Only a database that is not
// there is none: false, with the failure recorded and nothing printed, when
// it could not be opened or read.
[[nodiscard]] bool load_templates();

enum class Templates { kRebuilt, kHeaderTaken, kHeaderAndEntryTaken };

// The same from the first bytes of an old database (fewer than 576 when it
// is shorter). A first entry taken over keeps its record bytes but not that
// one track's start, stop and volume, which would apply to every track.
Templates take_templates(std::string_view old);

// take_templates without its lines.
Templates adopt_templates(std::string_view old);

// Whether the database's first bytes are a later player's (another
// format, never rewritten).
bool is_later_player_database(std::string_view old);

// Checks that the database can be replaced (a regular file that may be
// written, or none; not a later player's format), clears what a run that
// died left, and starts a new temporary file with the header as a
// placeholder. An interruption from now on removes that file. kRefused or
// kReadOnly, with nothing changed, when the database may not be replaced;
// kFailed after recording the failure when the volume is damaged or full,
// or the process has no descriptors left.
enum class Opened { kOpened, kRefused, kReadOnly, kFailed };
[[nodiscard]] Opened open_database();

// Prints "Fixing iTunesSD header.", stores the count in the header and
// rewrites it at the start of the temporary file. true on success, false
// after recording the failure.
[[nodiscard]] bool finalize_header();

// Gives the temporary file the old database's owner and mode, flushes it to
// the device and closes it. true on success, false after recording the
// failure.
[[nodiscard]] bool close_database();

// The player's playback state, statistics and shuffle sequence, which
// describe the old track list: deleted durably before the rename, so that
// the new database never meets them.
inline constexpr auto kPlaybackStateFile = in_itunes_dir("iTunesPState");
inline constexpr auto kStatisticsFile = in_itunes_dir("iTunesStats");
inline constexpr auto kShuffleFile = in_itunes_dir("iTunesShuffle");
inline constexpr std::array<const char*, 3> kCompanionPaths = {
    kPlaybackStateFile.data(), kStatisticsFile.data(), kShuffleFile.data()};

// Deletes the companions for good; outcomes says what became of each.
// false after recording the failure when the deletions may not be on the
// device.
[[nodiscard]] bool reset_companions(std::array<Removal, kCompanionPaths.size()>* outcomes);

// Renames the closed temporary file over the database and makes the new
// entry durable. so_far says what the run has changed before (the reset
// companion files), for the failure record when the rename is refused.
// Interruptions are held back from just before the rename until
// release_interruptions. true on success, false after recording the
// failure; the temporary file may then still be there for abandon_database.
[[nodiscard]] bool commit_database(Changed so_far);

// Whether load_templates found an old database file.
[[nodiscard]] bool had_old_database();

// Closes and deletes the temporary file, leaving the old database as it was.
// 0, or the error that kept the temporary file from being deleted.
[[nodiscard]] int abandon_database();
