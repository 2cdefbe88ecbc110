// What a failed run leaves behind: the old database, byte for byte, and the
// companion files, with status 1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <iterator>
#include <regex>
#include <string>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "run_program.h"
#include "transcript.h"

namespace {

// What a failed run leaves changed on the player.
enum class Left { kNothing, kPlaybackState, kDatabase };

// What a failed run prints: the step and reason, what it left, and either
// the usual advice or, when the file system reports damage, the check.
const std::string kReadOnly =
    "The iPod's volume is read-only. If it was not made read-only on purpose, the system may have "
    "found damage on it: check it with fsck.vfat, then run this program again.";

std::string write_error(const std::string& what, Left left = Left::kNothing) {
  const bool damage = what.ends_with(std::strerror(EIO));
  const char* state = left == Left::kNothing ? "Nothing was changed on the iPod."
                      : left == Left::kPlaybackState
                          ? "The old database was kept, but its playback state was reset."
                          : "The database may be incomplete: run this program again.";
  if (what.ends_with(std::strerror(EROFS)))
    return lines(
        {"ERROR: Could not write the new iPod database file (" + what + ")!", state, kReadOnly});
  if (damage)
    return lines({"ERROR: Could not write the new iPod database file (" + what + ")!", state,
                  "The iPod's file system may be damaged: check it with fsck.vfat, then run "
                  "this program again."});
  return lines({"ERROR: Could not write the new iPod database file (" + what + ")!",
                std::string(state) + " Please make sure that:",
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

const std::string kCannotWriteReadOnly =
    lines({"ERROR: Cannot write to the iPod database file (iTunesSD)!", kReadOnly});

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
  explicit UsedDevice(SmallVolume volume) : tree(volume) {
    if (tree.mounted())
      fill();
  }

  void fill() {
    old_db = old_database();
    write_file(tree.database(), old_db);
    for (const auto& name : kCompanions)
      write_file(tree.itunes() / name, name);
  }

  void expect_untouched(bool leftover_stays = false) const {
    EXPECT_TRUE(read_file(tree.database()) == old_db) << "the old database is not kept";
    for (const auto& name : kCompanions)
      EXPECT_EQ(read_file(tree.itunes() / name), name) << name << " is kept";
    EXPECT_EQ(path_exists(tree.itunes() / "iTunesSD.tmp"), leftover_stays);
  }

  // After a run over a volume that holds only /a.mp3: the old header and
  // entry as templates, the count and the one entry filled in.
  void expect_rebuilt() const {
    const std::string name = std::string(
                                 "\0/\0a\0.\0m\0p\0"
                                 "3",
                                 13) +
                             std::string(510, '\0') + std::string("\x01\0\0", 3);
    const std::string entry = std::string("\x00\x02\x2E", 3) + std::string(3, '\x09') +
                              std::string(20, '\0') + "\x64\x09\x09\x01\x09\x09" + name;
    const std::string header = old_db.substr(0, 18);
    EXPECT_TRUE(read_file(tree.database()) == header + entry) << "the new database is not in place";
    for (const auto& name : kCompanions)
      EXPECT_FALSE(path_exists(tree.itunes() / name)) << name << " is reset";
    EXPECT_FALSE(path_exists(tree.itunes() / "iTunesSD.tmp")) << "no temporary file is left";
  }
};

TEST(Failure, VolumeFull) {
  UsedDevice device(SmallVolume{64 * 1024});
  if (!device.tree.mounted())
    GTEST_SKIP() << device.tree.why_not();
  for (int i = 0; i < 300; ++i)
    device.tree.add_file("Music/track" + std::to_string(1000 + i) + ".mp3");
  const RunResult run = run_tarnwick(device.tree.root());
  EXPECT_EQ(comparable(run.output),
            comparable(banner_and_templates(true, true) +
                       lines({"/: 0 files", "/iPod_Control: 0 files",
                              "/iPod_Control/iTunes: 0 files", "/Music: 300 files"}) +
                       write_error(std::string("writing an entry: ") + std::strerror(ENOSPC))));
  EXPECT_EQ(run.status, 1);
  device.expect_untouched();
}

// Each step of writing the new database, failing or interrupted in turn.
struct FaultCase {
  const char* name;
  int files;  // playable files in Music
  rlim_t file_size_limit;
  const char* fault;  // a call made to fail or interrupted there, or ""
  const char* step;   // what the error names; "" for an interruption
  int error;
  bool replaced = false;  // the rename was made (or, interrupted, had begun)
  Left left = Left::kNothing;
  bool companions_reset = false;
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, LeaveEverythingAsItWas) {
  SKIP_FOR_WINDOWS_BUILD("file-size limits and preloading bind wine itself");
  SKIP_WITHOUT_PRELOAD();
  const FaultCase& c = GetParam();
  UsedDevice device;
  for (int i = 0; i < c.files; ++i)
    device.tree.add_file("Music/track" + std::to_string(1000 + i) + ".mp3");
  RunOptions options{.file_size_limit = c.file_size_limit};
  if (*c.fault)
    options.environment = {std::string("LD_PRELOAD=") + FAULT_INJECTION,
                           std::string("TARNWICK_FAULT=") + c.fault,
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
  const RunResult run = run_tarnwick(device.tree.root(), options);

  std::string expected =
      banner_and_templates(true, true) +
      lines({"/: 0 files", "/iPod_Control: 0 files", "/iPod_Control/iTunes: 0 files"});
  const bool interrupted = !*c.step;
  if (interrupted) {
    // Killed by the signal: the output ends at its last flush, the head of
    // the last progress line.
    EXPECT_EQ(run.output, expected + "/Music: ");
    EXPECT_EQ(run.status, -1);
  } else {
    if (c.files > 0)
      expected += lines({"/Music: " + std::to_string(c.files) + " files"});
    // Entries fill the write buffer only past about a hundred of them.
    if (c.files < 100)
      expected += lines({std::to_string(c.files) + " playable files were found on your iPod.", "",
                         "Fixing iTunesSD header."});
    expected += write_error(std::string(c.step) + ": " + std::strerror(c.error), c.left);
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.status, 1);
  }
  if (!c.replaced && !c.companions_reset)
    return device.expect_untouched();
  for (const auto& name : kCompanions)
    EXPECT_FALSE(path_exists(device.tree.itunes() / name)) << name << " is reset first";
  EXPECT_FALSE(path_exists(device.tree.itunes() / "iTunesSD.tmp"));
  if (c.replaced)
    EXPECT_EQ(read_file(device.tree.database()).size(), 18u + 558 * c.files);
  else
    EXPECT_TRUE(read_file(device.tree.database()) == device.old_db) << "the old database is kept";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    testing::Values(
        FaultCase{"disk_full_at_the_header", 0, 10, "", "writing the header", EFBIG},
        FaultCase{"disk_full_after_the_header", 2, 600, "", "writing the header", EFBIG},
        FaultCase{"disk_full_among_the_entries", 300, 50'000, "", "writing an entry", EFBIG},
        FaultCase{"flush_to_the_device_fails", 2, RLIM_INFINITY, "fsync", "writing to the iPod",
                  EIO},
        FaultCase{"companion_deletions_not_flushed", 2, RLIM_INFINITY, "fsync-directory",
                  "resetting the playback state", EIO, false, Left::kPlaybackState, true},
        FaultCase{"rename_fails", 2, RLIM_INFINITY, "rename", "replacing iTunesSD", EIO, false,
                  Left::kDatabase, true},
        FaultCase{"rename_refused", 2, RLIM_INFINITY, "rename:EACCES", "replacing iTunesSD", EACCES,
                  false, Left::kPlaybackState, true},
        FaultCase{"directory_flush_after_the_rename_fails", 2, RLIM_INFINITY, "fsync-directory@2",
                  "replacing iTunesSD", EIO, true, Left::kDatabase, true},
        FaultCase{"renamed_file_flush_fails", 2, RLIM_INFINITY, "fsync@2", "replacing iTunesSD",
                  EIO, true, Left::kDatabase, true},
        FaultCase{"terminated_while_flushing", 2, RLIM_INFINITY, "fsync:TERM", "", 0},
        FaultCase{"hung_up_while_flushing", 2, RLIM_INFINITY, "fsync:HUP", "", 0},
        FaultCase{"ctrl_backslash_while_flushing", 2, RLIM_INFINITY, "fsync:QUIT", "", 0},
        // Every signal that would end the program is an interruption.
        FaultCase{"cpu_time_limit_while_flushing", 2, RLIM_INFINITY, "fsync:XCPU", "", 0},
        FaultCase{"alarm_while_flushing", 2, RLIM_INFINITY, "fsync:ALRM", "", 0},
        FaultCase{"user_signal_1_while_flushing", 2, RLIM_INFINITY, "fsync:USR1", "", 0},
        FaultCase{"user_signal_2_while_flushing", 2, RLIM_INFINITY, "fsync:USR2", "", 0},
        FaultCase{"virtual_alarm_while_flushing", 2, RLIM_INFINITY, "fsync:VTALRM", "", 0},
        FaultCase{"profiling_alarm_while_flushing", 2, RLIM_INFINITY, "fsync:PROF", "", 0},
        FaultCase{"power_failure_signal_while_flushing", 2, RLIM_INFINITY, "fsync:PWR", "", 0},
        FaultCase{"stack_fault_signal_while_flushing", 2, RLIM_INFINITY, "fsync:STKFLT", "", 0},
        FaultCase{"real_time_signal_while_flushing", 2, RLIM_INFINITY, "fsync:RTMIN", "", 0},
        FaultCase{"ctrl_c_while_resetting", 2, RLIM_INFINITY, "unlink@2:INT", "", 0},
        FaultCase{"ctrl_c_at_the_rename", 2, RLIM_INFINITY, "rename:INT", "", 0, true,
                  Left::kDatabase, true},
        FaultCase{"terminated_at_the_rename", 2, RLIM_INFINITY, "rename:TERM", "", 0, true,
                  Left::kDatabase, true}),
    NameOfCase());

TEST(Failure, OutOfMemoryWhileCollectingNames) {
  SKIP_FOR_WINDOWS_BUILD("a memory limit would bind wine itself");
  if (kAddressSanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit";
  UsedDevice device;
  device.tree.add_file("Small/a.mp3");
  // The least address space, in whole MiB, in which the program completes here.
  rlim_t enough = 0;
  for (rlim_t mib = 4; mib <= 256 && enough == 0; ++mib)
    if (run_tarnwick(device.tree.root(), {.memory_limit = mib << 20}).status == 0)
      enough = mib << 20;
  ASSERT_NE(enough, 0u) << "the program did not complete in 256 MiB";

  UsedDevice big;
  // About 4 MiB of names in one directory: more than the run above left over
  // (its peak is while the program loads).
  for (int i = 0; i < 16000; ++i)
    big.tree.add_file("Big/" + std::to_string(10000 + i) + std::string(230, 'n') + ".mp3");
  const RunResult run = run_tarnwick(big.tree.root(), {.memory_limit = enough});
  EXPECT_EQ(run.output,
            banner_and_templates(true, true) + lines({"/: 0 files", "/Big: out of memory"}) +
                write_error(std::string("searching for files: ") + std::strerror(ENOMEM)));
  EXPECT_EQ(run.status, 1);
  big.expect_untouched();
}

TEST(Failure, ReaderGoneEarly) {
  SKIP_FOR_WINDOWS_BUILD("a broken pipe is a POSIX case");
  UsedDevice device;
  for (int i = 0; i < 500; ++i)
    device.tree.add_file("Albums/" + std::to_string(i) + "/song.mp3");
  const RunResult run = run_tarnwick(
      device.tree.root(), {.shell = "\"$@\" | head -n 1; echo \"status ${PIPESTATUS[0]}\""});
  // The lost output changes nothing: the run completes as it would have.
  EXPECT_EQ(run.output, kBanner + "\nstatus 0\n");
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
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(run.output, lines({kBanner, "", "Rebuilding iTunesSD file header from scratch.",
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
  const RunResult run = run_tarnwick(device.tree.root(), RunOptions{.as_nobody = true});
  EXPECT_EQ(run.output, lines({kBanner, "", "Using iTunesSD file header from existing database.",
                               "Using iTunesSD entry header from existing database."}) +
                            kCannotWrite);
  EXPECT_EQ(run.status, 1);
  device.expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadOnly,
                         testing::Values(ReadOnlyCase{"database_file", "iTunesSD"},
                                         ReadOnlyCase{"itunes_directory", ""}),
                         NameOfCase());

// What a user, another run or a crafted volume can put around a run, and
// what the run leaves: the old database byte for byte or the new one.
struct HostileCase {
  const char* name;
  void (*arrange)(UsedDevice&);
  RunOptions options;
  std::string output;  // after the banner
  bool rebuilt;
  int status;
  bool posix_only = true;
  bool leftover_stays = false;
};

class Hostile : public testing::TestWithParam<HostileCase> {};

const std::string kTemplatesKept = lines({"Using iTunesSD file header from existing database.",
                                          "Using iTunesSD entry header from existing database."});
const std::string kWalked = lines({"", "Searching for files on the iPod.", "/: 1 files",
                                   "/iPod_Control: 0 files", "/iPod_Control/iTunes: 0 files"});
const std::string kCompleted = kTemplatesKept + kWalked + closing(1, {"OK.", "OK.", "OK."});
const std::string kSearching = lines({"", "Searching for files on the iPod.", "/: 1 files"});

// The program with one call made to go wrong (see fault_injection.cc).
RunOptions with_fault(const std::string& fault, const std::string& shell = "") {
  return {.environment = {std::string("LD_PRELOAD=") + FAULT_INJECTION, "TARNWICK_FAULT=" + fault,
                          "TARNWICK_OUTSIDE=../elsewhere", "ASAN_OPTIONS=verify_asan_link_order=0"},
          .shell = shell};
}

TEST_P(Hostile, OldOrNewDatabaseNeverAMix) {
  const HostileCase& c = GetParam();
  if (c.posix_only)
    SKIP_FOR_WINDOWS_BUILD("links, special files, descriptors and nobody are POSIX cases");
  std::string why;
  if (c.options.as_nobody && !can_run_as_ordinary_user(&why))
    GTEST_SKIP() << why;
  if (!c.options.environment.empty())
    SKIP_WITHOUT_PRELOAD();
  UsedDevice device;
  device.tree.add_file("a.mp3");
  const fs::path outside = device.tree.root().parent_path() / "outside";
  write_file(outside, "outside");
  c.arrange(device);
  const RunResult run = run_tarnwick(device.tree.root(), c.options);
  EXPECT_EQ(comparable(run.output),
            comparable(c.output.starts_with("status") ? c.output : kBanner + "\n\n" + c.output));
  EXPECT_EQ(run.status, c.status);
  // A write-only database, kept or with its mode passed on to the new one:
  // tests run by the user the program ran as (no root to drop from) read
  // it this way.
  if (geteuid() != 0 && path_exists(device.tree.database()) &&
      access(device.tree.database().c_str(), R_OK) != 0)
    fs::permissions(device.tree.database(), fs::perms::owner_read, fs::perm_options::add);
  if (c.rebuilt)
    device.expect_rebuilt();
  else
    device.expect_untouched(c.leftover_stays);
  EXPECT_EQ(read_file(outside), "outside") << "nothing outside the volume is written";
}

const fs::path kTemp = "iTunesSD.tmp";

// The program run twice: with the fault, then without it, each run's
// status printed (and the shell's notices of a killed run silenced).
const std::string kRunThenRunAgain =
    "exec 2>/dev/null; \"$@\" >/dev/null; echo \"status $?\"\n"
    "unset TARNWICK_FAULT LD_PRELOAD; \"$@\" >/dev/null; echo \"status $?\"";

INSTANTIATE_TEST_SUITE_P(
    Cases, Hostile,
    testing::Values(
        HostileCase{"temporary_name_links_outside",
                    [](UsedDevice& d) {
                      fs::create_symlink(d.tree.root().parent_path() / "outside",
                                         d.tree.itunes() / kTemp);
                    },
                    RunOptions{}, kCompleted, true, 0},
        HostileCase{
            "temporary_name_is_a_hard_link_and_the_run_fails",
            [](UsedDevice& d) { fs::create_hard_link(d.tree.database(), d.tree.itunes() / kTemp); },
            RunOptions{.file_size_limit = 300},
            kTemplatesKept + kWalked +
                lines({"1 playable files were found on your iPod.", "",
                       "Fixing iTunesSD header."}) +
                write_error(std::string("writing the header: ") + std::strerror(EFBIG)),
            false, 1},
        HostileCase{"temporary_name_is_a_fifo",
                    [](UsedDevice& d) { mkfifo((d.tree.itunes() / kTemp).c_str(), 0644); },
                    RunOptions{}, kCompleted, true, 0},
        HostileCase{"temporary_name_is_a_read_only_file",
                    [](UsedDevice& d) {
                      write_file(d.tree.itunes() / kTemp, "left over");
                      fs::permissions(d.tree.itunes() / kTemp, fs::perms::owner_read);
                      give_to_nobody(d.tree.root());
                    },
                    RunOptions{.as_nobody = true}, kCompleted, true, 0},
        // A left-over with the database's very bytes, but clusters of its
        // own (a run killed before its rename): removed, never taken for
        // damage, or every later run would fail too.
        HostileCase{"left_over_with_the_database_bytes_in_its_own_storage",
                    [](UsedDevice& d) { write_file(d.tree.itunes() / kTemp, d.old_db); },
                    RunOptions{}, kCompleted, true, 0, false},
        HostileCase{"left_over_linked_to_the_database",
                    [](UsedDevice& d) {
                      fs::create_hard_link(d.tree.database(), d.tree.itunes() / kTemp);
                    },
                    RunOptions{}, kCompleted, true, 0},
        // Writable but not readable: what it holds cannot be known (a later
        // player's database?), so it is not replaced.
        HostileCase{"database_without_read_permission",
                    [](UsedDevice& d) {
                      give_to_nobody(d.tree.root());
                      fs::permissions(d.tree.database(), fs::perms::owner_write);
                    },
                    RunOptions{.as_nobody = true},
                    write_error(std::string("reading the old database: ") +
                                std::strerror(EACCES)),
                    false, 1},
        // Only a database that is not there is no database: a failed read
        // stops the run before anything changes.
        HostileCase{"read_of_the_old_database_fails", [](UsedDevice&) {},
                    with_fault("read-database"),
                    write_error(std::string("reading the old database: ") + std::strerror(EIO)),
                    false, 1},
        HostileCase{"read_of_the_old_database_refused", [](UsedDevice&) {},
                    with_fault("read-database:EACCES"),
                    write_error(std::string("reading the old database: ") +
                                std::strerror(EACCES)),
                    false, 1},
        HostileCase{"no_memory_to_read_the_old_database", [](UsedDevice&) {},
                    with_fault("read-database:ENOMEM"),
                    write_error(std::string("reading the old database: ") +
                                std::strerror(ENOMEM)),
                    false, 1},
        HostileCase{"read_of_the_old_database_interrupted_is_made_again", [](UsedDevice&) {},
                    with_fault("read-database:EINTR"), kCompleted, true, 0},
        HostileCase{"old_database_cannot_be_opened", [](UsedDevice&) {},
                    with_fault("open-old"),
                    write_error(std::string("reading the old database: ") + std::strerror(EIO)),
                    false, 1},
        HostileCase{"read_of_a_later_players_database_fails",
                    [](UsedDevice& d) {
                      d.old_db = "bdhs" + d.old_db;
                      write_file(d.tree.database(), d.old_db);
                    },
                    with_fault("read-database"),
                    write_error(std::string("reading the old database: ") + std::strerror(EIO)),
                    false, 1},
        // A failed write of entries that the C runtime kept in the stream's
        // flag and did not report.
        HostileCase{"entry_write_failure_kept_in_the_stream", [](UsedDevice&) {},
                    with_fault("write-silent@2:ENOSPC"),
                    kTemplatesKept + kWalked +
                        write_error(std::string("writing an entry: ") + std::strerror(ENOSPC)),
                    false, 1},
        HostileCase{"header_write_failure_kept_in_the_stream", [](UsedDevice&) {},
                    with_fault("write-silent@1:EIO"),
                    kTemplatesKept +
                        write_error(std::string("writing the header: ") + std::strerror(EIO)),
                    false, 1},
        HostileCase{"kind_of_the_old_database_cannot_be_asked", [](UsedDevice&) {},
                    with_fault("fstat-old"),
                    write_error(std::string("reading the old database: ") + std::strerror(EIO)),
                    false, 1},
        // The storage check on left-overs with clusters of their own: never
        // "shared", or every later run would stop on a healthy player.
        HostileCase{"storage_check_killed_between_its_two_writes",
                    [](UsedDevice& d) {
                      d.old_db = first_entry_naming(d.old_db, "/a.mp3");
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, d.old_db);
                    },
                    with_fault("pwrite@2:KILL", kRunThenRunAgain), "status 137\nstatus 0\n",
                    true, 0},
        HostileCase{"storage_check_interrupted_between_its_two_writes",
                    [](UsedDevice& d) {
                      d.old_db = first_entry_naming(d.old_db, "/a.mp3");
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, d.old_db);
                    },
                    with_fault("pwrite@2:INT", kRunThenRunAgain), "status 130\nstatus 0\n",
                    true, 0},
        HostileCase{"storage_check_cannot_put_its_byte_back",
                    [](UsedDevice& d) {
                      d.old_db = first_entry_naming(d.old_db, "/a.mp3");
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, d.old_db);
                    },
                    with_fault("pwrite@2"), kCompleted, true, 0},
        // A check the device fails vouches for nothing: the left-over stays.
        HostileCase{"storage_check_cannot_read_the_left_over",
                    [](UsedDevice& d) {
                      d.old_db = first_entry_naming(d.old_db, "/a.mp3");
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, d.old_db);
                    },
                    with_fault("pread@1"),
                    kTemplatesKept + write_error(std::string("checking the left-over temporary "
                                                             "file: ") +
                                                 std::strerror(EIO)),
                    false, 1, true, true},
        HostileCase{"storage_check_cannot_look_after_its_change",
                    [](UsedDevice& d) {
                      d.old_db = first_entry_naming(d.old_db, "/a.mp3");
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, d.old_db);
                    },
                    with_fault("pread@3:ENOMEM"),
                    kTemplatesKept + write_error(std::string("checking the left-over temporary "
                                                             "file: ") +
                                                 std::strerror(ENOMEM)),
                    false, 1, true, true},
        HostileCase{"storage_check_read_interrupted_is_made_again",
                    [](UsedDevice& d) {
                      d.old_db = first_entry_naming(d.old_db, "/a.mp3");
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, d.old_db);
                    },
                    with_fault("pread@3:EINTR"), kCompleted, true, 0},
        // The database's first path holds "Z" just past the end of the
        // left-over's first path: the very value the check writes there.
        HostileCase{"database_holds_the_byte_the_check_writes",
                    [](UsedDevice& d) {
                      d.old_db = first_entry_naming(d.old_db, "/Music/ZZ Top.mp3");
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, first_entry_naming(d.old_db, "/A/1.aa"));
                    },
                    RunOptions{}, kCompleted, true, 0, false},
        HostileCase{"temporary_name_is_an_empty_directory",
                    [](UsedDevice& d) { d.tree.add_dir("iPod_Control/iTunes/iTunesSD.tmp"); },
                    RunOptions{}, kCompleted, true, 0, false},
        HostileCase{"temporary_name_is_a_full_directory",
                    [](UsedDevice& d) { d.tree.add_file("iPod_Control/iTunes/iTunesSD.tmp/x"); },
                    RunOptions{}, kTemplatesKept + kCannotWrite, false, 1, false, true},
        HostileCase{"database_of_a_later_player",
                    [](UsedDevice& d) {
                      d.old_db = "bdhs" + d.old_db;
                      write_file(d.tree.database(), d.old_db);
                    },
                    RunOptions{}, kCannotWrite, false, 1, false},
        HostileCase{"standard_output_closed", [](UsedDevice&) {},
                    RunOptions{.shell = "\"$@\" >&-; echo \"status $?\""}, "status 0\n", true, 0},
        HostileCase{"out_of_file_handles", [](UsedDevice&) {},
                    RunOptions{.shell = "ulimit -n 5 && exec \"$@\""},
                    kTemplatesKept + lines({"", "Searching for files on the iPod."}) +
                        "/: out of file handles\n" +
                        write_error(std::string("searching for files: ") + std::strerror(EMFILE)),
                    false, 1},
        HostileCase{
            "root_cannot_be_listed",
            [](UsedDevice& d) {
              give_to_nobody(d.tree.root());
              fs::permissions(d.tree.root(), fs::perms::owner_write | fs::perms::owner_exec);
            },
            RunOptions{.as_nobody = true},
            kTemplatesKept + lines({"", "Searching for files on the iPod.", "/: cannot browse"}) +
                write_error(std::string("searching for files: ") + std::strerror(EACCES)),
            false, 1},
        // What was asked for must reach its reader for the answer to succeed.
        HostileCase{"help_into_a_full_device", [](UsedDevice&) {},
                    RunOptions{.args = {}, .shell = "\"$@\" --help >/dev/full; echo \"status $?\""},
                    "status 1\n", false, 0},
        HostileCase{"version_into_a_full_device", [](UsedDevice&) {},
                    RunOptions{.args = {},
                               .shell = "\"$@\" --version >/dev/full; echo \"status $?\""},
                    "status 1\n", false, 0},
        HostileCase{"help_with_standard_output_closed", [](UsedDevice&) {},
                    RunOptions{.args = {}, .shell = "\"$@\" --help >&-; echo \"status $?\""},
                    "status 1\n", false, 0},
        HostileCase{"version_with_standard_output_closed", [](UsedDevice&) {},
                    RunOptions{.args = {}, .shell = "\"$@\" --version >&-; echo \"status $?\""},
                    "status 1\n", false, 0},
        HostileCase{"null_device_unavailable_with_streams_closed", [](UsedDevice&) {},
                    with_fault("open-null:ENFILE", "\"$@\" <&- >&-; echo \"status $?\""),
                    "status 1\n", false, 0},
        HostileCase{"no_room_for_the_temporary_file", [](UsedDevice&) {},
                    with_fault("open-temp:ENOSPC"),
                    kTemplatesKept + write_error(std::string("creating the temporary file: ") +
                                                 std::strerror(ENOSPC)),
                    false, 1},
        HostileCase{"no_descriptors_for_the_temporary_file", [](UsedDevice&) {},
                    with_fault("open-temp:ENFILE"),
                    kTemplatesKept + write_error(std::string("creating the temporary file: ") +
                                                 std::strerror(ENFILE)),
                    false, 1},
        HostileCase{"ctrl_c_while_the_temporary_file_is_created", [](UsedDevice&) {},
                    with_fault("open-temp:INT", "\"$@\"; echo \"status $?\""), "status 130\n",
                    false, 0},
        // A read-only volume says so, with a database or without.
        HostileCase{"volume_read_only_at_the_left_over", [](UsedDevice&) {},
                    with_fault("unlink:EROFS"), kTemplatesKept + kCannotWriteReadOnly, false, 1},
        HostileCase{"volume_read_only_at_the_database", [](UsedDevice&) {},
                    with_fault("open-database:EROFS"), kTemplatesKept + kCannotWriteReadOnly,
                    false, 1},
        HostileCase{"volume_read_only_at_the_temporary_file", [](UsedDevice&) {},
                    with_fault("open-temp:EROFS"), kTemplatesKept + kCannotWriteReadOnly, false,
                    1},
        HostileCase{"no_descriptors_to_open_the_database", [](UsedDevice&) {},
                    with_fault("open-database:ENFILE"),
                    kTemplatesKept +
                        write_error(std::string("opening the database: ") + std::strerror(ENFILE)),
                    false, 1},
        // No descriptor left to read the old database with: not "no database".
        HostileCase{"out_of_file_handles_for_the_templates", [](UsedDevice&) {},
                    RunOptions{.shell = "ulimit -n 4 && exec \"$@\""},
                    write_error(std::string("reading the old database: ") + std::strerror(EMFILE)),
                    false, 1},
        // Only a control folder that is not there is a missing one; only a
        // refusal is "Cannot write": any other failure is named.
        HostileCase{"control_folder_on_a_failing_device", [](UsedDevice&) {}, with_fault("chdir"),
                    write_error(std::string("opening the iPod control directory: ") +
                                std::strerror(EIO)),
                    false, 1},
        HostileCase{"database_opened_on_a_failing_device", [](UsedDevice&) {},
                    with_fault("open-database"),
                    kTemplatesKept +
                        write_error(std::string("opening the database: ") + std::strerror(EIO)),
                    false, 1},
        HostileCase{"listing_breaks_off_below_the_root", [](UsedDevice&) {},
                    with_fault("getdents64@4"),
                    kTemplatesKept + kSearching + "/iPod_Control: cannot browse\n" +
                        closing(1, {"OK.", "OK.", "OK."}),
                    true, 0},
        HostileCase{"listing_of_the_root_breaks_off", [](UsedDevice&) {}, with_fault("getdents64@2"),
                    kTemplatesKept + lines({"", "Searching for files on the iPod.",
                                            "/: cannot browse"}) +
                        write_error(std::string("searching for files: ") + std::strerror(EIO)),
                    false, 1},
        HostileCase{"folder_exchanged_for_a_link_during_the_walk",
                    [](UsedDevice& d) {
                      d.tree.add_dir("Aa");
                      const fs::path elsewhere = d.tree.root().parent_path() / "elsewhere";
                      fs::create_directories(elsewhere);
                      write_file(elsewhere / "stray.mp3", "");
                    },
                    with_fault("openat:SWAP"),
                    kTemplatesKept + kSearching +
                        lines({"/Aa: cannot browse", "/iPod_Control: 0 files",
                               "/iPod_Control/iTunes: 0 files"}) +
                        closing(1, {"OK.", "OK.", "OK."}),
                    true, 0},
        HostileCase{"lock_let_go_while_a_finished_run_waits_for_enter", [](UsedDevice&) {},
                    RunOptions{.args = {},
                               .shell = "mkfifo ../enter; \"$@\" <../enter >../first.out &\n"
                                        "exec 3>../enter\n"
                                        "until grep -qs ENTER ../first.out; do sleep 0.05; done\n"
                                        "\"$@\" -q >../second.out; echo \"status $?\"\n"
                                        "exec 3>&-; wait; grep -c Waiting ../second.out"},
                    "status 0\n0\n", true, 1},
        // Interrupted while its output is stuck in a full pipe, after the
        // temporary file exists and long before the rename: the same point
        // for both programs (wine turns SIGINT into a Ctrl-C event).
        HostileCase{"ctrl_c_during_the_walk",
                    [](UsedDevice& d) {
                      for (int i = 0; i < 2000; ++i)
                        d.tree.add_dir("Music/folder-with-a-long-name-" + std::to_string(i));
                    },
                    RunOptions{.shell = "set -m; mkfifo ../out\n"
                                        "\"$@\" >../out 2>&1 & program=$!\n"
                                        "exec 3<../out\n"
                                        "until [ -e iPod_Control/iTunes/iTunesSD.tmp ]; do\n"
                                        "  sleep 0.02\n"
                                        "done\n"
                                        "exec 2>/dev/null\n"  // no job notices
                                        "kill -INT $program; cat <&3 >/dev/null &\n"
                                        "wait $program && echo 'status 0' || echo 'status failed'"},
                    "status failed\n", false, 0, false},
        HostileCase{"control_directory_is_a_link",
                    [](UsedDevice& d) {
                      // "../.." from the link's target leads to another tree.
                      const fs::path other = d.tree.root().parent_path() / "other";
                      fs::create_directories(other);
                      write_file(other / "stray.mp3", "");
                      fs::rename(d.tree.root() / "iPod_Control", other / "control");
                      fs::create_directory_symlink(other / "control",
                                                   d.tree.root() / "iPod_Control");
                    },
                    RunOptions{},
                    kTemplatesKept + lines({"", "Searching for files on the iPod.", "/: 1 files"}) +
                        closing(1, {"OK.", "OK.", "OK."}),
                    true, 0}),
    NameOfCase());

// What a run says it left is read from the volume: a companion reported
// missing while it is there was not reset, and a rename reported failed
// after it was made put the new database in place.
TEST(Failure, CompanionReportedMissingButThereFailed) {
  SKIP_FOR_WINDOWS_BUILD("preloading binds wine itself (windows_fault_test.cc has this case)");
  SKIP_WITHOUT_PRELOAD();
  UsedDevice device;
  device.tree.add_file("a.mp3");
  // The first unlink is the left-over's; the second the playback state's.
  const RunResult run = run_tarnwick(device.tree.root(), with_fault("unlink@2:ENOENT"));
  EXPECT_EQ(run.output, kBanner + "\n\n" + kTemplatesKept + kWalked +
                            closing(1, {"FAILED.", "OK.", "OK."}, true));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(device.tree.itunes() / "iTunesPState"), "iTunesPState");
  EXPECT_EQ(read_file(device.tree.database()).size(), 18u + 558);
}

