#include "database/database.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "support/platform.h"
#include "support/text.h"

std::array<uint8_t, kFileHeaderSize> file_header;
std::array<uint8_t, kEntrySize> entry_header;
FILE* db_file = nullptr;
int32_t playable_count = 0;

namespace {

std::array<char, 160> failure_text;

// Entry records go out in large blocks rather than a small write each. The
// C library takes a size only together with a buffer of the caller's.
std::array<char, 1 << 16> write_buffer;

bool starts_with(const uint8_t* bytes, std::array<uint8_t, 3> expected) {
  return std::memcmp(bytes, expected.data(), expected.size()) == 0;
}

void rebuild_file_header() {
  file_header.fill(0);
  file_header[3] = 0x01;
  file_header[4] = 0x06;
  file_header[8] = 0x12;
}

void rebuild_entry_header() {
  entry_header.fill(0);
  entry_header[1] = 0x02;
  entry_header[2] = 0x2E;
  entry_header[3] = 0x5A;
  entry_header[4] = 0xA5;
  entry_header[5] = 0x01;
  entry_header[26] = 0x64;
  entry_header[29] = 0x01;
  entry_header[31] = 0x02;
}

}  // namespace

int take_templates(std::string_view old) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(old.data());
  int template_state = 0;
  // A template counts only when its own length field says it is one.
  if (old.size() >= kFileHeaderSize && starts_with(&bytes[6], {0x00, 0x00, 0x12})) {
    template_state = 1;
    std::memcpy(file_header.data(), bytes, kFileHeaderSize);
    if (old.size() >= kFileHeaderSize + kEntrySize &&
        starts_with(&bytes[kFileHeaderSize], {0x00, 0x02, 0x2E})) {
      template_state = 2;
      std::memcpy(entry_header.data(), bytes + kFileHeaderSize, kEntrySize);
    }
  }
  if (template_state == 0) {
    std::printf("Rebuilding iTunesSD file header from scratch.\n");
    rebuild_file_header();
  } else {
    std::printf("Using iTunesSD file header from existing database.\n");
  }
  if (template_state < 2) {
    std::printf("Rebuilding iTunesSD entry header from scratch.\n");
    rebuild_entry_header();
  } else {
    std::printf("Using iTunesSD entry header from existing database.\n");
  }
  return template_state;
}

void load_templates() {
  std::array<char, kFileHeaderSize + kEntrySize> start;
  size_t length = 0;
  if (FILE* old = std::fopen(kDatabasePath, "rb")) {
    length = std::fread(start.data(), 1, start.size(), old);
    std::fclose(old);
  }
  take_templates({start.data(), length});
}

int open_database() {
  // Opening without truncating tells whether the database could be written
  // (not read-only, not a directory) while changing nothing.
  if (FILE* existing = std::fopen(kDatabasePath, "r+b")) {
    std::fclose(existing);
  } else if (errno != ENOENT) {
    return 0;
  }
  db_file = std::fopen(kDatabaseTempPath, "wb");
  if (!db_file)
    return 0;
  std::setvbuf(db_file, write_buffer.data(), _IOFBF, write_buffer.size());
  if (std::fwrite(file_header.data(), file_header.size(), 1, db_file) != 1) {
    abandon_database();
    return 0;
  }
  return 1;
}

int finalize_header() {
  std::printf("Fixing iTunesSD header.\n");
  file_header[0] = static_cast<uint8_t>((playable_count >> 16) & 0xFF);
  file_header[1] = static_cast<uint8_t>((playable_count >> 8) & 0xFF);
  file_header[2] = static_cast<uint8_t>(playable_count & 0xFF);
  if (std::fseek(db_file, 0, SEEK_SET) != 0 ||
      std::fwrite(file_header.data(), file_header.size(), 1, db_file) != 1) {
    database_fail("writing the header", errno);
    return 0;
  }
  return 1;
}

int commit_database() {
  if (!flush_to_disk(db_file)) {
    database_fail("writing to the iPod", errno);
    return 0;
  }
  const int closed = std::fclose(db_file) == 0;
  const int error = errno;
  db_file = nullptr;
  if (!closed) {
    database_fail("closing the file", error);
    return 0;
  }
  if (!replace_file(kDatabaseTempPath, kDatabasePath)) {
    database_fail("replacing iTunesSD", errno);
    return 0;
  }
  return 1;
}

void abandon_database() {
  if (db_file) {
    std::fclose(db_file);
    db_file = nullptr;
  }
  std::remove(kDatabaseTempPath);
}

void database_fail(const char* step, int error) {
  format_text(failure_text.data(), failure_text.size(), "%s: %s", step,
              std::strerror(error));
}

const char* database_failure() {
  return failure_text.data();
}
