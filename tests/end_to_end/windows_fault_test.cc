// The Windows program with its Win32 file calls made to fail, under wine
// (the layer is end_to_end/fault_injection_win32.cc, linked into
// tarnwick_faults.exe): the faults of the table below, each by name, and a
// sweep in which every file call of a run fails in turn with each error of
// kSweptErrors. The verdict is the POSIX fault table's (failure_test.cc):
// status 0 only with the whole new database; status 1 with the old database
// byte for byte, or with "may be incomplete" and a next run that mends it;
// never a temporary file left behind; the cause named as the README
// promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "run_program.h"
#include "transcript.h"

namespace {

// The Windows errors of the sweep, each with the errno kind the program is
// to name it by.
struct WindowsError {
  const char* name;
  int cause;
};

constexpr WindowsError kSweptErrors[] = {
    {"ERROR_DISK_FULL", ENOSPC},         {"ERROR_HANDLE_DISK_FULL", ENOSPC},
    {"ERROR_ACCESS_DENIED", EACCES},     {"ERROR_SHARING_VIOLATION", EACCES},
    {"ERROR_WRITE_PROTECT", EROFS},      {"ERROR_NOT_READY", EIO},
    {"ERROR_DEVICE_NOT_CONNECTED", EIO}, {"ERROR_GEN_FAILURE", EIO},
    {"ERROR_DISK_CORRUPT", EIO},         {"ERROR_NOT_ENOUGH_MEMORY", ENOMEM},
    {"ERROR_PATH_NOT_FOUND", ENOENT},    {"ERROR_TOO_MANY_OPEN_FILES", EMFILE},
    {"ERROR_LOCK_VIOLATION", EACCES},
};

// The calls that change the volume: each also fails after it was made.
const std::set<std::string> kWritingCalls = {"WriteFile",          "MoveFileExW",
                                             "DeleteFileW",        "RemoveDirectoryW",
                                             "SetFileAttributesW", "FlushFileBuffers"};

const std::string kTemp = "iTunesSD.tmp";
const std::string kLaterPlayer = "bdhs";
const std::string kSuccess =
    "\nThe iPod shuffle database was rebuilt successfully.\nHave fun listening to your music!\n";
const std::string kWarning =
    "         while resetting the other files. However, playback MAY work "
    "correctly.\n";
const std::string kDamage =
    "The iPod's file system may be damaged: check it with chkdsk, then run this program again.";
const std::string kReadOnly =
    "The iPod's volume is read-only. If it was not made read-only on purpose, the system may have "
    "found damage on it: check it with chkdsk, then run this program again.";
constexpr const char* kLabels[] = {"playback state", "statistics", "shuffle sequence"};

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> each;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    each.push_back(line);
  return each;
}

// A player as the tests find it: an old database (of a 1st or 2nd
// generation player unless later is set), its three companions, three
// tracks in three folders and, with leftover, an iTunesSD.tmp that a killed
// run left, with the database's bytes in storage of its own.
struct Player {
  DeviceTree tree;
  std::string old_db = old_database();
  bool leftover = false;

  explicit Player(bool with_leftover = false, bool later = false, bool with_database = true)
      : leftover(with_leftover) {
    if (later)
      old_db = kLaterPlayer + old_db;
    else if (with_leftover)
      old_db = first_entry_naming(old_db, "/a.mp3");  // the storage check has a byte to use
    if (with_database)
      write_file(tree.database(), old_db);
    else
      old_db.clear();
    for (const auto& name : kCompanions)
      write_file(tree.itunes() / name, name);
    for (const char* track : {"a.mp3", "Music/b.mp3", "Music/Sub/c.m4a"})
      tree.add_file(track);
    if (leftover)
      write_file(tree.itunes() / kTemp, old_db);
  }

  std::string database() const {
    return path_exists(tree.database()) ? read_file(tree.database()) : "<none>";
  }
};

