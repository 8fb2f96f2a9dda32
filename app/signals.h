// Signals from outside: SIGTERM from a service manager, SIGINT from the terminal and SIGHUP.
// The first termination request stops the miner the way 'q' does, a second one ends the process
// at once. SIGHUP reopens the log file (after log rotation); without a log file it is a
// termination request like SIGTERM.
#pragma once

#include <atomic>

namespace Kest {

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread. Call it first in main, before any
// thread exists: every thread started later inherits the mask, so the signals are only ever
// taken by the thread of StartSignalWatcher, never delivered asynchronously into other code.
void BlockTerminationSignals();

// Starts a detached thread that takes the blocked signals with sigwait. With a log file
// (app/log_file.h), SIGHUP reopens it with one console line and changes nothing else. Any other
// of them: the first raises `exit_flag` with one console line; the next one flushes the console
// and ends the process through EndProcess with status 128 + the signal number, as a process
// killed by it.
void StartSignalWatcher(std::atomic<bool>& exit_flag);

}  // namespace Kest
