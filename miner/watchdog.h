// The hang watchdog: ends the miner when a device's launch has not returned for too long, so
// the rig's supervisor can restart it. A launch that never returns cannot be cancelled from the
// host; a fresh process is the only way back. A map build counts chunk by chunk (each chunk is
// one synchronised launch); a paused device, and a worker waiting for ring room, is never hung.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace Kest {

class MinerManCuda;

// Exit status of a miner ended by the watchdog.
constexpr int kExitDeviceHang = 4;

class HangWatchdog {
 public:
  // Called once, on the watchdog's thread, with the CUDA device number and how long its launch
  // has run. The default prints one line naming the device and ends the process with
  // kExitDeviceHang.
  using OnHang = std::function<void(int32_t device, double seconds)>;

  // Starts watching `miner` (its devices set up) with `limit` (above zero).
  HangWatchdog(const MinerManCuda& miner, std::chrono::milliseconds limit,
               OnHang on_hang = EndProcess);
  ~HangWatchdog();  // stops watching

  HangWatchdog(const HangWatchdog&) = delete;
  HangWatchdog& operator=(const HangWatchdog&) = delete;

  static void EndProcess(int32_t device, double seconds);

 private:
  void Watch();

  const MinerManCuda& miner_;
  const std::chrono::milliseconds limit_;
  const OnHang on_hang_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace Kest