// What the whole new database is: with the old database's templates, and
// with templates made from scratch (when the old one was not there).
struct Reference {
  std::string kept;
  std::string scratch;
  std::string problem;  // why there is none
};

RunOptions with_fault(const std::string& fault, const std::string& path = "") {
  RunOptions options{.fault_layer = true, .timeout_seconds = 60};
  if (!fault.empty())
    options.environment.push_back("TARNWICK_FAULT=" + fault);
  if (!path.empty())
    options.environment.push_back("TARNWICK_FAULT_PATH=" + path);
  return options;
}

const Reference& reference() {
  static const Reference made = [] {
    Reference r;
    Player kept;
    Player scratch(false, false, false);
    const RunResult from_kept = run_tarnwick(kept.tree.root(), with_fault(""));
    const RunResult from_scratch = run_tarnwick(scratch.tree.root(), with_fault(""));
    if (from_kept.status != 0 || from_scratch.status != 0)
      r.problem = "the runs without a fault failed:\n" + from_kept.output + from_scratch.output;
    r.kept = kept.database();
    r.scratch = scratch.database();
    return r;
  }();
  return made;
}

// The database with only the entries of the folders that were listed: a
// folder whose line says "cannot browse" is left out, with all below it.
std::string without_unlisted(const std::string& database, const std::string& output) {
  std::vector<std::string> unlisted;
  for (const std::string& line : lines_of(output))
    if (line.ends_with(": cannot browse"))
      unlisted.push_back(line.substr(0, line.size() - std::strlen(": cannot browse")) + "/");
  if (unlisted.empty() || database.size() < 18)
    return database;
  std::string kept = database.substr(0, 18);
  const std::vector<std::u16string> names = entry_names(database);
  int count = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string name(names[i].begin(), names[i].end());
    if (std::any_of(unlisted.begin(), unlisted.end(),
                    [&](const std::string& folder) { return name.starts_with(folder); }))
      continue;
    kept += database.substr(18 + 558 * i, 558);
    ++count;
  }
  kept[0] = static_cast<char>(count >> 16);
  kept[1] = static_cast<char>(count >> 8);
  kept[2] = static_cast<char>(count);
  return kept;
}

// Whether the companions are as the lines say: "OK." and "not needed."
// only for a file that is gone, "FAILED." only for one still there.
std::string companions_as_said(const Player& player, const std::string& output) {
  for (size_t i = 0; i < std::size(kLabels); ++i) {
    const std::string head = std::string("Resetting ") + kLabels[i] + " ... ";
    const size_t at = output.find(head);
    if (at == std::string::npos)
      return std::string("no line for the ") + kLabels[i];
    const std::string said =
        output.substr(at + head.size(), output.find('\n', at) - at - head.size());
    const bool there = path_exists(player.tree.itunes() / kCompanions[i]);
    if (there != (said == "FAILED."))
      return std::string("\"") + head + said + "\" while " + kCompanions[i] +
             (there ? " is still there" : " is gone");
  }
  return "";
}

std::string companions_kept(const Player& player) {
  for (const auto& name : kCompanions)
    if (!path_exists(player.tree.itunes() / name))
      return name + " is gone while the run says nothing was changed";
  return "";
}

