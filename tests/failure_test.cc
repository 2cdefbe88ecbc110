// What a failed run leaves behind: the old database, byte for byte, and the
// companion files, with status 1.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>

#include "device_tree.h"

namespace {

const std::string kCompanions[] = {"iTunesPState", "iTunesStats", "iTunesShuffle"};

std::string write_error(const std::string& what) {
  return lines({"ERROR: Could not write the new iPod database file (" + what + ")!",
                "Nothing was changed on the iPod. Please make sure that:",
                " (*) there is enough free space on the iPod volume",
                " (*) the iPod stays connected until this program has ended"});
}

// Under wine the C runtime's errno after a failed write does not say why (it
// says "No such file or directory" for a full disk), so for the Windows build
// the reason after the step is left out of the comparison.
std::string comparable(const std::string& transcript) {
  if (!windows_build())
    return transcript;
  static const std::regex reason(R"(\((writing [a-z ]+): [^)]*\)!)");
  return std::regex_replace(transcript, reason, "($1: ...)!");
}

const std::string kCannotWrite = lines({
    "ERROR: Cannot write to the iPod database file (iTunesSD)!",
    "Please make sure that:",
    " (*) you have sufficient permissions to write to the iPod volume",
    " (*) you are actually using an iPod shuffle, and not some other iPod model :)",
});

// A device with an old database (header and one entry) and all three
// companion files.
struct UsedDevice {
  DeviceTree tree;
  std::string old_db;

  UsedDevice() { fill(); }
  explicit UsedDevice(size_t volume_bytes) : tree(volume_bytes) {
    if (tree.mounted())
      fill();
  }

  void fill() {
    old_db = std::string("\x00\x00\x01\x01\x06\x00\x00\x00\x12", 9) + std::string(9, '\x07') +
             std::string("\x00\x02\x2E", 3) + std::string(555, '\x09');
    write_file(tree.database(), old_db);
    for (const auto& name : kCompanions)
      write_file(tree.itunes() / name, name);
  }

