// Appends one entry record for a playable file.
#pragma once

// path is a composed path: "." followed by the path below the device root,
// at most 255 characters. Assembles the record in entry_header (type code,
// name field, flag byte; every other byte as the template holds it), appends
// it to db_file and counts it in playable_count.
// Returns 1 when the record was appended, or when path was null, empty or
// longer than a composed path may be (then nothing is written or counted);
// 0 when the database cannot take it, after recording the failure.
int write_entry(const char* path);
