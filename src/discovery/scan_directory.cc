#include "discovery/scan_directory.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "database/database.h"
#include "database/entry_writer.h"
#include "discovery/file_extension.h"
#include "support/dir_cursor.h"
#include "support/grow_buffer.h"
#include "support/text.h"

namespace {

constexpr int kPathBufferSize = 256;  // a composed path and its terminator
constexpr int32_t kNameChunk = 262144;
constexpr int32_t kListChunk = 1024;
constexpr std::array<std::string_view, 6> kPlayableExtensions = {"mp3", "wav", "aa",
                                                                  "m4a", "m4b", "m4p"};

bool is_playable(const char* name) {
  const std::string_view extension = file_extension(name);
  return std::ranges::any_of(kPlayableExtensions,
                             [&](std::string_view playable) { return extension == playable; });
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
  const int32_t offset = growbuf_append(list.names.get(), name.data(),
                                        static_cast<int32_t>(name.size()) + 1);
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
    std::qsort(growbuf_at(sorted.get(), 0), static_cast<size_t>(list.count),
               sizeof(const char*), compare_tagged_names);
  return sorted;
}

const char* sorted_name(const GrowBuffer* sorted, int32_t j) {
  const char* name;
  std::memcpy(&name, growbuf_at(sorted, j * static_cast<int32_t>(sizeof name)), sizeof name);
  return name;
}

int out_of_memory() {
  database_fail("searching for files", ENOMEM);
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
  if (std::strcmp(dir, ".") == 0)
    std::printf("%c: ", '/');
  else
    std::printf("%s: ", device_path);
  std::fflush(stdout);

  DirCursorPtr cursor(dir_open(dir));
  if (!cursor) {
    std::printf("cannot browse\n");
    return 1;
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
    if (!is_dir && !is_playable(name))
      continue;
    // The composed path is the longest text made from the name, so a name
    // whose path fits makes a tagged name that fits too.
    bool added;
    if (dir_length + 1 + std::strlen(name) >= kPathBufferSize) {
      added = name_list_add(too_long, name);
    } else {
      const int length = format_text(buffer.data(), buffer.size(), "%c%s", is_dir ? 'D' : 'F', name);
      added = name_list_add(accepted, {buffer.data(), static_cast<size_t>(length)});
      files += !is_dir;
    }
    if (!added) {
      std::printf("out of memory\n");  // ends the progress line
      return out_of_memory();
    }
  }
  cursor.reset();  // at most one listing is open at any time
  std::printf("%d files\n", files);

  GrowBufferPtr skipped = name_list_sort(too_long);
  GrowBufferPtr sorted = name_list_sort(accepted);
  if (!skipped || !sorted)
    return out_of_memory();
  for (int32_t j = 0; j < too_long.count; ++j)
    std::printf("Skipped, path too long: %s/%s\n", device_path, sorted_name(skipped.get(), j));
  skipped.reset();
  too_long.names.reset();

  for (int32_t j = 0; j < accepted.count; ++j) {
    const char* tagged = sorted_name(sorted.get(), j);
    format_text(buffer.data(), buffer.size(), "%s%c%s", dir, '/', tagged + 1);
    const int ok = tagged[0] == 'D' ? scan_directory(buffer.data()) : write_entry(buffer.data());
    if (!ok)
      return 0;
  }
  return 1;
}
