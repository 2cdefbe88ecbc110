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

// What errno's values mean to the run: the one place they are sorted.

// One the file system gives for damage or a forced read-only state: only a
// check of the volume helps.
[[nodiscard]] bool is_damage_error(int error);

// The process's own shortage (memory, descriptors), not the folder's or the
// file's fault: going on would leave out what could not be looked at.
[[nodiscard]] bool is_process_shortage(int error);

// The device or the process failed (damage, a device gone, a shortage of
// the process), not that a file or a way of reading it is missing.
[[nodiscard]] bool is_device_or_process_failure(int error);

// A refusal to replace the database or make the temporary file: the
// volume, the folder or what stands at the name says no (permissions, a
// read-only volume, a directory, a file in use). Any other error is a
// failure with its cause: a shortage, damage, a vanished device.
[[nodiscard]] bool is_refusal(int error);

// A failed rename that left its target untouched for certain: refused
// (permissions, sharing, a busy file) rather than broken off. Windows'
// sharing and access errors arrive as EACCES.
[[nodiscard]] bool rename_was_refused(int error);

// Whether the recorded error says the volume is read-only (which may be on
// purpose, or the system's answer to damage it found).
bool failure_is_read_only();
