// The run from start to end: transcripts, arguments, templates, companions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "run_program.h"
#include "transcript.h"

namespace {

const std::vector<std::string> kEmptyRootLines = {"/: 0 files", "/iPod_Control: 0 files",
                                                  "/iPod_Control/iTunes: 0 files"};
const std::string kEmptyRoot = lines(kEmptyRootLines);

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes)
    text += std::string{digits[c >> 4], digits[c & 15], ' '};
  return text;
}

TEST(Run, TwoFilesInMusic) {
  DeviceTree tree;
  tree.add_file("Music/one.mp3");
  tree.add_file("Music/two.mp3");
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(
      run.output,
      lines({kBanner, "", "Rebuilding iTunesSD file header from scratch.",
             "Rebuilding iTunesSD entry header from scratch.", "",
             "Searching for files on the iPod.", "/: 0 files", "/iPod_Control: 0 files",
             "/iPod_Control/iTunes: 0 files", "/Music: 2 files",
             "2 playable files were found on your iPod.", "", "Fixing iTunesSD header.",
             "Resetting playback state ... not needed.", "Resetting statistics ... not needed.",
             "Resetting shuffle sequence ... not needed.", "",
             "The iPod shuffle database was rebuilt successfully.",
             "Have fun listening to your music!"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(tree.database()).size(), 18u + 2 * 558);
  EXPECT_FALSE(path_exists(tree.itunes() / "iTunesSD.tmp"));
}

TEST(Run, DatabaseBytesFromScratch) {
  DeviceTree tree;
  tree.add_file("a.mp3");
  tree.add_file("b.m4b");
  tree.add_file("c.wav");
  tree.add_file("d.aa");
  tree.add_file("e.m4a");
  ASSERT_EQ(run_tarnwick(tree.root()).status, 0);
  const std::string db = read_file(tree.database());
  ASSERT_EQ(db.size(), 18u + 5 * 558);
  EXPECT_EQ(hex(db.substr(0, 18)), "00 00 05 01 06 00 00 00 12 00 00 00 00 00 00 00 00 00 ");
  const std::string head =
      "00 02 2e 5a a5 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
      "00 00 00 64 00 00 ";
  const std::string tail_zeros = [] {
    std::string zeros;
    for (int i = 0; i < 522 - 12; ++i)
      zeros += "00 ";
    return zeros;
  }();
  struct Expected {
    std::string type_and_name;  // bytes 29 to 44
    std::string flags;          // bytes 555 to 557: shuffle, keeps its place
  };
  // Audiobooks stay out of shuffle and go on where they were left.
  const Expected expected[] = {
      {"01 00 02 00 2f 00 61 00 2e 00 6d 00 70 00 33 00 ", "01 00 00 "},
      {"02 00 02 00 2f 00 62 00 2e 00 6d 00 34 00 62 00 ", "00 01 00 "},
      {"04 00 02 00 2f 00 63 00 2e 00 77 00 61 00 76 00 ", "01 00 00 "},
      {"04 00 02 00 2f 00 64 00 2e 00 61 00 61 00 00 00 ", "00 01 00 "},
      {"02 00 02 00 2f 00 65 00 2e 00 6d 00 34 00 61 00 ", "01 00 00 "},
  };
  for (size_t i = 0; i < std::size(expected); ++i)
    EXPECT_EQ(hex(db.substr(18 + 558 * i, 558)),
              head + expected[i].type_and_name + tail_zeros + expected[i].flags)
        << "entry " << i;
}

struct ArgumentCase {
  const char* name;
  std::vector<std::string> args;
  bool pauses;
  bool answers = false;  // prints the usage or the version and touches nothing
  bool windows_only = false;
  int status = 0;  // 2: an unknown option, answered with the usage
};

std::string usage() {
  return lines({"Usage: tarnwick [-q] [--check | --keep-places]",
                "Rebuilds the track database of a 1st or 2nd generation iPod shuffle,",
                "iPod_Control/iTunes/iTunesSD, listing every playable file on the player,",
                "and resets the player's playback state, statistics and shuffle sequence.",
                "Start it with the player's root folder (the one that holds iPod_Control)",
                "as the working directory.", "",
                "  -q             do not wait for ENTER at the end",
                "  --check        change nothing: show what a rebuild would change, the",
                "                 files it would leave out and why, and the names that",
                "                 may not play",
                "  --keep-places  keep each track's place and its play and skip counts",
                std::string("  --help         show this text and exit (also -h") +
                    (windows_build() ? " and /?)" : ")"),
                "  --version      show the version and exit", "",
                "Exit status: 0 when the database was rebuilt, 1 when it was not,",
                "2 for an option this program does not know (then nothing is touched).",
                "With --check: 0 when the database is what a rebuild would write,",
                "1 when a rebuild would change it, 2 when it cannot tell."});
}

class Arguments : public testing::TestWithParam<ArgumentCase> {};

TEST_P(Arguments, DashQSkipsThePauseAndUnknownOptionsTouchNothing) {
  const ArgumentCase& c = GetParam();
  if (c.windows_only && !windows_build())
    GTEST_SKIP() << "only the Windows program takes /?";
  DeviceTree tree;
  write_file(tree.itunes() / "iTunesStats", "stats");
  const RunResult run = run_tarnwick(tree.root(), {.args = c.args, .input = "\n"});
  EXPECT_EQ(run.status, c.status);
  if (c.answers) {
    EXPECT_EQ(run.output, c.args[0] == "--version" ? "tarnwick " TARNWICK_VERSION "\n" : usage());
    EXPECT_FALSE(path_exists(tree.database())) << "nothing is written";
    EXPECT_EQ(read_file(tree.itunes() / "iTunesStats"), "stats") << "nothing is reset";
    return;
  }
  const std::string expected =
      banner_and_templates() + kEmptyRoot + closing(0, {"not needed.", "OK.", "not needed."});
  EXPECT_EQ(run.output, c.pauses ? expected + "\nPress ENTER to quit ...\n" : expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Arguments,
    testing::Values(
        ArgumentCase{"none", {}, true}, ArgumentCase{"dash_q", {"-q"}, false},
        ArgumentCase{"with_another", {"-q", "x"}, false},
        ArgumentCase{"another_first", {"x", "-q"}, false},
        ArgumentCase{"twice", {"-q", "-q"}, false}, ArgumentCase{"not_an_option", {"x"}, true},
        ArgumentCase{"help", {"--help"}, false, true}, ArgumentCase{"h", {"-h"}, false, true},
        ArgumentCase{"slash_question_mark", {"/?"}, false, true, true},
        ArgumentCase{"version", {"--version"}, false, true},
        ArgumentCase{"help_with_another", {"--help", "-q"}, false, true},
        ArgumentCase{"mistyped_version", {"--verison"}, false, true, false, 2},
        ArgumentCase{"upper_case", {"-Q"}, false, true, false, 2},
        ArgumentCase{"longer", {"-qq"}, false, true, false, 2},
        ArgumentCase{"lone_dash", {"-"}, false, true, false, 2},
        ArgumentCase{"unknown_after_dash_q", {"-q", "--quiet"}, false, true, false, 2},
        ArgumentCase{"unknown_before_help", {"--halp", "--help"}, false, true, false, 2}),
    NameOfCase());

TEST(Run, PauseEndsAtEndOfInput) {
  DeviceTree tree;
  const RunResult run = run_tarnwick(tree.root(), {.args = {}});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.output.ends_with("\nPress ENTER to quit ...\n"));
}

TEST(Run, RefusesADirectoryThatIsNoDeviceRoot) {
  const std::string error = lines({
      kBanner,
      "",
      "ERROR: No iPod control directory found!",
      "Please make sure that:",
      " (*) this program's working directory is the iPod's root directory",
      " (*) the iPod was correctly initialized with iTunes",
  });
  for (const char* layout : {"", "iPod_Control", "iPod_Control/itunes-not"}) {
    TempDir dir;
    if (*layout)
      fs::create_directories(dir.path() / layout);
    write_file(dir.path() / "song.mp3", "");
    const RunResult run = run_tarnwick(dir.path(), {.args = {}, .input = "\n"});
    EXPECT_EQ(run.output, error + "\nPress ENTER to quit ...\n") << layout;
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(path_exists(dir.path() / "iPod_Control/iTunes/iTunesSD"));
  }
}

// An existing database of a given length, whose bytes tell where they are.
std::string old_database(size_t length, bool header_length_ok = true, bool entry_length_ok = true) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i)
    bytes[i] = static_cast<char>(0x80 + i % 64);
  if (length >= 18 && header_length_ok)
    bytes.replace(6, 3, "\x00\x00\x12", 3);
  if (length >= 18 + 558 && entry_length_ok)
    bytes.replace(18, 3, "\x00\x02\x2E", 3);
  return bytes;
}

