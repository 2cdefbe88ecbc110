// The names as the Mac's FAT driver stores them.
#include "text/mac_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string stored(const std::string& listed, int max_units = 261) {
  uint16_t units[261];
  const int count = mac_stored_units(listed, units, max_units);
  return std::u16string(units, units + count);
}

struct NameCase {
  const char* what;
  std::string listed;   // UTF-8, as the Mac's directory listing gives it
  std::u16string kept;  // as the driver stored it
};

TEST(MacStoredUnits, ComposedAndMapped) {
  const NameCase cases[] = {
      {"latin", "/Cafe\xCC\x81.mp3", u"/Caf\u00E9.mp3"},
      {"greek", "/\xCE\xB1\xCC\x81", u"/\u03AC"},
      {"cyrillic", "/\xD0\xB8\xCC\x86", u"/\u0439"},
      {"hangul lead and vowel", "/\xE1\x84\x80\xE1\x85\xA1", u"/\uAC00"},
      {"hangul with trail", "/\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", u"/\uAC01"},
      {"no precomposed form", "/q\xCC\x87", u"/q\u0307"},
      {"two marks in turn", "/a\xCC\xA3\xCC\x82", u"/\u1EAD"},
      {"same class blocked", "/a\xCC\x82\xCC\x82", u"/\u00E2\u0302"},
      {"mark first stays",
       "/\xCC\x81"
       "e",
       u"/\u0301e"},
      {"nothing composed above the basic plane", "/\xF0\x91\x82\x99\xF0\x91\x82\xBA",
       u"/\U00011099\U000110BA"},
      {"only with the character right before",
       "/\xD8\xA7\xD9\x8E\xD9\x94\xD8\xAD\xD9\x92\xD9\x85\xD9\x8E\xD8\xAF",
       u"/\u0627\u064E\u0654\u062D\u0652\u0645\u064E\u062F"},
      {"a mark between blocks the pair", "/a\xCC\x9B\xCC\x80", u"/a\u031B\u0300"},
      {"marks reordered by class", "/q\xCC\x81\xCC\xA3", u"/q\u0323\u0301"},
      {"two marks after a cyrillic letter", "/\xD0\xB8\xCC\xA3\xCC\x86", u"/\u0438\u0323\u0306"},
      {"unicode 3.2 pairs only", "/\xE1\xAC\x85\xE1\xAC\xB5", u"/\u1B05\u1B35"},
      {"a mapped character is no base", "/<\xCC\xB8", u"/\uF023\u0338"},
      {"listed stand-in for a slash", "/a\xE2\x90\x80", u"/a/"},
      {"forbidden ascii", "/a\"*:<>?\\|b", u"/a\uF020\uF021\uF022\uF023\uF024\uF025\uF026\uF027b"},
      {"control characters", "/\x01x\x1F", u"/\uF001x\uF01F"},
      {"trailing space and period", "/name /b.", u"/name\uF028/b\uF029"},
      {"inner space and period unmapped", "/a b.c/x .mp3", u"/a b.c/x .mp3"},
      {"component boundary", "/Who?/Are You?.mp3", u"/Who\uF025/Are You\uF025.mp3"},
  };
  for (const NameCase& c : cases)
    EXPECT_EQ(stored(c.listed), c.kept) << c.what;
}

TEST(MacStoredUnits, StopsAtTheBoundWithoutCuttingAPair) {
  EXPECT_EQ(stored("/\xF0\x9F\x8E\xB5", 2), u"/");
  EXPECT_EQ(stored("/\xF0\x9F\x8E\xB5", 3), u"/\U0001F3B5");
  EXPECT_EQ(stored("/ab/cd", 3), u"/ab");
  EXPECT_EQ(stored("/ab/cd", 4), u"/ab/");
  EXPECT_EQ(stored(""), u"");
}

// The stored form is what must fit, not the listed one: 100 "e" with an
// accent are 304 bytes as listed, 204 stored.
TEST(MacStoredName, ComposedBeforeItIsBounded) {
  std::string listed, composed;
  for (int i = 0; i < 100; ++i) {
    listed += "e\xCC\x81";
    composed += "\xC3\xA9";
  }
  char out[1024];
  EXPECT_EQ(mac_stored_name((listed + ".mp3").c_str(), out, sizeof out), 204);
  EXPECT_EQ(std::string(out), composed + ".mp3");
  // A stored form that does not fit the buffer is refused whole.
  EXPECT_EQ(mac_stored_name((listed + ".mp3").c_str(), out, 204), -1);
}

}  // namespace
