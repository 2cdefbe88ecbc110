// Composed paths: the device root is ".", and each child is its parent, "/"
// and its name, so "./Music/a.mp3". The device path written into records and
// printed in progress lines is the composed path without its leading dot.
#pragma once

#include <cstddef>

// The longest composed path, in bytes of the name's encoding; the name field
// of a record holds its device path with room to spare.
inline constexpr size_t kMaxComposedPath = 255;

// The longest name the walk takes from a listing, or makes of one in the
// form the Mac's driver stores (UTF-8 bytes); longer names cannot make a
// path that fits.
inline constexpr size_t kMaxListedNameBytes = 1024;