// Why a run broke the rules, or "" when it kept them. cause is the errno
// kind of the error made to happen (0 for none). A "not found" (ENOENT) for
// what is there is acted on as the truth: the run must lose nothing, but
// what it names is what came of it.
std::string judge(const Player& player, const RunResult& run, int cause) {
  const bool false_absence = cause == ENOENT;
  const Reference& r = reference();
  if (!r.problem.empty())
    return r.problem;
  const std::string& out = run.output;
  const std::string db = player.database();
  const fs::path temp = player.tree.itunes() / kTemp;
  if (path_exists(temp) &&
      !(player.leftover && run.status == 1 && read_file(temp) == player.old_db))
    return "iTunesSD.tmp is left behind";
  if (run.status == 0) {
    if (!out.ends_with(kSuccess) && !out.ends_with(kWarning))
      return "status 0 without the verdict";
    const bool from_scratch = has(out, "Rebuilding iTunesSD file header from scratch.");
    if (from_scratch && cause != ENOENT)
      return "the old database's templates are lost: it was not read, and is not missing";
    if (db != without_unlisted(from_scratch ? r.scratch : r.kept, out))
      return "status 0 without the whole new database";
    return companions_as_said(player, out);
  }
  if (run.status != 1)
    return "status " + std::to_string(run.status);
  std::string error;
  std::string after;
  const std::vector<std::string> each = lines_of(out);
  for (size_t i = 0; i < each.size(); ++i)
    if (each[i].starts_with("ERROR: ")) {
      error = each[i];
      after = i + 1 < each.size() ? each[i + 1] : "";
      break;
    }
  if (error.empty())
    return "status 1 without an error";
  const auto old_kept = [&](bool companions_too) -> std::string {
    if (db != player.old_db)
      return "the old database is not kept: the run said so";
    return companions_too ? companions_kept(player) : "";
  };
  if (error == "ERROR: No iPod control directory found!") {
    if (cause != ENOENT)
      return "\"" + error + "\" for " + std::strerror(cause);
    return old_kept(true);
  }
  if (error == "ERROR: Cannot write to the iPod database file (iTunesSD)!") {
    // A refusal; a later player's database is always refused.
    if (!player.old_db.starts_with(kLaterPlayer) && cause != EACCES && cause != EROFS &&
        !false_absence)
      return "a refusal for " + std::string(std::strerror(cause));
    if ((cause == EROFS) != (after == kReadOnly))
      return "the read-only advice " + std::string(cause == EROFS ? "missing" : "for ") +
             (cause == EROFS ? "" : std::strerror(cause));
    return old_kept(true);
  }
  const std::string head = "ERROR: Could not write the new iPod database file (";
  if (!error.starts_with(head) || !error.ends_with(")!"))
    return "an unknown error: " + error;
  const std::string named = error.substr(error.rfind(": ") + 2);
  if (cause != 0 && !false_absence && named != std::string(std::strerror(cause)) + ")!")
    return "the cause is misnamed: " + error;
  if (!false_absence &&
      ((cause == EIO) != has(out, kDamage) || (cause == EROFS) != has(out, kReadOnly)))
    return "the advice does not fit the cause: " + error;
  if (after.starts_with("Nothing was changed on the iPod."))
    return old_kept(true);
  if (after.starts_with("The old database was kept, but its playback state was reset."))
    return old_kept(false);
  if (!after.starts_with("The database may be incomplete: run this program again."))
    return "what was left is not said";
  // The next run, without a fault, must mend it.
  const RunResult again = run_tarnwick(player.tree.root(), {.timeout_seconds = 60});
  const bool from_scratch = has(again.output, "Rebuilding iTunesSD file header from scratch.");
  if (again.status != 0 || player.database() != (from_scratch ? r.scratch : r.kept) ||
      path_exists(temp))
    return "\"may be incomplete\", and the next run does not mend it:\n" + again.output;
  return "";
}

int cause_of(const std::string& error) {
  for (const auto& known : kSweptErrors)
    if (error == known.name)
      return known.cause;
  return 0;
}

// A fault of the table: one call made to fail as the issue that found it
// describes, what the run must print and what it must leave.
struct WindowsFaultCase {
  const char* name;
  std::string fault;  // TARNWICK_FAULT
  std::string path;   // TARNWICK_FAULT_PATH: only calls on this file count
  int status;
  std::vector<std::string> printed;  // how lines of the transcript must begin
  bool later_player = false;         // the old database is a 3rd or 4th generation one
  bool leftover = false;             // a left-over iTunesSD.tmp with the old database's bytes
};

