// Why the run cannot complete: the first failure on the way to a new
// database, kept until the single error exit reports it.
#pragma once

// What a failure leaves on the player, from least to most.
enum class Changed {
  kNothing,        // the old database and its companion files as they were
  kPlaybackState,  // the old database, its companion files reset
  kDatabase,       // the rename may have happened: only another run can tell
};

// Records that step failed with the system's error code, having changed
// what changed says. A run stops at its first failure, so the record holds
// that one.
void record_failure(const char* step, int error, Changed changed = Changed::kNothing);

// Records that step found the volume's structure damaged (the program
// itself saw it, no call reported it): only the file system check can
// mend it, and the next run then rebuilds the database from the music.
void record_damage_found(const char* step);

// Whether the recorded failure is such damage.
bool failure_found_damage();

// "step: reason" of the recorded failure, or "" when none was recorded.
const char* read_failure();

// What the recorded failure left changed on the player.
Changed failure_changed();

// Whether the recorded error means the file system itself is damaged or
// was made read-only under the run: then only a check of the volume helps.
bool failure_is_damage();

// Whether error is one the file system gives for damage or a forced
// read-only state.
bool is_damage_error(int error);

// Whether the recorded error says the volume is read-only (which may be on
// purpose, or the system's answer to damage it found).
bool failure_is_read_only();
