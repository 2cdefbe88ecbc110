// The kinds of track the player plays: one row per playable extension. The
// walk accepts a file by this table and the entry writer fills its record
// from the same row, so an extension is added in exactly one place.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

struct TrackKind {
  std::string_view extension;  // lower case, as file_extension gives it
  uint8_t type_code;           // byte 29 of the entry record
  bool joins_shuffle;          // byte 555: audiobooks stay out of shuffle
  bool keeps_place;            // byte 556: audiobooks go on where they were left
};

// Sized by its rows, so that no empty row can make extension-less names
// playable.
inline constexpr auto kTrackKinds = std::to_array<TrackKind>({
    {"mp3", 1, true, false},
    {"wav", 4, true, false},
    {"aa", 4, false, true},
    {"m4a", 2, true, false},
    {"m4b", 2, false, true},
    {"m4p", 2, true, false},
});

static_assert(std::none_of(kTrackKinds.begin(), kTrackKinds.end(),
                           [](const TrackKind& kind) { return kind.extension.empty(); }),
              "a track kind without an extension");

// The row for the extension of name (a file name or a whole path), or null
// when the file is not playable.
const TrackKind* track_kind(const char* name);
