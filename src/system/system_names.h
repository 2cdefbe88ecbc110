// Names as the system hands them to the program, turned into what the
// player stores.
#pragma once

#include <cstdint>
#include <string_view>

// Converts a path as the walk names it (UTF-8; on macOS in the form the
// FAT driver stored it; on Windows with an unpaired surrogate of a name
// encoded on its own) into at most max_units UTF-16 units, as the player
// compares them with the long names on its volume. Returns the number of
// units written.
int path_to_utf16(std::string_view path, uint16_t* units, int max_units);
