// Appends one entry record for a playable file.
#pragma once

#include <cstdint>

// path is a composed path (text/paths.h). Assembles the record in
// entry_header (type code, name field, shuffle flag; every other byte as the
// template holds it), appends it to db_file and counts it in playable_count.
// true when the record was appended, or when path was null, empty,
// longer than a composed path may be, or not a playable file (then nothing
// is written or counted); false when the database cannot take it, after
// recording the failure.
[[nodiscard]] bool write_entry(const char* path);

// When set, write_entry hands each record it assembles to record_sink
// before appending it to db_file, and appends nothing when db_file is not
// open (a check that writes nothing). A false answer stops the walk; the
// sink has recorded the failure.
extern bool (*record_sink)(const uint8_t* record);
