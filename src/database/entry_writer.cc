#include "database/entry_writer.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "database/database.h"
#include "database/track_kind.h"
#include "failure/failure.h"
#include "system/durable_files.h"
#include "system/system_names.h"
#include "text/paths.h"

bool (*record_sink)(const uint8_t* record) = nullptr;

bool write_entry(const char* path) {
  if (!path || path[0] == '\0' || std::strlen(path) > kMaxComposedPath)
    return true;
  const TrackKind* kind = track_kind(path);
  if (!kind)
    return true;
  if (playable_count >= kMaxEntries) {
    record_failure("counting the files", EOVERFLOW);
    return false;
  }
  entry_header[kTypeCodeOffset] = kind->type_code;
  ++playable_count;

  std::array<uint16_t, kNameFieldUnits> units;
  const int count = path_to_utf16(path + 1, units.data(), kNameFieldUnits);
  std::memset(&entry_header[kNameFieldStart], 0, kEntrySize - kNameFieldStart);
  for (int i = 0; i < count; ++i) {
    entry_header[kNameFieldOffset + 2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
    entry_header[kNameFieldOffset + 2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
  entry_header[kShuffleFlagOffset] = kind->joins_shuffle ? 1 : 0;
  entry_header[kKeepsPlaceFlagOffset] = kind->keeps_place ? 1 : 0;

  if (record_sink && !record_sink(entry_header.data()))
    return false;
  if (!db_file)
    return true;
  // The stream's flag too: some C runtimes report a failed flush only there,
  // and its cause is known only now.
  if (std::fwrite(entry_header.data(), entry_header.size(), 1, db_file) != 1 ||
      std::ferror(db_file)) {
    record_failure("writing an entry", file_error());
    return false;
  }
  return true;
}
