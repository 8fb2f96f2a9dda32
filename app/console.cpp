#include "app/console.h"

#include <cstdio>
#include <string>

#include "app/utils.h"

namespace Kest {

namespace {
constexpr uint32_t kEndOfInputPollMs = 100;
}

void PrintShareStatistics(const ShareCounters& shares) {
  Print("Share result:\nSubmitted: " + std::to_string(shares.submitted.load()) +
        "\nUnconfirmed (connection lost): " + std::to_string(shares.unconfirmed_lost.load()) +
        "\nCPU failed check: " + std::to_string(shares.cpu_failed.load()) +
        "\nStale (job replaced): " + std::to_string(shares.stale_dropped.load()) +
        "\nDropped unsent: " + std::to_string(shares.unsent_dropped.load()) +
        "\nPool error replies: " + std::to_string(shares.pool_errors.load()) + "\n");
}

void RunKeyReceiver(const std::function<int()>& next_char, const std::function<void()>& stats,
                    std::atomic<bool>& exit_flag) {
  while (!exit_flag.load()) {
    const int c = next_char();
    if (c == 'q') break;
    if (c == 'i') stats();
    // End of input is not a quit command, but re-reading a closed stream returns at once:
    // wait a little before the next try instead of spinning.
    if (c == EOF) mySleep(kEndOfInputPollMs);
  }
  exit_flag.store(true);
}

}  // namespace Kest
