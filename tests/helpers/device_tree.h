// A device volume in a temporary directory, and the files in it.
#pragma once

#include <cstddef>
#include <string>

#include "temp_dir.h"

// A volume of its own that holds only so many bytes: a tmpfs (needs root).
struct SmallVolume {
  size_t bytes;
};

// A root directory holding iPod_Control/iTunes.
class DeviceTree {
 public:
  DeviceTree();
  // With the root deeper down: at <temporary>/<folders>/volume, as a player
  // reached through a mount folder deep in another volume.
  explicit DeviceTree(const std::string& folders);
  // On a small volume mounted at the root; mounted() tells whether that
  // worked, and why_not why it did not.
  explicit DeviceTree(SmallVolume volume);
  ~DeviceTree();
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_not_; }

  const fs::path& root() const { return root_; }
  fs::path itunes() const { return root_ / "iPod_Control" / "iTunes"; }
  fs::path database() const { return itunes() / "iTunesSD"; }
  // Creates the file (and its directories) at a path relative to the root.
  void add_file(const std::string& relative, const std::string& content = "") const;
  void add_dir(const std::string& relative) const;

 private:
  TempDir dir_;
  fs::path root_;
  bool mounted_ = false;
  std::string why_not_;
};

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& content);
bool path_exists(const fs::path& path);