struct TemplateCase {
  const char* name;
  std::string old;
  bool header_kept;
  bool entry_kept;
};

class Templates : public testing::TestWithParam<TemplateCase> {};

TEST_P(Templates, TakenOverOnlyWhenTheirLengthFieldsAgree) {
  const TemplateCase& c = GetParam();
  DeviceTree tree;
  write_file(tree.database(), c.old);
  tree.add_file("x/a.aa");
  tree.add_file("x/b.mp3");
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(run.output, banner_and_templates(c.header_kept, c.entry_kept) + kEmptyRoot +
                            lines({"/x: 2 files"}) + closing(2));
  const std::string db = read_file(tree.database());
  ASSERT_EQ(db.size(), 18u + 2 * 558);
  const std::string header =
      c.header_kept ? c.old.substr(0, 18)
                    : std::string("\0\0\0\x01\x06\0\0\0\x12", 9) + std::string(9, '\0');
  EXPECT_EQ(hex(db.substr(3, 15)), hex(header.substr(3, 15)));
  EXPECT_EQ(hex(db.substr(0, 3)), "00 00 02 ") << "the count fills all three bytes";
  std::string old_entry = c.entry_kept
                              ? c.old.substr(18, 558)
                              : std::string("\0\x02\x2E\x5A\xA5\x01", 6) + std::string(20, '\0') +
                                    std::string("\x64\0\0\x01\0\x02", 6);
  // One track's start, stop and volume are never every track's.
  old_entry.replace(6, 21, std::string(20, '\0') + "\x64");
  for (const auto& [at, type_and_name] :
       {std::pair{18u, std::string("\x04")}, std::pair{18u + 558, std::string("\x01")}}) {
    const std::string entry = db.substr(at, 558);
    EXPECT_EQ(hex(entry.substr(0, 29)), hex(old_entry.substr(0, 29)));
    EXPECT_EQ(hex(entry.substr(29, 4)),
              hex(type_and_name + old_entry.substr(30, 2) + std::string(1, '\0')));
    EXPECT_EQ(hex(entry.substr(555)), at == 18 ? "00 01 00 " : "01 00 00 ");
  }
  EXPECT_EQ(hex(db.substr(18 + 33, 10)), "2f 00 78 00 2f 00 61 00 2e 00 ");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Templates,
    testing::Values(TemplateCase{"empty_file", "", false, false},
                    TemplateCase{"shorter_than_a_header", old_database(17), false, false},
                    TemplateCase{"exactly_a_header", old_database(18), true, false},
                    TemplateCase{"header_and_part_of_an_entry", old_database(575), true, false},
                    TemplateCase{"header_and_entry", old_database(576), true, true},
                    TemplateCase{"longer", old_database(18 + 558 * 3 + 7), true, true},
                    TemplateCase{"header_length_wrong", old_database(576, false), false, false},
                    TemplateCase{"entry_length_wrong", old_database(576, true, false), true,
                                 false}),
    NameOfCase());

