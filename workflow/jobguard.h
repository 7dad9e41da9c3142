#pragma once

// The phase of a job that must not be cut short: from the first erase until
// the firmware and the information memory are written and verified. A
// process that is asked to stop then (SIGINT, SIGTERM, SIGHUP, closing the
// window) holds the request and acts on it once the phase has ended.
//
// One process-wide state, lock-free, so that a signal handler may ask it.
namespace workflow::jobguard {

// Enters the phase; false when the process has already decided to stop, and
// then nothing may be erased. Nested entries count.
bool enter();
void leave();
bool active();

// For a signal handler (async-signal-safe). True when the signal is held
// because the phase is active: the first such signal is kept for
// heldSignal(). False when the process may stop now; from then on enter()
// refuses, so no erase can begin behind the caller's back.
bool holdSignal(int signal);
// The first signal held; 0 when none.
int heldSignal();

} // namespace workflow::jobguard
