// What ends the program from outside: interruptions (signals, console
// events), and the signals a failed write would raise.
#pragma once

// Neither a reader that goes away (a closed pipe) nor a file-size limit
// may end the program in the middle of replacing the database: those
// writes fail instead, and the failure is reported.
void ignore_write_signals();

// Interruptions: every signal that would end the program but for a crash
// and SIGKILL (Ctrl-C, Ctrl-\, termination, hang-up, a CPU time limit, an
// alarm, the user and real-time signals...); on Windows Ctrl-C, Ctrl-Break
// and closing the console window. Installs the
// handling once, before any file of the run's own exists; until
// remove_on_interruption an interruption just ends the program.
void catch_interruptions();

// Holds interruptions back: one that arrives now takes effect only at
// resume_interruptions or release_interruptions.
void hold_interruptions();

// From now on, and while interruptions are held back, an interruption
// removes the file at path (which must stay valid) before the program ends.
void remove_on_interruption(const char* path);

// The same for a second file (the new statistics), removed with the first.
void also_remove_on_interruption(const char* path);

// Lets held-back interruptions take effect, still removing the file: one
// that arrived ends the process here, before the caller goes on (on
// Windows too, where the console handler runs on a thread of its own).
void resume_interruptions();

// Forgets the file to remove and lets held-back interruptions take effect,
// as resume_interruptions does.
void release_interruptions();

// The run's verdict is decided: an interruption from now on no longer ends
// the process, so that its exit status is the verdict's (a read waiting for
// ENTER returns instead, and the program ends as it would have). Closing
// the console window on Windows still ends it, with the verdict's status.
void settle_interruptions(int status);
