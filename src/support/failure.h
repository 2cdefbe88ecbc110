// Why the run cannot complete: the first failure on the way to a new
// database, kept until the single error exit reports it.
#pragma once

// The step that failed when the old database may no longer be whole.
inline constexpr char kReplacingStep[] = "replacing iTunesSD";

// Records that step failed with the system's error code. A run stops at its
// first failure, so the record holds that one.
void record_failure(const char* step, int error);

// "step: reason" of the recorded failure, or "" when none was recorded.
const char* read_failure();

// Whether the recorded failure happened while the old database was being
// replaced, so that it may already be damaged.
bool failure_touched_database();
