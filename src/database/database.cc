#include "database/database.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <string_view>

#include "failure/failure.h"
#include "system/durable_files.h"
#include "system/interruptions.h"
#include "system/player_lock.h"
#include "system/storage_check.h"

std::array<uint8_t, kFileHeaderSize> file_header;
std::array<uint8_t, kEntrySize> entry_header;
FILE* db_file = nullptr;
int32_t playable_count = 0;

namespace {

// Entry records go out in large blocks rather than a small write each. The
// C library takes a size only together with a buffer of the caller's.
std::array<char, 1 << 16> write_buffer;

// The database of a 3rd or 4th generation shuffle begins with these bytes;
// it has another format, and rewriting it would lose that player's library.
constexpr std::string_view kLaterPlayerMagic = "bdhs";
bool later_player_database = false;
bool old_database_found = false;

// Whether iTunesSD.tmp is this run's: only then may abandon_database remove
// it (before the lock is held it may be another run's).
bool temp_file_ours = false;

constexpr char kReplacingStep[] = "replacing iTunesSD";
constexpr char kReadingStep[] = "reading the old database";
constexpr char kCheckingStep[] = "checking the left-over temporary file";

// A refusal (the volume, the folder or what stands at the name says no) is
// told as such; any other error is recorded as step's failure.
Opened refused_or_failed(const char* step, int error) {
  if (is_refusal(error))
    return error == EROFS ? Opened::kReadOnly : Opened::kRefused;
  record_failure(step, error);
  return Opened::kFailed;
}

bool starts_with(const uint8_t* bytes, std::array<uint8_t, 3> expected) {
  return std::memcmp(bytes, expected.data(), expected.size()) == 0;
}

void rebuild_file_header() {
  file_header.fill(0);
  file_header[3] = 0x01;
  file_header[4] = 0x06;
  file_header[8] = 0x12;
}

// The start and stop time and the volume of a track that plays whole, at
// its own volume.
void clear_track_fields() {
  std::fill(&entry_header[kTrackFieldsOffset], &entry_header[kVolumeOffset], 0);
  entry_header[kVolumeOffset] = 0x00;
  entry_header[kVolumeOffset + 1] = 0x00;
  entry_header[kVolumeOffset + 2] = 0x64;
}

void rebuild_entry_header() {
  entry_header.fill(0);
  entry_header[1] = 0x02;
  entry_header[2] = 0x2E;
  entry_header[3] = 0x5A;
  entry_header[4] = 0xA5;
  entry_header[5] = 0x01;
  clear_track_fields();
  entry_header[kTypeCodeOffset] = 0x01;
  entry_header[31] = 0x02;
}

// What read_start found at a path.
enum class Read {
  kRead,    // the bytes, all of them up to the buffer's size
  kNoFile,  // nothing there (ENOENT), or no regular file (EINVAL, EISDIR)
  kFailed,  // the device or the process failed (errno says why)
};

// Reads up to into.size() bytes from the start of the regular file at
// path into into, making an open or a read that a signal broke off again.
// A read that gives fewer bytes than the file holds, even without an
// error, is a failure: what it left out is not known.
Read read_start(const char* path, std::span<char> into, size_t* length) {
  for (int tries = 0; tries < 64; ++tries) {
    long long size = 0;
    FILE* file = open_regular_file(path, &size);
    if (!file) {
      if (errno == EINTR)
        continue;
      return errno == ENOENT || errno == EINVAL || errno == EISDIR ? Read::kNoFile : Read::kFailed;
    }
    *length = std::fread(into.data(), 1, into.size(), file);
    int error = std::ferror(file) ? file_error() : 0;
    std::fclose(file);
    const auto expected = size < 0 ? size_t{0} : std::min(static_cast<size_t>(size), into.size());
    if (error == 0 && *length == expected)
      return Read::kRead;
    errno = error != 0 ? error : EIO;  // a short read the system did not explain
    if (error != EINTR)
      return Read::kFailed;
  }
  return Read::kFailed;
}

// The offset of a byte in the left-over temporary file that the player
// never reads: in the padding after an entry's name, one unit past the zero
// unit that ends it, in the first entries; -1 when there is none. false,
// with errno set, when the device or the process failed the reading.
bool leftover_padding_offset(long* offset) {
  *offset = -1;
  std::array<char, 8192> start;
  size_t size = 0;
  switch (read_start(kDatabaseTempPath, start, &size)) {
    case Read::kRead:
      break;
    case Read::kNoFile:
      return true;  // nothing to check, or no file the check looks at
    case Read::kFailed:
      // One the process may not read is checked without the byte.
      return !is_device_or_process_failure(errno) && errno != EINTR;
  }
  const auto* head = reinterpret_cast<const unsigned char*>(start.data());
  for (size_t entry = kFileHeaderSize; entry + kEntrySize <= size; entry += kEntrySize) {
    for (size_t unit = entry + kNameFieldOffset; unit + 3 < entry + kShuffleFlagOffset; unit += 2) {
      if (head[unit] == 0 && head[unit + 1] == 0) {
        *offset = static_cast<long>(unit + 2);
        return true;
      }
    }
  }
  return true;
}

}  // namespace

