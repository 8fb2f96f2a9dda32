#include "app/signals.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/log_file.h"
#include "app/process_exit.h"
#include "app/utils.h"

namespace Kest {

namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

const char* SignalName(int sig) {
  return sig == SIGTERM  ? "SIGTERM"
         : sig == SIGINT ? "SIGINT"
         : sig == SIGHUP ? "SIGHUP"
                         : "a signal";
}

}  // namespace

void BlockTerminationSignals() {
  const sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void StartSignalWatcher(std::atomic<bool>& exit_flag) {
  // Runs for the life of the process; it touches nothing but the flag, the console and the
  // log file.
  std::thread([&exit_flag] {
    const sigset_t set = TerminationSignals();
    bool stopping = false;
    while (true) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (sig == SIGHUP && HaveLogFile()) {
        std::string error;
        if (ReopenLogFile(&error)) {
          Printf("SIGHUP received: log file %s reopened\n", LogFilePath().c_str());
        } else {
          Printf("SIGHUP received: cannot reopen the log file %s (%s)\n", LogFilePath().c_str(),
                 error.c_str());
        }
        continue;
      }
      if (stopping) {
        Printf("%s received again: ending now\n", SignalName(sig));
        EndProcess(128 + sig);
      }
      stopping = true;
      Printf("%s received: stopping after the shares found are sent (again: at once)\n",
             SignalName(sig));
      exit_flag.store(true);
    }
  }).detach();
}

}  // namespace Kest