TEST(Run, ResetsTheCompanionFiles) {
  DeviceTree tree;
  tree.add_file("iPod_Control/iTunes/iTunesPState", "state");
  tree.add_file("iPod_Control/iTunes/iTunesShuffle", "shuffle");
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(run.output,
            banner_and_templates() + kEmptyRoot + closing(0, {"OK.", "not needed.", "OK."}));
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(path_exists(tree.itunes() / "iTunesPState"));
  EXPECT_FALSE(path_exists(tree.itunes() / "iTunesShuffle"));
}

TEST(Run, WarnsWhenACompanionFileStays) {
  DeviceTree tree;
  tree.add_file("iPod_Control/iTunes/iTunesPState", "state");
  tree.add_file("iPod_Control/iTunes/iTunesStats/keep", "a directory in its place");
  tree.add_file("iPod_Control/iTunes/iTunesShuffle", "shuffle");
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(run.output,
            banner_and_templates() +
                lines({"/: 0 files", "/iPod_Control: 0 files", "/iPod_Control/iTunes: 0 files",
                       "/iPod_Control/iTunes/iTunesStats: 0 files"}) +
                closing(0, {"OK.", "FAILED.", "OK."}, true));
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(path_exists(tree.itunes() / "iTunesShuffle")) << "later files are still reset";
  EXPECT_EQ(read_file(tree.database()).size(), 18u);
}

