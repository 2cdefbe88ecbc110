// The two routines of the run sequence (main) besides the walk and the
// database work.
#pragma once

#include "system/durable_files.h"

// 1 until "-q" turns the final pause off.
extern int pause_on_exit;

// Prints "Resetting <label> ... " and the outcome of that companion file's
// deletion: OK. (removed), not needed. (it was not there) or FAILED. true
// when the file is gone.
bool report_reset(const char* label, Removal outcome);

// Lets the next run on the player in, then waits for ENTER (or the end of
// input) unless pause_on_exit is 0, then ends
// the process with status. Does not return.
[[noreturn]] void quit_program(int status);
