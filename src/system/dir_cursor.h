// Lists the entries of one directory, one at a time, each as an 8-bit name
// and a directory flag. There is one implementation per platform behind this
// header; both skip links to directories (symbolic links, junctions), and a
// directory is opened inside its parent without following a link, so a walk
// built on it never leaves the volume.
#pragma once

#include <cstdint>
#include <memory>

struct DirCursor;

// What makes a directory the same one however it was reached: the device
// and inode on POSIX, the volume serial number and file ID on Windows.
struct DirIdentity {
  uint64_t volume;
  uint64_t file;
  bool operator==(const DirIdentity&) const = default;
};

// A cursor positioned before the first entry of the directory at path, or
// null, with errno set, when the directory cannot be listed or the cursor
// cannot be allocated (ENOMEM, EMFILE and ENFILE tell the process's own
// shortages from the directory's faults).
// A trailing "/" in path is allowed.
[[nodiscard]] DirCursor* dir_open(const char* path);

// The same for the directory name inside the directory of parent (whose
// listing may have ended), never through a link: a directory exchanged for
// a link since it was listed fails with ELOOP (or ENOTDIR).
[[nodiscard]] DirCursor* dir_open_inside(const DirCursor* parent, const char* name);

// true, and sets name and is_dir (nonzero for a directory) for the next
// entry, in the order the platform delivers them, "." and ".." included where
// the platform lists them. false at the end, on an error (dir_error tells
// which), for a null cursor, and on every call after that. The name stays
// valid until the next dir_next, dir_end_listing or dir_close on the cursor.
[[nodiscard]] bool dir_next(DirCursor* cursor, const char** name, int* is_dir);

// 0 when the listing reached its end; the error code (errno's kind) when it
// broke off part-way, so that what it delivered is not the whole directory.
[[nodiscard]] int dir_error(const DirCursor* cursor);

// The directory's identity, taken when it was opened.
[[nodiscard]] DirIdentity dir_identity(const DirCursor* cursor);

// Ends the listing and frees what it holds, keeping the directory open for
// dir_open_inside.
void dir_end_listing(DirCursor* cursor);

// Ends the listing and frees the cursor; does nothing for null.
void dir_close(DirCursor* cursor);

struct DirCursorCloser {
  void operator()(DirCursor* cursor) const { dir_close(cursor); }
};
using DirCursorPtr = std::unique_ptr<DirCursor, DirCursorCloser>;
