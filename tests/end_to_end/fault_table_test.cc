// The fault table: each row one way a run goes wrong, made to happen in the
// POSIX program by end_to_end/fault_injection.cc (preloaded) and in the
// Windows program under wine by end_to_end/fault_injection_win32.cc (linked
// into tarnwick_faults.exe), either absent where the case is one system's
// only. Both take TARNWICK_FAULT as "CALL[@N][:WHAT][:done]". The POSIX run
// is held to its exact transcript; the Windows run, whose C runtime under
// wine names some causes wrongly, to the rules of judge below and the lines
// the row names. Then a sweep in which every Win32 file call of a run fails
// in turn, over each scenario of a used player.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
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

// How a run ends.
enum class End { kFailed, kRefused, kNoControlFolder, kCompleted, kWarned, kInterrupted };

// How far the POSIX transcript goes before the failure's lines.
enum class Reached { kStart, kTemplates, kWalk, kCount };

struct FaultRow {
  const char* name;
  const char* posix = nullptr;  // fault_injection.cc's TARNWICK_FAULT ("": none); null: no case
  const char* win32 = nullptr;  // fault_injection_win32.cc's; null: no such case on Windows
  const char* win32_path = "";  // TARNWICK_FAULT_PATH: only calls on this file count
  Scenario scenario = Scenario::kOldDatabase;
  End end = End::kFailed;
  const char* step = "";  // what the failure names
  int cause = EIO;        // the errno kind made to happen, and named
  Left left = Left::kNothing;
  int reset = 0;                       // the companions a run that did not complete reset, in order
  bool replaced = false;               // and whether it put the new database in place
  std::vector<std::string> printed{};  // Windows: lines that must begin so, besides the verdict's
  int rounds = 1;                      // Windows: runs of a case with a race before it
  // POSIX: how far the transcript goes, the tracks in /Music beside /a.mp3,
  // the file-size limit, a bash script that runs the program as "$@", and
  // the whole transcript where it is not the one the fields make.
  Reached reached = Reached::kCount;
  int music = 0;
  rlim_t file_size_limit = RLIM_INFINITY;
  const char* shell = "";
  std::string output{};
};

// The tracks of the Windows runs: three in three folders.
const std::vector<std::string> kWindowsTracks = {"a.mp3", "Music/b.mp3", "Music/Sub/c.m4a"};

const std::string kDatabaseIncomplete = "The database may be incomplete: run this program again.";
const char* const kLeftLines[] = {"Nothing was changed on the iPod.",
                                  "The old database was kept, but its playback state was reset.",
                                  kDatabaseIncomplete.c_str(),
                                  "No database was written, but the playback state was reset."};
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

// The number of a Windows error a fault names by its number ("ReadFile:1450"):
// only errors the program's translation does not know are, and it names
// them so. 0 for one named by its name.
unsigned long windows_code(std::string fault) {
  if (fault.ends_with(":done"))
    fault.resize(fault.size() - 5);
  const size_t colon = fault.rfind(':');
  return colon == std::string::npos ? 0 : std::strtoul(fault.c_str() + colon + 1, nullptr, 10);
}

bool failed(End end) {
  return end == End::kFailed || end == End::kRefused || end == End::kNoControlFolder;
}

// ---- The POSIX layer: the exact transcript, and what is left.

std::string posix_transcript(const FaultRow& row) {
  if (!row.output.empty())
    return row.output;
  std::vector<std::string> walk = {"/: 1 files", "/iPod_Control: 0 files",
                                   "/iPod_Control/iTunes: 0 files"};
  if (row.music > 0)
    walk.push_back("/Music: " + std::to_string(row.music) + " files");
  const int count = 1 + row.music;
  std::string text = lines({kBanner, ""});
  if (row.reached != Reached::kStart) {
    text += row.scenario == Scenario::kNoDatabase
                ? lines({"Rebuilding iTunesSD file header from scratch.",
                         "Rebuilding iTunesSD entry header from scratch."})
                : kTemplatesKept;
    if (row.reached != Reached::kTemplates) {
      text += "\nSearching for files on the iPod.\n";
      // Killed by the signal: the output ends at its last flush, the head
      // of the last progress line.
      if (row.end == End::kInterrupted)
        return text + lines({walk.begin(), walk.end() - 1}) +
               walk.back().substr(0, walk.back().find(' ') + 1);
      text += lines(walk);
      // Entries fill the write buffer only past about a hundred of them.
      if (row.reached == Reached::kCount && row.end == End::kFailed && count < 100)
        text += lines({std::to_string(count) + " playable files were found on your iPod.", "",
                       "Fixing iTunesSD header."});
    }
  }
  switch (row.end) {
    case End::kFailed:
      return text + write_error(row.step, row.cause, row.left);
    case End::kRefused:
      return text + cannot_write(row.cause == EROFS);
    case End::kNoControlFolder:
      return text + "ERROR: No iPod control directory found!\n";
    case End::kCompleted:
      return text + closing(count, {"OK.", "OK.", "OK."});
    case End::kWarned:
      return text + closing(count, {"FAILED.", "OK.", "OK."}, true);
    case End::kInterrupted:
      break;
  }
  return text;
}

