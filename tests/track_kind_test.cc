// The table of track kinds, read by the walk and the entry writer.
#include "database/track_kind.h"

#include <gtest/gtest.h>

namespace {

TEST(TrackKind, ByTheLastExtensionInAnyCase) {
  struct Case {
    const char* name;
    int type_code;  // 0: not playable
    bool joins_shuffle;
    bool keeps_place;
  };
  const Case cases[] = {
      {"a.mp3", 1, true, false},         {"SONG.WAV", 4, true, false},
      {"talk.aa", 4, false, true},       {"x.M4a", 2, true, false},
      {"book.m4b", 2, false, true},      {"clip.M4P", 2, true, false},
      {"./x.mp3/b.m4b", 2, false, true}, {"notes.txt", 0, false, false},
      {"file.mp3x", 0, false, false},    {"x.flac", 0, false, false},
  };
  for (const Case& c : cases) {
    const TrackKind* kind = track_kind(c.name);
    if (c.type_code == 0) {
      EXPECT_EQ(kind, nullptr) << c.name;
      continue;
    }
    EXPECT_NE(kind, nullptr) << c.name;
    if (!kind)
      continue;
    EXPECT_EQ(kind->type_code, c.type_code) << c.name;
    EXPECT_EQ(kind->joins_shuffle, c.joins_shuffle) << c.name;
    EXPECT_EQ(kind->keeps_place, c.keeps_place) << c.name;
  }
}

// Checked on their own: a row without an extension in the table would make
// every one of these playable.
TEST(TrackKind, NamesWithoutAnExtensionAreNotPlayable) {
  for (const char* name : {"README", "noext.", ".", "./Music/", "./x.mp3/", ""})
    EXPECT_EQ(track_kind(name), nullptr) << '"' << name << '"';
}

}  // namespace
