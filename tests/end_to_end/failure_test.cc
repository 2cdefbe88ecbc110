// What a failed run leaves behind: the old database, byte for byte, and the
// companion files, with status 1; and what hostile volumes and two runs at
// once leave. (The faults made to happen at the program's calls are the
// rows of fault_table_test.cc.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

// Under wine the C runtime's errno after a failed write does not say why (it
// says "No such file or directory" for a full disk), so for the Windows build
// the reason after the step is left out of the comparison.
std::string comparable(const std::string& transcript) {
  if (!windows_build())
    return transcript;
  static const std::regex reason(R"(\((writing [a-z ]+): [^)]*\)!)");
  return std::regex_replace(transcript, reason, "($1: ...)!");
}

TEST(Failure, VolumeFull) {
  Player device(SmallVolume{64 * 1024});
  if (!device.tree.mounted())
    GTEST_SKIP() << device.tree.why_not();
  for (int i = 0; i < 300; ++i)
    device.tree.add_file("Music/track" + std::to_string(1000 + i) + ".mp3");
  const RunResult run = run_tarnwick(device.tree.root());
  EXPECT_EQ(comparable(run.output),
            comparable(banner_and_templates(true, true) +
                       lines({"/: 0 files", "/iPod_Control: 0 files",
                              "/iPod_Control/iTunes: 0 files", "/Music: 300 files"}) +
                       write_error("writing an entry", ENOSPC)));
  EXPECT_EQ(run.status, 1);
  device.expect_untouched();
}

