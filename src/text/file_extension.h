// The lower-cased extension of a file name or path.
#pragma once

// Returns the text after the last "." of name, folded to lower case (A-Z
// only), or "" when there is no dot or the text is longer than seven
// characters. The result lives in one process-wide buffer that every call
// overwrites: use it before the next call. Never null.
const char* file_extension(const char* name);
