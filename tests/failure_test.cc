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
  // The system's own code of an error the translation did not know: named
  // once, with its own error only.
  note_system_code(EIO, 1450);
  record_failure("reading the old database", EIO);
  EXPECT_EQ(std::string(read_failure()), std::string("reading the old database: ") +
                                             std::strerror(EIO) + " (Windows error 1450)");
  record_failure("reading the old database", EIO);
  EXPECT_EQ(std::string(read_failure()),
            std::string("reading the old database: ") + std::strerror(EIO));
  note_system_code(EIO, 1006);
  record_failure("searching for files", ENOMEM);
  EXPECT_EQ(std::string(read_failure()),
            std::string("searching for files: ") + std::strerror(ENOMEM));
  record_cannot_tell("checking the left-over temporary file");
  EXPECT_EQ(std::string(read_failure()),
            "checking the left-over temporary file: this system cannot look");
  EXPECT_TRUE(failure_could_not_tell());
  EXPECT_FALSE(failure_is_damage());
  record_failure("writing an entry", ENOSPC);
  EXPECT_FALSE(failure_could_not_tell());
  // Only a folder the user may not read, or no folder any more, is left out.
  for (const int error : {EACCES, EPERM, ELOOP, ENOTDIR, ENAMETOOLONG})
    EXPECT_TRUE(may_not_browse(error)) << std::strerror(error);
  for (const int error : {EIO, ENOENT, EINVAL, ENOMEM, EROFS, ENXIO})
    EXPECT_FALSE(may_not_browse(error)) << std::strerror(error);
}

}  // namespace
