// Why the last WIM update on this thread failed: the step that failed and the system error
// it met, for the caller's log line ("BINL Err: Updating x (writing the lookup table: No
// space left on device)").
#pragma once

struct WimFailure {
  const char* step = nullptr;  // nullptr: nothing failed since the last clear
  int err = 0;                 // errno at the failure, 0 when it was no system error
};

// Records the step with the current errno (err 0 for a failure of the data, not the system).
// The first failure since the last clear is kept: it is the cause. Returns false, so that a
// failing step reads "return WimFail(...)".
bool WimFail(const char* step, int err);
bool WimFail(const char* step);
void WimClearFailure();
WimFailure WimLastFailure();
// "step: error text", "step" or "no cause recorded" (thread-local buffer).
const char* WimFailureText();
