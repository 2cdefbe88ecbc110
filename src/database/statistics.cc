#include "database/statistics.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "database/database.h"
#include "database/entry_writer.h"
#include "database/old_database.h"
#include "failure/failure.h"
#include "system/durable_files.h"
#include "system/interruptions.h"
#include "system/storage_check.h"

namespace {

constexpr const char* kStatisticsPath = kStatisticsFile.data();
constexpr const char* kStatisticsTempPath = kStatisticsTempFile.data();

// A track the player has never played: no place kept, nothing counted.
constexpr std::array<uint8_t, kStatisticsRecordSize> kNewTrackRecord = {
    kStatisticsRecordSize, 0, 0, 0xFF, 0xFF, 0xFF};

struct Carried {
  bool keeping = false;
  std::string old_database;
  std::string old_statistics;
  // Each old track's stored path, and its index: the first of equal ones.
  std::unordered_map<std::string_view, int32_t> old_index;
  std::string new_statistics;  // the header, then one record per new entry
  int32_t kept = 0;
  bool temp_file_ours = false;
  bool leftover_in_question = false;
};
Carried carried;

uint32_t read_field(std::string_view bytes, size_t at) {
  const auto* field = reinterpret_cast<const uint8_t*>(bytes.data() + at);
  return field[0] | (field[1] << 8) | (field[2] << 16);
}

bool sound(std::string_view statistics, int32_t tracks) {
  if (statistics.size() < kStatisticsHeaderSize)
    return false;
  const uint32_t count = read_field(statistics, 0);
  if (count != static_cast<uint32_t>(tracks) ||
      statistics.size() != kStatisticsHeaderSize + size_t{count} * kStatisticsRecordSize)
    return false;
  for (size_t at = kStatisticsHeaderSize; at < statistics.size(); at += kStatisticsRecordSize) {
    if (read_field(statistics, at) != kStatisticsRecordSize)
      return false;
  }
  return true;
}

// Appends the new entry's record: its old one when the old database held
// its stored path, a new track's otherwise.
bool append_record(const uint8_t* record) {
  const auto found = carried.old_index.find(stored_path_key(record));
  if (found == carried.old_index.end()) {
    carried.new_statistics.append(reinterpret_cast<const char*>(kNewTrackRecord.data()),
                                  kNewTrackRecord.size());
    return true;
  }
  carried.new_statistics.append(
      carried.old_statistics,
      kStatisticsHeaderSize + static_cast<size_t>(found->second) * kStatisticsRecordSize,
      kStatisticsRecordSize);
  ++carried.kept;
  return true;
}

// The same, a failed allocation a named failure.
bool carry_record(const uint8_t* record) {
  try {
    return append_record(record);
  } catch (const std::bad_alloc&) {
    record_failure("keeping the statistics", ENOMEM);
    return false;
  }
}

}  // namespace

bool remove_statistics_leftover() {
  // New statistics are written only after the old ones are deleted, so the
  // two names stand together when a crash cut the rename between its two
  // directory writes (one cluster chain under both: removing either name
  // would free the other's clusters), or when the player made statistics
  // anew beside what a killed run left (two files). The storage check
  // parts the two; whatever it cannot tell keeps the left-over.
  constexpr char kCheckingStep[] = "checking the left-over statistics file";
  switch (shares_storage(kStatisticsTempPath, kStatisticsPath, -1)) {
    case Storage::kSeparate:
      break;
    case Storage::kShared:
      carried.leftover_in_question = true;
      record_damage_found(kCheckingStep);
      return false;
    case Storage::kUnknown:
      carried.leftover_in_question = true;
      record_cannot_tell(kCheckingStep);
      return false;
    case Storage::kFailed:
      record_failure(kCheckingStep, errno);
      return false;
  }
  if (remove_leftover(kStatisticsTempPath))
    return true;
  record_failure("removing the left-over statistics file", errno);
  return false;
}

namespace {

bool read_old_statistics_or_throw();

}  // namespace

