// The entry writer, on a temporary stream.
#include "database/entry_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "database_file.h"
#include "failure/failure.h"

namespace {

using EntryWriter = DatabaseFile;

TEST_F(EntryWriter, WritesTheWholeRecord) {
  ASSERT_EQ(write_entry("./Music/a.mp3"), 1);
  Bytes expected = rebuilt_entry();
  const std::string name = "/Music/a.mp3";
  for (size_t i = 0; i < name.size(); ++i)
    expected[33 + 2 * i] = static_cast<uint8_t>(name[i]);
  expected[555] = 1;
  EXPECT_EQ(written(), expected);
  EXPECT_EQ(playable_count, 1);
}

TEST_F(EntryWriter, TypeCodeAndFlagByExtension) {
  struct Case {
    const char* path;
    uint8_t type_code;
    uint8_t flag;
    uint8_t keeps_place;
  };
  const Case cases[] = {
      {"./a.mp3", 1, 1, 0},   {"./SONG.M4A", 2, 1, 0}, {"./book.m4b", 2, 0, 1},
      {"./talk.aa", 4, 0, 1}, {"./x.m4p", 2, 1, 0},    {"./song.wav", 4, 1, 0},
      {"./b.mp3", 1, 1, 0},   {"./LOUD.WAV", 4, 1, 0}, {"./TALK.AA", 4, 0, 1},
  };
  for (const Case& c : cases)
    ASSERT_EQ(write_entry(c.path), 1);
  const Bytes bytes = written();
  ASSERT_EQ(bytes.size(), 558 * std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(bytes[558 * i + 29], cases[i].type_code) << cases[i].path;
    EXPECT_EQ(bytes[558 * i + 555], cases[i].flag) << cases[i].path;
    EXPECT_EQ(bytes[558 * i + 556], cases[i].keeps_place) << cases[i].path;
    EXPECT_EQ(bytes[558 * i + 557], 0) << cases[i].path;
  }
}

TEST_F(EntryWriter, NoTraceOfThePreviousName) {
  ASSERT_EQ(write_entry("./x/a-rather-long-name.mp3"), 1);
  ASSERT_EQ(write_entry("./x/b.mp3"), 1);
  const Bytes bytes = written();
  const std::string name = "/x/b.mp3";
  for (size_t offset = 32; offset < 558; ++offset) {
    const size_t unit = (offset - 33) / 2;
    uint8_t expected = 0;
    if (offset >= 33 && (offset - 33) % 2 == 0 && unit < name.size())
      expected = static_cast<uint8_t>(name[unit]);
    if (offset == 555)
      expected = 1;
    EXPECT_EQ(bytes[558 + offset], expected) << "offset " << offset;
  }
}

TEST_F(EntryWriter, NonAsciiNamesAsUtf16) {
#ifdef _WIN32
  GTEST_SKIP() << "the unit tests run without the program's UTF-8 manifest";
#endif
  ASSERT_EQ(write_entry("./\xE6\x97\xA5/\xF0\x9F\x98\x80.mp3"), 1);
  const Bytes bytes = written();
  const Bytes field(bytes.begin() + 33, bytes.begin() + 33 + 2 * 8);
  EXPECT_EQ(field,
            (Bytes{'/', 0, 0xE5, 0x65, '/', 0, 0x3D, 0xD8, 0x00, 0xDE, '.', 0, 'm', 0, 'p', 0}));
  EXPECT_EQ(bytes[33 + 2 * 8], '3');
  EXPECT_EQ(bytes[33 + 2 * 9], 0);
}

TEST_F(EntryWriter, IgnoresWhatIsNotAComposedPath) {
  EXPECT_EQ(write_entry(nullptr), 1);
  EXPECT_EQ(write_entry(""), 1);
  EXPECT_EQ(write_entry(("./" + std::string(250, 'x') + ".mp3").c_str()), 1);  // 256 long
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(playable_count, 0);
}

TEST_F(EntryWriter, StopsAtWhatTheCountCanHold) {
  playable_count = kMaxEntries;
  EXPECT_EQ(write_entry("./a.mp3"), 0);
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(playable_count, kMaxEntries);
  EXPECT_EQ(std::string(read_failure()).rfind("counting the files: ", 0), 0u) << read_failure();
}

}  // namespace
