// What the POSIX directory cursor reads a folder's entries with: one
// lister per kind of system, behind this header (dir_lister_getdents.cc on
// Linux, dir_lister_readdir.cc elsewhere). POSIX only.
#pragma once

struct DirLister;

// One entry as the listing gives it: its name and its d_type.
struct ListedEntry {
  const char* name;
  unsigned char type;
};

// A lister over fd, a descriptor open on a directory, which the caller
// keeps and closes. Null, with errno set, on failure.
[[nodiscard]] DirLister* lister_open(int fd);

// true and the next entry (valid until the next call or lister_close);
// false at the end (errno 0) or on an error (errno set).
[[nodiscard]] bool lister_next(DirLister* lister, ListedEntry* entry);

// Frees the lister; does nothing for null.
void lister_close(DirLister* lister);
