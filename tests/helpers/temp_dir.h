// A temporary directory of the test's own, on POSIX and on Windows.
#pragma once

#include <filesystem>

namespace fs = std::filesystem;

// Made empty under the system's temporary directory, and removed, whatever
// its contents' permissions, when the object goes away. On POSIX others may
// traverse it, so that a test can run the program as an ordinary user in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};
