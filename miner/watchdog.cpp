#include "miner/watchdog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "app/process_exit.h"
#include "app/utils.h"
#include "miner/miner_man.h"

namespace Kest {

HangWatchdog::HangWatchdog(const MinerManCuda& miner, std::chrono::milliseconds limit,
                           OnHang on_hang)
    : miner_(miner), limit_(limit), on_hang_(std::move(on_hang)) {
  thread_ = std::thread([this] { Watch(); });
}

HangWatchdog::~HangWatchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void HangWatchdog::EndProcess(int32_t device, double seconds) {
  Printf("Device #%d: a launch has not returned for %.0f s (watchdog); ending the miner\n", device,
         seconds);
  // The hung worker can never be joined: end without destructors.
  Kest::EndProcess(kExitDeviceHang);
}

void HangWatchdog::Watch() {
  // A tenth of the limit between looks, within 50 ms .. 1 s: a hang is seen at most 10 % late.
  const auto period = std::clamp<std::chrono::milliseconds>(
      limit_ / 10, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
  const double limit_s = std::chrono::duration<double>(limit_).count();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, period, [this] { return stop_; })) {
    for (const DeviceStatus& d : miner_.Status().devices) {
      if (d.state != DeviceState::kPaused && d.busy_s > limit_s) {
        on_hang_(d.id, d.busy_s);
        return;
      }
    }
  }
}

}  // namespace Kest
