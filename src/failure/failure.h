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

// Records that step could not tell whether the left-over temporary file
// shares the database's storage (the system can look neither way): it was
// kept, and only the file system check can part the two if they do.
void record_cannot_tell(const char* step);

// Whether the recorded failure is such a question left open.
bool failure_could_not_tell();

// Records that step was refused by the volume's permissions (EACCES,
// EPERM): the user's rights, not the device or its space, are in the way.
// Any other error is recorded as record_failure does.
void record_maybe_refused(const char* step, int error);

// Whether the recorded failure is such a refusal.
bool failure_was_refused();

// Notes the system's own code behind error, where the translation into
// errno's kinds had none for it (an unknown Windows error, reported as
// EIO); 0 when it had. The next failure recorded with error names the code,
// so that a user can look it up.
void note_system_code(int error, unsigned long code);

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

// A folder the walk leaves out, its line saying "cannot browse": the user
// may not read it, or it is no folder there now (exchanged for a link or a
// file since its parent was listed), or it lies too deep. Any other error
// is the device's or the process's, and stops the walk.
[[nodiscard]] bool may_not_browse(int error);

// Whether the recorded error says the volume is read-only (which may be on
// purpose, or the system's answer to damage it found).
bool failure_is_read_only();
