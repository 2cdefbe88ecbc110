// Synthetic device volumes of a given shape, for stress tests and benchmarks.
// Files are empty: the program reads names only.
#pragma once

#include <filesystem>

// A tree four levels deep with about 20 files per directory, every fifth of
// them not music. Returns the number of playable files.
int make_tree_volume(const std::filesystem::path& root, int files);

// One directory, "Flat", holding all the files, every one playable.
int make_flat_volume(const std::filesystem::path& root, int files);

// A chain of one-letter directories as deep as the 255-character path bound
// allows: "a.mp3" whose path is exactly 255 characters long (kept), "ab.mp3"
// beside it (256, skipped), and "x.mp3" in the deepest directory (skipped).
// Returns 1, the one playable file that fits.
int make_deep_volume(const std::filesystem::path& root);

// The depth of the directory that holds "a.mp3" in the deep volume, and of
// the deepest directory.
constexpr int kDeepFileLevel = 124;
constexpr int kDeepestLevel = 127;
