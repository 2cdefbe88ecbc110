// The names as the Mac's FAT driver (msdosfs) stores them. It hands
// programs each name decomposed (NFD), with the characters FAT forbids
// mapped back to ASCII, but stores it composed (NFC) with those characters
// in the private-use area (the "SFM" mapping); the player compares the
// stored units. Portable code, so that it is tested everywhere; only the
// macOS build uses it.
#pragma once

#include <cstdint>
#include <string_view>

// Converts a device path as the Mac's directory listing gives it (UTF-8)
// into at most max_units UTF-16 units as the driver stored it: each
// "/"-separated component canonically composed, then mapped: U+0001..U+001F
// to U+F001..U+F01F; " * : < > ? \ | to U+F020..U+F027; and a space or a
// period that ends a component to U+F028 or U+F029. Returns the number of
// units written; a surrogate pair is never cut in half.
int mac_stored_units(std::string_view path, uint16_t* units, int max_units);

// Canonical composition (the last step of Unicode NFC) of count code points
// in place, without reordering; returns the new count.
int compose_canonically(char32_t* points, int count);
