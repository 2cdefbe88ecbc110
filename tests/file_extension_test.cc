// The extension rule that decides what is playable.
#include "text/file_extension.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(FileExtension, LowerCasedTailAfterTheLastDot) {
  const std::pair<const char*, const char*> cases[] = {
      {"Song.MP3", "mp3"},
      {"a.b.M4a", "m4a"},
      {"README", ""},
      {"name.", ""},
      {"x.abcdefg", "abcdefg"},
      {"x.abcdefgh", ""},
      {"./x.y/file", "y/file"},
      {"./a/b/longer-name", ""},
      {"clip.M4P", "m4p"},
      {"file.mp3x", "mp3x"},
      {".hidden", "hidden"},
      {"caf\xC3\x89.WAV", "wav"},
      {"x.\xC3\x89", "\xC3\x89"},  // bytes above 0x7F stay as they are
  };
  for (const auto& [name, extension] : cases)
    EXPECT_STREQ(file_extension(name), extension) << name;
}

TEST(FileExtension, EachCallOverwritesTheLast) {
  const char* first = file_extension("a.mp3");
  EXPECT_STREQ(first, "mp3");
  EXPECT_STREQ(file_extension("README"), "");
  EXPECT_STREQ(first, "") << "the result lives in one shared buffer";
}

}  // namespace