bool is_later_player_database(std::string_view old) {
  return old.starts_with(kLaterPlayerMagic);
}

Templates adopt_templates(std::string_view old) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(old.data());
  Templates taken = Templates::kRebuilt;
  // A template counts only when its own length field says it is one.
  if (old.size() >= kFileHeaderSize && starts_with(&bytes[6], {0x00, 0x00, 0x12})) {
    taken = Templates::kHeaderTaken;
    std::memcpy(file_header.data(), bytes, kFileHeaderSize);
    if (old.size() >= kFileHeaderSize + kEntrySize &&
        starts_with(&bytes[kFileHeaderSize], {0x00, 0x02, 0x2E})) {
      taken = Templates::kHeaderAndEntryTaken;
      std::memcpy(entry_header.data(), bytes + kFileHeaderSize, kEntrySize);
      clear_track_fields();
    }
  }
  if (taken == Templates::kRebuilt)
    rebuild_file_header();
  if (taken != Templates::kHeaderAndEntryTaken)
    rebuild_entry_header();
  return taken;
}

Templates take_templates(std::string_view old) {
  const Templates taken = adopt_templates(old);
  if (taken == Templates::kRebuilt) {
    std::printf("Rebuilding iTunesSD file header from scratch.\n");
  } else {
    std::printf("Using iTunesSD file header from existing database.\n");
  }
  if (taken != Templates::kHeaderAndEntryTaken) {
    std::printf("Rebuilding iTunesSD entry header from scratch.\n");
  } else {
    std::printf("Using iTunesSD entry header from existing database.\n");
  }
  return taken;
}

Control find_control_directory() {
  if (visit_directory(kItunesDir))
    return Control::kFound;
  // Only a folder that is not there is a missing control directory; any
  // other failure (a vanished device, damage, no memory) is named.
  if (errno == ENOENT || errno == ENOTDIR)
    return Control::kMissing;
  record_failure("opening the iPod control directory", errno);
  return Control::kFailed;
}

bool lock_database(void (*before_waiting)()) {
  if (lock_player(kItunesDir, before_waiting))
    return true;
  record_failure("locking the database", errno);
  return false;
}

bool load_templates() {
  std::array<char, kFileHeaderSize + kEntrySize> start;
  size_t length = 0;
  // Only a database that is not there is no database. Any other failure
  // to open or read it says nothing of what it holds: rebuilding the
  // templates from scratch would throw a 1st or 2nd generation player's
  // away, and could replace a later player's database unseen.
  switch (read_start(kDatabasePath, start, &length)) {
    case Read::kRead:
      old_database_found = true;
      break;
    case Read::kNoFile:
      length = 0;  // nothing there, or no file: open_database refuses the latter
      break;
    case Read::kFailed:
      record_maybe_refused(kReadingStep, errno);
      return false;
  }
  const std::string_view old_bytes(start.data(), length);
  later_player_database = is_later_player_database(old_bytes);
  // A later player's database is refused as it is: no template is made.
  if (!later_player_database)
    take_templates(old_bytes);
  return true;
}

