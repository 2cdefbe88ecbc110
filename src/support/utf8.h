// UTF-8 to UTF-16, the way the player's volume stores long file names.
#pragma once

#include <cstdint>
#include <string_view>

// Takes the next character off the front of bytes, which must not be empty:
// the code point of a valid UTF-8 sequence, or, for a byte that begins none
// (overlong, an encoded surrogate, truncated, above U+10FFFF), that byte's
// own value.
char32_t take_code_point(std::string_view* bytes);

// Appends code as one UTF-16 unit, or a surrogate pair above U+FFFF, after
// the count units already in units. Returns the new count, or -1 when it
// does not fit in max_units (a pair is never cut in half).
int append_utf16(char32_t code, uint16_t* units, int count, int max_units);

// Decodes an 8-bit path into at most max_units UTF-16 units, character by
// character as above, and returns how many were written. Never more units
// than path has bytes.
int utf8_to_units(std::string_view path, uint16_t* units, int max_units);
