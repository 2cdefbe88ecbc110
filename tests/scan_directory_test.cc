// The walk's order: the comparison the sort uses. The walk itself is run end
// to end (end_to_end/walk_test.cc).
#include "discovery/scan_directory.h"

#include <gtest/gtest.h>

namespace {

int sign(int value) {
  return (value > 0) - (value < 0);
}

TEST(CompareTaggedNames, DirectoriesFirstThenCaseInsensitiveThenBytes) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"Dzzz", "Faaa", -1},            // every directory before every file
      {"Fb.mp3", "FA.mp3", 1},         // letter case does not count
      {"Fa_b.mp3", "Faab.mp3", -1},    // "_" is below the folded letters
      {"Fab", "Fabc", -1},             // a prefix first
      {"FSONG.mp3", "Fsong.mp3", -1},  // equal but for case: by bytes
      {"Fsong.mp3", "Fsong.mp3", 0},
      {"F\xC3\xA9.mp3", "Fz.mp3", 1},  // bytes above 0x7F after the letters
  };
  for (const Case& c : cases) {
    // The sort hands over pointers to the tagged names.
    const char* a = c.a;
    const char* b = c.b;
    EXPECT_EQ(sign(compare_tagged_names(&a, &b)), c.order) << a << " vs " << b;
    EXPECT_EQ(sign(compare_tagged_names(&b, &a)), -c.order) << b << " vs " << a;
  }
}

}  // namespace
