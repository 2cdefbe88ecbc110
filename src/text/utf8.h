// UTF-8 to UTF-16, the way the player's volume stores long file names.
#pragma once

#include <cstdint>
#include <string>
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

// Windows names are UTF-16 that may hold an unpaired surrogate. Inside the
// program they are UTF-8 in which such a surrogate is encoded on its own, as
// three bytes ED A0..BF 80..BF (no valid UTF-8 holds these), so that a name
// goes through the program and back to the system, or into the database,
// unit for unit.

// take_code_point, except that an encoded surrogate is taken whole, as its
// own value (U+D800..U+DFFF).
char32_t take_name_code_point(std::string_view* bytes);

// A name or path from the system's UTF-16 into the program's 8-bit form.
std::string utf16_to_name(std::u16string_view units);

// The same into out, which holds size bytes, terminated, asking for no
// memory: its length, or -1 when it does not fit.
int utf16_to_name_in(std::u16string_view units, char* out, size_t size);

// Back into UTF-16 for the system: character by character as
// take_name_code_point takes them (a byte that begins no sequence as that
// byte's own value).
std::u16string name_to_utf16(std::string_view bytes);

// utf8_to_units with each encoded surrogate as one unit.
int name_to_units(std::string_view path, uint16_t* units, int max_units);
