// The Windows build and the POSIX build agree byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "run_program.h"
#include "transcript.h"

namespace {

void fill(const DeviceTree& tree) {
  write_file(tree.database(), old_database());
  tree.add_file("iPod_Control/iTunes/iTunesShuffle", "old");
  for (const char* file :
       {"Music/Artist/02 Two.mp3", "Music/Artist/01 One.MP3", "Music/a_b.m4a", "Music/aab.m4p",
        "Books/Part 1.m4b", "talk.aa", "Live/encore.wav", "notes.txt", ".hidden/x.mp3",
        // beyond any ANSI code page
        "\xE6\x97\xA5\xE6\x9C\xAC/\xE6\x9B\xB2.mp3",
        "Polska/\xC5\x81\xC3\xB3"
        "d\xC5\xBA.mp3",
        "\xF0\x9F\x8E\xB5 tune.mp3"})
    tree.add_file(file);
}

TEST(CrossBuild, SameDatabaseAndTranscript) {
  if (!windows_build())
    GTEST_SKIP() << "no Windows build given (TARNWICK_EXE)";
  DeviceTree posix_tree, windows_tree;
  fill(posix_tree);
  fill(windows_tree);
  const RunResult from_posix = run_tarnwick(posix_tree.root(), {.posix_build = true});
  const RunResult from_windows = run_tarnwick(windows_tree.root());
  EXPECT_EQ(from_windows.output, from_posix.output);
  EXPECT_EQ(from_windows.status, from_posix.status);
  EXPECT_EQ(from_posix.status, 0);
  const std::string database = read_file(posix_tree.database());
  EXPECT_EQ(database.size(), 18u + 10 * 558);
  EXPECT_TRUE(read_file(windows_tree.database()) == database) << "databases differ";
  EXPECT_FALSE(path_exists(windows_tree.itunes() / "iTunesShuffle"));
}

}  // namespace
