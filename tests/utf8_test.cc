#include "text/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint16_t> decode(const std::string& path) {
  uint16_t units[261] = {};
  const int count = utf8_to_units(path, units, 261);
  return {units, units + count};
}

struct DecodeCase {
  const char* what;
  std::string bytes;
  std::vector<uint16_t> units;
};

TEST(Utf8ToUnits, DecodesValidSequencesAndKeepsOtherBytes) {
  const DecodeCase cases[] = {
      {"ascii", "/Music/a.mp3", {'/', 'M', 'u', 's', 'i', 'c', '/', 'a', '.', 'm', 'p', '3'}},
      {"two bytes", "caf\xC3\xA9", {'c', 'a', 'f', 0x00E9}},
      {"three bytes", "\xE6\x97\xA5\xE6\x9C\xAC", {0x65E5, 0x672C}},
      {"four bytes", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
      {"largest two", "\xDF\xBF", {0x07FF}},
      {"largest three", "\xEF\xBF\xBF", {0xFFFF}},
      {"largest four", "\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      {"lone latin-1", "caf\xE9.mp3", {'c', 'a', 'f', 0xE9, '.', 'm', 'p', '3'}},
      {"overlong two", "\xC0\xAF", {0xC0, 0xAF}},
      {"overlong three", "\xE0\x80\xAF", {0xE0, 0x80, 0xAF}},
      {"overlong four", "\xF0\x8F\xBF\xBF", {0xF0, 0x8F, 0xBF, 0xBF}},
      {"encoded surrogate", "\xED\xA0\x80", {0xED, 0xA0, 0x80}},
      {"truncated at end", "a\xE6\x97", {'a', 0xE6, 0x97}},
      {"truncated before ascii", "\xE6\x97z", {0xE6, 0x97, 'z'}},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {0xF4, 0x90, 0x80, 0x80}},
      {"never a lead", "\xF5\x80\xFF", {0xF5, 0x80, 0xFF}},
      {"stray continuation", "\x80\xC3\xA9", {0x80, 0x00E9}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decode(c.bytes), c.units) << c.what;
}

TEST(Utf8ToUnits, NeverWritesPastTheField) {
  EXPECT_EQ(decode(std::string(300, 'a')).size(), 261u);
  // A surrogate pair that would end past the field is left out whole.
  const auto units = decode(std::string(260, 'a') + "\xF0\x9F\x98\x80");
  ASSERT_EQ(units.size(), 260u);
  EXPECT_EQ(units.back(), 'a');
  // 254 bytes, as many as a device path may have, always fit.
  std::string emoji;
  while (emoji.size() + 4 <= 254)
    emoji += "\xF0\x9F\x98\x80";
  EXPECT_EQ(decode(emoji).size(), emoji.size() / 2);
}

// A Windows name goes into the program and back, and into the database,
// unit for unit, a lone surrogate included.
TEST(NameUnits, WindowsNamesComeBackUnitForUnit) {
  struct Case {
    const char* what;
    std::u16string units;
    std::string bytes;
  };
  const Case cases[] = {
      {"ascii", u"a.mp3", "a.mp3"},
      {"latin", u"caf\u00E9", "caf\xC3\xA9"},
      {"greek and han", u"\u0391\u65E5", "\xCE\x91\xE6\x97\xA5"},
      {"a pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {"lone high",
       u"a\xD83D"
       u"b",
       "a\xED\xA0\xBD"
       "b"},
      {"lone low", u"\xDE00.mp3", "\xED\xB8\x80.mp3"},
      {"low before high", u"\xDE00\xD83D", "\xED\xB8\x80\xED\xA0\xBD"},
      {"high at the end", u"x\xDBFF", "x\xED\xAF\xBF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf16_to_name(c.units), c.bytes) << c.what;
    EXPECT_EQ(name_to_utf16(c.bytes), c.units) << c.what;
    uint16_t units[16] = {};
    const int count = name_to_units(c.bytes, units, 16);
    EXPECT_EQ(std::u16string(units, units + count), c.units) << c.what;
  }
  // Bytes no Windows name gives keep their own values, as on POSIX.
  EXPECT_EQ(name_to_utf16("caf\xE9"), u"caf\u00E9");
}

}  // namespace
