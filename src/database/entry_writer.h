// Appends one entry record for a playable file.
#pragma once

// path is a composed path (text/paths.h). Assembles the record in
// entry_header (type code, name field, shuffle flag; every other byte as the
// template holds it), appends it to db_file and counts it in playable_count.
// true when the record was appended, or when path was null, empty,
// longer than a composed path may be, or not a playable file (then nothing
// is written or counted); false when the database cannot take it, after
// recording the failure.
[[nodiscard]] bool write_entry(const char* path);
