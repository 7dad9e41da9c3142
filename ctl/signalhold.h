#pragma once

namespace nvxctl {

// SIGINT, SIGTERM and SIGHUP stop the program at once, except while a job
// erases and reprograms an instrument (workflow/jobguard.h): then the
// program says once that it cannot stop now and why, finishes the job, and
// exits with the status the signal asked for. Call once, from the main
// thread, with the event loop's application in place.
void holdSignalsDuringErase();

// exitStatus, or 128 + the signal held while the job ran, as a shell reports
// a program that a signal stopped.
int exitStatusAfterSignals(int exitStatus);

} // namespace nvxctl