  void expect_untouched() const {
    EXPECT_TRUE(read_file(tree.database()) == old_db) << "the old database is not kept";
    for (const auto& name : kCompanions)
      EXPECT_EQ(read_file(tree.itunes() / name), name) << name << " is kept";
    EXPECT_FALSE(path_exists(tree.itunes() / "iTunesSD.tmp")) << "no temporary file is left";
  }
};

TEST(Failure, VolumeFull) {
  UsedDevice device(64 * 1024);
  if (!device.tree.mounted())
    GTEST_SKIP() << device.tree.why_not();
  for (int i = 0; i < 300; ++i)
    device.tree.add_file("Music/track" + std::to_string(1000 + i) + ".mp3");
  const RunResult run = run_tarnwick(device.tree.root(), quiet());
  EXPECT_EQ(comparable(run.output),
            comparable(banner_and_templates(true, true) +
                       lines({"/: 0 files", "/iPod_Control: 0 files",
                              "/iPod_Control/iTunes: 0 files", "/Music: 300 files"}) +
                       write_error(std::string("writing an entry: ") + std::strerror(ENOSPC))));
  EXPECT_EQ(run.status, 1);
  device.expect_untouched();
}

// Each step of writing the new database, failing in turn.
struct FaultCase {
  const char* name;
  int files;              // playable files in Music
  rlim_t file_size_limit;
  const char* fault;      // a call made to fail, or ""
  const char* step;       // what the error names
  int error;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, LeaveEverythingAsItWas) {
  SKIP_FOR_WINDOWS_BUILD("file-size limits and preloading bind wine itself");
  const FaultCase& c = GetParam();
  UsedDevice device;
  for (int i = 0; i < c.files; ++i)
    device.tree.add_file("Music/track" + std::to_string(1000 + i) + ".mp3");
  RunOptions options = with_file_size_limit(quiet(), c.file_size_limit);
  if (*c.fault)
    options.environment = {std::string("LD_PRELOAD=") + FAULT_INJECTION,
                           std::string("TARNWICK_FAULT=") + c.fault,
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
  const RunResult run = run_tarnwick(device.tree.root(), options);

  std::string expected = banner_and_templates(true, true) +
                         lines({"/: 0 files", "/iPod_Control: 0 files",
                                "/iPod_Control/iTunes: 0 files"});
  if (c.files > 0)
    expected += lines({"/Music: " + std::to_string(c.files) + " files"});
  // Entries fill the write buffer only past about a hundred of them.
  if (c.files < 100)
    expected += lines({std::to_string(c.files) + " playable files were found on your iPod.", "",
                       "Fixing iTunesSD header."});
  expected += write_error(std::string(c.step) + ": " + std::strerror(c.error));
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(run.status, 1);
  device.expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    testing::Values(
        FaultCase{"disk_full_at_the_header", 0, 10, "", "writing the header", EFBIG},
        FaultCase{"disk_full_after_the_header", 2, 600, "", "writing the header", EFBIG},
        FaultCase{"disk_full_among_the_entries", 300, 50'000, "", "writing an entry", EFBIG},
        FaultCase{"flush_to_the_device_fails", 2, RLIM_INFINITY, "fsync", "writing to the iPod",
                  EIO},
        FaultCase{"rename_fails", 2, RLIM_INFINITY, "rename", "replacing iTunesSD", EIO}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Failure, OutOfMemoryWhileCollectingNames) {
  SKIP_FOR_WINDOWS_BUILD("a memory limit would bind wine itself");
  if (kAddressSanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit";
  UsedDevice device;
  device.tree.add_file("Small/a.mp3");
  // The least address space, in whole MiB, in which the program completes here.
  rlim_t enough = 0;
  for (rlim_t mib = 4; mib <= 256 && enough == 0; ++mib)
    if (run_tarnwick(device.tree.root(), with_memory_limit(quiet(), mib << 20)).status == 0)
      enough = mib << 20;
  ASSERT_NE(enough, 0u) << "the program did not complete in 256 MiB";

  UsedDevice big;
  // About 4 MiB of names in one directory: more than the run above left over
  // (its peak is while the program loads).
  for (int i = 0; i < 16000; ++i)
    big.tree.add_file("Big/" + std::to_string(10000 + i) + std::string(230, 'n') + ".mp3");
  const RunResult run = run_tarnwick(big.tree.root(), with_memory_limit(quiet(), enough));
  EXPECT_EQ(run.output, banner_and_templates(true, true) +
                            lines({"/: 0 files", "/Big: out of memory"}) +
                            write_error(std::string("searching for files: ") +
                                        std::strerror(ENOMEM)));
  EXPECT_EQ(run.status, 1);
  big.expect_untouched();
}

TEST(Failure, ReaderGoneEarly) {
  SKIP_FOR_WINDOWS_BUILD("a broken pipe is a POSIX case");
  UsedDevice device;
  for (int i = 0; i < 500; ++i)
    device.tree.add_file("Albums/" + std::to_string(i) + "/song.mp3");
  RunOptions options = quiet();
  options.piped_into = "head -n 1";
  const RunResult run = run_tarnwick(device.tree.root(), options);
  // The lost output changes nothing: the run completes as it would have.
  EXPECT_EQ(run.output, "Welcome to Tarnwick, version 0.5\nstatus 0\n");
  EXPECT_EQ(read_file(device.tree.database()).size(), 18u + 500 * 558);
  for (const auto& name : kCompanions)
    EXPECT_FALSE(path_exists(device.tree.itunes() / name)) << name;
  EXPECT_FALSE(path_exists(device.tree.itunes() / "iTunesSD.tmp"));
}

TEST(Failure, DirectoryInPlaceOfTheDatabase) {
  DeviceTree tree;
  tree.add_file("iPod_Control/iTunes/iTunesSD/inside", "x");
  tree.add_file("iPod_Control/iTunes/iTunesStats", "stats");
  tree.add_file("a.mp3");
  const RunResult run = run_tarnwick(tree.root(), quiet());
  EXPECT_EQ(run.output, lines({"Welcome to Tarnwick, version 0.5", "",
                               "Rebuilding iTunesSD file header from scratch.",
                               "Rebuilding iTunesSD entry header from scratch."}) +
                            kCannotWrite);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(read_file(tree.itunes() / "iTunesSD" / "inside"), "x");
  EXPECT_EQ(read_file(tree.itunes() / "iTunesStats"), "stats");
  EXPECT_FALSE(path_exists(tree.itunes() / "iTunesSD.tmp"));
}

struct ReadOnlyCase {
  const char* name;
  fs::path read_only;  // below iPod_Control/iTunes; "" for the directory itself
};

void PrintTo(const ReadOnlyCase& c, std::ostream* os) {
  *os << c.name;
}

class ReadOnly : public testing::TestWithParam<ReadOnlyCase> {};

TEST_P(ReadOnly, CannotWriteAndNothingChanges) {
  SKIP_FOR_WINDOWS_BUILD("the wine prefix cannot be shared with nobody");
  std::string why;
  if (!can_run_as_ordinary_user(&why))
    GTEST_SKIP() << why;
  UsedDevice device;
  device.tree.add_file("a.mp3");
  give_to_nobody(device.tree.root());
  fs::permissions(device.tree.itunes() / GetParam().read_only,
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const RunResult run =
      run_tarnwick(device.tree.root(), as_nobody(quiet()));
  EXPECT_EQ(run.output, lines({"Welcome to Tarnwick, version 0.5", "",
                               "Using iTunesSD file header from existing database.",
                               "Using iTunesSD entry header from existing database."}) +
                            kCannotWrite);
  EXPECT_EQ(run.status, 1);
  device.expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadOnly,
                         testing::Values(ReadOnlyCase{"database_file", "iTunesSD"},
                                         ReadOnlyCase{"itunes_directory", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
