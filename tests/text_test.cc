#include "text/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int sign(int value) {
  return (value > 0) - (value < 0);
}

struct CompareCase {
  const char* a;
  const char* b;
  int order;
};

TEST(CompareIgnoringCase, FoldsOnlyAsciiLetters) {
  const CompareCase cases[] = {
      {"abc", "ABC", 0},
      {"Song", "song", 0},
      {"a", "b", -1},
      {"B", "a", 1},
      {"a_b", "aab", -1},  // '_' (0x5F) is below 'a' once letters are folded
      {"A_B", "aab", -1},
      {"ab", "abc", -1},  // a prefix sorts first
      {"", "a", -1},
      {"Dzzz", "Fa.mp3", -1},
      {"\xC3\xA9", "\xC3\x89", 1},  // é and É: bytes above 0x7F are not folded
      {"\xE9", "z", 1},             // and compare unsigned
      {"[", "a", -1},               // '[' lies between 'Z' and 'a'
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sign(compare_ignoring_case(c.a, c.b)), c.order) << c.a << " vs " << c.b;
    EXPECT_EQ(sign(compare_ignoring_case(c.b, c.a)), -c.order) << c.b << " vs " << c.a;
  }
}

TEST(FormatText, ReportsWhatDoesNotFit) {
  char out[8];
  EXPECT_EQ(format_text(out, sizeof out, "%s", "1234567"), 7);
  EXPECT_STREQ(out, "1234567");
  EXPECT_EQ(format_text(out, sizeof out, "%s", "12345678"), -1);
  EXPECT_EQ(out[7], '\0');
  EXPECT_EQ(format_text(out, sizeof out, "%c%s", 'D', "ir"), 3);
  EXPECT_STREQ(out, "Dir");
}

}  // namespace
