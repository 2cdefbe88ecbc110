// The enumerator's contract; built for POSIX and for Windows.
#include "system/dir_cursor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "temp_dir.h"

namespace {

void touch(const TempDir& dir, const std::string& name) {
  std::ofstream(dir.path() / name).put('x');
}

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
  EXPECT_EQ(dir_next(cursor.get(), &name, &is_dir), 0) << "the end stays the end";
  return entries;
}

// The composed-path form the walk uses: forward slashes.
std::string generic(const fs::path& path) {
  return path.generic_string();
}

TEST(DirCursor, ListsNamesWithTheirKind) {
  TempDir dir;
  touch(dir, "a.mp3");
  touch(dir, "B");
  fs::create_directory(dir.path() / "sub");
  touch(dir, "sub/inner.mp3");
  const std::map<std::string, bool> expected = {
      {".", true}, {"..", true}, {"a.mp3", false}, {"B", false}, {"sub", true}};
  EXPECT_EQ(list(generic(dir.path())), expected) << "no recursion into sub";
  EXPECT_EQ(list(generic(dir.path()) + "/"), expected) << "a trailing separator changes nothing";
}

TEST(DirCursor, FirstEntryIsHeldBackUntilAskedFor) {
  TempDir dir;
  touch(dir, "only.mp3");
  DirCursorPtr cursor(dir_open(generic(dir.path()).c_str()));
  ASSERT_NE(cursor, nullptr);
  std::map<std::string, int> seen;
  const char* name;
  int is_dir;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(dir_next(cursor.get(), &name, &is_dir), 1) << "entry " << i;
    ++seen[name];
  }
  EXPECT_EQ(seen, (std::map<std::string, int>{{".", 1}, {"..", 1}, {"only.mp3", 1}}));
  EXPECT_EQ(dir_next(cursor.get(), &name, &is_dir), 0);
}

TEST(DirCursor, LinksToDirectoriesAreLeftOut) {
#ifdef _WIN32
  GTEST_SKIP() << "making a junction needs privileges the test does not have";
#else
  TempDir dir;
  touch(dir, "a.mp3");
  fs::create_directory(dir.path() / "sub");
  fs::create_directory_symlink("sub", dir.path() / "link-to-dir");
  fs::create_directory_symlink("..", dir.path() / "loop");
  fs::create_symlink("a.mp3", dir.path() / "link-to-file.mp3");
  fs::create_symlink("missing", dir.path() / "dangling.mp3");
  const std::map<std::string, bool> expected = {{".", true},
                                                {"..", true},
                                                {"a.mp3", false},
                                                {"sub", true},
                                                {"link-to-file.mp3", false},
                                                {"dangling.mp3", false}};
  EXPECT_EQ(list(generic(dir.path())), expected);
#endif
}

TEST(DirCursor, NullWhereNothingCanBeListed) {
  TempDir dir;
  touch(dir, "file");
  EXPECT_EQ(dir_open(generic(dir.path() / "missing").c_str()), nullptr);
  EXPECT_EQ(dir_open(generic(dir.path() / "file").c_str()), nullptr);
  const char* name;
  int is_dir;
  EXPECT_EQ(dir_next(nullptr, &name, &is_dir), 0);
  dir_close(nullptr);
}

}  // namespace
