#include "discovery/grow_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Append {
  int32_t length;
  int32_t offset;    // expected result
  int32_t capacity;  // expected afterwards
};

struct GrowthCase {
  const char* name;
  int32_t chunk;
  std::vector<Append> appends;
};

void PrintTo(const GrowthCase& c, std::ostream* os) {
  *os << c.name;
}

class GrowBufferGrowth : public testing::TestWithParam<GrowthCase> {};

TEST_P(GrowBufferGrowth, GrowsToTheNeededMultipleAndKeepsTheBytes) {
  const GrowthCase& c = GetParam();
  GrowBufferPtr buf(growbuf_create(c.chunk));
  ASSERT_NE(buf, nullptr);
  std::vector<uint8_t> expected;
  for (const Append& append : c.appends) {
    std::vector<uint8_t> bytes(static_cast<size_t>(append.length));
    for (auto& byte : bytes)
      byte = static_cast<uint8_t>(expected.size() + (&byte - bytes.data()));
    EXPECT_EQ(growbuf_append(buf.get(), bytes.data(), append.length), append.offset);
    EXPECT_EQ(buf->capacity, append.capacity);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  ASSERT_EQ(buf->used, static_cast<int32_t>(expected.size()));
  if (!expected.empty()) {
    EXPECT_EQ(std::memcmp(growbuf_at(buf.get(), 0), expected.data(), expected.size()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GrowBufferGrowth,
    testing::Values(GrowthCase{"ten_then_fill", 1024, {{10, 0, 1024}, {1020, 10, 2048}}},
                    GrowthCase{"several_chunks_at_once", 1024, {{3 * 1024 + 1, 0, 4 * 1024}}},
                    GrowthCase{"exactly_one_chunk", 1024, {{1024, 0, 1024}, {1, 1024, 2048}}},
                    GrowthCase{"nothing_appended_to_empty", 1024, {{0, 0, 0}}},
                    GrowthCase{"nothing_appended_later", 16, {{5, 0, 16}, {0, 5, 16}, {3, 5, 16}}},
                    GrowthCase{"large_chunk", 262144, {{300, 0, 262144}, {262000, 300, 524288}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GrowBuffer, AtAcceptsOffsetsUpToUsed) {
  GrowBufferPtr buf(growbuf_create(8));
  EXPECT_EQ(growbuf_at(buf.get(), 0), nullptr) << "no block yet";
  ASSERT_EQ(growbuf_append(buf.get(), "abc", 3), 0);
  EXPECT_EQ(growbuf_at(buf.get(), 0), buf->data);
  EXPECT_EQ(growbuf_at(buf.get(), 3), buf->data + 3);
  EXPECT_EQ(growbuf_at(buf.get(), 4), nullptr);
  EXPECT_EQ(growbuf_at(buf.get(), -1), nullptr);
}

TEST(GrowBuffer, NullBufferIsHarmless) {
  EXPECT_EQ(growbuf_append(nullptr, "x", 1), -1);
  EXPECT_EQ(growbuf_at(nullptr, 0), nullptr);
  growbuf_destroy(nullptr);
}

TEST(GrowBuffer, FailedGrowthKeepsEverything) {
  GrowBufferPtr buf(growbuf_create(1 << 30));
  ASSERT_EQ(growbuf_append(buf.get(), "abc", 3), 0);
  const uint8_t* block = buf->data;
  // Past what a 32-bit capacity can hold: refused, nothing lost.
  EXPECT_EQ(growbuf_append(buf.get(), "x", INT32_MAX - 2), -1);
  EXPECT_EQ(buf->data, block);
  EXPECT_EQ(buf->used, 3);
  EXPECT_EQ(buf->capacity, 1 << 30);
  EXPECT_EQ(std::memcmp(growbuf_at(buf.get(), 0), "abc", 3), 0);
}

}  // namespace