// Every path below root with its bytes and its modification time.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> state;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    state[entry.path().string()] =
        std::to_string(entry.last_write_time().time_since_epoch().count()) +
        (entry.is_regular_file() ? read_file(entry.path()) : "/");
  return state;
}

struct CheckCase {
  const char* name;
  std::vector<std::string> files;  // "-" before a name: removed after the rebuild
  bool rebuild_first;
  std::function<void(std::string&)> edit_database;  // after the rebuild
  std::vector<std::string> report;                  // after the banner's empty line
  int status;
  std::string fault{};  // a preloaded fault (fault_injection.cc), or ""
};

class Check : public testing::TestWithParam<CheckCase> {};

TEST_P(Check, ChangesNothingAndTellsWhatARebuildWould) {
  const CheckCase& c = GetParam();
  SKIP_IF_A_FAULT_CANNOT_BE_PRELOADED(c.fault);
  DeviceTree tree;
  for (const std::string& file : c.files) {
    if (file[0] != '-')
      tree.add_file(file);
  }
  if (c.rebuild_first) {
    ASSERT_EQ(run_tarnwick(tree.root()).status, 0);
  }
  for (const std::string& file : c.files) {
    if (file[0] == '-')
      fs::remove(tree.root() / file.substr(1));
  }
  if (c.edit_database) {
    std::string db = read_file(tree.database());
    c.edit_database(db);
    write_file(tree.database(), db);
  }
  tree.add_file("iPod_Control/iTunes/iTunesStats", "stats");
  const auto before = snapshot(tree.root());
  // Access times long past, which a read or a listing would bring to now.
  const timespec past[2] = {{1577836800, 0}, {0, UTIME_OMIT}};
  for (const auto& [path, state] : before)  // listed first: a listing touches them too
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), past, AT_SYMLINK_NOFOLLOW), 0);
  RunOptions options = c.fault.empty() ? RunOptions{} : with_posix_fault(c.fault);
  options.args = {"--check"};
  const RunResult run = run_tarnwick(tree.root(), options);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.output, lines({kBanner, ""}) + lines(c.report));
#ifdef __linux__  // the one system with a way to read without touching them
  for (const auto& [path, state] : before) {
    struct stat st = {};
    if (windows_build())
      break;
    EXPECT_TRUE(stat(path.c_str(), &st) == 0 && st.st_atim.tv_sec == past[0].tv_sec)
        << path << ": its access time changed";
  }
#endif
  EXPECT_EQ(snapshot(tree.root()), before) << "no byte and no time stamp changed";
}

