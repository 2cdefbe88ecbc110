// The walk of the device volume: depth first, and within each directory
// first all subdirectories, then all files, each group in case-insensitive
// name order. It prints one progress line per directory and hands every
// playable file to write_entry, in the order the player will list them.
#pragma once

// Walks the directory at the composed path dir ("." for the device root).
// Names that begin with "." are passed over, and so are Windows' recycle
// bins at the root and entries whose composed path would be longer than
// kMaxComposedPath (each named in a line after its directory's progress
// line). true when the walk is done, whatever directories below the
// root could not be listed; false, after recording the failure, when it stopped:
// the root cannot be listed, the process ran out of memory or descriptors,
// or the database could not take an entry.
[[nodiscard]] bool scan_directory(const char* dir);

// When true, the walk also names each file it leaves out because its kind
// is not playable, in a line after its directory's progress line.
extern bool walk_names_unplayable;

// Sort comparison for pointers to tagged names ("D" or "F" and the name):
// case-insensitive (A-Z only), so directories come before files; names that
// differ only in letter case are ordered by their raw bytes.
int compare_tagged_names(const void* a, const void* b);
