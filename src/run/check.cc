#include "run/check.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "database/database.h"
#include "database/entry_writer.h"
#include "database/old_database.h"
#include "discovery/scan_directory.h"
#include "failure/failure.h"
#include "system/durable_files.h"
#include "system/player_lock.h"
#include "text/text.h"

namespace {

// Stored paths one after another in one block, each found by its end.
struct Keys {
  std::string bytes;
  std::vector<size_t> ends;

  void add(std::string_view key) {
    bytes.append(key);
    ends.push_back(bytes.size());
  }
  std::string_view at(size_t i) const {
    const size_t start = i == 0 ? 0 : ends[i - 1];
    return {bytes.data() + start, ends[i] - start};
  }
  size_t size() const { return ends.size(); }
};

// The old database, read once for its stored paths and then once more
// along with the walk, record by record, so that neither it nor the new
// records are held whole.
struct Comparison {
  FILE* old = nullptr;
  std::array<char, kFileHeaderSize + kEntrySize> start{};
  size_t start_length = 0;
  size_t old_size = 0;
  Keys old_keys;
  Keys new_keys;
  bool records_same = true;
};
Comparison comparison;

// Reads the old database's templates and stored paths. false, with errno
// set, when it could not be read, or gave fewer or more bytes than the
// size it was opened with (what it left out is not known).
bool read_stored_paths(long long size) {
  // A buffer of its own: given none, the C library takes its small default.
  static std::array<char, 1 << 16> read_buffer;
  std::setvbuf(comparison.old, read_buffer.data(), _IOFBF, read_buffer.size());
  comparison.start_length =
      std::fread(comparison.start.data(), 1, comparison.start.size(), comparison.old);
  comparison.old_size = comparison.start_length;
  // The start is where a later player's database shows: a read that gave
  // less of it than the file holds, without an error, tells nothing.
  if (!std::ferror(comparison.old) &&
      static_cast<long long>(comparison.start_length) <
          std::min(size, static_cast<long long>(comparison.start.size()))) {
    errno = EIO;
    return false;
  }
  const int32_t count = stored_track_count({comparison.start.data(), comparison.start_length});
  const auto header_count = comparison.start_length < kFileHeaderSize
                                ? 0
                                : (static_cast<uint8_t>(comparison.start[0]) << 16) |
                                      (static_cast<uint8_t>(comparison.start[1]) << 8) |
                                      static_cast<uint8_t>(comparison.start[2]);
  if (count > 0)
    comparison.old_keys.add(stored_path_key(
        reinterpret_cast<const uint8_t*>(comparison.start.data()) + kFileHeaderSize));
  std::array<uint8_t, kEntrySize> record;
  size_t got = 0;
  while ((got = std::fread(record.data(), 1, record.size(), comparison.old)) > 0) {
    comparison.old_size += got;
    if (got == record.size() && static_cast<int32_t>(comparison.old_keys.size()) < header_count)
      comparison.old_keys.add(stored_path_key(record.data()));
  }
  if (std::ferror(comparison.old)) {
    errno = file_error();
    return false;
  }
  if (static_cast<long long>(comparison.old_size) != size) {
    errno = EIO;  // a short read the system did not explain
    return false;
  }
  if (std::fseek(comparison.old, kFileHeaderSize, SEEK_SET) != 0) {
    errno = file_error();
    return false;
  }
  return true;
}

bool compare_record(const uint8_t* record) {
  comparison.new_keys.add(stored_path_key(record));
  if (!comparison.records_same || !comparison.old)
    return true;
  std::array<uint8_t, kEntrySize> old_record;
  if (std::fread(old_record.data(), 1, old_record.size(), comparison.old) != old_record.size()) {
    if (std::ferror(comparison.old)) {
      record_failure("reading the old database", file_error());
      return false;
    }
    comparison.records_same = false;
    return true;
  }
  comparison.records_same = std::memcmp(old_record.data(), record, kEntrySize) == 0;
  return true;
}

int cannot_tell(const char* why) {
  unlock_player();
  std::printf("Cannot check the database (%s).\n", why);
  return kCheckCannotTell;
}

void print_track(const char* what, std::string_view key) {
  std::printf("%s", what);
  print_name(path_of_key(key).c_str());
  std::printf("\n");
}

// Which of the tracks kept in both lists (their old positions, in the new
// order) stay in order: the longest increasing run, found in n log n.
std::vector<bool> in_order(const std::vector<int32_t>& old_positions) {
  std::vector<int32_t> tails;  // index into old_positions of each run's last element
  std::vector<int32_t> before(old_positions.size(), -1);
  for (size_t i = 0; i < old_positions.size(); ++i) {
    const auto at =
        std::lower_bound(tails.begin(), tails.end(), old_positions[i],
                         [&](int32_t j, int32_t value) { return old_positions[j] < value; });
    if (at != tails.begin())
      before[i] = *(at - 1);
    if (at == tails.end())
      tails.push_back(static_cast<int32_t>(i));
    else
      *at = static_cast<int32_t>(i);
  }
  std::vector<bool> kept(old_positions.size(), false);
  for (int32_t i = tails.empty() ? -1 : tails.back(); i >= 0; i = before[i])
    kept[i] = true;
  return kept;
}

struct Changes {
  int dropped = 0;
  int added = 0;
  int moved = 0;
};

// Prints the tracks dropped, added and moved, and counts them.
Changes print_changes() {
  const Keys& old = comparison.old_keys;
  const Keys& now = comparison.new_keys;
  const auto old_count = static_cast<int32_t>(old.size());
  std::unordered_map<std::string_view, int32_t> old_index;
  for (int32_t i = old_count - 1; i >= 0; --i)
    old_index[old.at(i)] = i;  // the first of equal paths wins
  std::vector<bool> old_kept(old_count, false);
  std::vector<int32_t> match(now.size(), -1);
  std::vector<int32_t> old_positions;
  for (size_t j = 0; j < now.size(); ++j) {
    const auto found = old_index.find(now.at(j));
    if (found != old_index.end() && !old_kept[found->second]) {
      old_kept[found->second] = true;
      match[j] = found->second;
      old_positions.push_back(found->second);
    }
  }
  Changes changes;
  for (int32_t i = 0; i < old_count; ++i) {
    if (!old_kept[i]) {
      print_track("Dropped: ", old.at(i));
      ++changes.dropped;
    }
  }
  const std::vector<bool> stays = in_order(old_positions);
  size_t kept = 0;
  for (size_t j = 0; j < now.size(); ++j) {
    if (match[j] < 0) {
      print_track("Added: ", now.at(j));
      ++changes.added;
    } else if (!stays[kept++]) {
      print_track("Moved: ", now.at(j));
      ++changes.moved;
    }
  }
  return changes;
}

// Names with characters the player's software may not take: anything but
// plain printable ASCII, and the curly apostrophe above all.
void print_doubtful_names() {
  for (size_t j = 0; j < comparison.new_keys.size(); ++j) {
    const std::string_view key = comparison.new_keys.at(j);
    bool plain = true;
    bool apostrophe = false;
    for (size_t i = 0; i + 1 < key.size(); i += 2) {
      const unsigned unit = static_cast<uint8_t>(key[i]) | (static_cast<uint8_t>(key[i + 1]) << 8);
      plain = plain && unit >= 0x20 && unit < 0x7F;
      apostrophe = apostrophe || unit == 0x2019;
    }
    if (apostrophe)
      print_track("May not play, a curly apostrophe (\xE2\x80\x99) in its name: ", key);
    else if (!plain)
      print_track("May not play, a name beyond plain ASCII: ", key);
  }
}

int check_database_or_throw(void (*before_waiting)());

}  // namespace