void swap_first_two(std::string& db) {
  std::swap_ranges(db.begin() + 18, db.begin() + 18 + 558, db.begin() + 18 + 558);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Check,
    testing::Values(
        CheckCase{"no_database",
                  {"a.mp3", "b.flac", "Don\u2019t.mp3", "Caf\u00e9.m4b"},
                  false,
                  {},
                  {"Searching for files on the iPod.", "/: 3 files",
                   "Skipped, not a playable kind: /b.flac", "/iPod_Control: 0 files",
                   "/iPod_Control/iTunes: 0 files", "3 playable files were found on your iPod.", "",
                   "May not play, a name beyond plain ASCII: /Caf\u00e9.m4b",
                   "May not play, a curly apostrophe (\u2019) in its name: /Don\u2019t.mp3",
                   "There is no database: a rebuild would write one."},
                  1},
        CheckCase{
            "same",
            {"a.mp3", "x/b.flac"},
            true,
            {},
            {"Searching for files on the iPod.", "/: 1 files", "/iPod_Control: 0 files",
             "/iPod_Control/iTunes: 0 files", "/x: 0 files",
             "Skipped, not a playable kind: /x/b.flac", "1 playable files were found on your iPod.",
             "", "The database is what a rebuild would write."},
            0},
        CheckCase{"added_and_dropped",
                  {"x/a.mp3", "x/b.mp3", "-x/a.mp3"},
                  true,
                  [](std::string& db) { db.resize(18 + 558); },
                  {"Searching for files on the iPod.", kEmptyRootLines[0], kEmptyRootLines[1],
                   kEmptyRootLines[2], "/x: 1 files", "1 playable files were found on your iPod.",
                   "", "Dropped: /x/a.mp3", "Added: /x/b.mp3",
                   "A rebuild would change the database: 1 added, 1 dropped, 0 moved."},
                  1},
        CheckCase{"moved",
                  {"x/a.mp3", "x/b.mp3", "x/c.mp3"},
                  true,
                  swap_first_two,
                  {"Searching for files on the iPod.", kEmptyRootLines[0], kEmptyRootLines[1],
                   kEmptyRootLines[2], "/x: 3 files", "3 playable files were found on your iPod.",
                   "", "Moved: /x/a.mp3",
                   "A rebuild would change the database: 0 added, 0 dropped, 1 moved."},
                  1},
        CheckCase{"other_bytes",
                  {"a.mp3", "b.mp3"},
                  true,
                  [](std::string& db) { db[18 + 558 + 6] = 1; },  // a start time
                  {"Searching for files on the iPod.", "/: 2 files", kEmptyRootLines[1],
                   kEmptyRootLines[2], "2 playable files were found on your iPod.", "",
                   "A rebuild would rewrite the database: same tracks, same order, other bytes."},
                  1},
        CheckCase{"later_player",
                  {"a.mp3"},
                  true,
                  [](std::string& db) { db.replace(0, 4, "bdhs"); },
                  {"Cannot check the database (iTunesSD belongs to a later iPod model)."},
                  2},
        // A read that gives nothing and names no error tells nothing.
        CheckCase{"later_player_read_short",
                  {"a.mp3"},
                  true,
                  [](std::string& db) { db.replace(0, 4, "bdhs"); },
                  {"Cannot check the database (reading the old database: Input/output error)."},
                  2,
                  "read-short"}),
    NameOfCase());

// Statistics for three tracks, each record's bytes its own.
std::string statistics(int count = 3, int records = 3) {
  std::string bytes{static_cast<char>(count), 0, 0, 0, 0, 0};
  for (char i = 0; i < records; ++i)
    bytes += std::string{18, 0, 0, i, i, i, 0x21, 0, i, 0x22, 0, i, i, 0, 1, i, 0, 2};
  return bytes;
}

struct KeepCase {
  const char* name;
  std::string old_statistics;  // "" for none
  std::string fault;           // a preloaded fault (fault_injection.cc), or ""
  std::string new_statistics;  // "" for none afterwards
  std::string statistics_line;
  bool sound = true;
  std::vector<std::string> args = {"-q", "--keep-places"};
  bool left_over = false;  // an iTunesStats.tmp left by a run that died
};

class KeepPlaces : public testing::TestWithParam<KeepCase> {};