void run_on_posix(const FaultRow& row) {
  Player player(row.scenario);
  for (int i = 0; i < row.music; ++i)
    player.tree.add_file("Music/track" + std::to_string(1000 + i) + ".mp3");
  RunOptions options =
      *row.posix ? with_posix_fault(row.posix, row.shell) : RunOptions{.shell = row.shell};
  options.file_size_limit = row.file_size_limit;
  const RunResult run = run_tarnwick(player.tree.root(), options);
  EXPECT_EQ(run.output, posix_transcript(row));
  EXPECT_EQ(run.status, *row.shell                     ? 0
                        : row.end == End::kInterrupted ? -1
                        : failed(row.end)              ? 1
                                                       : 0);

  const bool completed = row.end == End::kCompleted || row.end == End::kWarned;
  if (completed && row.music == 0 && row.end == End::kCompleted)
    return player.expect_rebuilt();
  if (!completed && !row.replaced && row.reset == 0)
    return player.expect_untouched(row.scenario == Scenario::kLeftOver && failed(row.end));
  for (int i = 0; i < 3; ++i) {
    const bool gone = completed ? !(row.end == End::kWarned && i == 0) : i < row.reset;
    EXPECT_EQ(path_exists(player.tree.itunes() / kCompanions[i]), !gone) << kCompanions[i];
  }
  EXPECT_FALSE(path_exists(player.tree.itunes() / kTemp));
  if (completed || row.replaced)
    EXPECT_EQ(player.database().size(), 18u + 558 * (1 + row.music));
  else
    EXPECT_TRUE(player.database() == player.old_db) << "the old database is kept";
}

// ---- The Windows layer: the verdict rules, and the lines the row names.

// What the whole new database is: with the old database's templates, and
// with templates made from scratch (when the old one was not there).
struct Reference {
  std::string kept;
  std::string scratch;
  std::string problem;  // why there is none
};

