// The failure record that the single error exit reads.
#include "failure/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

TEST(FailureRecord, StepReasonWhatChangedAndDamage) {
  record_failure("writing an entry", ENOSPC);
  EXPECT_EQ(std::string(read_failure()), std::string("writing an entry: ") + std::strerror(ENOSPC));
  EXPECT_EQ(failure_changed(), Changed::kNothing);
  EXPECT_FALSE(failure_is_damage());
  record_failure("replacing iTunesSD", EROFS, Changed::kDatabase);
  EXPECT_EQ(std::string(read_failure()),
            std::string("replacing iTunesSD: ") + std::strerror(EROFS));
  EXPECT_EQ(failure_changed(), Changed::kDatabase);
  EXPECT_TRUE(failure_is_damage());
  const std::string long_step(200, 's');
  record_failure(long_step.c_str(), EIO);
  EXPECT_EQ(std::string(read_failure()), long_step.substr(0, 159)) << "cut, but terminated";
}

}  // namespace