TEST_P(KeepPlaces, CarriedOverByPathInTheNewOrder) {
  const KeepCase& c = GetParam();
  SKIP_IF_A_FAULT_CANNOT_BE_PRELOADED(c.fault);
  DeviceTree tree;
  for (const char* file : {"x/a.mp3", "x/b.mp3", "x/c.m4b"})
    tree.add_file(file);
  ASSERT_EQ(run_tarnwick(tree.root()).status, 0);
  if (!c.old_statistics.empty())
    write_file(tree.itunes() / "iTunesStats", c.old_statistics);
  if (c.left_over)
    write_file(tree.itunes() / "iTunesStats.tmp", "left over");
  fs::remove(tree.root() / "x/b.mp3");
  tree.add_file("x/0.mp3");
  const std::string old_db = read_file(tree.database());
  RunOptions options = c.fault.empty() ? RunOptions{} : with_posix_fault(c.fault);
  options.args = c.args;
  const RunResult run = run_tarnwick(tree.root(), options);
  EXPECT_EQ(path_exists(tree.itunes() / "iTunesStats.tmp"), c.left_over && c.args.size() == 1);
  if (c.statistics_line.empty()) {  // interrupted: the old database, its statistics reset
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(read_file(tree.database()), old_db);
    EXPECT_FALSE(path_exists(tree.itunes() / "iTunesStats"));
    return;
  }
  std::string closed = closing(3, {"not needed.", "OK."}, c.statistics_line.ends_with("FAILED."));
  closed.replace(closed.find("Resetting statistics ... OK."), 28, c.statistics_line);
  EXPECT_EQ(run.output,
            lines({kBanner, "", "Using iTunesSD file header from existing database.",
                   "Using iTunesSD entry header from existing database."}) +
                (c.sound ? "" : "The statistics do not match the old database: they are reset.\n") +
                lines({"", "Searching for files on the iPod."}) + kEmptyRoot +
                lines({"/x: 3 files"}) + closed);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(tree.database()).size(), 18u + 3 * 558);
  if (c.new_statistics.empty())
    EXPECT_FALSE(path_exists(tree.itunes() / "iTunesStats"));
  else
    EXPECT_EQ(hex(read_file(tree.itunes() / "iTunesStats")), hex(c.new_statistics));
}

const std::string kNewTrack{18, 0, 0, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::string kKept = statistics().substr(0, 6) + kNewTrack + statistics().substr(6, 18) +
                          statistics().substr(6 + 2 * 18);

INSTANTIATE_TEST_SUITE_P(
    Cases, KeepPlaces,
    testing::Values(KeepCase{"carried_over", statistics(), "", kKept,
                             "Keeping statistics of 2 of 3 tracks ... OK."},
                    KeepCase{"one_byte_more", statistics() + "x", "", "",
                             "Resetting statistics ... OK.", false},
                    KeepCase{"record_length_wrong", statistics().replace(6 + 18, 1, 1, 17), "", "",
                             "Resetting statistics ... OK.", false},
                    KeepCase{"count_not_the_databases", statistics(2, 2), "", "",
                             "Resetting statistics ... OK.", false},
                    KeepCase{"none_and_a_left_over",
                             "",
                             "",
                             "",
                             "Resetting statistics ... not needed.",
                             true,
                             {"-q", "--keep-places"},
                             true},
                    KeepCase{"without_the_option",
                             statistics(),
                             "",
                             "",
                             "Resetting statistics ... OK.",
                             true,
                             {"-q"},
                             true},
                    // The player made statistics beside what a killed run
                    // left: two files, told apart by what they hold.
                    KeepCase{"left_over_beside_them",
                             statistics(),
                             "",
                             kKept,
                             "Keeping statistics of 2 of 3 tracks ... OK.",
                             true,
                             {"-q", "--keep-places"},
                             true},
                    KeepCase{"rename_fails", statistics(), "rename@2", "",
                             "Keeping statistics of 2 of 3 tracks ... FAILED."},
                    KeepCase{"terminated_while_flushing_them", statistics(), "fsync@2:TERM", "",
                             ""}),
    NameOfCase());

}  // namespace