class WindowsFaults : public testing::TestWithParam<WindowsFaultCase> {};

TEST_P(WindowsFaults, NamedAndNothingLost) {
  if (!windows_build() || !windows_fault_build())
    GTEST_SKIP()
        << "no Windows build with the fault layer given (TARNWICK_EXE, TARNWICK_FAULT_EXE)";
  const WindowsFaultCase& c = GetParam();
  Player player(c.leftover, c.later_player);
  const RunResult run = run_tarnwick(player.tree.root(), with_fault(c.fault, c.path));
  const std::string error = c.fault.substr(c.fault.find(':') + 1);
  EXPECT_EQ(judge(player, run, cause_of(error.substr(0, error.find(':')))), "") << run.output;
  EXPECT_EQ(run.status, c.status) << run.output;
  const std::vector<std::string> each = lines_of(run.output);
  for (const std::string& start : c.printed)
    EXPECT_TRUE(std::any_of(each.begin(), each.end(),
                            [&](const std::string& line) { return line.starts_with(start); }))
        << "no line begins \"" << start << "\" in:\n"
        << run.output;
}

std::string could_not(const std::string& step, int error) {
  return "ERROR: Could not write the new iPod database file (" + step + ": " +
         std::strerror(error) + ")!";
}

const std::string kNothingChanged = "Nothing was changed on the iPod.";

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsFaults,
    testing::Values(
        // A failed read of the old database is not a missing one: a later
        // player's database must never be replaced for it.
        WindowsFaultCase{"later_players_database_read_fails",
                         "ReadFile:ERROR_NOT_READY",
                         "\\iTunesSD",
                         1,
                         {could_not("reading the old database", EIO), kNothingChanged, kDamage},
                         true},
        WindowsFaultCase{"later_players_database_type_unknown",
                         "GetFileType:ERROR_GEN_FAILURE",
                         "\\iTunesSD",
                         1,
                         {could_not("reading the old database", EIO), kNothingChanged},
                         true},
        WindowsFaultCase{"later_players_database_stream_cannot_be_made",
                         "GetFileType@2:ERROR_DEVICE_NOT_CONNECTED",
                         "\\iTunesSD",
                         1,
                         {could_not("reading the old database", EIO), kNothingChanged},
                         true},
        WindowsFaultCase{"later_players_database_cannot_be_opened",
                         "CreateFileW:ERROR_SHARING_VIOLATION",
                         "\\iTunesSD",
                         1,
                         {could_not("reading the old database", EACCES), kNothingChanged},
                         true},
        // The third path the run makes is the old database's (after the
        // control folder's and the lock's).
        WindowsFaultCase{"later_players_database_path_cannot_be_made",
                         "GetCurrentDirectoryW@3:ERROR_NOT_ENOUGH_MEMORY",
                         "",
                         1,
                         {could_not("reading the old database", ENOMEM), kNothingChanged},
                         true},
        // Each step of writing the new database failing, as in the POSIX
        // table (failure_test.cc).
        WindowsFaultCase{"disk_full_among_the_entries",
                         "WriteFile:ERROR_DISK_FULL",
                         "\\iTunesSD.tmp",
                         1,
                         {kNothingChanged}},
        WindowsFaultCase{"flush_to_the_device_fails",
                         "FlushFileBuffers:ERROR_GEN_FAILURE",
                         "\\iTunesSD.tmp",
                         1,
                         {could_not("writing to the iPod", EIO), kNothingChanged, kDamage}},
        WindowsFaultCase{"closing_the_file_fails",
                         "CloseHandle:ERROR_NOT_READY",
                         "\\iTunesSD.tmp",
                         1,
                         {could_not("closing the file", EIO), kNothingChanged, kDamage}},
        WindowsFaultCase{"renamed_file_flush_fails",
                         "FlushFileBuffers:ERROR_DEVICE_NOT_CONNECTED",
                         "\\iTunesSD",
                         1,
                         {could_not("replacing iTunesSD", EIO),
                          "The database may be incomplete: run this program again.", kDamage}},
        // The temporary file is made, but no stream over it.
        WindowsFaultCase{"temporary_files_stream_cannot_be_made",
                         "GetFileType:ERROR_NOT_READY",
                         "\\iTunesSD.tmp",
                         1,
                         {could_not("creating the temporary file", EIO), kNothingChanged, kDamage}},
        WindowsFaultCase{"temporary_files_stream_without_memory",
                         "GetFileType:ERROR_NOT_ENOUGH_MEMORY",
                         "\\iTunesSD.tmp",
                         1,
                         {could_not("creating the temporary file", ENOMEM), kNothingChanged}},
        // A vanished player and a general failure are input/output errors.
        WindowsFaultCase{"player_unplugged_while_writing",
                         "WriteFile@2:ERROR_DEVICE_NOT_CONNECTED",
                         "\\iTunesSD.tmp",
                         1,
                         {could_not("writing to the iPod", EIO), kNothingChanged, kDamage}},
        WindowsFaultCase{"general_failure_at_the_rename",
                         "MoveFileExW:ERROR_GEN_FAILURE",
                         "",
                         1,
                         {could_not("replacing iTunesSD", EIO),
                          "The database may be incomplete: run this program again.", kDamage}},
        // The root's listing names its cause, damage and refusals alike.
        WindowsFaultCase{"root_listing_on_a_corrupt_disk",
                         "FindFirstFileW:ERROR_DISK_CORRUPT",
                         "",
                         1,
                         {"/: cannot browse", could_not("searching for files", EIO), kDamage}},
        WindowsFaultCase{"root_listing_on_a_write_protected_volume",
                         "FindFirstFileW:ERROR_WRITE_PROTECT",
                         "",
                         1,
                         {could_not("searching for files", EROFS), kReadOnly}},
        WindowsFaultCase{"root_listing_refused_midway",
                         "FindNextFileW:ERROR_ACCESS_DENIED",
                         "",
                         1,
                         {"/: cannot browse", could_not("searching for files", EACCES)}},
        WindowsFaultCase{"root_listing_shared_midway",
                         "FindNextFileW:ERROR_SHARING_VIOLATION",
                         "",
                         1,
                         {could_not("searching for files", EACCES)}},
        WindowsFaultCase{"root_listing_on_a_full_disk",
                         "FindNextFileW:ERROR_DISK_FULL",
                         "",
                         1,
                         {could_not("searching for files", ENOSPC)}},
        // Only a real refusal is "Cannot write"; anything else is a failure
        // with its cause.
        WindowsFaultCase{"database_looked_at_without_memory",
                         "GetFileAttributesW@2:ERROR_NOT_ENOUGH_MEMORY",
                         "\\iTunesSD",
                         1,
                         {could_not("opening the database", ENOMEM), kNothingChanged}},
        WindowsFaultCase{"database_looked_at_on_a_corrupt_disk",
                         "GetFileAttributesW@2:ERROR_DISK_CORRUPT",
                         "\\iTunesSD",
                         1,
                         {could_not("opening the database", EIO), kNothingChanged, kDamage}},
        WindowsFaultCase{"database_opened_on_a_vanished_player",
                         "CreateFileW@2:ERROR_DEVICE_NOT_CONNECTED",
                         "\\iTunesSD",
                         1,
                         {could_not("opening the database", EIO), kNothingChanged, kDamage}},
        WindowsFaultCase{"database_opened_by_another_program",
                         "CreateFileW@2:ERROR_SHARING_VIOLATION",
                         "\\iTunesSD",
                         1,
                         {"ERROR: Cannot write to the iPod database file (iTunesSD)!",
                          " (*) you have sufficient permissions to write to the iPod volume"}},
        // Only a control folder that is not there is a missing one.
        WindowsFaultCase{
            "control_folder_on_a_player_not_ready",
            "GetFileAttributesW:ERROR_NOT_READY",
            "",
            1,
            {could_not("opening the iPod control directory", EIO), kNothingChanged, kDamage}},
        WindowsFaultCase{"control_folder_not_found",
                         "GetFileAttributesW:ERROR_PATH_NOT_FOUND",
                         "",
                         1,
                         {"ERROR: No iPod control directory found!"}},
        // What the run left is read from the volume.
        WindowsFaultCase{"companion_reported_missing_but_there",
                         "CreateFileW:ERROR_PATH_NOT_FOUND",
                         "\\iTunesPState",
                         0,
                         {"Resetting playback state ... FAILED.",
                          "WARNING: The main database file was rebuild successfully, but there "
                          "were errors"}},
        WindowsFaultCase{"companion_deleted_but_reported_failed",
                         "CloseHandle:ERROR_GEN_FAILURE",
                         "\\iTunesStats",
                         0,
                         {"Resetting statistics ... OK.",
                          "The iPod shuffle database was rebuilt successfully."}},
        WindowsFaultCase{"rename_reported_refused_after_it_was_made",
                         "MoveFileExW:ERROR_ACCESS_DENIED:done",
                         "",
                         0,
                         {"The iPod shuffle database was rebuilt successfully."}},
        // Only a database that is not there is no database.
        WindowsFaultCase{"old_database_read_fails",
                         "ReadFile:ERROR_DEVICE_NOT_CONNECTED",
                         "\\iTunesSD",
                         1,
                         {could_not("reading the old database", EIO), kNothingChanged, kDamage}},
        WindowsFaultCase{"old_database_read_without_memory",
                         "ReadFile:ERROR_NOT_ENOUGH_MEMORY",
                         "\\iTunesSD",
                         1,
                         {could_not("reading the old database", ENOMEM), kNothingChanged}},
        // The storage check: a device that fails it vouches for nothing, so
        // the left-over stays; one with storage of its own is removed.
        WindowsFaultCase{
            "storage_check_cannot_read_the_left_over",
            "ReadFile@2:ERROR_DEVICE_NOT_CONNECTED",
            "\\iTunesSD.tmp",
            1,
            {could_not("checking the left-over temporary file", EIO), kNothingChanged, kDamage},
            false,
            true},
        WindowsFaultCase{
            "storage_check_change_made_then_reported_failed",
            "WriteFile:ERROR_GEN_FAILURE:done",
            "\\iTunesSD.tmp",
            1,
            {could_not("checking the left-over temporary file", EIO), kNothingChanged, kDamage},
            false,
            true},
        WindowsFaultCase{"storage_check_cannot_put_its_byte_back",
                         "WriteFile@2:ERROR_GEN_FAILURE",
                         "\\iTunesSD.tmp",
                         0,
                         {"The iPod shuffle database was rebuilt successfully."},
                         false,
                         true},
        WindowsFaultCase{"rename_refused",
                         "MoveFileExW:ERROR_ACCESS_DENIED",
                         "",
                         1,
                         {could_not("replacing iTunesSD", EACCES),
                          "The old database was kept, but its playback state was reset. Please "
                          "make sure that:"}}),
    NameOfCase());

