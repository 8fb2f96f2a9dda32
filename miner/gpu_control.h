// GPU settings through the management library (power limit, locked clocks, fans), put back at
// exit, and the temperature limit that pauses a card that runs too hot.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/CudaUtils.h"
#include "app/options.h"
#include "gpu/nvml.h"

namespace Kest {

class MinerManCuda;

// The one management library object of the process when something needs it (the API, a GPU
// setting or the temperature limit), else null.
std::shared_ptr<Nvml> ManagementLibraryFor(const RunOptions& options);

// A card to control: its CUDA device number and PCI bus id (empty when the runtime has none).
struct ControlledCard {
  int32_t device = 0;
  std::string pci_bus_id;
};

class GpuControl {
 public:
  // Sets (`on`) or clears the temperature pause of a device.
  using PauseFn = std::function<void(int32_t device, bool on)>;

  // `nvml` may be null (no library); `cards` in device order, as the per-device lists count.
  GpuControl(std::shared_ptr<Nvml> nvml, std::vector<ControlledCard> cards);
  ~GpuControl();  // stops the temperature watch; puts nothing back

  GpuControl(const GpuControl&) = delete;
  GpuControl& operator=(const GpuControl&) = delete;

  // Applies the power limit, locked clocks and fan settings of `options`, one console line per
  // card and setting saying what was set or why not. Remembers what it changed. Nothing once
  // Restore has run; a Restore called meanwhile waits and then puts back all of it.
  void Apply(const RunOptions& options);

  // Puts back what Apply changed, one line per card; only the first call does anything. Safe
  // from any thread.
  void Restore();

  // Reads every card's temperatures once: at or above `stop_c` (core or memory) the card is
  // paused, at or below `start_c` (both) it resumes, one line each time.
  void CheckTemperatures(uint32_t stop_c, uint32_t start_c, const PauseFn& pause);

  // Runs CheckTemperatures every `period` on a thread of its own until destruction.
  void StartTemperatureWatch(uint32_t stop_c, uint32_t start_c, PauseFn pause,
                             std::chrono::milliseconds period = std::chrono::seconds(1));

 private:
  // What Apply changed on one card.
  struct Changed {
    std::optional<unsigned> power_mw;  // the limit before
    bool core_clock = false;
    bool memory_clock = false;
    std::vector<unsigned> fans;  // fans set to a fixed duty
  };
  void ApplyTo(size_t i, const RunOptions& options);  // under mutex_

  std::shared_ptr<Nvml> nvml_;
  const std::vector<ControlledCard> cards_;
  std::mutex mutex_;  // guards changed_ and restored_
  std::vector<Changed> changed_;
  bool restored_ = false;
  // Temperature watch: its thread's own state and the stop signal.
  std::vector<bool> paused_;      // watch thread (or the caller of CheckTemperatures) only
  std::vector<bool> unreadable_;  // likewise: cards already reported without a reading
  std::mutex watch_mutex_;
  std::condition_variable watch_cv_;
  bool stop_watch_ = false;  // under watch_mutex_
  std::thread watch_;
};

// The shell's hook-up after device set-up: hands each device's deviceconfig.txt intensity to
// its worker, applies the settings of `options` (their put-back registered as an exit hook)
// and starts the temperature watch when --temp-stop is given. Lives for the process.
void StartGpuControl(const RunOptions& options, MinerManCuda& miner, const DeviceList& devices,
                     std::shared_ptr<Nvml> nvml);

}  // namespace Kest
