// A temporary stream in place of the database file, for the unit tests of
// what writes it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "database/database.h"

using Bytes = std::vector<uint8_t>;

// The entry template as it is rebuilt from scratch.
inline Bytes rebuilt_entry() {
  Bytes entry(558, 0);
  entry[1] = 0x02, entry[2] = 0x2E, entry[3] = 0x5A, entry[4] = 0xA5, entry[5] = 0x01;
  entry[26] = 0x64, entry[29] = 0x01, entry[31] = 0x02;
  return entry;
}

class DatabaseFile : public testing::Test {
 protected:
  void SetUp() override {
    db_file = std::tmpfile();
    ASSERT_NE(db_file, nullptr);
    playable_count = 0;
    const Bytes entry = rebuilt_entry();
    std::copy(entry.begin(), entry.end(), entry_header.begin());
  }
  void TearDown() override {
    std::fclose(db_file);
    db_file = nullptr;
  }
  Bytes written() {
    std::fflush(db_file);
    Bytes bytes(static_cast<size_t>(std::ftell(db_file)));
    std::rewind(db_file);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), db_file), bytes.size());
    return bytes;
  }
};