// Ctrl-C while the rename is made: held back until the companions' lines,
// then the run ends as an interrupted one, before any verdict. A race
// before, so the case runs a few times.
TEST(WindowsFaults, CtrlCDuringTheRenameEndsTheRunBeforeTheVerdict) {
  if (!windows_build() || !windows_fault_build())
    GTEST_SKIP()
        << "no Windows build with the fault layer given (TARNWICK_EXE, TARNWICK_FAULT_EXE)";
  for (int round = 0; round < 4; ++round) {
    Player player;
    const RunResult run = run_tarnwick(player.tree.root(), with_fault("MoveFileExW:CTRL_C"));
    // 0xC000013A, as the system gives an exit status to a POSIX parent.
    EXPECT_EQ(run.status, 0x3A) << run.output;
    EXPECT_FALSE(has(run.output, "rebuilt successfully")) << run.output;
    EXPECT_TRUE(run.output.ends_with("Resetting shuffle sequence ... OK.\n")) << run.output;
    EXPECT_TRUE(player.database() == reference().kept) << "the new database is in place";
    EXPECT_FALSE(path_exists(player.tree.itunes() / kTemp));
  }
}

// Ctrl-C while the companions are reset: the run ends there, its
// temporary file removed, the old database in place.
TEST(WindowsFaults, CtrlCWhileResettingLeavesTheOldDatabase) {
  if (!windows_build() || !windows_fault_build())
    GTEST_SKIP()
        << "no Windows build with the fault layer given (TARNWICK_EXE, TARNWICK_FAULT_EXE)";
  Player player;
  const RunResult run =
      run_tarnwick(player.tree.root(), with_fault("CreateFileW:CTRL_C", "\\iTunesStats"));
  EXPECT_EQ(run.status, 0x3A) << run.output;
  EXPECT_TRUE(player.database() == player.old_db);
  EXPECT_FALSE(path_exists(player.tree.itunes() / kCompanions[0])) << "reset before";
  EXPECT_TRUE(path_exists(player.tree.itunes() / kCompanions[2])) << "not reached";
  EXPECT_FALSE(path_exists(player.tree.itunes() / kTemp));
}

