// Keyboard console: 'i' prints the share statistics, 'q' stops the miner.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "app/share_stats.h"

namespace Kest {

// Prints the share statistics block for the given counters.
void PrintShareStatistics(const ShareCounters& shares);

// Reads characters from `next_char` (EOF = -1) until 'q' or until `exit_flag` is set, then sets
// `exit_flag`. `stats` runs on every 'i'. At end of input it keeps polling (without spinning)
// so that the process goes on mining until the flag is set elsewhere.
void RunKeyReceiver(const std::function<int()>& next_char, const std::function<void()>& stats,
                    std::atomic<bool>& exit_flag);

}  // namespace Kest
