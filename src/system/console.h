// The standard streams and the console the program writes to.
#pragma once

// Opens any of standard input, output and error that is closed on the null
// device, so that no file opened later can take its place and receive the
// console's text. false when one is closed and the null device cannot be
// opened: the run must then stop before it opens anything.
[[nodiscard]] bool open_standard_streams();

// Whether standard output was closed when the program started (and now
// leads to the null device): text written to it reaches nobody.
[[nodiscard]] bool standard_output_was_closed();

// Sets the console up for the program's text: UTF-8 on Windows. The
// console is put back as it was when the program ends.
void prepare_console();

// Puts the console back as prepare_console found it, now; safe from any
// thread and more than once (an interruption's handler calls it).
void restore_console();