// Ctrl-C while the temporary file is made: held back until it can be
// removed, then the run ends and leaves nothing.
TEST(WindowsFaults, CtrlCWhileTheTemporaryFileIsMadeLeavesNothing) {
  if (!windows_build() || !windows_fault_build())
    GTEST_SKIP()
        << "no Windows build with the fault layer given (TARNWICK_EXE, TARNWICK_FAULT_EXE)";
  Player player;
  // Its stream is made (GetFileType) once the file exists.
  const RunResult run =
      run_tarnwick(player.tree.root(), with_fault("GetFileType:CTRL_C", "\\iTunesSD.tmp"));
  EXPECT_EQ(run.status, 0x3A) << run.output;
  EXPECT_TRUE(player.database() == player.old_db);
  EXPECT_EQ(companions_kept(player), "");
  EXPECT_FALSE(path_exists(player.tree.itunes() / kTemp));
}

// One run of the sweep: which call fails, at which of its calls, how.
struct SweepRun {
  int scenario;
  std::string call;
  int nth;
  const WindowsError* error;
  bool done_first;
  std::string caller;  // the module that made the call: the program or msvcrt
  std::string problem;
};

// The file calls of a run without a fault, in order: "CALL MODULE PATH".
std::vector<std::pair<std::string, std::string>> calls_of_a_run(bool leftover,
                                                                std::string* problem) {
  Player player(leftover);
  TempDir log_dir;
  const fs::path log = log_dir.path() / "calls";
  RunOptions options = with_fault("");
  options.environment.push_back("TARNWICK_FAULT_LOG=Z:" + log.string());
  const RunResult run = run_tarnwick(player.tree.root(), options);
  if (run.status != 0 || !run.output.ends_with(kSuccess))
    *problem = "the run without a fault failed:\n" + run.output;
  std::vector<std::pair<std::string, std::string>> calls;
  for (const std::string& line : lines_of(read_file(log))) {
    std::istringstream words(line);
    std::string call, caller;
    words >> call >> caller;
    calls.emplace_back(call, caller);
  }
  return calls;
}

