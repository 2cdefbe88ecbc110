// --check: what a rebuild would change, with nothing changed.
#pragma once

// Exit statuses of the check.
constexpr int kCheckSame = 0;     // the database is what a rebuild would write
constexpr int kCheckChanges = 1;  // a rebuild would change it
constexpr int kCheckCannotTell = 2;

// Reads the database and walks the volume as a rebuild would, holding the
// player's lock only meanwhile, and prints the tracks a rebuild would add,
// drop or move, every file the walk leaves out and why, and the names the
// player may not play. Writes nothing; returns the exit status above.
int check_database(void (*before_waiting)());
