// The names as the Mac's FAT driver (msdosfs) stores them. It hands
// programs each name decomposed (NFD), with the characters FAT forbids
// mapped back to ASCII, but stores it composed (NFC) with those characters
// in the private-use area (the "SFM" mapping); the player compares the
// stored units. Portable code, so that it is tested everywhere; only the
// macOS build uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/paths.h"

// Converts a device path as the Mac's directory listing gives it (UTF-8)
// into at most max_units UTF-16 units as the driver stored it. In each
// "/"-separated component: U+0001..U+001F mapped to U+F001..U+F01F,
// " * : < > ? \ | to U+F020..U+F027, and a space or a period that ends it to
// U+F028 or U+F029, and U+2400 to "/"; then composed as compose_as_mac does. Returns the number
// of units written; a surrogate pair is never cut in half.
int mac_stored_units(std::string_view path, uint16_t* units, int max_units);

// The driver's composition of count code points, in place: each character
// composed only with the one right before it, by Unicode 3.2's canonical
// pairs (Hangul by formula), nothing outside the Basic Multilingual Plane;
// then each run of combining marks put in canonical order by Unicode 3.2's
// combining classes. Returns the new count.
int compose_as_mac(char32_t* points, int count);

// The stored form of one listed name (no "/", at most kMaxListedNameBytes
// bytes), as UTF-8 with a terminator, into out of size bytes. Returns its
// length, or -1 when it does not fit.
int mac_stored_name(const char* listed, char* out, size_t size);
