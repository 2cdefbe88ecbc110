#include "transcript.h"

#include <cerrno>
#include <cstring>

#include "run_program.h"

std::string lines(const std::vector<std::string>& each) {
  std::string text;
  for (const auto& line : each)
    text += line + "\n";
  return text;
}

std::string banner_and_templates(bool file_header_kept, bool entry_header_kept) {
  return lines({kBanner, "",
                file_header_kept ? "Using iTunesSD file header from existing database."
                                 : "Rebuilding iTunesSD file header from scratch.",
                entry_header_kept ? "Using iTunesSD entry header from existing database."
                                  : "Rebuilding iTunesSD entry header from scratch.",
                "", "Searching for files on the iPod."});
}

std::string closing(int count, const std::vector<std::string>& reset_outcomes, bool warning) {
  std::vector<std::string> outcome = reset_outcomes;
  outcome.resize(3, "not needed.");
  std::string text = lines({std::to_string(count) + " playable files were found on your iPod.", "",
                            "Fixing iTunesSD header.", "Resetting playback state ... " + outcome[0],
                            "Resetting statistics ... " + outcome[1],
                            "Resetting shuffle sequence ... " + outcome[2], ""});
  if (warning)
    return text + lines({"WARNING: The main database file was rebuild successfully, but there "
                         "were errors",
                         "         while resetting the other files. However, playback MAY work "
                         "correctly."});
  return text + kSuccess;
}

namespace {
std::string check_tool() {
  return windows_build() ? "chkdsk" : "fsck.vfat";
}
}  // namespace

std::string damage_advice() {
  return "The iPod's file system may be damaged: check it with " + check_tool() +
         ", then run this program again.";
}

std::string read_only_advice() {
  return "The iPod's volume is read-only. If it was not made read-only on purpose, the system may "
         "have found damage on it: check it with " +
         check_tool() + ", then run this program again.";
}

std::string could_not(const std::string& step, int error, unsigned long windows_code) {
  const std::string code =
      windows_code != 0 ? " (Windows error " + std::to_string(windows_code) + ")" : "";
  return "ERROR: Could not write the new iPod database file (" + step + ": " +
         std::strerror(error) + code + ")!";
}

std::string write_error(const std::string& step, int error, Left left) {
  const char* state = left == Left::kNothing ? "Nothing was changed on the iPod."
                      : left == Left::kPlaybackState
                          ? "The old database was kept, but its playback state was reset."
                      : left == Left::kDatabase
                          ? "The database may be incomplete: run this program again."
                          : "No database was written, but the playback state was reset.";
  if (error == EROFS)
    return lines({could_not(step, error), state, read_only_advice()});
  if (error == EIO)
    return lines({could_not(step, error), state, damage_advice()});
  // The old database the user may not read: a refusal, not a full volume.
  if ((error == EACCES || error == EPERM) && step == "reading the old database")
    return lines({could_not(step, error), std::string(state) + " Please make sure that:",
                  " (*) you have sufficient permissions to read and write the iPod database file"});
  return lines({could_not(step, error), std::string(state) + " Please make sure that:",
                " (*) there is enough free space on the iPod volume",
                " (*) the iPod stays connected until this program has ended"});
}

std::string cannot_write(bool read_only) {
  if (read_only)
    return lines({"ERROR: Cannot write to the iPod database file (iTunesSD)!", read_only_advice()});
  return lines(
      {"ERROR: Cannot write to the iPod database file (iTunesSD)!",
       "Please make sure that:", " (*) you have sufficient permissions to write to the iPod volume",
       " (*) you are actually using an iPod shuffle, and not some other iPod model :)"});
}