bool read_old_statistics() {
  try {
    return read_old_statistics_or_throw();
  } catch (const std::bad_alloc&) {
    record_failure("reading the statistics", ENOMEM);
    return false;
  }
}

namespace {

bool read_old_statistics_or_throw() {
  if (!read_whole_file(kStatisticsPath, &carried.old_statistics)) {
    if (errno == ENOENT)
      return true;  // nothing to keep: as without the option
    if (errno != EISDIR && errno != EINVAL) {
      record_failure("reading the statistics", errno);
      return false;
    }
  } else if (!read_old_database(&carried.old_database)) {
    if (errno != ENOENT && errno != EISDIR && errno != EINVAL) {
      record_failure("reading the old database", errno);
      return false;
    }
  }
  // A later player's database is refused as it is: its statistics stay
  // unread, and unmentioned.
  if (is_later_player_database(carried.old_database))
    return true;
  const int32_t tracks = stored_track_count(carried.old_database);
  if (carried.old_database.empty() || !sound(carried.old_statistics, tracks)) {
    std::printf("The statistics do not match the old database: they are reset.\n");
    carried.old_statistics.clear();
    carried.old_database.clear();
    return true;
  }
  for (int32_t i = tracks - 1; i >= 0; --i)
    carried.old_index[stored_path_key(carried.old_database, i)] = i;
  carried.new_statistics.assign(kStatisticsHeaderSize, '\0');
  carried.keeping = true;
  record_sink = carry_record;
  return true;
}

}  // namespace

bool keeping_statistics() {
  return carried.keeping;
}

bool write_new_statistics() {
  if (!carried.keeping)
    return true;
  carried.new_statistics[0] = static_cast<char>(playable_count & 0xFF);
  carried.new_statistics[1] = static_cast<char>((playable_count >> 8) & 0xFF);
  carried.new_statistics[2] = static_cast<char>((playable_count >> 16) & 0xFF);
  // Held back around the creation, so that no interruption leaves the file
  // unarmed.
  hold_interruptions();
  bool made = false;
  FILE* file = create_new_file(kStatisticsTempPath, &made);
  const int error = errno;
  if (made) {
    carried.temp_file_ours = true;
    also_remove_on_interruption(kStatisticsTempPath);
  }
  resume_interruptions();
  if (!file) {
    // Made all the same, it is the run's to remove, as the error exit does.
    record_failure("creating the new statistics", error, Changed::kPlaybackState);
    return false;
  }
  copy_owner_and_mode(file, kDatabasePath);
  const bool written = std::fwrite(carried.new_statistics.data(), 1, carried.new_statistics.size(),
                                   file) == carried.new_statistics.size() &&
                       flush_to_disk(file) && !std::ferror(file);
  const int write_error = std::ferror(file) ? file_error() : errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    record_failure("writing the new statistics", written ? file_error() : write_error,
                   Changed::kPlaybackState);
    return false;
  }
  return true;
}

bool commit_statistics() {
  // The old statistics were deleted before the database's rename.
  const Replaced replaced = place_file(kStatisticsTempPath, kStatisticsPath);
  // One not removed is a left-over, which the next run keeping statistics
  // checks and removes; this run's line says FAILED all the same.
  if (replaced == Replaced::kNo)
    static_cast<void>(abandon_statistics());
  carried.temp_file_ours = false;  // on kNotSure it may be the statistics now
  return replaced == Replaced::kDurable;
}

bool report_kept_statistics(bool committed) {
  std::printf("Keeping statistics of %d of %d tracks ... %s\n", carried.kept, playable_count,
              committed ? "OK." : "FAILED.");
  return committed;
}

int abandon_statistics() {
  const bool removed = !carried.temp_file_ours || remove_own_file(kStatisticsTempPath);
  carried.temp_file_ours = false;
  return removed ? 0 : errno;
}

bool statistics_leftover_in_question() {
  return carried.leftover_in_question;
}
