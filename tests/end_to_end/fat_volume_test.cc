// The program on the player's own file system: a FAT32 image, filled with
// mtools, mounted through FUSE, and read back from the image afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "fat_image.h"
#include "run_program.h"
#include "transcript.h"

namespace {

const std::string kITunes = "iPod_Control/iTunes/";

// Two private-use characters that mtools stores as two units, rewritten in
// the image into the surrogate pair of U+1F600.
const std::u16string kPlaceholder = u"\uE000\uE001";
const std::u16string kEmoji = u"\U0001F600";

void add_companions(FatImage& image) {
  for (const std::string& name : kCompanions)
    image.add_file(kITunes + name, name);
}

// Mounts, runs "tarnwick -q" at the mount's root, unmounts.
RunResult run_on(FatImage& image) {
  std::string why;
  if (!image.mount(&why)) {
    ADD_FAILURE() << why;
    return {};
  }
  RunResult run = run_tarnwick(image.mount_point(), {.timeout_seconds = 60});
  EXPECT_TRUE(image.unmount(&why)) << why;
  return run;
}

bool playable(const std::u16string& path) {
  const size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || path.find(u'/', dot) != std::u16string::npos)
    return false;
  std::u16string extension = path.substr(dot + 1);
  for (char16_t& c : extension)
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
  for (const char16_t* known : {u"mp3", u"wav", u"aa", u"m4a", u"m4b", u"m4p"})
    if (extension == known)
      return true;
  return false;
}

bool hidden(const std::u16string& path) {
  return path.find(u"/.") != std::u16string::npos;
}

class FatVolume : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = FatImage::unavailable(); !why.empty())
      GTEST_SKIP() << why;
  }
};

TEST_F(FatVolume, EveryPlayableFileOnceUnderItsLongName) {
  FatImage image(40);
  add_companions(image);
  image.add_file("Music/Beyonc\xC3\xA9 \xE2\x80\x93 Halo.mp3");
  image.add_file("Music/\xE6\x97\xA5\xE6\x9C\xAC\xE3\x81\xAE\xE6\xAD\x8C.m4a");
  image.add_file("Music/ABCdef Mixed Case Song.MP3");
  image.add_file("Music/UPPER.MP3");
  // A name that fits 8.3 in lower case gets no long name, only case flags,
  // which fusefat does not show; so every lower-case name here is a long one.
  image.add_file("Music/lower case.mp3");
  image.add_file("Music/Tr\xC3\xA8s long nom avec des accents \xC3\xA0\xC3\xA9\xC3\xAE.wav");
  image.add_file("Music/cover.jpg", "not music");
  image.add_file("Music/._resource.mp3");
  image.add_file(".hidden/secret.mp3");
  image.add_file("Deep/Level 1/Level 2/Level 3/Level 4/Level 5/Audiobook Chapter.m4b");
  image.add_file("Emoji/\xEE\x80\x80\xEE\x80\x81 smile.mp3");
  image.replace_name_units(kPlaceholder, kEmoji);

  const RunResult run = run_on(image);
  EXPECT_EQ(
      run.output,
      banner_and_templates() +
          lines({"/: 0 files", "/Deep: 0 files", "/Deep/Level 1: 0 files",
                 "/Deep/Level 1/Level 2: 0 files", "/Deep/Level 1/Level 2/Level 3: 0 files",
                 "/Deep/Level 1/Level 2/Level 3/Level 4: 0 files",
                 "/Deep/Level 1/Level 2/Level 3/Level 4/Level 5: 1 files", "/Emoji: 1 files",
                 "/iPod_Control: 0 files", "/iPod_Control/iTunes: 0 files", "/Music: 6 files"}) +
          closing(8, {"OK.", "OK.", "OK."}));
  EXPECT_EQ(run.status, 0);

  const std::string db = image.read(kITunes + "iTunesSD");
  ASSERT_EQ(db.size(), 18u + 8 * 558);
  EXPECT_EQ(db.substr(0, 18), std::string("\0\0\x08\x01\x06\0\0\0\x12", 9) + std::string(9, '\0'));
  std::vector<std::u16string> names = entry_names(db);
  EXPECT_EQ(names, (std::vector<std::u16string>{
                       u"/Deep/Level 1/Level 2/Level 3/Level 4/Level 5/Audiobook Chapter.m4b",
                       u"/Emoji/" + kEmoji + u" smile.mp3",
                       u"/Music/ABCdef Mixed Case Song.MP3",
                       u"/Music/Beyonc\u00E9 \u2013 Halo.mp3",
                       u"/Music/lower case.mp3",
                       u"/Music/Tr\u00E8s long nom avec des accents \u00E0\u00E9\u00EE.wav",
                       u"/Music/UPPER.MP3",
                       u"/Music/\u65E5\u672C\u306E\u6B4C.m4a",
                   }));

  // Every entry names a file on the image by its long name, unit for unit, and
  // every playable file outside hidden folders has exactly one entry.
  std::vector<std::u16string> on_image;
  for (const FatImage::Item& item : image.items())
    if (!item.is_dir && playable(item.path) && !hidden(item.path))
      on_image.push_back(item.path);
  std::sort(on_image.begin(), on_image.end());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, on_image);

  for (const std::string& name : kCompanions)
    EXPECT_FALSE(image.has(kITunes + name)) << name;
  EXPECT_FALSE(image.has(kITunes + "iTunesSD.tmp"));
}

