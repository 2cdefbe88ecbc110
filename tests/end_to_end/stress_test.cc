// Large and extreme volumes: each run completes with every entry right.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "run_program.h"
#include "synthetic_volume.h"
#include "transcript.h"

namespace {

std::u16string units(const std::string& ascii) {
  return {ascii.begin(), ascii.end()};
}

std::string chain(int levels) {
  std::string path;
  for (int i = 0; i < levels; ++i)
    path += "/d";
  return path;
}

std::string six_digits(int number) {
  std::string text = std::to_string(number);
  return std::string(6 - text.size(), '0') + text;
}

std::vector<std::u16string> run_and_read(const DeviceTree& tree, RunResult* run) {
  *run = run_tarnwick(tree.root());
  EXPECT_EQ(run->status, 0) << run->output.substr(run->output.size() -
                                                  std::min<size_t>(run->output.size(), 2000));
  return entry_names(read_file(tree.database()));
}

TEST(Stress, HundredThousandFiles) {
  DeviceTree tree;
  const int playable = make_tree_volume(tree.root(), 100'000);
  ASSERT_EQ(playable, 80'000);
  RunResult run;
  const std::vector<std::u16string> entries = run_and_read(tree, &run);
  ASSERT_EQ(entries.size(), 80'000u);
  EXPECT_TRUE(run.output.find("80000 playable files were found on your iPod.\n") !=
              std::string::npos);
  const std::string header = read_file(tree.database()).substr(0, 3);
  EXPECT_EQ(header, std::string("\x01\x38\x80", 3)) << "80000 is 0x013880";
  // Leaf directory n (20 files each) has the base-9 digits of n as its
  // levels, lowest first. The last directory in name order is the highest n
  // below 5000 whose three lower digits are 8: 5*729 + 8*81 + 8*9 + 8 = 4373,
  // holding tracks 87460 to 87479, of which 87479 is not music.
  EXPECT_EQ(entries.front(), units("/Level0-0/Level1-0/Level2-0/Level3-0/Track 000000.mp3"));
  EXPECT_EQ(entries.back(), units("/Level0-8/Level1-8/Level2-8/Level3-5/Track 087478.mp3"));
}

TEST(Stress, FiftyThousandFilesInOneDirectory) {
  DeviceTree tree;
  make_flat_volume(tree.root(), 50'000);
  RunResult run;
  const std::vector<std::u16string> entries = run_and_read(tree, &run);
  ASSERT_EQ(entries.size(), 50'000u);
  EXPECT_TRUE(run.output.find("/Flat: 50000 files\n") != std::string::npos);
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i] != units("/Flat/Song " + six_digits(static_cast<int>(i)) + ".m4a")) {
      ADD_FAILURE() << "entry " << i << " out of order";
      break;
    }
}

TEST(Stress, AsDeepAsPathsAllow) {
  DeviceTree tree;
  make_deep_volume(tree.root());
  RunResult run;
  const std::vector<std::u16string> entries = run_and_read(tree, &run);
  const std::string kept = chain(kDeepFileLevel) + "/a.mp3";
  ASSERT_EQ(kept.size(), 254u) << "a device path of 254: a composed path of 255";
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], units(kept));
  for (const std::string& line :
       {chain(kDeepestLevel) + ": 0 files\nSkipped, path too long: " + chain(kDeepestLevel) +
            "/x.mp3\n",
        chain(kDeepFileLevel) + ": 1 files\nSkipped, path too long: " + chain(kDeepFileLevel) +
            "/ab.mp3\n"})
    EXPECT_TRUE(run.output.find(line) != std::string::npos) << line;
}

}  // namespace
