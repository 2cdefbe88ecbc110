#include "transcript.h"

const std::string kBanner = "Welcome to Tarnwick, version " TARNWICK_SHORT_VERSION;

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
  return text + lines({"The iPod shuffle database was rebuilt successfully.",
                       "Have fun listening to your music!"});
}