TEST_F(FatVolume, ReplacesAnExistingDatabase) {
  FatImage image(40);
  image.add_file(kITunes + "iTunesSD", old_database());
  add_companions(image);
  image.add_file("Music/One.mp3");
  image.add_file("Music/Two.m4a");
  const RunResult run = run_on(image);
  EXPECT_EQ(run.output, banner_and_templates(true, true) +
                            lines({"/: 0 files", "/iPod_Control: 0 files",
                                   "/iPod_Control/iTunes: 0 files", "/Music: 2 files"}) +
                            closing(2, {"OK.", "OK.", "OK."}));
  EXPECT_EQ(run.status, 0);
  const std::string db = image.read(kITunes + "iTunesSD");
  ASSERT_EQ(db.size(), 18u + 2 * 558);
  EXPECT_EQ(db.substr(0, 18),
            std::string("\0\0\x02\x01\x06\0\0\0\x12", 9) + std::string(9, '\x07'));
  EXPECT_EQ(db.substr(18, 29), old_database().substr(18, 6) + std::string(20, '\0') + "\x64" +
                                   old_database().substr(18 + 27, 2))
      << "the old entry is the template, without its track's own fields";
  for (const std::string& name : kCompanions)
    EXPECT_FALSE(image.has(kITunes + name)) << name;
}

TEST_F(FatVolume, TooFullForTheNewDatabase) {
  FatImage image(40);
  image.add_file(kITunes + "iTunesSD", old_database());
  add_companions(image);
  for (int i = 0; i < 200; ++i)
    image.add_file("Music/Track " + std::to_string(100 + i) + ".mp3");
  // Leave far less room than 200 entries need.
  image.add_file("filler.bin", std::string(static_cast<size_t>(image.free_bytes() - 8192), 'f'));
  ASSERT_LT(image.free_bytes(), 18 + 200 * 558);

  const RunResult run = run_on(image);
  EXPECT_EQ(run.status, 1);
  // 200 entries fill more than one write buffer, so the failure comes while
  // they are written. The reason is fusefat's, which differs by version:
  // 0.1a (Debian 12) answers "Operation not permitted", 0.3 (Debian 13, on
  // libfuse3) "Input/output error"; a driver could also say "No space left
  // on device". The advice must fit the reason: free space for the first
  // and the last, the file-system check for an input/output error, which
  // is how a damaged volume answers too.
  const std::string expected_start = banner_and_templates(true, true) +
                                     lines({"/: 0 files", "/iPod_Control: 0 files",
                                            "/iPod_Control/iTunes: 0 files", "/Music: 200 files"});
  bool known_reason = false;
  for (const int error : {EPERM, ENOSPC, EIO})
    if (run.output.starts_with(expected_start + could_not("writing an entry", error))) {
      known_reason = true;
      EXPECT_EQ(run.output, expected_start + write_error("writing an entry", error));
    }
  EXPECT_TRUE(known_reason) << "not a reason fusefat gives for a full volume:\n" << run.output;
  EXPECT_EQ(image.read(kITunes + "iTunesSD"), old_database());
  for (const std::string& name : kCompanions)
    EXPECT_EQ(image.read(kITunes + name), name);
  EXPECT_FALSE(image.has(kITunes + "iTunesSD.tmp"));
}

}  // namespace
