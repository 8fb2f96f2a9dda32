// Termination requests from outside (SIGTERM from a service manager, SIGINT from the terminal):
// the first one stops the miner the way 'q' does, a second one ends the process at once.
#pragma once

#include <atomic>

namespace Kest {

// Blocks SIGTERM and SIGINT in the calling thread. Call it first in main, before any thread
// exists: every thread started later inherits the mask, so the signals are only ever taken by
// the thread of StartSignalWatcher, never delivered asynchronously into other code.
void BlockTerminationSignals();

// Starts a detached thread that takes the blocked signals with sigwait. The first raises
// `exit_flag` with one console line; the next one flushes the console and ends the process
// at once with status 128 + the signal number, as a process killed by it.
void StartSignalWatcher(std::atomic<bool>& exit_flag);

}  // namespace Kest