TEST(Failure, OutOfMemoryWhileCollectingNames) {
  SKIP_FOR_WINDOWS_BUILD("a memory limit would bind wine itself");
  if (kAddressSanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit";
  Player device(Scenario::kOldDatabase, {"Small/a.mp3"});
  // The least address space, in whole MiB, in which the program completes here.
  rlim_t enough = 0;
  for (rlim_t mib = 4; mib <= 256 && enough == 0; ++mib)
    if (run_tarnwick(device.tree.root(), {.memory_limit = mib << 20}).status == 0)
      enough = mib << 20;
  ASSERT_NE(enough, 0u) << "the program did not complete in 256 MiB";

  Player big(Scenario::kOldDatabase, {});
  // About 4 MiB of names in one directory: more than the run above left over
  // (its peak is while the program loads).
  for (int i = 0; i < 16000; ++i)
    big.tree.add_file("Big/" + std::to_string(10000 + i) + std::string(230, 'n') + ".mp3");
  const RunResult run = run_tarnwick(big.tree.root(), {.memory_limit = enough});
  EXPECT_EQ(run.output, banner_and_templates(true, true) +
                            lines({"/: 0 files", "/Big: out of memory"}) +
                            write_error("searching for files", ENOMEM));
  EXPECT_EQ(run.status, 1);
  big.expect_untouched();
}

TEST(Failure, ReaderGoneEarly) {
  SKIP_FOR_WINDOWS_BUILD("a broken pipe is a POSIX case");
  Player device(Scenario::kOldDatabase, {});
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
                            cannot_write());
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
  Player device;
  give_to_nobody(device.tree.root());
  fs::permissions(device.tree.itunes() / GetParam().read_only,
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const RunResult run = run_tarnwick(device.tree.root(), RunOptions{.as_nobody = true});
  EXPECT_EQ(run.output, lines({kBanner, "", "Using iTunesSD file header from existing database.",
                               "Using iTunesSD entry header from existing database."}) +
                            cannot_write());
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
  void (*arrange)(Player&) = [](Player&) {};
  Scenario scenario = Scenario::kOldDatabase;
  RunOptions options{};
  std::string output{};  // after the banner
  bool rebuilt = false;
  int status = 1;
  bool posix_only = true;
  bool leftover_stays = false;
};

class Hostile : public testing::TestWithParam<HostileCase> {};

const std::string kWalked = lines({"", "Searching for files on the iPod.", "/: 1 files",
                                   "/iPod_Control: 0 files", "/iPod_Control/iTunes: 0 files"});
const std::string kCompleted = kTemplatesKept + kWalked + closing(1, {"OK.", "OK.", "OK."});
const std::string kSearching = lines({"", "Searching for files on the iPod.", "/: 1 files"});

TEST_P(Hostile, OldOrNewDatabaseNeverAMix) {
  const HostileCase& c = GetParam();
  if (c.posix_only)
    SKIP_FOR_WINDOWS_BUILD("links, special files, descriptors and nobody are POSIX cases");
  std::string why;
  if (c.options.as_nobody && !can_run_as_ordinary_user(&why))
    GTEST_SKIP() << why;
  if (!c.options.environment.empty())
    SKIP_WITHOUT_PRELOAD();
  Player device(c.scenario);
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

// One row a case, its fields packed as a table's, not one to a line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, Hostile,
    testing::Values(
        HostileCase{.name = "temporary_name_links_outside", .arrange = [](Player& d) {
                      fs::create_symlink(d.tree.root().parent_path() / "outside",
                                         d.tree.itunes() / kTemp);
                    }, .output = kCompleted, .rebuilt = true, .status = 0},
        HostileCase{.name = "temporary_name_is_a_hard_link_and_the_run_fails",
                    .arrange = [](Player& d) {
                      fs::create_hard_link(d.tree.database(), d.tree.itunes() / kTemp);
                    }, .options = {.file_size_limit = 300},
                    .output = kTemplatesKept + kWalked +
                              lines({"1 playable files were found on your iPod.", "",
                                     "Fixing iTunesSD header."}) +
                              write_error("writing the header", EFBIG)},
        HostileCase{.name = "temporary_name_is_a_fifo", .arrange = [](Player& d) {
                      mkfifo((d.tree.itunes() / kTemp).c_str(), 0644);
                    }, .output = kCompleted, .rebuilt = true, .status = 0},
        HostileCase{.name = "temporary_name_is_a_read_only_file", .arrange = [](Player& d) {
                      write_file(d.tree.itunes() / kTemp, "left over");
                      fs::permissions(d.tree.itunes() / kTemp, fs::perms::owner_read);
                      give_to_nobody(d.tree.root());
                    }, .options = {.as_nobody = true}, .output = kCompleted, .rebuilt = true,
                    .status = 0},
        // A left-over with the database's very bytes, but clusters of its
        // own (a run killed before its rename): removed, never taken for
        // damage, or every later run would fail too.
        HostileCase{.name = "left_over_with_the_database_bytes_in_its_own_storage",
                    .scenario = Scenario::kLeftOver, .output = kCompleted, .rebuilt = true,
                    .status = 0, .posix_only = false},
        // The same with no byte the check may change (a database without
        // tracks), or with it past the first block (a long path): where the
        // file system is not FAT's, storage of its own all the same.
        HostileCase{.name = "left_over_of_a_database_without_tracks", .arrange = [](Player& d) {
                      d.old_db = d.old_db.substr(0, 2) + '\0' + d.old_db.substr(3, 15);
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, d.old_db);
                    }, .output = lines({"Using iTunesSD file header from existing database.",
                                        "Rebuilding iTunesSD entry header from scratch."}) +
                                 kWalked + closing(1, {"OK.", "OK.", "OK."}),
                    .rebuilt = true, .status = 0},
        HostileCase{.name = "left_over_with_its_byte_past_the_first_block",
                    .arrange = [](Player& d) {
                      d.old_db = first_entry_naming(d.old_db, "/" + std::string(240, 'a'));
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, d.old_db);
                    }, .output = kCompleted, .rebuilt = true, .status = 0},
        HostileCase{.name = "left_over_linked_to_the_database", .arrange = [](Player& d) {
                      fs::create_hard_link(d.tree.database(), d.tree.itunes() / kTemp);
                    }, .output = kCompleted, .rebuilt = true, .status = 0},
        // Writable but not readable: what it holds cannot be known (a later
        // player's database?), so it is not replaced.
        HostileCase{.name = "database_without_read_permission", .arrange = [](Player& d) {
                      give_to_nobody(d.tree.root());
                      fs::permissions(d.tree.database(), fs::perms::owner_write);
                    }, .options = {.as_nobody = true},
                    .output = write_error("reading the old database", EACCES)},
        // The database's first path holds "Z" just past the end of the
        // left-over's first path: the very value the check writes there.
        HostileCase{.name = "database_holds_the_byte_the_check_writes",
                    .arrange = [](Player& d) {
                      d.old_db = first_entry_naming(d.old_db, "/Music/ZZ Top.mp3");
                      write_file(d.tree.database(), d.old_db);
                      write_file(d.tree.itunes() / kTemp, first_entry_naming(d.old_db, "/A/1.aa"));
                    }, .output = kCompleted, .rebuilt = true, .status = 0,
                    .posix_only = false},
        HostileCase{.name = "temporary_name_is_an_empty_directory", .arrange = [](Player& d) {
                      d.tree.add_dir("iPod_Control/iTunes/iTunesSD.tmp");
                    }, .output = kCompleted, .rebuilt = true, .status = 0,
                    .posix_only = false},
        HostileCase{.name = "temporary_name_is_a_full_directory", .arrange = [](Player& d) {
                      d.tree.add_file("iPod_Control/iTunes/iTunesSD.tmp/x");
                    }, .output = kTemplatesKept + cannot_write(), .posix_only = false,
                    .leftover_stays = true},
        HostileCase{.name = "database_of_a_later_player", .scenario = Scenario::kLaterPlayer,
                    .output = cannot_write(), .posix_only = false},
        // Its statistics are not read, nor said to be reset.
        HostileCase{.name = "database_of_a_later_player_keeping_places",
                    .scenario = Scenario::kLaterPlayer,
                    .options = {.args = {"-q", "--keep-places"}}, .output = cannot_write(),
                    .posix_only = false},
        HostileCase{.name = "standard_output_closed",
                    .options = {.shell = "\"$@\" >&-; echo \"status $?\""},
                    .output = "status 0\n", .rebuilt = true, .status = 0},
        HostileCase{.name = "out_of_file_handles",
                    .options = {.shell = "ulimit -n 5 && exec \"$@\""},
                    .output = kTemplatesKept + lines({"", "Searching for files on the iPod."}) +
                              "/: out of file handles\n" +
                              write_error("searching for files", EMFILE)},
        HostileCase{.name = "root_cannot_be_listed", .arrange = [](Player& d) {
                      give_to_nobody(d.tree.root());
                      fs::permissions(d.tree.root(),
                                      fs::perms::owner_write | fs::perms::owner_exec);
                    }, .options = {.as_nobody = true},
                    .output = kTemplatesKept +
                              lines({"", "Searching for files on the iPod.", "/: cannot browse"}) +
                              write_error("searching for files", EACCES)},
        // What was asked for must reach its reader for the answer to succeed.
        HostileCase{.name = "help_into_a_full_device",
                    .options = {.args = {},
                                .shell = "\"$@\" --help >/dev/full; echo \"status $?\""},
                    .output = "status 1\n", .status = 0},
        HostileCase{.name = "version_into_a_full_device",
                    .options = {.args = {},
                                .shell = "\"$@\" --version >/dev/full; echo \"status $?\""},
                    .output = "status 1\n", .status = 0},
        HostileCase{.name = "help_with_standard_output_closed",
                    .options = {.args = {}, .shell = "\"$@\" --help >&-; echo \"status $?\""},
                    .output = "status 1\n", .status = 0},
        HostileCase{.name = "version_with_standard_output_closed",
                    .options = {.args = {}, .shell = "\"$@\" --version >&-; echo \"status $?\""},
                    .output = "status 1\n", .status = 0},
        // No descriptor left to read the old database with: not "no database".
        HostileCase{.name = "out_of_file_handles_for_the_templates",
                    .options = {.shell = "ulimit -n 4 && exec \"$@\""},
                    .output = write_error("reading the old database", EMFILE)},
        HostileCase{.name = "folder_exchanged_for_a_link_during_the_walk",
                    .arrange = [](Player& d) {
                      d.tree.add_dir("Aa");
                      const fs::path elsewhere = d.tree.root().parent_path() / "elsewhere";
                      fs::create_directories(elsewhere);
                      write_file(elsewhere / "stray.mp3", "");
                    }, .options = with_posix_fault("openat:SWAP"),
                    .output = kTemplatesKept + kSearching +
                              lines({"/Aa: cannot browse", "/iPod_Control: 0 files",
                                     "/iPod_Control/iTunes: 0 files"}) +
                              closing(1, {"OK.", "OK.", "OK."}),
                    .rebuilt = true, .status = 0},
        HostileCase{.name = "lock_let_go_while_a_finished_run_waits_for_enter",
                    .options = {.args = {},
                                .shell = "mkfifo ../enter; \"$@\" <../enter >../first.out &\n"
                                         "exec 3>../enter\n"
                                         "until grep -qs ENTER ../first.out; do sleep 0.05; done\n"
                                         "\"$@\" -q >../second.out; echo \"status $?\"\n"
                                         "exec 3>&-; wait; grep -c Waiting ../second.out"},
                    .output = "status 0\n0\n", .rebuilt = true},
        // Interrupted while its output is stuck in a full pipe, after the
        // temporary file exists and long before the rename: the same point
        // for both programs (wine turns SIGINT into a Ctrl-C event).
        HostileCase{.name = "ctrl_c_during_the_walk", .arrange = [](Player& d) {
                      for (int i = 0; i < 2000; ++i)
                        d.tree.add_dir("Music/folder-with-a-long-name-" + std::to_string(i));
                    }, .options = {.shell = "set -m; mkfifo ../out\n"
                                            "\"$@\" >../out 2>&1 & program=$!\n"
                                            "exec 3<../out\n"
                                            "until [ -e iPod_Control/iTunes/iTunesSD.tmp ]; do\n"
                                            "  sleep 0.02\n"
                                            "done\n"
                                            "exec 2>/dev/null\n"  // no job notices
                                            "kill -INT $program; cat <&3 >/dev/null &\n"
                                            "wait $program && echo 'status 0' || "
                                            "echo 'status failed'"},
                    .output = "status failed\n", .status = 0, .posix_only = false},
        HostileCase{.name = "control_directory_is_a_link", .arrange = [](Player& d) {
                      // "../.." from the link's target leads to another tree.
                      const fs::path other = d.tree.root().parent_path() / "other";
                      fs::create_directories(other);
                      write_file(other / "stray.mp3", "");
                      fs::rename(d.tree.root() / "iPod_Control", other / "control");
                      fs::create_directory_symlink(other / "control",
                                                   d.tree.root() / "iPod_Control");
                    }, .output = kTemplatesKept +
                                 lines({"", "Searching for files on the iPod.", "/: 1 files"}) +
                                 closing(1, {"OK.", "OK.", "OK."}),
                    .rebuilt = true, .status = 0}),
    NameOfCase());
// clang-format on

TEST(Failure, DatabaseThatIsAFifoDoesNotHang) {
  SKIP_FOR_WINDOWS_BUILD("FIFOs are a POSIX case");
  DeviceTree tree;
  ASSERT_EQ(mkfifo(tree.database().c_str(), 0644), 0);
  const RunResult run = run_tarnwick(tree.root(), {.timeout_seconds = 20});
  EXPECT_EQ(run.output, lines({kBanner, "", "Rebuilding iTunesSD file header from scratch.",
                               "Rebuilding iTunesSD entry header from scratch."}) +
                            cannot_write());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(fs::is_fifo(tree.database()));
  EXPECT_FALSE(path_exists(tree.itunes() / kTemp));
}

TEST(Failure, NewDatabaseKeepsTheOldOwnerAndMode) {
  SKIP_FOR_WINDOWS_BUILD("owners and modes are POSIX");
  std::string why;
  if (!can_run_as_ordinary_user(&why) || geteuid() != 0)
    GTEST_SKIP() << "needs root to run first and nobody after: " << why;
  Player device;
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
