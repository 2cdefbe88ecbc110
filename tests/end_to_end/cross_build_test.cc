// The Windows build and the POSIX build agree byte for byte, on volumes
// whose names reach beyond any ANSI code page. CTest runs these once with
// the shipped tarnwick.exe and once with a build whose manifest lacks the
// UTF-8 code page, under a Western ANSI code page, as Windows before 10
// version 1903 runs the program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "run_program.h"
#include "transcript.h"

namespace {

struct CrossCase {
  std::string name;
  std::vector<std::string> files;
  size_t entries;
  std::string mount_folders = "";  // where the player's root lies
  // The Windows program refuses, as Windows without the long-path opt-in
  // does, every path of 260 characters or more not in the "\\?\" form (the
  // fault layer's long-path mode, where its build is given).
  bool long_paths_refused = false;
};

class CrossBuild : public testing::TestWithParam<CrossCase> {};

void fill(const DeviceTree& tree, const CrossCase& c) {
  write_file(tree.database(), old_database());
  tree.add_file("iPod_Control/iTunes/iTunesShuffle", "old");
  for (const auto& file : c.files)
    tree.add_file(file);
}

TEST_P(CrossBuild, SameDatabaseAndTranscript) {
  if (!windows_build())
    GTEST_SKIP() << "no Windows build given (TARNWICK_EXE)";
  const CrossCase& c = GetParam();
  DeviceTree posix_tree(c.mount_folders), windows_tree(c.mount_folders);
  fill(posix_tree, c);
  fill(windows_tree, c);
  const RunResult from_posix = run_tarnwick(posix_tree.root(), {.posix_build = true});
  RunOptions windows_options;
  if (c.long_paths_refused)
    windows_options = {.fault_layer = true, .environment = {"TARNWICK_LONG_PATHS=refuse"}};
  const RunResult from_windows = run_tarnwick(windows_tree.root(), windows_options);
  EXPECT_EQ(from_windows.output, from_posix.output);
  EXPECT_EQ(from_windows.status, from_posix.status);
  EXPECT_EQ(from_posix.status, 0);
  const std::string database = read_file(posix_tree.database());
  EXPECT_EQ(database.size(), 18u + c.entries * 558);
  EXPECT_TRUE(read_file(windows_tree.database()) == database) << "databases differ";
  EXPECT_FALSE(path_exists(windows_tree.itunes() / "iTunesShuffle"));
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, CrossBuild,
    testing::Values(CrossCase{"order_and_kinds",
                              {"Music/Artist/02 Two.mp3", "Music/Artist/01 One.MP3",
                               "Music/a_b.m4a", "Music/aab.m4p", "Books/Part 1.m4b", "talk.aa",
                               "Live/encore.wav", "notes.txt", ".hidden/x.mp3"},
                              7},
                    CrossCase{"files_beyond_any_code_page",
                              {"\xE6\x97\xA5\xE6\x9C\xAC/\xE6\x9B\xB2.mp3",
                               "Polska/\xC5\x81\xC3\xB3"
                               "d\xC5\xBA.mp3",
                               "\xF0\x9F\x8E\xB5 tune.mp3", "caf\xC3\xA9.mp3"},
                              4},
                    // Each folder must be listed and opened by its own name.
                    CrossCase{
                        "folders_in_chinese_greek_cyrillic_and_emoji",
                        {"\xE4\xB8\xAD\xE6\x96\x87/\xE6\xAD\x8C.mp3",
                         "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC/"
                         "\xCE\xA4\xCF\x81\xCE\xB1\xCE\xB3\xCE\xBF\xCF\x8D\xCE\xB4\xCE\xB9.mp3",
                         "\xD0\x9A\xD0\xB8\xD1\x80\xD0\xB8\xD0\xBB\xD0\xBB\xD0\xB8\xD1\x86\xD0\xB0/"
                         "\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F.mp3",
                         "\xF0\x9F\x98\x80 Mix/\xF0\x9F\x8E\xB8/solo.m4a", "caf\xC3\xA9.mp3"},
                        5},
                    // The player's root 200 characters deep: with the paths below
                    // it, past Windows' old 260-character limit.
                    CrossCase{"player_reached_through_a_long_folder_path",
                              {std::string(120, 'm') + "/" + std::string(60, 'n') + ".mp3",
                               "\xE6\x97\xA5\xE6\x9C\xAC/" + std::string(100, 'x') + ".m4a"},
                              2,
                              std::string(100, 'a') + "/" + std::string(99, 'b'),
                              true}),
    NameOfCase());

}  // namespace
