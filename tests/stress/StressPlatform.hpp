// What the stress program needs from the system beyond the framework: the
// call stacks of every thread (for the watchdog), a report on a fault, and
// the system's own count of the process's threads.
#pragma once

namespace stress {

// Writes the call stack of every thread of the process to stderr, as well as
// the system allows. Called by the watchdog when progress has stopped.
void DumpAllStacks();
// On a fault (access violation, abort, ...) prints "crashes: 1" and the
// faulting thread's stack to stderr, then ends the process with a failure.
void InstallCrashReport();
// The number of threads the process has, as the system counts them.
int SystemThreadCount();

}  // namespace stress
