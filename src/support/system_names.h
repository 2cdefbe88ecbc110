// Names as the system hands them to the program, turned into what the
// player stores.
#pragma once

#include <cstdint>
#include <string_view>

// Converts a path in the system's 8-bit file-name encoding (UTF-8 on POSIX,
// on macOS in the form the FAT driver stored it; the process code page on
// Windows) into at most max_units UTF-16 units, as
// the player compares them with the long names on its volume. Returns the
// number of units written.
int path_to_utf16(std::string_view path, uint16_t* units, int max_units);
