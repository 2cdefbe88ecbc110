#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "database/database.h"
#include "database/statistics.h"
#include "discovery/scan_directory.h"
#include "failure/failure.h"
#include "run/check.h"
#include "run/run.h"
#include "system/console.h"
#include "system/durable_files.h"
#include "system/interruptions.h"
#include "system/player_lock.h"

int pause_on_exit = 1;

namespace {

constexpr int kUnknownOption = 2;

constexpr std::array<const char*, kCompanionPaths.size()> kCompanionLabels = {
    "playback state", "statistics", "shuffle sequence"};
constexpr size_t kStatisticsIndex = 1;

// How the user checks the volume's file system on this system.
#if defined(_WIN32)
constexpr const char* kFileSystemCheck = "chkdsk";
#elif defined(__APPLE__)
constexpr const char* kFileSystemCheck = "First Aid in Disk Utility";
#else
constexpr const char* kFileSystemCheck = "fsck.vfat";
#endif

const char* what_was_left(Changed changed) {
  switch (changed) {
    case Changed::kNothing:
      break;
    case Changed::kPlaybackState:
      return had_old_database() ? "The old database was kept, but its playback state was reset."
                                : "No database was written, but the playback state was reset.";
    case Changed::kDatabase:
      return "The database may be incomplete: run this program again.";
  }
  return "Nothing was changed on the iPod.";
}

// A read-only volume may be meant so, or be the system's answer to damage
// it found on the volume.
void say_read_only() {
  std::printf(
      "The iPod's volume is read-only. If it was not made read-only on purpose, the system "
      "may have found damage on it: check it with %s, then run this program again.\n",
      kFileSystemCheck);
}

[[noreturn]] void fail_rebuild() {
  const int not_removed = abandon_database();
  const int statistics_not_removed = abandon_statistics();
  release_interruptions();
  settle_interruptions(1);
  std::printf("ERROR: Could not write the new iPod database file (%s)!\n%s", read_failure(),
              what_was_left(failure_changed()));
  if (not_removed != 0)
    std::printf("\nThe temporary file iPod_Control/iTunes/iTunesSD.tmp could not be deleted (%s).",
                std::strerror(not_removed));
  if (statistics_not_removed != 0)
    std::printf(
        "\nThe temporary file iPod_Control/iTunes/iTunesStats.tmp could not be deleted (%s).",
        std::strerror(statistics_not_removed));
  if (failure_could_not_tell()) {
    const bool statistics = statistics_leftover_in_question();
    std::printf(
        "\nThe left-over %s may share its storage with the %s, and this "
        "system cannot tell: check the iPod's file system with %s, then delete "
        "iPod_Control/iTunes/%s and run this program again.\n",
        statistics ? "iTunesStats.tmp" : "iTunesSD.tmp",
        statistics ? "statistics file" : "database", kFileSystemCheck,
        statistics ? "iTunesStats.tmp" : "iTunesSD.tmp");
  } else if (failure_is_read_only()) {
    std::printf("\n");
    say_read_only();
  } else if (failure_is_damage()) {
    // Writing again cannot help a volume that reports damage or went
    // read-only under the run.
    std::printf(
        "\nThe iPod's file system may be damaged: check it with %s, then run this program "
        "again.\n",
        kFileSystemCheck);
    if (statistics_leftover_in_question())
      std::printf(
          "The statistics file and the left-over iTunesStats.tmp share their storage. After "
          "the check, delete iPod_Control/iTunes/iTunesStats.tmp; only play counts and places "
          "are lost if the check shortens or removes them.\n");
    else if (failure_found_damage())
      std::printf(
          "The database file and the left-over iTunesSD.tmp share their storage. The next "
          "run rebuilds the database from the music files, so nothing is lost if the check "
          "shortens or removes it.\n");
  } else if (failure_was_refused()) {
    std::printf(
        " Please make sure that:\n"
        " (*) you have sufficient permissions to read and write the iPod database file\n");
  } else {
    std::printf(
        " Please make sure that:\n"
        " (*) there is enough free space on the iPod volume\n"
        " (*) the iPod stays connected until this program has ended\n");
  }
  quit_program(1);
}

// The arguments that ask about the program rather than for a run: they
// must never rebuild anything.
bool asks_for_help(const char* argument) {
#ifdef _WIN32
  if (std::strcmp(argument, "/?") == 0)
    return true;
#endif
  return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0;
}

void print_usage() {
  std::printf(
      "Usage: tarnwick [-q] [--check | --keep-places]\n"
      "Rebuilds the track database of a 1st or 2nd generation iPod shuffle,\n"
      "iPod_Control/iTunes/iTunesSD, listing every playable file on the player,\n"
      "and resets the player's playback state, statistics and shuffle sequence.\n"
      "Start it with the player's root folder (the one that holds iPod_Control)\n"
      "as the working directory.\n"
      "\n"
      "  -q             do not wait for ENTER at the end\n"
      "  --check        change nothing: show what a rebuild would change, the\n"
      "                 files it would leave out and why, and the names that\n"
      "                 may not play\n"
      "  --keep-places  keep each track's place and its play and skip counts\n"
      "  --help         show this text and exit (also -h%s)\n"
      "  --version      show the version and exit\n"
      "\n"
      "Exit status: 0 when the database was rebuilt, 1 when it was not,\n"
      "2 for an option this program does not know (then nothing is touched).\n"
      "With --check: 0 when the database is what a rebuild would write,\n"
      "1 when a rebuild would change it, 2 when it cannot tell.\n",
#ifdef _WIN32
      " and /?"
#else
      ""
#endif
  );
}

// What the arguments ask for. Arguments that do not begin with "-" are
// ignored, as they always were; an option the program does not know
// (a typo) must never start a rebuild.
struct Options {
  bool quiet = false;
  bool check = false;
  bool keep_places = false;
  bool help = false;
  bool version = false;
  bool unknown = false;
};

Options read_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (asks_for_help(argument))
      options.help = true;
    else if (std::strcmp(argument, "--version") == 0)
      options.version = true;
    else if (std::strcmp(argument, "-q") == 0)
      options.quiet = true;
    else if (std::strcmp(argument, "--check") == 0)
      options.check = true;
    else if (std::strcmp(argument, "--keep-places") == 0)
      options.keep_places = true;
    else if (argument[0] == '-')
      options.unknown = true;
  }
  return options;
}

