// The two routines of the run sequence (main) besides the walk and the
// database work.
#pragma once

// 1 until "-q" turns the final pause off.
extern int pause_on_exit;

// Resets one companion file of the database by deleting it, printing
// "Resetting <label> ... " and the outcome. Returns 1 when the file is gone
// afterwards (deleted now, or not there), 0 when it cannot be deleted.
[[nodiscard]] int reset_side_file(const char* path, const char* label);

// Waits for ENTER (or the end of input) unless pause_on_exit is 0, then ends
// the process with status. Does not return.
[[noreturn]] void quit_program(int status);
