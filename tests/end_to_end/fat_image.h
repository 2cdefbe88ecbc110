// A FAT32 image for tests: filled with mtools, mounted through FUSE with
// fusefat, and read back without mounting.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "run_program.h"
#include "transcript.h"

class FatImage {
 public:
  // Why FAT32 images cannot be used here, or "" when they can.
  static std::string unavailable();

  explicit FatImage(int megabytes);
  ~FatImage();
  FatImage(const FatImage&) = delete;
  FatImage& operator=(const FatImage&) = delete;

  // Creates a file at a path below the image's root ("Music/a.mp3"), and
  // its folders, with mtools.
  void add_file(const std::string& path, const std::string& content = "");
  void add_dir(const std::string& path);
  // Rewrites the first run of these UTF-16 units in the image's long names,
  // for names mtools cannot write (above U+FFFF). Same number of units.
  void replace_name_units(const std::u16string& from, const std::u16string& to);
  // What mtools reads of a file, and whether it finds it.
  std::string read(const std::string& path) const;
  bool has(const std::string& path) const;
  long free_bytes() const;

  // Mounts the image through fusefat (rw+); false, with *why, on failure.
  bool mount(std::string* why);
  // Unmounts and waits for fusefat to end, killing it and unmounting lazily
  // when it does not; false, with *why, when it had to.
  bool unmount(std::string* why);
  const fs::path& mount_point() const { return mount_point_; }

  // Every entry below the root, as "/dir/name" in UTF-16 long-name units read
  // from the image's own directory records (no re-encoding).
  struct Item {
    std::u16string path;
    bool is_dir;
  };
  std::vector<Item> items() const;

 private:
  void mtools(std::vector<std::string> argv) const;
  TempDir dir_;
  fs::path image_;
  fs::path mount_point_;
  std::set<std::string> made_dirs_;
  pid_t fusefat_ = -1;
};
