#include "database/entry_writer.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "database/database.h"
#include "discovery/file_extension.h"
#include "support/platform.h"

namespace {

constexpr int kTypeCodeOffset = 29;
constexpr int kNameFieldOffset = 33;
constexpr int kNameFieldUnits = 261;
constexpr int kFlagOffset = 555;
constexpr size_t kMaxComposedPath = 255;

// Leaves byte 29 alone for an extension of no known type.
void set_type_code(const char* extension) {
  uint8_t code = 0;
  if (std::strcmp(extension, "mp3") == 0)
    code = 1;
  else if (std::strcmp(extension, "m4a") == 0 || std::strcmp(extension, "m4b") == 0 ||
           std::strcmp(extension, "m4p") == 0)
    code = 2;
  else if (std::strcmp(extension, "aa") == 0 || std::strcmp(extension, "wav") == 0)
    code = 4;
  if (code != 0)
    entry_header[kTypeCodeOffset] = code;
}

}  // namespace

int write_entry(const char* path) {
  if (!path || path[0] == '\0' || std::strlen(path) > kMaxComposedPath)
    return 1;
  if (playable_count >= kMaxEntries) {
    database_fail("counting the files", EOVERFLOW);
    return 0;
  }
  const char* extension = file_extension(path);
  set_type_code(extension);
  const bool bookmarkable = std::strcmp(extension, "m4b") == 0 || std::strcmp(extension, "aa") == 0;
  ++playable_count;

  std::array<uint16_t, kNameFieldUnits> units;
  const int count = path_to_utf16(path + 1, units.data(), kNameFieldUnits);
  std::memset(&entry_header[32], 0, kEntrySize - 32);
  for (int i = 0; i < count; ++i) {
    entry_header[kNameFieldOffset + 2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
    entry_header[kNameFieldOffset + 2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
  entry_header[kFlagOffset] = bookmarkable ? 0 : 1;

  if (std::fwrite(entry_header.data(), entry_header.size(), 1, db_file) != 1) {
    database_fail("writing an entry", errno);
    return 0;
  }
  return 1;
}
