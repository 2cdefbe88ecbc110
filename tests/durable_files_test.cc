// The files on the player: what stands in the temporary file's place,
// and the directory check.
#include "system/durable_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "system/storage_check.h"
#include "temp_dir.h"

#ifdef _WIN32
#include "system/win32_system.h"
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
    bool made = false;
    FILE* created = create_new_file(at.string().c_str(), &made);
    ASSERT_NE(created, nullptr) << c.name;
    EXPECT_TRUE(made) << c.name;
    std::fclose(created);
    EXPECT_EQ(create_new_file(at.string().c_str(), &made), nullptr) << c.name << ": never twice";
    EXPECT_FALSE(made) << c.name << ": what stood there is not the run's";
    std::ifstream target(dir.path() / "target");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(target), {}), "target") << c.name;
  }
}

TEST(DurableFiles, MayReplaceOnlyARegularFileOrNothing) {
  TempDir dir;
  const fs::path file = dir.path() / "file";
  std::ofstream(file) << "x";
  fs::create_directory(dir.path() / "directory");
  bool there = true;
  EXPECT_TRUE(may_replace((dir.path() / "absent").string().c_str(), &there));
  EXPECT_FALSE(there);
  EXPECT_TRUE(may_replace(file.string().c_str(), &there));
  EXPECT_TRUE(there);
  EXPECT_FALSE(may_replace((dir.path() / "directory").string().c_str(), &there));
  long long size = -1;
  FILE* opened = open_regular_file(file.string().c_str(), &size);
  ASSERT_NE(opened, nullptr);
  std::fclose(opened);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(open_regular_file((dir.path() / "directory").string().c_str(), &size), nullptr);
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

std::string contents_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void put(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A left-over beside the database with clusters of its own, as every
// ordinary volume has it: whatever the two hold, and wherever the byte the
// check uses, it must never call them shared (every later run would stop),
// and both files stay as they were.
struct SeparateCase {
  std::string name;
  std::string database;
  std::string leftover;
  long offset;
};

TEST(DurableFiles, SeparateStorageIsNeverTakenForShared) {
  std::mt19937 random(20261209);
  const auto random_bytes = [&random](size_t size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes)
      byte = static_cast<char>(random() & 0xFF);
    return bytes;
  };
  const std::string database = random_bytes(8192);
  const auto altered = [&database](long offset, int by) {
    std::string bytes = database;
    bytes[static_cast<size_t>(offset)] = static_cast<char>(bytes[static_cast<size_t>(offset)] ^ by);
    return bytes;
  };
  std::vector<SeparateCase> cases = {
      {"the same bytes", database, database, 600},
      {"the same bytes, in the last whole block", database, database, 8191},
      // A check cut off between its two writes leaves its byte changed;
      // the database may hold that very value by chance ("ZZ Top").
      {"the byte a check cut short left", database, altered(600, 0x5A), 600},
      {"the database's byte is the changed one", altered(600, 0x5A), database, 600},
  };
  for (int i = 0; i < 16; ++i)
    cases.push_back({"random contents " + std::to_string(i), database, random_bytes(8192),
                     static_cast<long>(random() % 8192)});
  // Every byte of a first entry's name padding, altered in turn.
  for (long offset = 18 + 33; offset < 18 + 555; ++offset)
    cases.push_back({"padding byte " + std::to_string(offset) + " altered", database,
                     altered(offset, 1 + static_cast<int>(offset % 255)), offset});

  TempDir dir;
  const fs::path database_path = dir.path() / "iTunesSD";
  const fs::path leftover_path = dir.path() / "iTunesSD.tmp";
  int told = 0;
  for (const SeparateCase& c : cases) {
    put(database_path, c.database);
    put(leftover_path, c.leftover);
    const Storage found =
        shares_storage(leftover_path.string().c_str(), database_path.string().c_str(), c.offset);
    EXPECT_NE(found, Storage::kShared) << c.name;
    told += found == Storage::kSeparate;
    EXPECT_TRUE(contents_of(database_path) == c.database) << c.name << ": the database is kept";
    EXPECT_TRUE(contents_of(leftover_path) == c.leftover) << c.name << ": the left-over is kept";
  }
  if (told == 0)
    GTEST_SKIP() << "this file system reads nothing past its cache (no direct I/O): the check "
                    "could not tell, which is never \"shared\"";
  EXPECT_EQ(told, static_cast<int>(cases.size())) << "every case was told apart";
}

TEST(DurableFiles, StorageCheckWithoutTwoFiles) {
  TempDir dir;
  const fs::path database = dir.path() / "iTunesSD";
  const fs::path leftover = dir.path() / "iTunesSD.tmp";
  put(database, std::string(8192, 'd'));
  EXPECT_EQ(shares_storage(leftover.string().c_str(), database.string().c_str(), 600),
            Storage::kSeparate)
      << "no left-over";
  put(leftover, std::string(8192, 'd'));
  EXPECT_EQ(
      shares_storage(leftover.string().c_str(), (dir.path() / "absent").string().c_str(), 600),
      Storage::kSeparate)
      << "no database";
  // Without a byte to use, the system's map tells two files apart where
  // this file system has one, or the file system is not FAT's; never
  // "shared".
  UncachedFile file;
  unsigned long long start = 0;
  ASSERT_TRUE(open_uncached(leftover.string().c_str(), false, &file));
  const bool known = first_extent(file, &start) || kept_apart_by_its_file_system(file);
  close_uncached(file);
  const Storage without_byte = known ? Storage::kSeparate : Storage::kUnknown;
  EXPECT_EQ(shares_storage(leftover.string().c_str(), database.string().c_str(), -1), without_byte)
      << "no byte to use";
  EXPECT_EQ(shares_storage(leftover.string().c_str(), database.string().c_str(), 8192),
            without_byte)
      << "past the end";
  fs::remove(leftover);
  fs::create_hard_link(database, leftover);
  EXPECT_EQ(shares_storage(leftover.string().c_str(), database.string().c_str(), 600),
            Storage::kSeparate)
      << "one file under two names frees nothing when one goes";
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