int check_database(void (*before_waiting)()) {
  // The paths the check compares are held in memory: running out of it
  // means the check cannot tell, never that nothing would change.
  try {
    return check_database_or_throw(before_waiting);
  } catch (const std::bad_alloc&) {
    record_failure("checking the database", ENOMEM);
    return cannot_tell(read_failure());
  }
}

namespace {

int check_database_or_throw(void (*before_waiting)()) {
  switch (find_control_directory()) {
    case Control::kFound:
      break;
    case Control::kMissing:
      return cannot_tell("no iPod control directory, iPod_Control/iTunes, here");
    case Control::kFailed:
      return cannot_tell(read_failure());
  }
  if (!lock_database(before_waiting))
    return cannot_tell(read_failure());
  long long old_size = 0;
  comparison.old = open_old_database(&old_size);
  const bool database_there = comparison.old != nullptr;
  if (!database_there) {
    if (errno == EISDIR || errno == EINVAL)
      return cannot_tell("iTunesSD is not a regular file");
    if (errno != ENOENT) {
      record_failure("reading the old database", errno);
      return cannot_tell(read_failure());
    }
  } else if (!read_stored_paths(old_size)) {
    record_failure("reading the old database", errno);
    return cannot_tell(read_failure());
  }
  const std::string_view start(comparison.start.data(), comparison.start_length);
  if (is_later_player_database(start))
    return cannot_tell("iTunesSD belongs to a later iPod model");
  adopt_templates(start);

  record_sink = compare_record;
  walk_names_unplayable = true;
  std::printf("Searching for files on the iPod.\n");
  const bool walked = scan_directory(".");
  if (comparison.old)
    std::fclose(comparison.old);
  if (!walked)
    return cannot_tell(read_failure());
  unlock_player();
  std::printf("%d playable files were found on your iPod.\n\n", playable_count);

  file_header[0] = static_cast<uint8_t>((playable_count >> 16) & 0xFF);
  file_header[1] = static_cast<uint8_t>((playable_count >> 8) & 0xFF);
  file_header[2] = static_cast<uint8_t>(playable_count & 0xFF);
  const size_t length = kFileHeaderSize + static_cast<size_t>(playable_count) * kEntrySize;
  const bool same = database_there && comparison.records_same && comparison.old_size == length &&
                    comparison.start_length >= kFileHeaderSize &&
                    std::memcmp(comparison.start.data(), file_header.data(), kFileHeaderSize) == 0;
  const Changes changes = database_there ? print_changes() : Changes{};
  print_doubtful_names();
  if (same) {
    std::printf("The database is what a rebuild would write.\n");
    return kCheckSame;
  }
  if (!database_there)
    std::printf("There is no database: a rebuild would write one.\n");
  else if (changes.dropped + changes.added + changes.moved == 0)
    std::printf("A rebuild would rewrite the database: same tracks, same order, other bytes.\n");
  else
    std::printf("A rebuild would change the database: %d added, %d dropped, %d moved.\n",
                changes.added, changes.dropped, changes.moved);
  return kCheckChanges;
}

}  // namespace
