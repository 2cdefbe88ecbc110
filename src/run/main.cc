#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "database/database.h"
#include "discovery/scan_directory.h"
#include "run/run.h"
#include "support/failure.h"
#include "support/platform.h"

int pause_on_exit = 1;

namespace {

struct SideFile {
  const char* path;
  const char* label;
};

constexpr SideFile kSideFiles[] = {
    {"iPod_Control/iTunes/iTunesPState", "playback state"},
    {"iPod_Control/iTunes/iTunesStats", "statistics"},
    {"iPod_Control/iTunes/iTunesShuffle", "shuffle sequence"},
};

[[noreturn]] void fail_rebuild() {
  abandon_database();
  release_interruptions();
  std::printf("ERROR: Could not write the new iPod database file (%s)!\n%s", read_failure(),
              failure_touched_database()
                  ? "The database may be incomplete: run this program again. Please make sure "
                    "that:\n"
                  : "Nothing was changed on the iPod. Please make sure that:\n");
  std::printf(
      " (*) there is enough free space on the iPod volume\n"
      " (*) the iPod stays connected until this program has ended\n");
  quit_program(1);
}

void say_waiting() {
  std::printf("Waiting for another run of this program on the iPod to end ...\n");
  std::fflush(stdout);
}

}  // namespace

int reset_side_file(const char* path, const char* label) {
  std::printf("Resetting %s ... ", label);
  if (std::remove(path) == 0) {
    std::printf("OK.\n");
    return 1;
  }
  if (errno == ENOENT) {
    std::printf("not needed.\n");
    return 1;
  }
  std::printf("FAILED.\n");
  return 0;
}

void quit_program(int status) {
  if (pause_on_exit) {
    std::printf("\nPress ENTER to quit ...\n");
    std::fflush(stdout);
    std::getchar();
  }
  std::exit(status);
}

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing opened takes their place.
  open_standard_streams();
  prepare_console();
  ignore_broken_pipe();
  std::printf("Welcome to Tarnwick, version %s\n\n", TARNWICK_SHORT_VERSION);
  if (argc == 2 && std::strcmp(argv[1], "-q") == 0)
    pause_on_exit = 0;

  if (!visit_directory(kItunesDir)) {
    std::printf(
        "ERROR: No iPod control directory found!\n"
        "Please make sure that:\n"
        " (*) this program's working directory is the iPod's root directory\n"
        " (*) the iPod was correctly initialized with iTunes\n");
    quit_program(1);
  }
  if (!lock_player(kItunesDir, say_waiting)) {
    record_failure("locking the database", errno);
    fail_rebuild();
  }

  load_templates();
  if (!open_database()) {
    std::printf(
        "ERROR: Cannot write to the iPod database file (iTunesSD)!\n"
        "Please make sure that:\n"
        " (*) you have sufficient permissions to write to the iPod volume\n"
        " (*) you are actually using an iPod shuffle, and not some other iPod model :)\n");
    quit_program(1);
  }

  std::printf("\nSearching for files on the iPod.\n");
  if (!scan_directory("."))
    fail_rebuild();
  std::printf("%d playable files were found on your iPod.\n\n", playable_count);
  if (!finalize_header() || !commit_database())
    fail_rebuild();

  int all_reset = 1;
  for (const SideFile& side : kSideFiles)
    all_reset *= reset_side_file(side.path, side.label);
  // An interruption held back since the rename ends the run here.
  release_interruptions();
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