Opened open_database() {
  if (later_player_database)
    return Opened::kRefused;
  bool there = false;
  if (!may_replace(kDatabasePath, &there))
    return refused_or_failed("opening the database", errno);
  // A database this run did not read (the system said none was there, or
  // another program has put one there since) may be a later player's: it
  // is refused as one, never replaced unseen.
  if (there && !old_database_found)
    return Opened::kRefused;
  // Runs are one at a time, so whatever has the temporary file's name is
  // left from a run that died, or was put there: it is removed, never
  // opened or followed.
  // A left-over on the database's own clusters (a crash in the middle of a
  // rename on a "sync" mount leaves both names on one chain) must stay:
  // removing it would free the database's clusters. Only the file system
  // check can part the two.
  long offset = -1;
  const Storage storage = leftover_padding_offset(&offset)
                              ? shares_storage(kDatabaseTempPath, kDatabasePath, offset)
                              : Storage::kFailed;
  if (storage == Storage::kShared) {
    record_damage_found(kCheckingStep);
    return Opened::kFailed;
  }
  // Neither the device nor the system's map could say: removing it could
  // free the database's clusters.
  if (storage == Storage::kUnknown) {
    record_cannot_tell(kCheckingStep);
    return Opened::kFailed;
  }
  // A check the device or the process failed vouches for nothing: the
  // left-over stays until one can look.
  if (storage == Storage::kFailed) {
    record_failure(kCheckingStep, errno);
    return Opened::kFailed;
  }
  // A read-only volume is refused here as it is with a database present.
  if (!remove_leftover(kDatabaseTempPath))
    return refused_or_failed("removing the left-over temporary file", errno);
  // An interruption between the creation and the arming would leave the
  // file behind.
  hold_interruptions();
  bool made = false;
  db_file = create_new_file(kDatabaseTempPath, &made);
  const int error = errno;
  // Made but not opened, it is still the run's to remove.
  if (made) {
    temp_file_ours = true;
    remove_on_interruption(kDatabaseTempPath);
  }
  resume_interruptions();
  if (!db_file) {
    // Made, but no stream over it: removed now, since a refusal ends the
    // run without the error exit that removes it.
    if (const int not_removed = made ? abandon_database() : 0; not_removed != 0) {
      record_failure("removing the temporary file", not_removed);
      return Opened::kFailed;
    }
    return refused_or_failed("creating the temporary file", error);
  }
  std::setvbuf(db_file, write_buffer.data(), _IOFBF, write_buffer.size());
  if (std::fwrite(file_header.data(), file_header.size(), 1, db_file) != 1 ||
      std::ferror(db_file)) {
    record_failure("writing the header", file_error());
    return Opened::kFailed;
  }
  return Opened::kOpened;
}

bool finalize_header() {
  std::printf("Fixing iTunesSD header.\n");
  // A write of entries that failed without its call saying so (some C
  // runtimes report a failed flush only in the stream's error flag).
  if (std::ferror(db_file)) {
    record_failure("writing an entry", file_error());
    return false;
  }
  file_header[0] = static_cast<uint8_t>((playable_count >> 16) & 0xFF);
  file_header[1] = static_cast<uint8_t>((playable_count >> 8) & 0xFF);
  file_header[2] = static_cast<uint8_t>(playable_count & 0xFF);
  // The entries still buffered go out first, so that their failure is
  // seen here and not lost in the seek.
  if (std::fflush(db_file) != 0 || std::fseek(db_file, 0, SEEK_SET) != 0 ||
      std::fwrite(file_header.data(), file_header.size(), 1, db_file) != 1 ||
      std::ferror(db_file)) {
    record_failure("writing the header", file_error());
    return false;
  }
  return true;
}

bool close_database() {
  copy_owner_and_mode(db_file, kDatabasePath);
  if (!flush_to_disk(db_file) || std::ferror(db_file)) {
    record_failure("writing to the iPod", std::ferror(db_file) ? file_error() : errno);
    return false;
  }
  const int closed = std::fclose(db_file) == 0;
  const int error = closed ? 0 : file_error();
  db_file = nullptr;
  if (!closed) {
    record_failure("closing the file", error);
    return false;
  }
  return true;
}

bool reset_companions(std::array<Removal, kCompanionPaths.size()>* outcomes) {
  if (remove_for_good(kCompanionPaths.data(), static_cast<int>(outcomes->size()), outcomes->data()))
    return true;
  record_failure("resetting the playback state", errno, Changed::kPlaybackState);
  return false;
}

bool commit_database(Changed so_far) {
  // From the rename on, an interruption must wait: the run then ends with
  // the new database in place and the temporary name gone.
  hold_interruptions();
  switch (replace_file(kDatabaseTempPath, kDatabasePath)) {
    case Replaced::kDurable:
      temp_file_ours = false;
      return true;
    case Replaced::kNo:
      // The temporary file is still there under its own name: the rename
      // was not made, whatever the call's error.
      record_failure(kReplacingStep, errno, so_far);
      return false;
    case Replaced::kNotSure:
      break;
  }
  temp_file_ours = false;  // it is the database now, or may be: never removed
  record_failure(kReplacingStep, errno, Changed::kDatabase);
  return false;
}

bool had_old_database() {
  return old_database_found;
}

int abandon_database() {
  if (db_file) {
    std::fclose(db_file);
    db_file = nullptr;
  }
  const int removed = !temp_file_ours || remove_own_file(kDatabaseTempPath);
  temp_file_ours = false;
  return removed ? 0 : errno;
}
