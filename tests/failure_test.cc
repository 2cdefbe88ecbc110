// The failure record that the single error exit reads.
#include "support/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

TEST(FailureRecord, StepReasonAndWhetherTheDatabaseWasTouched) {
  record_failure("writing an entry", ENOSPC);
  EXPECT_EQ(std::string(read_failure()), std::string("writing an entry: ") + std::strerror(ENOSPC));
  EXPECT_FALSE(failure_touched_database());
  record_failure(kReplacingStep, EIO);
  EXPECT_EQ(std::string(read_failure()), std::string("replacing iTunesSD: ") + std::strerror(EIO));
  EXPECT_TRUE(failure_touched_database());
  const std::string long_step(200, 's');
  record_failure(long_step.c_str(), EIO);
  EXPECT_EQ(std::string(read_failure()), long_step.substr(0, 159)) << "cut, but terminated";
}

}  // namespace