const Reference& reference() {
  static const Reference made = [] {
    Reference r;
    Player kept(Scenario::kOldDatabase, kWindowsTracks);
    Player scratch(Scenario::kNoDatabase, kWindowsTracks);
    const RunResult from_kept = run_tarnwick(kept.tree.root(), with_win32_fault(""));
    const RunResult from_scratch = run_tarnwick(scratch.tree.root(), with_win32_fault(""));
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

// Whether the first reset companions are gone and the others there.
std::string companions_reset(const Player& player, int reset) {
  for (int i = 0; i < 3; ++i)
    if (path_exists(player.tree.itunes() / kCompanions[i]) != (i >= reset))
      return kCompanions[i] + (i >= reset ? " is gone" : " is still there");
  return "";
}

// Why a run broke the rules, or "" when it kept them. cause is the errno
// kind of the error made to happen (0 for none), code the number of a
// Windows error the program's translation does not know (0 for none). A
// "not found" (ENOENT) for what is there is acted on as the truth: the run
// must lose nothing, but what it names is what came of it.
std::string judge(const Player& player, const RunResult& run, int cause, unsigned long code = 0) {
  const bool false_absence = cause == ENOENT;
  const bool later = player.scenario == Scenario::kLaterPlayer;
  const Reference& r = reference();
  if (!r.problem.empty())
    return r.problem;
  const std::string& out = run.output;
  const std::string db = player.database();
  const fs::path temp = player.tree.itunes() / kTemp;
  if (path_exists(temp) && !(player.scenario == Scenario::kLeftOver && run.status == 1 &&
                             read_file(temp) == player.old_db))
    return "iTunesSD.tmp is left behind";
  if (run.status == 0) {
    if (!out.ends_with(kSuccess) && !out.ends_with("However, playback MAY work correctly.\n"))
      return "status 0 without the verdict";
    if (later)
      return "a later player's database is replaced";
    const bool from_scratch = has(out, "Rebuilding iTunesSD file header from scratch.");
    if (from_scratch && cause != ENOENT && player.scenario != Scenario::kNoDatabase)
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
    return companions_too ? companions_reset(player, 0) : "";
  };
  if (error == "ERROR: No iPod control directory found!") {
    if (cause != ENOENT)
      return "\"" + error + "\" for " + std::strerror(cause);
    return old_kept(true);
  }
  if (error == "ERROR: Cannot write to the iPod database file (iTunesSD)!") {
    // A refusal; a later player's database is always refused.
    if (!later && cause != EACCES && cause != EROFS && !false_absence)
      return "a refusal for " + std::string(std::strerror(cause));
    // A later player's database is refused whatever else failed.
    if (!later && (cause == EROFS) != (after == read_only_advice()))
      return "the read-only advice " + std::string(cause == EROFS ? "missing" : "for ") +
             (cause == EROFS ? "" : std::strerror(cause));
    return old_kept(true);
  }
  const std::string head = "ERROR: Could not write the new iPod database file (";
  if (!error.starts_with(head) || !error.ends_with(")!"))
    return "an unknown error: " + error;
  const std::string named = error.substr(error.rfind(": ") + 2);
  const std::string code_text = code != 0 ? " (Windows error " + std::to_string(code) + ")" : "";
  if (cause != 0 && !false_absence && named != std::strerror(cause) + code_text + ")!")
    return "the cause is misnamed: " + error;
  if (!false_absence && ((cause == EIO) != has(out, damage_advice()) ||
                         (cause == EROFS) != has(out, read_only_advice())))
    return "the advice does not fit the cause: " + error;
  if (after.starts_with(kLeftLines[0]))
    return old_kept(true);
  if (after.starts_with(kLeftLines[1]) || after.starts_with(kLeftLines[3]))
    return (player.old_db == kNoFile) != after.starts_with(kLeftLines[3])
               ? "what was left is misnamed: " + after
               : old_kept(false);
  if (!after.starts_with(kDatabaseIncomplete))
    return "what was left is not said";
  // The next run, without a fault, must mend it.
  const RunResult again = run_tarnwick(player.tree.root(), {.timeout_seconds = 60});
  const bool from_scratch = has(again.output, "Rebuilding iTunesSD file header from scratch.");
  if (again.status != 0 || player.database() != (from_scratch ? r.scratch : r.kept) ||
      path_exists(temp))
    return "\"may be incomplete\", and the next run does not mend it:\n" + again.output;
  return "";
}

// The lines a Windows run must print: its verdict's, then the row's own.
std::vector<std::string> windows_lines(const FaultRow& row) {
  std::vector<std::string> each;
  switch (row.end) {
    case End::kFailed:
      each = {could_not(row.step, row.cause, windows_code(row.win32)),
              kLeftLines[static_cast<int>(row.left)]};
      if (row.cause == EIO)
        each.push_back(damage_advice());
      if (row.cause == EROFS)
        each.push_back(read_only_advice());
      break;
    case End::kRefused:
      each = lines_of(cannot_write(row.cause == EROFS));
      break;
    case End::kNoControlFolder:
      each = {"ERROR: No iPod control directory found!"};
      break;
    case End::kCompleted:
      each = {"The iPod shuffle database was rebuilt successfully."};
      break;
    case End::kWarned:
      each = {"WARNING: The main database file was rebuild successfully, but there were errors"};
      break;
    case End::kInterrupted:
      break;
  }
  each.insert(each.end(), row.printed.begin(), row.printed.end());
  return each;
}

void run_on_windows(const FaultRow& row) {
  for (int round = 0; round < row.rounds; ++round) {
    Player player(row.scenario, kWindowsTracks);
    const RunResult run =
        run_tarnwick(player.tree.root(), with_win32_fault(row.win32, row.win32_path));
    if (row.end == End::kInterrupted) {
      // Ctrl-C is held back until the temporary file can be removed, and
      // past the rename until the companions' lines; then the run ends as
      // an interrupted one (0xC000013A, as a POSIX parent gets it), before
      // any verdict.
      EXPECT_EQ(run.status, 0x3A) << run.output;
      EXPECT_FALSE(has(run.output, "rebuilt successfully")) << run.output;
      EXPECT_TRUE(!row.replaced || run.output.ends_with("Resetting shuffle sequence ... OK.\n"))
          << run.output;
      EXPECT_TRUE(player.database() == (row.replaced ? reference().kept : player.old_db))
          << (row.replaced ? "the new database is not in place" : "the old database is not kept");
      EXPECT_EQ(companions_reset(player, row.reset), "");
      // Deleted while open, the file goes when its handle closes: on Windows
      // before the process is seen to end, under wine when the wine server
      // gets round to the dead process's handles, which a busy machine delays.
      const fs::path temp = player.tree.itunes() / kTemp;
      for (int wait = 0; wait < 100 && path_exists(temp); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_FALSE(path_exists(temp));
      continue;
    }
    EXPECT_EQ(judge(player, run, row.cause, windows_code(row.win32)), "") << run.output;
    EXPECT_EQ(run.status, failed(row.end) ? 1 : 0) << run.output;
    const std::vector<std::string> each = lines_of(run.output);
    for (const std::string& start : windows_lines(row))
      EXPECT_TRUE(std::any_of(each.begin(), each.end(),
                              [&](const std::string& line) { return line.starts_with(start); }))
          << "no line begins \"" << start << "\" in:\n"
          << run.output;
  }
}

class FaultTable : public testing::TestWithParam<FaultRow> {};

TEST_P(FaultTable, NamedAndNothingLost) {
  const FaultRow& row = GetParam();
  if (windows_build()) {
    if (!row.win32)
      GTEST_SKIP() << "a case of the POSIX program only";
    SKIP_WITHOUT_WINDOWS_FAULT_BUILD();
    return run_on_windows(row);
  }
  if (!row.posix)
    GTEST_SKIP() << "a case of the Windows program only";
  SKIP_WITHOUT_PRELOAD();
  run_on_posix(row);
}

// The program run twice: with the fault, then without it, each run's
// status printed (and the shell's notices of a killed run silenced).
const char* const kRunThenRunAgain =
    "exec 2>/dev/null; \"$@\" >/dev/null; echo \"status $?\"\n"
    "unset TARNWICK_FAULT LD_PRELOAD; \"$@\" >/dev/null; echo \"status $?\"";

using enum End;
using enum Reached;
using enum Scenario;

// One row a case, its fields packed as a table's, not one to a line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, FaultTable,
    testing::Values(
        // Each step of writing the new database, failing or interrupted.
        FaultRow{.name = "disk_full_at_the_header", .posix = "", .step = "writing the header",
                 .cause = EFBIG, .file_size_limit = 10},
        FaultRow{.name = "disk_full_after_the_header", .posix = "", .step = "writing the header",
                 .cause = EFBIG, .music = 1, .file_size_limit = 600},
        FaultRow{.name = "disk_full_among_the_entries", .posix = "", .step = "writing an entry",
                 .cause = EFBIG, .music = 300, .file_size_limit = 50'000},
        FaultRow{.name = "disk_full_while_writing_the_temporary_file",
                 .win32 = "WriteFile:ERROR_DISK_FULL", .win32_path = "\\iTunesSD.tmp",
                 .step = "writing the header", .cause = ENOSPC},
        FaultRow{.name = "entry_write_failure_kept_in_the_stream", .posix = "write-silent@2:ENOSPC",
                 .step = "writing an entry", .cause = ENOSPC, .reached = kWalk},
        FaultRow{.name = "header_write_failure_kept_in_the_stream", .posix = "write-silent@1:EIO",
                 .step = "writing the header", .reached = kTemplates},
        FaultRow{.name = "player_unplugged_while_writing",
                 .win32 = "WriteFile@2:ERROR_DEVICE_NOT_CONNECTED", .win32_path = "\\iTunesSD.tmp",
                 .step = "writing to the iPod"},
        FaultRow{.name = "flush_to_the_device_fails", .posix = "fsync",
                 .win32 = "FlushFileBuffers:ERROR_GEN_FAILURE", .win32_path = "\\iTunesSD.tmp",
                 .step = "writing to the iPod"},
        FaultRow{.name = "flush_to_the_device_fails_without_an_old_database", .posix = "fsync",
                 .win32 = "FlushFileBuffers:ERROR_GEN_FAILURE", .win32_path = "\\iTunesSD.tmp",
                 .scenario = kNoDatabase, .step = "writing to the iPod"},
        FaultRow{.name = "closing_the_file_fails", .win32 = "CloseHandle:ERROR_NOT_READY",
                 .win32_path = "\\iTunesSD.tmp", .step = "closing the file"},
        FaultRow{.name = "companion_deletions_not_flushed", .posix = "fsync-directory",
                 .step = "resetting the playback state", .left = Left::kPlaybackState, .reset = 3},
        FaultRow{.name = "rename_fails", .posix = "rename",
                 .win32 = "MoveFileExW:ERROR_GEN_FAILURE", .step = "replacing iTunesSD",
                 .left = Left::kPlaybackState, .reset = 3},
        FaultRow{.name = "rename_fails_without_old_database", .posix = "rename",
                 .win32 = "MoveFileExW:ERROR_GEN_FAILURE", .scenario = kNoDatabase,
                 .step = "replacing iTunesSD", .left = Left::kPlaybackStateWithoutDatabase,
                 .reset = 3},
        FaultRow{.name = "rename_refused", .posix = "rename:EACCES",
                 .win32 = "MoveFileExW:ERROR_ACCESS_DENIED", .step = "replacing iTunesSD",
                 .cause = EACCES, .left = Left::kPlaybackState, .reset = 3},
        FaultRow{.name = "directory_flush_after_the_rename_fails", .posix = "fsync-directory@2",
                 .step = "replacing iTunesSD", .left = Left::kDatabase, .reset = 3,
                 .replaced = true},
        FaultRow{.name = "renamed_file_flush_fails", .posix = "fsync@2",
                 .win32 = "FlushFileBuffers:ERROR_DEVICE_NOT_CONNECTED", .win32_path = "\\iTunesSD",
                 .step = "replacing iTunesSD", .left = Left::kDatabase, .reset = 3,
                 .replaced = true},
        // Every signal that would end the program is an interruption.
        FaultRow{.name = "terminated_while_flushing", .posix = "fsync:TERM", .end = kInterrupted},
        FaultRow{.name = "hung_up_while_flushing", .posix = "fsync:HUP", .end = kInterrupted},
        FaultRow{.name = "ctrl_backslash_while_flushing", .posix = "fsync:QUIT",
                 .end = kInterrupted},
        FaultRow{.name = "cpu_time_limit_while_flushing", .posix = "fsync:XCPU",
                 .end = kInterrupted},
        FaultRow{.name = "alarm_while_flushing", .posix = "fsync:ALRM", .end = kInterrupted},
        FaultRow{.name = "user_signal_1_while_flushing", .posix = "fsync:USR1",
                 .end = kInterrupted},
        FaultRow{.name = "user_signal_2_while_flushing", .posix = "fsync:USR2",
                 .end = kInterrupted},
        FaultRow{.name = "virtual_alarm_while_flushing", .posix = "fsync:VTALRM",
                 .end = kInterrupted},
        FaultRow{.name = "profiling_alarm_while_flushing", .posix = "fsync:PROF",
                 .end = kInterrupted},
        FaultRow{.name = "power_failure_signal_while_flushing", .posix = "fsync:PWR",
                 .end = kInterrupted},
        FaultRow{.name = "stack_fault_signal_while_flushing", .posix = "fsync:STKFLT",
                 .end = kInterrupted},
        FaultRow{.name = "real_time_signal_while_flushing", .posix = "fsync:RTMIN",
                 .end = kInterrupted},
        // Interrupted while the companions are reset: the run ends there,
        // its temporary file removed, the old database in place.
        FaultRow{.name = "ctrl_c_before_the_resets", .posix = "unlink@2:INT", .end = kInterrupted},
        FaultRow{.name = "ctrl_c_while_resetting", .posix = "unlink@3:INT",
                 .win32 = "CreateFileW:CTRL_C", .win32_path = "\\iTunesStats", .end = kInterrupted,
                 .reset = 1},
        // At the rename: held back until the companions' lines; on Windows
        // after a race, so the case runs a few times.
        FaultRow{.name = "ctrl_c_at_the_rename", .posix = "rename:INT",
                 .win32 = "MoveFileExW:CTRL_C", .end = kInterrupted, .reset = 3, .replaced = true,
                 .rounds = 4},
        FaultRow{.name = "terminated_at_the_rename", .posix = "rename:TERM", .end = kInterrupted,
                 .reset = 3, .replaced = true},
        // Ctrl-C while the temporary file is made: held back until it can
        // be removed, then the run ends and leaves nothing. (Windows makes
        // its stream, GetFileType, once the file exists.)
        FaultRow{.name = "ctrl_c_while_the_temporary_file_is_created", .posix = "open-temp:INT",
                 .win32 = "GetFileType:CTRL_C", .win32_path = "\\iTunesSD.tmp", .end = kInterrupted,
                 .shell = "\"$@\"; echo \"status $?\"", .output = "status 130\n"},
        FaultRow{.name = "no_room_for_the_temporary_file", .posix = "open-temp:ENOSPC",
                 .step = "creating the temporary file", .cause = ENOSPC, .reached = kTemplates},
        FaultRow{.name = "no_descriptors_for_the_temporary_file", .posix = "open-temp:ENFILE",
                 .step = "creating the temporary file", .cause = ENFILE, .reached = kTemplates},
        // The temporary file is made, but no stream over it.
        FaultRow{.name = "temporary_files_stream_cannot_be_made",
                 .win32 = "GetFileType:ERROR_NOT_READY", .win32_path = "\\iTunesSD.tmp",
                 .step = "creating the temporary file"},
        // Made, then reported failed: the file that exists is removed.
        FaultRow{.name = "temporary_file_exists_when_its_creation_fails",
                 .posix = "fdopen:ENOMEM", .win32 = "CreateFileW:ERROR_NOT_ENOUGH_MEMORY:done",
                 .win32_path = "\\iTunesSD.tmp", .step = "creating the temporary file",
                 .cause = ENOMEM, .reached = kTemplates},
        FaultRow{.name = "temporary_files_stream_without_memory",
                 .win32 = "GetFileType:ERROR_NOT_ENOUGH_MEMORY", .win32_path = "\\iTunesSD.tmp",
                 .step = "creating the temporary file", .cause = ENOMEM},
        FaultRow{.name = "null_device_unavailable_with_streams_closed", .posix = "open-null:ENFILE",
                 .shell = "\"$@\" <&- >&-; echo \"status $?\"", .output = "status 1\n"},
        // Only a database that is not there is no database: a failed read
        // stops the run before anything changes, and a later player's
        // database must never be replaced for it.
        FaultRow{.name = "read_of_the_old_database_fails", .posix = "read-database",
                 .win32 = "ReadFile:ERROR_DEVICE_NOT_CONNECTED", .win32_path = "\\iTunesSD",
                 .step = "reading the old database", .reached = kStart},
        FaultRow{.name = "read_of_the_old_database_refused", .posix = "read-database:EACCES",
                 .step = "reading the old database", .cause = EACCES, .reached = kStart},
        FaultRow{.name = "no_memory_to_read_the_old_database", .posix = "read-database:ENOMEM",
                 .win32 = "ReadFile:ERROR_NOT_ENOUGH_MEMORY", .win32_path = "\\iTunesSD",
                 .step = "reading the old database", .cause = ENOMEM, .reached = kStart},
        FaultRow{.name = "old_database_read_short", .posix = "read-short",
                 .step = "reading the old database", .reached = kStart},
        FaultRow{.name = "old_database_read_EISDIR", .posix = "read-database:EISDIR",
                 .step = "reading the old database", .cause = EISDIR, .reached = kStart},
        FaultRow{.name = "old_database_read_EINVAL", .posix = "read-database:EINVAL",
                 .step = "reading the old database", .cause = EINVAL, .reached = kStart},
        // An error the translation does not know is the device's, by number.
        FaultRow{.name = "old_database_unknown_windows_error_1450", .win32 = "ReadFile:1450",
                 .win32_path = "\\iTunesSD", .step = "reading the old database"},
        FaultRow{.name = "old_database_unknown_windows_error_1006", .win32 = "CreateFileW:1006",
                 .win32_path = "\\iTunesSD", .step = "reading the old database"},
        FaultRow{.name = "old_database_unknown_windows_error_87", .win32 = "ReadFile:87",
                 .win32_path = "\\iTunesSD", .step = "reading the old database"},
        FaultRow{.name = "old_database_unknown_windows_error_123", .win32 = "ReadFile:123",
                 .win32_path = "\\iTunesSD", .step = "reading the old database"},
        FaultRow{.name = "old_database_unknown_windows_error_995", .win32 = "ReadFile:995",
                 .win32_path = "\\iTunesSD", .step = "reading the old database"},
        FaultRow{.name = "read_of_the_old_database_interrupted_is_made_again",
                 .posix = "read-database:EINTR", .end = kCompleted, .cause = EINTR},
        FaultRow{.name = "old_database_cannot_be_opened", .posix = "open-old",
                 .step = "reading the old database", .reached = kStart},
        FaultRow{.name = "kind_of_the_old_database_cannot_be_asked", .posix = "fstat-old",
                 .step = "reading the old database", .reached = kStart},
        FaultRow{.name = "read_of_a_later_players_database_fails", .posix = "read-database",
                 .win32 = "ReadFile:ERROR_NOT_READY", .win32_path = "\\iTunesSD",
                 .scenario = kLaterPlayer, .step = "reading the old database", .reached = kStart},
        FaultRow{.name = "later_player_read_short", .posix = "read-short",
                 .win32 = "ReadFile:87", .win32_path = "\\iTunesSD", .scenario = kLaterPlayer,
                 .step = "reading the old database", .reached = kStart},
        // A database the system called missing, found when the run comes
        // to replace it, is refused unread.
        FaultRow{.name = "later_players_database_reported_missing", .posix = "open-old:ENOENT",
                 .win32 = "CreateFileW:ERROR_FILE_NOT_FOUND", .win32_path = "\\iTunesSD",
                 .scenario = kLaterPlayer, .end = kRefused, .cause = ENOENT,
                 .output = lines({kBanner, "", "Rebuilding iTunesSD file header from scratch.",
                                  "Rebuilding iTunesSD entry header from scratch."}) +
                           cannot_write(false)},
        FaultRow{.name = "later_players_database_type_unknown",
                 .win32 = "GetFileType:ERROR_GEN_FAILURE", .win32_path = "\\iTunesSD",
                 .scenario = kLaterPlayer, .step = "reading the old database"},
        FaultRow{.name = "later_players_database_stream_cannot_be_made",
                 .win32 = "GetFileType@2:ERROR_DEVICE_NOT_CONNECTED", .win32_path = "\\iTunesSD",
                 .scenario = kLaterPlayer, .step = "reading the old database"},
        FaultRow{.name = "later_players_database_cannot_be_opened",
                 .win32 = "CreateFileW:ERROR_SHARING_VIOLATION", .win32_path = "\\iTunesSD",
                 .scenario = kLaterPlayer, .step = "reading the old database", .cause = EACCES},
        // The third path the run makes is the old database's (after the
        // control folder's and the lock's).
        FaultRow{.name = "later_players_database_path_cannot_be_made",
                 .win32 = "GetCurrentDirectoryW@3:ERROR_NOT_ENOUGH_MEMORY",
                 .scenario = kLaterPlayer, .step = "reading the old database", .cause = ENOMEM},
        // The storage check on a left-over with clusters of its own: never
        // "shared", or every later run would stop on a healthy player; a
        // check the device fails vouches for nothing, so the left-over stays.
        FaultRow{.name = "storage_check_killed_between_its_two_writes", .posix = "pwrite@2:KILL",
                 .scenario = kLeftOver, .end = kCompleted, .shell = kRunThenRunAgain,
                 .output = "status 137\nstatus 0\n"},
        FaultRow{.name = "storage_check_interrupted_between_its_two_writes",
                 .posix = "pwrite@2:INT", .scenario = kLeftOver, .end = kCompleted,
                 .shell = kRunThenRunAgain, .output = "status 130\nstatus 0\n"},
        FaultRow{.name = "storage_check_cannot_put_its_byte_back", .posix = "pwrite@2",
                 .win32 = "WriteFile@2:ERROR_GEN_FAILURE", .win32_path = "\\iTunesSD.tmp",
                 .scenario = kLeftOver, .end = kCompleted},
        FaultRow{.name = "storage_check_cannot_read_the_left_over", .posix = "pread@1",
                 .win32 = "ReadFile@2:ERROR_DEVICE_NOT_CONNECTED", .win32_path = "\\iTunesSD.tmp",
                 .scenario = kLeftOver, .step = "checking the left-over temporary file",
                 .reached = kTemplates},
        FaultRow{.name = "storage_check_unknown_windows_error", .win32 = "ReadFile:1450",
                 .win32_path = "\\iTunesSD.tmp", .scenario = kLeftOver,
                 .step = "checking the left-over temporary file"},
        FaultRow{.name = "storage_check_change_made_then_reported_failed",
                 .win32 = "WriteFile:ERROR_GEN_FAILURE:done", .win32_path = "\\iTunesSD.tmp",
                 .scenario = kLeftOver, .step = "checking the left-over temporary file"},
        FaultRow{.name = "storage_check_cannot_look_after_its_change", .posix = "pread@3:ENOMEM",
                 .scenario = kLeftOver, .step = "checking the left-over temporary file",
                 .cause = ENOMEM, .reached = kTemplates},
        FaultRow{.name = "storage_check_read_interrupted_is_made_again", .posix = "pread@3:EINTR",
                 .scenario = kLeftOver, .end = kCompleted, .cause = EINTR},
        // A read-only volume says so.
        FaultRow{.name = "volume_read_only_at_the_left_over", .posix = "unlink:EROFS",
                 .end = kRefused, .cause = EROFS, .reached = kTemplates},
        FaultRow{.name = "volume_read_only_at_the_database", .posix = "open-database:EROFS",
                 .end = kRefused, .cause = EROFS, .reached = kTemplates},
        FaultRow{.name = "volume_read_only_at_the_temporary_file", .posix = "open-temp:EROFS",
                 .end = kRefused, .cause = EROFS, .reached = kTemplates},
        // Only a control folder that is not there is a missing one; only a
        // real refusal is "Cannot write": any other failure is named.
        FaultRow{.name = "control_folder_on_a_failing_device", .posix = "chdir",
                 .win32 = "GetFileAttributesW:ERROR_NOT_READY",
                 .step = "opening the iPod control directory", .reached = kStart},
        FaultRow{.name = "control_folder_not_found",
                 .win32 = "GetFileAttributesW:ERROR_PATH_NOT_FOUND", .end = kNoControlFolder,
                 .cause = ENOENT},
        FaultRow{.name = "database_opened_on_a_failing_device", .posix = "open-database",
                 .win32 = "CreateFileW@2:ERROR_DEVICE_NOT_CONNECTED", .win32_path = "\\iTunesSD",
                 .step = "opening the database", .reached = kTemplates},
        FaultRow{.name = "no_descriptors_to_open_the_database", .posix = "open-database:ENFILE",
                 .step = "opening the database", .cause = ENFILE, .reached = kTemplates},
        FaultRow{.name = "database_opened_by_another_program",
                 .win32 = "CreateFileW@2:ERROR_SHARING_VIOLATION", .win32_path = "\\iTunesSD",
                 .end = kRefused, .cause = EACCES},
        FaultRow{.name = "database_looked_at_without_memory",
                 .win32 = "GetFileAttributesW@2:ERROR_NOT_ENOUGH_MEMORY",
                 .win32_path = "\\iTunesSD", .step = "opening the database", .cause = ENOMEM},
        FaultRow{.name = "database_looked_at_on_a_corrupt_disk",
                 .win32 = "GetFileAttributesW@2:ERROR_DISK_CORRUPT", .win32_path = "\\iTunesSD",
                 .step = "opening the database"},
        // The root's listing names its cause, damage and refusals alike.
        FaultRow{.name = "listing_of_the_root_breaks_off", .posix = "getdents64@2",
                 .win32 = "FindFirstFileW:ERROR_DISK_CORRUPT", .step = "searching for files",
                 .printed = {"/: cannot browse"},
                 .output = kBanner + "\n\n" + kTemplatesKept +
                           lines({"", "Searching for files on the iPod.", "/: cannot browse"}) +
                           write_error("searching for files", EIO)},
        FaultRow{.name = "root_listing_on_a_write_protected_volume",
                 .win32 = "FindFirstFileW:ERROR_WRITE_PROTECT", .step = "searching for files",
                 .cause = EROFS},
        FaultRow{.name = "root_listing_refused_midway",
                 .win32 = "FindNextFileW:ERROR_ACCESS_DENIED", .step = "searching for files",
                 .cause = EACCES, .printed = {"/: cannot browse"}},
        FaultRow{.name = "root_listing_shared_midway",
                 .win32 = "FindNextFileW:ERROR_SHARING_VIOLATION", .step = "searching for files",
                 .cause = EACCES},
        FaultRow{.name = "root_listing_on_a_full_disk", .win32 = "FindNextFileW:ERROR_DISK_FULL",
                 .step = "searching for files", .cause = ENOSPC},
        // Below the root too, a device that fails the listing stops the run.
        FaultRow{.name = "listing_breaks_off_below_the_root", .posix = "getdents64@4",
                 .win32 = "FindFirstFileW@3:ERROR_DEVICE_NOT_CONNECTED",
                 .step = "searching for files",
                 .output = kBanner + "\n\n" + kTemplatesKept +
                           lines({"", "Searching for files on the iPod.", "/: 1 files",
                                  "/iPod_Control: cannot browse"}) +
                           write_error("searching for files", EIO)},
        // A listing that gives no kinds: a failed look at one breaks it off.
        FaultRow{.name = "entry_kind_unreadable_on_a_failing_device", .posix = "fstatat@2",
                 .step = "searching for files",
                 .output = kBanner + "\n\n" + kTemplatesKept +
                           lines({"", "Searching for files on the iPod.", "/: cannot browse"}) +
                           write_error("searching for files", EIO)},
        // What the run left is read from the volume: a companion reported
        // missing while it is there was not reset, one reported failed
        // after it went was, and a rename reported failed after it was made
        // put the new database in place. (The first unlink is the
        // left-over's; the second the playback state's.)
        FaultRow{.name = "companion_reported_missing_but_there", .posix = "unlink@2:ENOENT",
                 .win32 = "CreateFileW:ERROR_PATH_NOT_FOUND", .win32_path = "\\iTunesPState",
                 .end = kWarned, .cause = ENOENT,
                 .printed = {"Resetting playback state ... FAILED."}},
        FaultRow{.name = "companion_deleted_but_reported_failed",
                 .win32 = "CloseHandle:ERROR_GEN_FAILURE", .win32_path = "\\iTunesStats",
                 .end = kCompleted, .printed = {"Resetting statistics ... OK."}},
        FaultRow{.name = "rename_reported_refused_after_it_was_made", .posix = "rename:EACCES:done",
                 .win32 = "MoveFileExW:ERROR_ACCESS_DENIED:done", .end = kCompleted,
                 .cause = EACCES}),
    NameOfCase());
// clang-format on

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

// Errors the program's translation does not know, by number: the device's
// fault, never "not there", each named by its number. Made to happen only
// at the calls that make or change a file, before and after they are made.
constexpr WindowsError kUnknownErrors[] = {
    {"1450", EIO}, {"1006", EIO}, {"87", EIO}, {"123", EIO}, {"995", EIO}};

// The calls that change the volume: each also fails after it was made.
const std::set<std::string> kWritingCalls = {"WriteFile",          "MoveFileExW",
                                             "DeleteFileW",        "RemoveDirectoryW",
                                             "SetFileAttributesW", "FlushFileBuffers"};

// One run of the sweep: which call fails, at which of its calls, how.
struct SweepRun {
  Scenario scenario;
  std::string call;
  int nth;
  const WindowsError* error;
  bool done_first;
  std::string caller;  // the module that made the call: the program or msvcrt
  std::string problem;
};

// The file calls of a run without a fault, in order: "CALL MODULE PATH".
std::vector<std::pair<std::string, std::string>> calls_of_a_run(Scenario scenario,
                                                                std::string* problem) {
  Player player(scenario, kWindowsTracks);
  TempDir log_dir;
  const fs::path log = log_dir.path() / "calls";
  RunOptions options = with_win32_fault("");
  options.environment.push_back("TARNWICK_FAULT_LOG=Z:" + log.string());
  const RunResult run = run_tarnwick(player.tree.root(), options);
  if (const std::string broken = judge(player, run, 0); !broken.empty())
    *problem = "the run without a fault broke the rules: " + broken + "\n" + run.output;
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
// with each error after they were made too; the calls that make or change a
// file with each of kUnknownErrors, before and after they are made; in
// each scenario of a used player (kScenarios). A left-over or a missing
// database changes the run only until its walk begins: from there on the
// first scenario's run has the same calls.
TEST(WindowsFaultSweep, EveryFileCallFailsInTurn) {
  SKIP_WITHOUT_WINDOWS_FAULT_BUILD();
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(reference().problem, "");
  std::vector<SweepRun> runs;
  for (const Scenario scenario : kScenarios) {
    std::string problem;
    const auto calls = calls_of_a_run(scenario, &problem);
    ASSERT_EQ(problem, "");
    ASSERT_FALSE(calls.empty()) << "the fault layer logged no call";
    std::map<std::string, int> seen;
    for (const auto& [call, caller] : calls) {
      if ((scenario == Scenario::kLeftOver || scenario == Scenario::kNoDatabase) &&
          call == "FindFirstFileW")
        break;
      const int nth = ++seen[call];
      for (const WindowsError& error : kSweptErrors) {
        runs.push_back({scenario, call, nth, &error, false, caller, ""});
        if (kWritingCalls.contains(call))
          runs.push_back({scenario, call, nth, &error, true, caller, ""});
      }
      if (kWritingCalls.contains(call) || call == "CreateFileW")
        for (const WindowsError& error : kUnknownErrors)
          for (const bool done : {false, true})
            runs.push_back({scenario, call, nth, &error, done, caller, ""});
    }
  }
  std::atomic<size_t> next{0};
  std::atomic<int> retried{0};
  const auto work = [&] {
    for (size_t i; (i = next++) < runs.size();) {
      SweepRun& run = runs[i];
      Player player(run.scenario, kWindowsTracks);
      const std::string fault = run.call + "@" + std::to_string(run.nth) + ":" + run.error->name +
                                (run.done_first ? ":done" : "");
      RunResult result = run_tarnwick(player.tree.root(), with_win32_fault(fault));
      if (result.status == 126 || result.status == 127 || wine_printed_nothing(result)) {
        // The harness could not start wine (126, 127 are run_program's own),
        // or wine ended before the program's banner: once more, on a fresh
        // player, and counted.
        ++retried;
        Player again(run.scenario, kWindowsTracks);
        result = run_tarnwick(again.tree.root(), with_win32_fault(fault));
        run.problem = judge(again, result, run.error->cause, windows_code(fault));
      } else {
        run.problem = judge(player, result, run.error->cause, windows_code(fault));
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
    std::set<std::pair<Scenario, int>> calls;
    int runs = 0;
    int broken = 0;
  };
  std::map<std::string, Tally> sites;
  int broken = 0;
  for (const SweepRun& run : runs) {
    Tally& site = sites[run.call + " (" + run.caller + ")"];
    site.calls.insert({run.scenario, run.nth});
    ++site.runs;
    if (!run.problem.empty()) {
      ++site.broken;
      // Every broken run on a line of its own, the first few whole.
      // An unexpected status whole, whatever the count.
      if (++broken <= 10 || has(run.problem, ": status "))
        ADD_FAILURE() << describe(run.scenario) << ", " << run.problem;
      std::printf("broken: %s, %s\n", describe(run.scenario),
                  run.problem.substr(0, run.problem.find('\n')).c_str());
    }
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
          .count();
  std::printf("%-36s %6s %6s %7s\n", "call site", "calls", "runs", "broken");
  for (const auto& [site, tally] : sites)
    std::printf("%-36s %6zu %6d %7d\n", site.c_str(), tally.calls.size(), tally.runs, tally.broken);
  std::printf("%zu runs over %zu scenarios, %d broken, %d started again, in %lld s\n", runs.size(),
              std::size(kScenarios), broken, retried.load(), static_cast<long long>(seconds));
  EXPECT_EQ(broken, 0);
}

}  // namespace
