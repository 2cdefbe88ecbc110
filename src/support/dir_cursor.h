// Lists the entries of one directory, one at a time, each as an 8-bit name
// and a directory flag. There is one implementation per platform behind this
// header; both skip links to directories (symbolic links, junctions), so a
// walk built on it never loops and never reaches a directory twice.
#pragma once

#include <memory>

struct DirCursor;

// A cursor positioned before the first entry of the directory at path, or
// null, with errno set, when the directory cannot be listed or the cursor
// cannot be allocated (ENOMEM, EMFILE and ENFILE tell the process's own
// shortages from the directory's faults).
// A trailing "/" in path is allowed.
[[nodiscard]] DirCursor* dir_open(const char* path);

// Returns 1 and sets name and is_dir (nonzero for a directory) for the next
// entry, in the order the platform delivers them, "." and ".." included where
// the platform lists them. Returns 0 at the end, on an error (the two are not
// told apart), for a null cursor, and on every call after that. The name
// stays valid until the next dir_next or dir_close on the cursor.
[[nodiscard]] int dir_next(DirCursor* cursor, const char** name, int* is_dir);

// Ends the listing and frees the cursor; does nothing for null.
void dir_close(DirCursor* cursor);

struct DirCursorCloser {
  void operator()(DirCursor* cursor) const { dir_close(cursor); }
};
using DirCursorPtr = std::unique_ptr<DirCursor, DirCursorCloser>;