// The exit status of --help or --version: the text asked for must have
// been written (not lost on a full device, a closed pipe or a closed
// standard output).
int answered() {
  return std::fflush(stdout) == 0 && !std::ferror(stdout) && !standard_output_was_closed() ? 0 : 1;
}

void say_waiting() {
  std::printf("Waiting for another run of this program on the iPod to end ...\n");
  std::fflush(stdout);
}

}  // namespace

bool report_reset(const char* label, Removal outcome) {
  std::printf("Resetting %s ... %s\n", label,
              outcome == Removal::kRemoved    ? "OK."
              : outcome == Removal::kNotThere ? "not needed."
                                              : "FAILED.");
  return outcome != Removal::kFailed;
}

void quit_program(int status) {
  // The run's own files are gone or in place by now: once the lock is let
  // go, an interruption must not remove the next run's files, and it ends
  // the program with the verdict's status.
  release_interruptions();
  settle_interruptions(status);
  // A run left waiting for ENTER must not keep the next one waiting.
  unlock_player();
  if (pause_on_exit) {
    std::printf("\nPress ENTER to quit ...\n");
    std::fflush(stdout);
    std::getchar();
  }
  std::exit(status);
}

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing opened takes their place:
  // without them the program's text could end up in the database.
  if (!open_standard_streams())
    return 1;
  prepare_console();
  ignore_write_signals();
  const Options options = read_options(argc, argv);
  if (options.unknown) {
    print_usage();
    std::fflush(stdout);
    return kUnknownOption;
  }
  if (options.help) {
    print_usage();
    return answered();
  }
  if (options.version) {
    std::printf("tarnwick %s\n", TARNWICK_VERSION);
    return answered();
  }
  std::printf("Welcome to Tarnwick, version %s\n\n", TARNWICK_SHORT_VERSION);
  if (options.quiet)
    pause_on_exit = 0;
  if (options.check) {
    const int status = check_database(say_waiting);
    std::fflush(stdout);
    return status;
  }

  switch (find_control_directory()) {
    case Control::kFound:
      break;
    case Control::kFailed:
      fail_rebuild();
    case Control::kMissing:
      std::printf(
          "ERROR: No iPod control directory found!\n"
          "Please make sure that:\n"
          " (*) this program's working directory is the iPod's root directory\n"
          " (*) the iPod was correctly initialized with iTunes\n");
      quit_program(1);
  }
  if (!lock_database(say_waiting))
    fail_rebuild();
  catch_interruptions();

  if (!load_templates() || (options.keep_places && !read_old_statistics()))
    fail_rebuild();
  switch (open_database()) {
    case Opened::kOpened:
      break;
    case Opened::kFailed:
      fail_rebuild();
    case Opened::kReadOnly:
      std::printf("ERROR: Cannot write to the iPod database file (iTunesSD)!\n");
      say_read_only();
      quit_program(1);
    case Opened::kRefused:
      std::printf(
          "ERROR: Cannot write to the iPod database file (iTunesSD)!\n"
          "Please make sure that:\n"
          " (*) you have sufficient permissions to write to the iPod volume\n"
          " (*) you are actually using an iPod shuffle, and not some other iPod model :)\n");
      quit_program(1);
  }
  if (options.keep_places && !remove_statistics_leftover())
    fail_rebuild();

  std::printf("\nSearching for files on the iPod.\n");
  if (!scan_directory("."))
    fail_rebuild();
  std::printf("%d playable files were found on your iPod.\n\n", playable_count);
  if (!finalize_header() || !close_database())
    fail_rebuild();

  // The companion files go before the rename, so that no crash leaves the
  // new database beside the old playback state, statistics and shuffle
  // sequence; the old database without them is harmless (the player makes
  // them anew). Their lines are printed where a run has always shown them.
  std::array<Removal, kCompanionPaths.size()> reset;
  if (!reset_companions(&reset) || !write_new_statistics())
    fail_rebuild();
  const bool any_reset = std::any_of(reset.begin(), reset.end(),
                                     [](Removal removal) { return removal == Removal::kRemoved; });
  if (!commit_database(any_reset ? Changed::kPlaybackState : Changed::kNothing))
    fail_rebuild();

  // The new statistics follow the new database, never lead it.
  const bool statistics_kept = keeping_statistics() && commit_statistics();

  bool all_reset = true;
  for (size_t i = 0; i < reset.size(); ++i) {
    all_reset = (i == kStatisticsIndex && keeping_statistics()
                     ? report_kept_statistics(statistics_kept)
                     : report_reset(kCompanionLabels[i], reset[i])) &&
                all_reset;
  }
  // An interruption held back since the rename ends the run here; one that
  // comes after it no longer ends the run: the verdict below is its end.
  release_interruptions();
  settle_interruptions(0);
  if (all_reset)
    std::printf(
        "\nThe iPod shuffle database was rebuilt successfully.\n"
        "Have fun listening to your music!\n");
  else
    std::printf(
        "\nWARNING: The main database file was rebuild successfully, but there were errors\n"
        "         while resetting the other files. However, playback MAY work correctly.\n");
  quit_program(0);
}
