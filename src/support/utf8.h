// UTF-8 to UTF-16, the way the player's volume stores long file names.
#pragma once

#include <cstdint>
#include <string_view>

// Decodes an 8-bit path into at most max_units UTF-16 units and returns how
// many were written. Each valid UTF-8 sequence becomes its code unit, or a
// surrogate pair above U+FFFF (never cut in half at the end); any byte that
// does not begin a valid sequence (overlong, an encoded surrogate, truncated,
// above U+10FFFF) becomes one unit of its own value. Never more units than
// path has bytes.
int utf8_to_units(std::string_view path, uint16_t* units, int max_units);
