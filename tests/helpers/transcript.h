// The program's console text, as the tests expect it.
#pragma once

#include <string>
#include <vector>

// Inline, so that the tables' rows, made before main, may use them.
// The first line, with the version the build was made with.
inline const std::string kBanner = "Welcome to Tarnwick, version " TARNWICK_SHORT_VERSION;

// The two template lines when the old database gave both.
inline const std::string kTemplatesKept =
    "Using iTunesSD file header from existing database.\n"
    "Using iTunesSD entry header from existing database.\n";

// The verdict of a run that rebuilt the database.
inline const std::string kSuccess =
    "The iPod shuffle database was rebuilt successfully.\nHave fun listening to your music!\n";

// What a failed run says it left changed on the player.
enum class Left { kNothing, kPlaybackState, kDatabase, kPlaybackStateWithoutDatabase };

// The lines, each followed by "\n".
std::string lines(const std::vector<std::string>& each);

// The banner, the two template lines and the search line.
std::string banner_and_templates(bool file_header_kept = false, bool entry_header_kept = false);

// The count, the header line, the three resets (default "not needed.") and
// the verdict.
std::string closing(int count, const std::vector<std::string>& reset_outcomes = {},
                    bool warning = false);

// The advice after damage and after a read-only volume: the check is
// fsck.vfat's, or chkdsk's for the Windows build.
std::string damage_advice();
std::string read_only_advice();

// The line of a failure at step, error's reason after it, and the Windows
// error's number when the program's translation did not know it.
std::string could_not(const std::string& step, int error, unsigned long windows_code = 0);

// A failure's lines: the error, what it left and the advice that fits it.
std::string write_error(const std::string& step, int error, Left left = Left::kNothing);

// A refusal to write the database, with its advice.
std::string cannot_write(bool read_only = false);
