// The header and the templates.
#include "database/database.h"

#include <gtest/gtest.h>

#include <string>

#include "database_file.h"

namespace {

using Header = DatabaseFile;

TEST_F(Header, HoldsTheWholeCount) {
  struct Case {
    int32_t count;
    uint8_t bytes[3];
  };
  const Case cases[] = {{0, {0, 0, 0}},
                        {3, {0, 0, 3}},
                        {256, {0, 1, 0}},
                        {300, {0, 1, 0x2C}},
                        {65535, {0, 0xFF, 0xFF}},
                        {65536, {1, 0, 0}},
                        {0x123456, {0x12, 0x34, 0x56}},
                        {kMaxEntries, {0xFF, 0xFF, 0xFF}}};
  for (const Case& c : cases) {
    for (size_t i = 0; i < file_header.size(); ++i)
      file_header[i] = static_cast<uint8_t>(0xA0 + i);  // a taken-over header
    playable_count = c.count;
    testing::internal::CaptureStdout();
    ASSERT_EQ(finalize_header(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Fixing iTunesSD header.\n");
    const Bytes bytes = written();
    ASSERT_EQ(bytes.size(), 18u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 3), Bytes(c.bytes, c.bytes + 3)) << c.count;
    for (size_t i = 3; i < 18; ++i)
      EXPECT_EQ(bytes[i], 0xA0 + i);
  }
}

struct TemplateCase {
  const char* name;
  std::string old;  // the first bytes of the old database
  Templates taken;
};

TEST(TakeTemplates, OnlyWhatItsLengthFieldsVouchFor) {
  const std::string header = std::string("\0\0\x05\x01\x06\0\0\0\x12", 9) + std::string(9, 'h');
  const std::string entry = std::string("\0\x02\x2E", 3) + std::string(555, 'e');
  const TemplateCase cases[] = {
      {"nothing", "", Templates::kRebuilt},
      {"short header", header.substr(0, 17), Templates::kRebuilt},
      {"header alone", header, Templates::kHeaderTaken},
      {"header and part of an entry", header + entry.substr(0, 557), Templates::kHeaderTaken},
      {"header and entry", header + entry, Templates::kHeaderAndEntryTaken},
      {"entry length wrong", header + "\x01" + entry.substr(1), Templates::kHeaderTaken},
      {"header length wrong", "x" + header.substr(1, 7) + "\x13" + header.substr(9) + entry,
       Templates::kRebuilt},
  };
  for (const TemplateCase& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(take_templates(c.old), c.taken) << c.name;
    testing::internal::GetCapturedStdout();
    if (c.taken != Templates::kRebuilt) {
      EXPECT_EQ(std::string(file_header.begin(), file_header.end()), header) << c.name;
    }
    if (c.taken != Templates::kHeaderAndEntryTaken)
      continue;
    // The old first entry's bytes, but neutral start, stop and volume.
    std::string expected = entry;
    expected.replace(6, 21, std::string(20, '\0') + "\x64");
    EXPECT_EQ(std::string(entry_header.begin(), entry_header.end()), expected) << c.name;
  }
}

}  // namespace
