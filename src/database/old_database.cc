#include "database/old_database.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <new>

#include "database/database.h"
#include "system/durable_files.h"
#include "text/utf8.h"

bool read_old_database(std::string* bytes) {
  bytes->clear();
  return read_whole_file(kDatabasePath, bytes);
}

namespace {

FILE* open_for_reading(const char* path, long long* size) {
  FILE* file = nullptr;
  // An open that a signal broke off is made again.
  for (int tries = 0; !file && tries < 64; ++tries) {
    file = open_regular_file(path, size);
    if (!file && errno != EINTR)
      return nullptr;
  }
  return file;
}

}  // namespace

FILE* open_old_database(long long* size) {
  return open_for_reading(kDatabasePath, size);
}

bool read_whole_file(const char* path, std::string* bytes) {
  long long size = 0;
  FILE* file = open_for_reading(path, &size);
  if (!file)
    return false;
  std::array<char, 1 << 16> block;
  size_t got = 0;
  int error = 0;
  try {
    while ((got = std::fread(block.data(), 1, block.size(), file)) > 0)
      bytes->append(block.data(), got);
    error = std::ferror(file) ? file_error() : 0;
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  }
  // Fewer bytes than the file holds, without an error, is a failed read all
  // the same: what the rest held cannot be known.
  if (error == 0 && static_cast<long long>(bytes->size()) != size)
    error = EIO;
  std::fclose(file);
  errno = error;
  return error == 0;
}

int32_t stored_track_count(std::string_view database) {
  if (database.size() < kFileHeaderSize)
    return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(database.data());
  const int32_t count = (bytes[0] << 16) | (bytes[1] << 8) | bytes[2];
  const auto whole = static_cast<int32_t>((database.size() - kFileHeaderSize) / kEntrySize);
  return std::min(count, whole);
}

std::string_view stored_path_key(const uint8_t* record) {
  constexpr size_t kFieldBytes = size_t{2} * kNameFieldUnits;
  const auto* field = reinterpret_cast<const char*>(record + kNameFieldOffset);
  size_t end = 0;
  while (end < kFieldBytes && (field[end] != 0 || field[end + 1] != 0))
    end += 2;
  const bool zeros_after =
      std::all_of(field + end, field + kFieldBytes, [](char c) { return c == 0; });
  return {field, zeros_after ? end : kFieldBytes};
}

std::string_view stored_path_key(std::string_view database, int32_t index) {
  return stored_path_key(reinterpret_cast<const uint8_t*>(database.data()) + kFileHeaderSize +
                         static_cast<size_t>(index) * kEntrySize);
}

std::string path_of_key(std::string_view key) {
  std::u16string units;
  for (size_t i = 0; i + 1 < key.size(); i += 2) {
    const auto unit = static_cast<char16_t>(static_cast<uint8_t>(key[i]) |
                                            (static_cast<uint8_t>(key[i + 1]) << 8));
    if (unit == 0)
      break;
    units.push_back(unit);
  }
  return utf16_to_name(units);
}