// Every file call of a run fails in turn, the program's and the C
// runtime's for it, with each error of kSweptErrors, and the writing calls
// with each error after they were made too; on a player with an old
// database and its companions, and again with a left-over iTunesSD.tmp.
TEST(WindowsFaultSweep, EveryFileCallFailsInTurn) {
  if (!windows_build() || !windows_fault_build())
    GTEST_SKIP()
        << "no Windows build with the fault layer given (TARNWICK_EXE, TARNWICK_FAULT_EXE)";
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(reference().problem, "");
  const char* const kScenarios[] = {"an old database and its companions",
                                    "the same and a left-over iTunesSD.tmp"};
  std::vector<SweepRun> runs;
  for (int scenario = 0; scenario < 2; ++scenario) {
    std::string problem;
    const auto calls = calls_of_a_run(scenario == 1, &problem);
    ASSERT_EQ(problem, "");
    ASSERT_FALSE(calls.empty()) << "the fault layer logged no call";
    std::map<std::string, int> seen;
    for (const auto& [call, caller] : calls) {
      // With a left-over, the run differs only until its walk begins.
      if (scenario == 1 && call == "FindFirstFileW")
        break;
      const int nth = ++seen[call];
      for (const WindowsError& error : kSweptErrors) {
        runs.push_back({scenario, call, nth, &error, false, caller, ""});
        if (kWritingCalls.contains(call))
          runs.push_back({scenario, call, nth, &error, true, caller, ""});
      }
    }
  }
  std::atomic<size_t> next{0};
  std::atomic<int> retried{0};
  const auto work = [&] {
    for (size_t i; (i = next++) < runs.size();) {
      SweepRun& run = runs[i];
      Player player(run.scenario == 1);
      const std::string fault = run.call + "@" + std::to_string(run.nth) + ":" + run.error->name +
                                (run.done_first ? ":done" : "");
      RunResult result = run_tarnwick(player.tree.root(), with_fault(fault));
      if (result.status == 126 || result.status == 127 || wine_printed_nothing(result)) {
        // The harness could not start wine (126, 127 are run_program's own),
        // or wine ended before the program's banner: once more, on a fresh
        // player, and counted.
        ++retried;
        Player again(run.scenario == 1);
        result = run_tarnwick(again.tree.root(), with_fault(fault));
        run.problem = judge(again, result, run.error->cause);
      } else {
        run.problem = judge(player, result, run.error->cause);
      }
      if (!run.problem.empty())
        run.problem = fault + ": " + run.problem + "\n" + result.output;
    }
  };
  std::vector<std::thread> workers;
  for (unsigned w = 0; w < std::max(2u, std::thread::hardware_concurrency()); ++w)
    workers.emplace_back(work);
  for (auto& worker : workers)
    worker.join();

  // Runs and broken runs per call site: the call and the module that made it.
  struct Tally {
    std::set<int> calls[2];
    int runs = 0;
    int broken = 0;
  };
  std::map<std::string, Tally> sites;
  int broken = 0;
  for (const SweepRun& run : runs) {
    Tally& site = sites[run.call + " (" + run.caller + ")"];
    site.calls[run.scenario].insert(run.nth);
    ++site.runs;
    if (!run.problem.empty()) {
      ++site.broken;
      // Every broken run on a line of its own, the first few whole.
      // An unexpected status whole, whatever the count.
      if (++broken <= 10 || has(run.problem, ": status "))
        ADD_FAILURE() << kScenarios[run.scenario] << ", " << run.problem;
      std::printf("broken: %s, %s\n", kScenarios[run.scenario],
                  run.problem.substr(0, run.problem.find('\n')).c_str());
    }
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
          .count();
  std::printf("%-36s %6s %6s %7s\n", "call site", "calls", "runs", "broken");
  for (const auto& [site, tally] : sites)
    std::printf("%-36s %6zu %6d %7d\n", site.c_str(), tally.calls[0].size() + tally.calls[1].size(),
                tally.runs, tally.broken);
  std::printf("%zu runs (%s; %s), %d broken, %d started again, in %lld s\n", runs.size(),
              kScenarios[0], kScenarios[1], broken, retried.load(),
              static_cast<long long>(seconds));
  EXPECT_EQ(broken, 0);
}

}  // namespace
