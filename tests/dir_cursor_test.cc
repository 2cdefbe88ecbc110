#include "support/dir_cursor.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "device_tree.h"

namespace {

// Every entry the cursor yields, with its directory flag.
std::map<std::string, bool> list(const std::string& path) {
  std::map<std::string, bool> entries;
  DirCursorPtr cursor(dir_open(path.c_str()));
  EXPECT_NE(cursor, nullptr) << path;
  const char* name;
  int is_dir;
  while (dir_next(cursor.get(), &name, &is_dir)) {
    EXPECT_EQ(entries.count(name), 0u) << "listed twice: " << name;
    entries[name] = is_dir != 0;
  }
  EXPECT_EQ(dir_next(cursor.get(), &name, &is_dir), 0) << "the end stays the end";
  return entries;
}

TEST(DirCursor, ListsNamesWithTheirKind) {
  TempDir dir;
  write_file(dir.path() / "a.mp3", "");
  write_file(dir.path() / "B", "");
  fs::create_directory(dir.path() / "sub");
  fs::create_directory_symlink("sub", dir.path() / "link-to-dir");
  fs::create_directory_symlink("..", dir.path() / "loop");
  fs::create_symlink("a.mp3", dir.path() / "link-to-file.mp3");
  fs::create_symlink("missing", dir.path() / "dangling.mp3");

  const std::map<std::string, bool> expected = {
      {".", true},      {"..", true},
      {"a.mp3", false}, {"B", false},
      {"sub", true},    {"link-to-file.mp3", false},
      {"dangling.mp3", false},
  };
  EXPECT_EQ(list(dir.path().string()), expected) << "links to directories are left out";
  EXPECT_EQ(list(dir.path().string() + "/"), expected) << "a trailing separator changes nothing";
}

TEST(DirCursor, NullWhereNothingCanBeListed) {
  TempDir dir;
  write_file(dir.path() / "file", "");
  EXPECT_EQ(dir_open((dir.path() / "missing").c_str()), nullptr);
  EXPECT_EQ(dir_open((dir.path() / "file").c_str()), nullptr);
  const char* name;
  int is_dir;
  EXPECT_EQ(dir_next(nullptr, &name, &is_dir), 0);
  dir_close(nullptr);
}

}  // namespace
