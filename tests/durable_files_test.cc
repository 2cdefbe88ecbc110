// The files on the player: what stands in the temporary file's place,
// and the directory check.
#include "support/durable_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_dir.h"

#ifdef _WIN32
#include "support/win32_system.h"
#endif

namespace {

struct LeftoverCase {
  const char* name;
  void (*make)(const fs::path& at);
  bool removable;
};

TEST(DurableFiles, LeftoversAreRemovedNeverFollowed) {
  const LeftoverCase cases[] = {
      {"nothing", [](const fs::path&) {}, true},
      {"file", [](const fs::path& at) { std::ofstream(at) << "x"; }, true},
      {"read-only file",
       [](const fs::path& at) {
         std::ofstream(at) << "x";
         fs::permissions(at, fs::perms::owner_read);
       },
       true},
      {"empty directory", [](const fs::path& at) { fs::create_directory(at); }, true},
      {"full directory",
       [](const fs::path& at) {
         fs::create_directory(at);
         std::ofstream(at / "inside") << "x";
       },
       false},
#ifndef _WIN32
      {"link to a file elsewhere",
       [](const fs::path& at) { fs::create_symlink(at.parent_path() / "target", at); }, true},
#endif
  };
  for (const LeftoverCase& c : cases) {
    TempDir dir;
    std::ofstream(dir.path() / "target") << "target";
    const fs::path at = dir.path() / "iTunesSD.tmp";
    c.make(at);
    EXPECT_EQ(remove_leftover(at.string().c_str()), c.removable ? 1 : 0) << c.name;
    if (!c.removable)
      continue;
    FILE* created = create_new_file(at.string().c_str());
    ASSERT_NE(created, nullptr) << c.name;
    std::fclose(created);
    EXPECT_EQ(create_new_file(at.string().c_str()), nullptr) << c.name << ": never twice";
    std::ifstream target(dir.path() / "target");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(target), {}), "target") << c.name;
  }
}

TEST(DurableFiles, MayReplaceOnlyARegularFileOrNothing) {
  TempDir dir;
  const fs::path file = dir.path() / "file";
  std::ofstream(file) << "x";
  fs::create_directory(dir.path() / "directory");
  EXPECT_EQ(may_replace((dir.path() / "absent").string().c_str()), 1);
  EXPECT_EQ(may_replace(file.string().c_str()), 1);
  EXPECT_EQ(may_replace((dir.path() / "directory").string().c_str()), 0);
  FILE* opened = open_regular_file(file.string().c_str());
  ASSERT_NE(opened, nullptr);
  std::fclose(opened);
  EXPECT_EQ(open_regular_file((dir.path() / "directory").string().c_str()), nullptr);
}

TEST(DurableFiles, VisitDirectoryComesBackWhereItStarted) {
  TempDir dir;
  fs::create_directories(dir.path() / "a" / "b");
  const fs::path start = fs::current_path();
  fs::current_path(dir.path());
  EXPECT_EQ(visit_directory("a/b"), 1);
  EXPECT_EQ(fs::current_path(), fs::canonical(dir.path()));
  EXPECT_EQ(visit_directory("a/missing"), 0);
  EXPECT_EQ(errno, ENOENT) << "only what is not there is a missing control directory";
  EXPECT_EQ(fs::current_path(), fs::canonical(dir.path()));
  std::ofstream(dir.path() / "a" / "file") << "x";
  EXPECT_EQ(visit_directory("a/file"), 0);
  EXPECT_EQ(errno, ENOTDIR);
  fs::current_path(start);
}

// Whether a rename reported failed was made is read from the volume.
TEST(DurableFiles, FailedRenameIsJudgedByWhatIsThere) {
  EXPECT_EQ(failed_rename_left(1, 1), Renamed::kNo) << "the source is still there";
  EXPECT_EQ(failed_rename_left(1, 0), Renamed::kNo) << "no old file, and no rename";
  EXPECT_EQ(failed_rename_left(0, 1), Renamed::kYes) << "made, then reported failed";
  EXPECT_EQ(failed_rename_left(0, 0), Renamed::kUnknown) << "both names gone";
  EXPECT_EQ(failed_rename_left(-1, 1), Renamed::kUnknown) << "the system cannot tell";
  EXPECT_EQ(failed_rename_left(0, -1), Renamed::kUnknown);
}

#ifdef _WIN32
// One translation of Windows errors for every Windows file: damage and a
// vanished or failing device are input/output errors (the file system
// check), write protection a read-only volume, refusals EACCES.
TEST(DurableFiles, WindowsErrorsHaveOneTranslation) {
  const struct {
    DWORD error;
    int cause;
  } kTranslations[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},
      {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_SHARING_VIOLATION, EACCES},
      {ERROR_DISK_FULL, ENOSPC},
      {ERROR_HANDLE_DISK_FULL, ENOSPC},
      {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
      {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
      {ERROR_WRITE_PROTECT, EROFS},
      {ERROR_DISK_CORRUPT, EIO},
      {ERROR_FILE_CORRUPT, EIO},
      {ERROR_NOT_READY, EIO},
      {ERROR_DEVICE_NOT_CONNECTED, EIO},
      {ERROR_GEN_FAILURE, EIO},
      {ERROR_DEV_NOT_EXIST, EIO},
      {ERROR_CRC, EIO},
      {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
  };
  for (const auto& t : kTranslations) {
    EXPECT_EQ(errno_from_error(t.error), t.cause) << "Windows error " << t.error;
    SetLastError(t.error);
    EXPECT_EQ(set_errno_from_last_error(), 0);
    EXPECT_EQ(errno, t.cause) << "Windows error " << t.error;
  }
}
#endif

}  // namespace
