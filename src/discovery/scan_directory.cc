#include "discovery/scan_directory.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "database/entry_writer.h"
#include "database/track_kind.h"
#include "discovery/grow_buffer.h"
#include "failure/failure.h"
#include "system/dir_cursor.h"
#include "text/mac_names.h"
#include "text/paths.h"
#include "text/text.h"

bool walk_names_unplayable = false;

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
// false: the walk stops.
bool stop_searching(int error) {
  std::printf("%s\n", error == ENOMEM ? "out of memory" : "out of file handles");
  record_failure("searching for files", error);
  return false;
}

// A folder that cannot be opened or listed whole: its line says so and none
// of it is stored. true when the walk goes on: only for a folder below the
// root that the user may not read (or that is no longer a folder there).
// A device that fails to list it stops the run before anything changes:
// the database would leave out what is there, and say it succeeded.
bool cannot_browse(int error, bool at_root) {
  if (is_process_shortage(error))
    return stop_searching(error);
  std::printf("cannot browse\n");
  if (!at_root && may_not_browse(error))
    return true;
  // Without the root's listing, the database would describe nothing.
  record_failure("searching for files", error);
  return false;
}

// Starts the progress line of the folder at the composed path dir.
void print_progress_head(const char* dir) {
  if (std::strcmp(dir, ".") == 0) {
    std::printf("%c: ", '/');
  } else {
    print_name(dir + 1);
    std::printf(": ");
  }
  std::fflush(stdout);
}

// Whether the composed path dir is the player's control folder or inside it.
bool in_control_folder(const char* dir) {
  constexpr std::string_view kControl = "./iPod_Control";
  const std::string_view path = dir;
  if (path.size() < kControl.size() ||
      (path.size() > kControl.size() && path[kControl.size()] != '/'))
    return false;
  const std::string head(path.substr(0, kControl.size()));
  return compare_ignoring_case(head.c_str(), kControl.data()) == 0;
}

// The name as the walk uses it: on the Mac, the form the FAT driver stored
// (the listing gives it decomposed, with FAT's forbidden characters mapped
// back), so that the order, the path bound, the lines and the records are
// those of every other system for the same volume.
const char* walk_name(const char* listed,
                      [[maybe_unused]] std::array<char, kMaxListedNameBytes>& stored) {
#ifdef TARNWICK_MAC_NAMES
  if (mac_stored_name(listed, stored.data(), stored.size()) >= 0)
    return stored.data();
#endif
  return listed;
}

// One folder's entries that the walk keeps, in walk order: each a tagged
// name ("D" or "F" and the name), a directory's followed by a terminator and
// the name to open it by; those whose path would be too long set aside.
struct Listing {
  NameList accepted = name_list_create(kNameChunk);
  NameList too_long = name_list_create(kListChunk);
  NameList unplayable = walk_names_unplayable ? name_list_create(kListChunk) : NameList{};
  int32_t files = 0;
  GrowBufferPtr sorted;
  GrowBufferPtr skipped;
  GrowBufferPtr not_playable;
};

// Lists the folder open as cursor at the composed path dir into listing and
// sorts it. false, with the error that broke the listing off in error.
bool list_and_sort(DirCursor* cursor, const char* dir, Listing& listing, int* error) {
  const bool at_root = std::strcmp(dir, ".") == 0;
  const size_t dir_length = std::strlen(dir);
  // The player's own files are no music left out.
  const bool names_unplayable = walk_names_unplayable && !in_control_folder(dir);
  std::array<char, kPathBufferSize + kMaxListedNameBytes> buffer;
  std::array<char, kMaxListedNameBytes> stored;
  const char* listed;
  int is_dir;
  while (dir_next(cursor, &listed, &is_dir)) {
    // Hidden names, "." and ".." among them, as listed: in the stored form
    // a lone period would already be mapped.
    if (listed[0] == '.')
      continue;
    const char* name = walk_name(listed, stored);
    if (is_dir ? at_root && is_recycle_bin(name) : !track_kind(name)) {
      if (!is_dir && names_unplayable && !name_list_add(listing.unplayable, name)) {
        *error = ENOMEM;
        return false;
      }
      continue;
    }
    // The composed path is the longest text made from the name, so a name
    // whose path fits makes a tagged name that fits too.
    bool added;
    const size_t name_length = std::strlen(name);
    if (dir_length + 1 + name_length > kMaxComposedPath) {
      added = name_list_add(listing.too_long, name);
    } else {
      const int length =
          is_dir ? format_text(buffer.data(), buffer.size(), "D%s%c%s", name, '\0', listed)
                 : format_text(buffer.data(), buffer.size(), "F%s", name);
      added = length >= 0 &&
              name_list_add(listing.accepted, {buffer.data(), static_cast<size_t>(length)});
      listing.files += !is_dir;
    }
    if (!added) {
      *error = ENOMEM;
      return false;
    }
  }
  if ((*error = dir_error(cursor)) != 0)
    return false;
  dir_end_listing(cursor);  // only one listing is open at any time
  listing.skipped = name_list_sort(listing.too_long);
  listing.sorted = name_list_sort(listing.accepted);
  if (walk_names_unplayable)
    listing.not_playable = name_list_sort(listing.unplayable);
  *error = ENOMEM;
  return listing.skipped && listing.sorted && (!walk_names_unplayable || listing.not_playable);
}

