// The mining manager: prepares every device, distributes jobs to the device workers, re-checks
// their solutions on the CPU, submits the good ones and reports hash rates.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/CudaUtils.h"
#include "app/records.h"
#include "miner/gpu_context.h"

namespace Kest {

class PoolApi;

// Exit status of a process none of whose devices could be set up.
constexpr int kExitNoUsableDevice = 3;

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
  // flag is set; returns after every worker has finished its current launch.
  void Run();

  // Writes a job (its trailer already decoded) into every device context. A job that differs
  // from the one in force in its trailer or difficulty gets the next generation; the same job
  // sent again keeps its generation. Called with every worker held (or none running).
  void DistributeJob(const work& decoded_job);

  // One supervision pass over device `j`'s announced solutions: fetches the new result slots,
  // re-checks each candidate with the CPU proof of work and submits the good ones. Solutions
  // found for a replaced job are dropped unchecked and counted as stale. `consumed` is the
  // sequence number up to which this device's solutions have been handled.
  void ProcessSolutions(int32_t j, uint32_t& consumed);

  // Samples every device's rate, prints the rate lines and reports the total to the pool.
  // Returns the total in kH/s.
  float ReportHashRate();

  // The rate line for per-device rates in kH/s, given as (CUDA device number, rate): "Device
  // #n: r KHs |" per device, then the total in kH/s, or in MH/s above 1000 kH/s. `total`
  // receives the sum in kH/s.
  static std::string HashRateLine(const std::vector<std::pair<int32_t, double>>& rates,
                                  float* total);

  cudaGpuContext& Context(int32_t j) { return contexts[static_cast<size_t>(j)]; }
  std::atomic<int32_t>& JobFlag(int32_t j) { return job_flags[static_cast<size_t>(j)]; }

 private:
  bool TakeInJob();
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
};

}  // namespace Kest