TEST(Failure, RenameReportedFailedAfterItWasMade) {
  SKIP_FOR_WINDOWS_BUILD("preloading binds wine itself (windows_fault_test.cc has this case)");
  SKIP_WITHOUT_PRELOAD();
  UsedDevice device;
  device.tree.add_file("a.mp3");
  RunOptions options = with_fault("rename:EACCES");
  options.environment.push_back("TARNWICK_FAULT_DONE=1");
  const RunResult run = run_tarnwick(device.tree.root(), options);
  EXPECT_EQ(run.output, kBanner + "\n\n" + kCompleted);
  EXPECT_EQ(run.status, 0);
  device.expect_rebuilt();
}

TEST(Failure, DatabaseThatIsAFifoDoesNotHang) {
  SKIP_FOR_WINDOWS_BUILD("FIFOs are a POSIX case");
  DeviceTree tree;
  ASSERT_EQ(mkfifo(tree.database().c_str(), 0644), 0);
  const RunResult run = run_tarnwick(tree.root(), {.timeout_seconds = 20});
  EXPECT_EQ(run.output, lines({kBanner, "", "Rebuilding iTunesSD file header from scratch.",
                               "Rebuilding iTunesSD entry header from scratch."}) +
                            kCannotWrite);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(fs::is_fifo(tree.database()));
  EXPECT_FALSE(path_exists(tree.itunes() / kTemp));
}

