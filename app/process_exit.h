// The one way the miner process ends once it runs: work registered here (putting GPU settings
// back) runs first, whichever thread ends the process and why.
#pragma once

#include <functional>

namespace Kest {

// Registers `hook` to run when the process ends through EndProcess. Hooks run once, newest
// first. Safe from any thread.
void AddExitHook(std::function<void()> hook);

// Runs the exit hooks (once, even when several threads end the process at the same moment),
// flushes standard output and error and ends the process with `status`, without destructors:
// workers and pool threads may still be running.
[[noreturn]] void EndProcess(int status);

}  // namespace Kest
