#include "app/console.h"

#include <cstdio>

#include "app/utils.h"

namespace Kest {

namespace {
constexpr uint32_t kEndOfInputPollMs = 100;
}

void PrintShareStatistics(int32_t success, int32_t failed, int32_t dev) {
  std::printf("Share result: \n");
  std::printf("Success share for user: %d \n", success);
  std::printf("Success share for dev: %d \n", dev);
  std::printf("Failed share: %d \n", failed);
  const int32_t total = success + failed + dev;
  if (total == 0) {
    std::printf("You didn't find any shares yet \n");
  } else {
    const float rate = static_cast<float>(success + dev) / static_cast<float>(total) * 100.0f;
    std::printf("Success rate: %2.f %s \n", rate, "%");
  }
  std::fflush(stdout);
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
