#include "discovery/scan_directory.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "database/entry_writer.h"
#include "discovery/track_kind.h"
#include "support/dir_cursor.h"
#include "support/failure.h"
#include "support/grow_buffer.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

constexpr size_t kPathBufferSize = kMaxComposedPath + 1;  // and its terminator
constexpr int32_t kNameChunk = 262144;
constexpr int32_t kListChunk = 1024;

// Where Windows keeps the files deleted from a volume (Vista and later, XP,
// 98): at the root, they are not the user's music.
constexpr const char* kRecycleBins[] = {"$RECYCLE.BIN", "RECYCLER", "RECYCLED"};

bool is_recycle_bin(const char* name) {
  return std::any_of(std::begin(kRecycleBins), std::end(kRecycleBins),
                     [&](const char* bin) { return compare_ignoring_case(name, bin) == 0; });
}

// Errors of the process, not of the directory: going on would write a
// database that lacks whatever could not be listed.
bool is_process_error(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// Names kept one after another in one block that may move while it grows,
// so each is remembered by its offset.
struct NameList {
  GrowBufferPtr names;
  GrowBufferPtr index;  // the 4-byte offset of each name within names
  int32_t count;
};

NameList name_list_create(int32_t chunk) {
  return {GrowBufferPtr(growbuf_create(chunk)), GrowBufferPtr(growbuf_create(kListChunk)), 0};
}

bool name_list_add(NameList& list, std::string_view name) {
  if (!list.names || !list.index)
    return false;
  // Append the terminator with the name, as one piece.
  const int32_t offset =
      growbuf_append(list.names.get(), name.data(), static_cast<int32_t>(name.size()) + 1);
  if (offset < 0 || growbuf_append(list.index.get(), &offset, sizeof offset) < 0)
    return false;
  ++list.count;
  return true;
}

// Pointers to the list's names in sorted order, made only now that the
// names no longer move. Frees the index. Null when memory ran out.
GrowBufferPtr name_list_sort(NameList& list) {
  GrowBufferPtr sorted(growbuf_create(kListChunk));
  if (!sorted)
    return nullptr;
  for (int32_t j = 0; j < list.count; ++j) {
    int32_t offset;
    std::memcpy(&offset, growbuf_at(list.index.get(), 4 * j), sizeof offset);
    const char* name = reinterpret_cast<const char*>(growbuf_at(list.names.get(), offset));
    if (growbuf_append(sorted.get(), &name, sizeof name) < 0)
      return nullptr;
  }
  list.index.reset();
  if (list.count > 0)
    std::qsort(growbuf_at(sorted.get(), 0), static_cast<size_t>(list.count), sizeof(const char*),
               compare_tagged_names);
  return sorted;
}

const char* sorted_name(const GrowBuffer* sorted, int32_t j) {
  const char* name;
  std::memcpy(&name, growbuf_at(sorted, j * static_cast<int32_t>(sizeof name)), sizeof name);
  return name;
}

// Ends the progress line with what went wrong and records the failure.
int stop_searching(int error) {
  std::printf("%s\n", error == ENOMEM ? "out of memory" : "out of file handles");
  record_failure("searching for files", error);
  return 0;
}

}  // namespace

int compare_tagged_names(const void* a, const void* b) {
  const char* x = *static_cast<const char* const*>(a);
  const char* y = *static_cast<const char* const*>(b);
  const int order = compare_ignoring_case(x, y);
  // strcmp compares as unsigned bytes: a fixed order for names that differ
  // only in case.
  return order != 0 ? order : std::strcmp(x, y);
}

int scan_directory(const char* dir) {
  const char* device_path = dir + 1;
  const bool at_root = std::strcmp(dir, ".") == 0;
  if (at_root) {
    std::printf("%c: ", '/');
  } else {
    print_name(device_path);
    std::printf(": ");
  }
  std::fflush(stdout);

  DirCursorPtr cursor(dir_open(dir));
  if (!cursor) {
    const int error = errno;
    if (is_process_error(error))
      return stop_searching(error);
    std::printf("cannot browse\n");
    if (!at_root)
      return 1;
    // Without the root's listing, the database would describe nothing.
    record_failure("searching for files", error);
    return 0;
  }

  NameList accepted = name_list_create(kNameChunk);  // tagged names
  NameList too_long = name_list_create(kListChunk);
  int32_t files = 0;
  const size_t dir_length = std::strlen(dir);
  std::array<char, kPathBufferSize> buffer;
  const char* name;
  int is_dir;
  while (dir_next(cursor.get(), &name, &is_dir)) {
    if (name[0] == '.')
      continue;
    if (is_dir ? at_root && is_recycle_bin(name) : !track_kind(name))
      continue;
    // The composed path is the longest text made from the name, so a name
    // whose path fits makes a tagged name that fits too.
    bool added;
    if (dir_length + 1 + std::strlen(name) > kMaxComposedPath) {
      added = name_list_add(too_long, name);
    } else {
      const int length =
          format_text(buffer.data(), buffer.size(), "%c%s", is_dir ? 'D' : 'F', name);
      added = length >= 0 && name_list_add(accepted, {buffer.data(), static_cast<size_t>(length)});
      files += !is_dir;
    }
    if (!added)
      return stop_searching(ENOMEM);
  }
  cursor.reset();  // at most one listing is open at any time
  std::printf("%d files\n", files);

  GrowBufferPtr skipped = name_list_sort(too_long);
  GrowBufferPtr sorted = name_list_sort(accepted);
  if (!skipped || !sorted) {
    record_failure("searching for files", ENOMEM);
    return 0;
  }
  for (int32_t j = 0; j < too_long.count; ++j) {
    std::printf("Skipped, path too long: ");
    print_name(device_path);
    std::printf("/");
    print_name(sorted_name(skipped.get(), j));
    std::printf("\n");
  }
  skipped.reset();
  too_long.names.reset();

  for (int32_t j = 0; j < accepted.count; ++j) {
    const char* tagged = sorted_name(sorted.get(), j);
    if (format_text(buffer.data(), buffer.size(), "%s%c%s", dir, '/', tagged + 1) < 0)
      continue;  // cannot happen: longer paths were set aside above
    const int ok = tagged[0] == 'D' ? scan_directory(buffer.data()) : write_entry(buffer.data());
    if (!ok)
      return 0;
  }
  return 1;
}
