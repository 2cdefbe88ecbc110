// The program's console text, as the tests expect it.
#pragma once

#include <string>
#include <vector>

// The first line, with the version the build was made with.
extern const std::string kBanner;

// The lines, each followed by "\n".
std::string lines(const std::vector<std::string>& each);

// The banner, the two template lines and the search line.
std::string banner_and_templates(bool file_header_kept = false, bool entry_header_kept = false);

// The count, the header line, the three resets (default "not needed.") and
// the verdict.
std::string closing(int count, const std::vector<std::string>& reset_outcomes = {},
                    bool warning = false);
