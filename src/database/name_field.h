// The name field of an entry record: the device path as the player looks it
// up on its volume, in UTF-16 code units.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

constexpr int kNameFieldUnits = 261;

using NameUnits = std::array<uint16_t, kNameFieldUnits>;

// Decodes an 8-bit path into UTF-16 units and returns how many were written;
// the rest of units is left alone. Each valid UTF-8 sequence becomes its code
// unit, or a surrogate pair above U+FFFF; any byte that does not begin a
// valid sequence (overlong, an encoded surrogate, truncated, above U+10FFFF)
// becomes one unit of its own value. Never more units than path has bytes,
// and never more than kNameFieldUnits.
int utf8_to_units(std::string_view path, NameUnits& units);