// The folders on the way down from the root. Each level adds at least two
// bytes ("/" and a name) to a path, so the bound on paths bounds the depth.
struct Trail {
  std::array<DirIdentity, kMaxComposedPath / 2 + 2> folders;
  size_t depth = 0;
};

bool walk_folder(const char* dir, DirCursor* cursor, Trail& trail);

// One line for each name of the folder at the composed path dir that the
// walk leaves out, as sorted.
void print_left_out(const char* why, const char* dir, const NameList& names,
                    const GrowBuffer* sorted) {
  for (int32_t j = 0; j < names.count; ++j) {
    std::printf("%s", why);
    print_name(dir + 1);
    std::printf("/");
    print_name(sorted_name(sorted, j));
    std::printf("\n");
  }
}

// Lists the folder open as cursor, ends its progress line and walks what it
// holds in order.
bool walk_listing(const char* dir, DirCursor* cursor, Trail& trail) {
  Listing listing;
  if (int error = 0; !list_and_sort(cursor, dir, listing, &error))
    return cannot_browse(error, std::strcmp(dir, ".") == 0);
  std::printf("%d files\n", listing.files);
  print_left_out("Skipped, path too long: ", dir, listing.too_long, listing.skipped.get());
  listing.skipped.reset();
  listing.too_long.names.reset();
  print_left_out("Skipped, not a playable kind: ", dir, listing.unplayable,
                 listing.not_playable.get());
  listing.not_playable.reset();
  listing.unplayable.names.reset();

  std::array<char, kPathBufferSize> path;
  for (int32_t j = 0; j < listing.accepted.count; ++j) {
    const char* tagged = sorted_name(listing.sorted.get(), j);
    if (format_text(path.data(), path.size(), "%s%c%s", dir, '/', tagged + 1) < 0)
      continue;  // cannot happen: longer paths were set aside above
    if (tagged[0] == 'F') {
      if (!write_entry(path.data()))
        return false;
      continue;
    }
    print_progress_head(path.data());
    // Opened inside this folder, never through a link that took its place
    // since the listing: nothing outside the volume is listed.
    DirCursorPtr child(dir_open_inside(cursor, tagged + std::strlen(tagged) + 1));
    if (!child ? !cannot_browse(errno, false) : !walk_folder(path.data(), child.get(), trail))
      return false;
  }
  return true;
}

// Walks the folder open as cursor, whose progress line has begun, unless it
// is one of the folders on the way down to it.
bool walk_folder(const char* dir, DirCursor* cursor, Trail& trail) {
  const DirIdentity identity = dir_identity(cursor);
  for (size_t i = 0; i < trail.depth; ++i) {
    if (trail.folders[i] == identity) {
      // A damaged volume, or a folder mounted inside itself: entering it
      // would never end, or list its tracks twice.
      std::printf("skipped, a folder that contains itself\n");
      return true;
    }
  }
  if (trail.depth == trail.folders.size())
    return cannot_browse(ENAMETOOLONG, false);
  trail.folders[trail.depth++] = identity;
  const int walked = walk_listing(dir, cursor, trail);
  --trail.depth;
  return walked;
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

bool scan_directory(const char* dir) {
  print_progress_head(dir);
  DirCursorPtr cursor(dir_open(dir));
  if (!cursor)
    return cannot_browse(errno, std::strcmp(dir, ".") == 0);
  Trail trail;
  return walk_folder(dir, cursor.get(), trail);
}
