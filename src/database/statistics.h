// The player's statistics, iPod_Control/iTunes/iTunesStats, carried over a
// rebuild (--keep-places): each track's place in it (its bookmark), its
// play and skip counts and two fields the player keeps. Little-endian
// 3-byte fields: the track count and 3 zero bytes, then one 18-byte record
// per track in the database's order.
//
// The new statistics are written to a temporary file, made durable before
// the old statistics are deleted, and put in place only once the new
// database is: a crash leaves the old database and statistics, the old or
// new database with none, or the new pair, never statistics beside a
// database they do not describe.
#pragma once

#include <cstdint>

#include "database/database.h"

inline constexpr auto kStatisticsTempFile = in_itunes_dir("iTunesStats.tmp");
constexpr int kStatisticsHeaderSize = 6;
constexpr int kStatisticsRecordSize = 18;

// Removes what a run that died left of new statistics (only runs that keep
// statistics call it, so that other runs make the calls they always
// made). false after recording the failure: the damage found, or the
// question left open, when the statistics stand beside it and may share
// its storage (see statistics_leftover_in_question).
[[nodiscard]] bool remove_statistics_leftover();

// Whether the recorded damage or open question is the statistics' left-over
// and the statistics (not the database's): two names that may be one
// cluster chain, which only the file system check can part.
bool statistics_leftover_in_question();

// Reads the old database and its statistics, to be carried over. A
// statistics file that does not match the database (its length, a record's
// length field, its count) is reset as without the option, and one line
// says so. false, after recording the failure, only when one of them could
// not be read.
[[nodiscard]] bool read_old_statistics();

// Whether statistics are being carried over: the old ones were sound.
bool keeping_statistics();

// Writes the new statistics, one record per entry the walk wrote, to the
// temporary file and flushes it to the device; called once the old
// statistics are deleted for good, so that the two never stand together. An interruption from now
// until release_interruptions removes it. true when there is nothing to
// keep; false after recording the failure.
[[nodiscard]] bool write_new_statistics();

// Puts the new statistics in place after the new database is: true when
// they are on the device.
bool commit_statistics();

// Prints the statistics' line, "Keeping statistics of K of N tracks ...
// OK." (or "FAILED." when not committed), in place of their reset's line.
// Returns committed.
bool report_kept_statistics(bool committed);

// Removes the temporary statistics file this run made, if any. 0 when it
// is gone (or was never made), otherwise why it could not be removed.
int abandon_statistics();