TEST(Failure, NewDatabaseKeepsTheOldOwnerAndMode) {
  SKIP_FOR_WINDOWS_BUILD("owners and modes are POSIX");
  std::string why;
  if (!can_run_as_ordinary_user(&why) || geteuid() != 0)
    GTEST_SKIP() << "needs root to run first and nobody after: " << why;
  UsedDevice device;
  device.tree.add_file("a.mp3");
  give_to_nobody(device.tree.root());
  fs::permissions(device.tree.database(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  ASSERT_EQ(run_tarnwick(device.tree.root()).status, 0);
  struct stat st;
  ASSERT_EQ(stat(device.tree.database().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(run_tarnwick(device.tree.root(), RunOptions{.as_nobody = true}).status, 0)
      << "an ordinary user can still rebuild after a run as root";
}

// Two runs started together on the same player, as a double-click twice
// would: one waits for the other, and the database is whole.
TEST(Failure, TwoRunsAtOnce) {
  DeviceTree tree;
  constexpr int kDirs = 100;
  constexpr int kFilesEach = 300;
  std::vector<std::u16string> expected;
  for (int d = 0; d < kDirs; ++d) {
    const std::string dir = "d" + std::to_string(1000 + d);
    tree.add_dir(dir);
    for (int f = 0; f < kFilesEach; ++f) {
      const std::string file = dir + "/" + std::to_string(1000 + f) + ".mp3";
      write_file(tree.root() / file, "");
      expected.push_back(u"/" + std::u16string(file.begin(), file.end()));
    }
  }
  const std::string waiting = "Waiting for another run of this program on the iPod to end ...\n";
  // The same player reached by another path (another drive letter, a
  // mount folder) is still the same player.
  const fs::path other_path = tree.root().parent_path() / "same-player";
  fs::create_directory_symlink(tree.root(), other_path);
  int started_again = 0;
  for (int round = 0; round < 3; ++round) {
    auto other = std::async(std::launch::async,
                            [&] { return run_tarnwick(round == 1 ? other_path : tree.root()); });
    const RunResult runs[] = {run_tarnwick(tree.root()), other.get()};
    if (std::any_of(std::begin(runs), std::end(runs), wine_printed_nothing) &&
        started_again++ == 0) {
      std::printf("round %d started again: wine ended a run before it printed anything\n", round);
      --round;
      continue;
    }
    for (const RunResult& run : runs) {
      EXPECT_EQ(run.status, 0) << run.output;
      EXPECT_TRUE(
          run.output.ends_with("The iPod shuffle database was rebuilt successfully.\n"
                               "Have fun listening to your music!\n"));
      EXPECT_EQ(run.output.find(waiting), run.output.rfind(waiting)) << "waits at most once";
    }
    const std::string db = read_file(tree.database());
    ASSERT_EQ(db.size(), 18u + 558u * kDirs * kFilesEach) << "round " << round;
    EXPECT_EQ(db.substr(0, 3), std::string("\x00\x75\x30", 3)) << "30000 entries";
    EXPECT_TRUE(entry_names(db) == expected) << "round " << round;
    EXPECT_FALSE(path_exists(tree.itunes() / kTemp));
  }
}

}  // namespace
