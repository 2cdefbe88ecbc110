// One run per player at a time.
#pragma once

// Takes the one lock per player, held until unlock_player or the process ends, so that two
// runs never write the same database at once. When another run holds it,
// calls before_waiting once and waits for that run to end. true when the
// lock is held, or when the file system cannot lock at all (the run goes on
// as before); false, with errno set, when the lock could not be tried.
[[nodiscard]] bool lock_player(const char* itunes_dir, void (*before_waiting)());

// Lets the next run in before this one waits at its end; nothing when no
// lock is held.
void unlock_player();
