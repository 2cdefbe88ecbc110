// Portable stand-ins for the runtime library's _stricmp and _snprintf.
#pragma once

#include <cstddef>

// Compares byte by byte after folding A-Z to a-z (ASCII only, whatever the
// locale); other bytes compare by their unsigned value, and a prefix sorts
// first. Negative, zero or positive, like strcmp.
int compare_ignoring_case(const char* a, const char* b);

// Prints a file or folder name to standard output with each control
// character (below 0x20, 0x7F, and U+0080..U+009F whether encoded in UTF-8
// or as a lone byte) and each encoded lone surrogate shown as "?", so that a
// name cannot steer the terminal; every other byte as it is.
void print_name(const char* name);

// Formats into out, which always ends up terminated. Returns the length of
// the text, or -1 when it did not fit in size bytes (then out holds a cut
// text that must not be used) or the format failed.
[[nodiscard]] int format_text(char* out, size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
