// The mining manager: prepares every device, distributes jobs to the device workers, re-checks
// their solutions on the CPU, submits the good ones and reports hash rates.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/CudaUtils.h"
#include "app/records.h"
#include "miner/gpu_context.h"

namespace Kest {

class PoolApi;

// Exit status of a process none of whose devices could be set up, or whose devices have all
// stopped.
constexpr int kExitNoUsableDevice = 3;

// DeviceState (what a set-up device is doing) is declared in miner/gpu_context.h.
// "mining", "building map", "paused", "stopped".
const char* DeviceStateName(DeviceState state);

// What monitoring sees of one mining device.
struct DeviceStatus {
  int32_t id = 0;  // CUDA device number
  std::string name;
  std::string pci_bus_id;  // empty when the runtime cannot tell
  double hashrate = 0.0;   // H/s over the last sample; 0 unless mining and not hung
  uint64_t solutions = 0;  // solutions that passed the CPU re-check
  bool mining = false;     // the device's worker is in its launch loop
  double busy_s = 0.0;     // how long the device operation in progress has run (0: none)
  DeviceState state = DeviceState::kMining;
  std::string state_reason;      // why it is paused or stopped; empty otherwise
  uint64_t lost_solutions = 0;   // overwritten in the result ring before they were fetched,
                                 // or not fetched because the solution counter could not be read
  uint32_t intensity_pct = 100;  // share of the time its worker spends in launches
};

// One device's part of a rate line.
struct DeviceRate {
  int32_t device = 0;  // CUDA device number
  double khs = 0.0;    // kH/s
  DeviceState state = DeviceState::kMining;
};

// A snapshot of the manager for monitoring. Rates are in hashes per second.
struct MinerStatus {
  uint64_t block = 0;         // block number of the job in force (0 before the first job)
  uint64_t difficulty = 0;    // its share difficulty
  double hashrate_now = 0.0;  // sum of the device rates
  double avg_60s = 0.0;       // total rate over the last minute (or since the first sample)
  double avg_15m = 0.0;       // total rate over the last 15 minutes (or since the first sample)
  std::vector<DeviceStatus> devices;  // the devices that were set up, in mining order
};

class MinerManCuda {
 public:
  MinerManCuda(int32_t& gpu_count, std::shared_ptr<PoolApi>& pool,
               std::vector<std::shared_ptr<DevConfig>>& devices, std::atomic<bool>& exit_flag);
  ~MinerManCuda() = default;  // Run joins every worker it starts

  MinerManCuda(const MinerManCuda&) = delete;
  MinerManCuda& operator=(const MinerManCuda&) = delete;

  // Sets up every device on its own: streams, the tile map, the solution counter and the result
  // ring. A device that cannot be set up is reported, left with nothing allocated and skipped;
  // the others mine. Returns 1 when at least one device is usable, 0 when none is.
  int32_t InitGpu();

  // Waits for the first job, starts the device workers and supervises them until the exit
  // flag is set; returns after every worker has finished its current launch and one last pass
  // has re-checked and submitted what they announced. A device whose worker ends on its own
  // (launch geometry, its staged buffers, a device error) is stopped: one line names it and
  // the others mine on. When none is left mining, Run prints one line, raises the exit flag
  // and returns kExitNoUsableDevice; otherwise it returns 0.
  int Run();

  // Writes a job (its trailer already decoded) into every device context. A job that differs
  // from the one in force in its trailer or difficulty gets the next generation; the same job
  // sent again keeps its generation. Called with every worker held (or none running).
  void DistributeJob(const work& decoded_job);

  // One supervision pass over device `j`'s announced solutions: reads the new result slots from
  // the mapped ring, re-checks each candidate with the CPU proof of work and submits the good
  // ones. Solutions found for a replaced job are dropped unchecked and counted as stale; slots
  // overwritten before they were read, or read while the solution counter cannot be, are
  // counted in the device's lost_solutions and reported in one line. `consumed` is the
  // sequence number up to which this device's solutions have been handled (published to the
  // worker, which keeps room in the ring for its next launch).
  void ProcessSolutions(int32_t j, uint32_t& consumed);

  // Samples every device's rate, prints the rate lines and reports the total to the pool.
  // Returns the total in kH/s.
  float ReportHashRate();

  // The rate line for per-device rates: "Device #n: r KHs |" per mining device, "Device #n:
  // r KHs (state) |" for one that is not (building map, paused, stopped), then the total in
  // kH/s, or in MH/s above 1000 kH/s. `total` receives the sum in kH/s.
  static std::string HashRateLine(const std::vector<DeviceRate>& rates, float* total);

  // A snapshot for monitoring; safe from any thread once InitGpu has returned.
  MinerStatus Status() const;

  // Sets (`on`) or clears pause request `bit` (kPauseTemperature, kPauseRemote) of the set-up
  // device with CUDA number `device`; the worker honours it before its next launch. False when
  // no such device was set up. Safe from any thread once InitGpu has returned.
  bool RequestPause(int32_t device, uint32_t bit, bool on);

  cudaGpuContext& Context(int32_t j) { return contexts[static_cast<size_t>(j)]; }
  std::atomic<int32_t>& JobFlag(int32_t j) { return job_flags[static_cast<size_t>(j)]; }

 private:
  bool TakeInJob();
  // Whether a set-up device has not stopped.
  bool AnyDeviceLeft() const;
  // Fetches, re-checks and submits the solutions of one announcement, numbered from `consumed`
  // up to found_count - 1; drops them as stale when the announcement's job was replaced.
  void CheckAnnounced(cudaGpuContext& ctx, const Announcement& a, uint32_t consumed);
  void SetAllJobFlags(int32_t value);

  std::vector<std::shared_ptr<CudaDevConfig>> devices;
  int32_t gpu_count;
  std::atomic<bool>& exit_flag;
  std::shared_ptr<PoolApi> pool;
  std::vector<cudaGpuContext> contexts;
  std::vector<std::atomic<int32_t>> job_flags;
  work job{};
  // The job in force as the pool sent it, and its generation: the count of distinct jobs.
  uint8_t trailer[sizeof(BTRAILER)] = {};
  uint8_t job_difficulty = 0;
  uint32_t job_generation = 0;
  std::vector<std::thread> workers;

  // Monitoring.
  std::vector<std::string> pci_bus_ids;  // per context; written by InitGpu only
  std::atomic<uint64_t> job_block{0};
  std::atomic<uint64_t> job_diff{0};
  struct RateSample {
    int64_t end_ns;   // steady clock
    int64_t span_ns;  // time since the previous sample
    double hashes;    // candidates of every device in that span
  };
  mutable std::mutex history_mutex;
  std::deque<RateSample> history;  // the last 15 minutes of samples, oldest first
  int64_t last_sample_ns = 0;      // manager thread only
};

}  // namespace Kest
