// Per-device state shared by the mining manager and that device's worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "app/records.h"
#include "gpu/runtime.h"
#include "miner/seed.h"

namespace Kest {

// Values of a device's job flag.
constexpr int32_t kJobKeep = 0;  // keep searching the current job
constexpr int32_t kJobHold = 1;  // the manager is replacing the job: do not launch
constexpr int32_t kJobNew = 2;   // a new job is in the context (any value but 0 and 1 means this)

struct cudaGpuContext {
  cudaGpuContext() = default;
  // Copies every member; the queue is copied under the source's lock. Only used while the
  // manager sizes its context vector, before any worker runs.
  cudaGpuContext(const cudaGpuContext& other);
  cudaGpuContext& operator=(const cudaGpuContext&) = delete;

  int32_t device = 0;
  cudaStream_t stream = nullptr;           // worker: uploads, launches, counter read-back
  cudaStream_t readback_stream = nullptr;  // manager: result slot fetches
  uint8_t difficulty = 0;                  // under job_mutex
  uint8_t* map = nullptr;                  // 1 GiB tile map (device)
  uint8_t first_half[16] = {};             // worker only
  mutable std::mutex queue_mutex;          // guards results
  std::deque<HaikuRes> results;
  // Guards trailer, difficulty and build_map: the manager writes them for a new job while a
  // worker may be renewing its first half, which reads the trailer.
  std::mutex job_mutex;
  uint8_t trailer[sizeof(BTRAILER)] = {};
  uint32_t* host_found_count = nullptr;  // pinned; last counter value announced (atomic access)
  uint32_t* dev_found_count = nullptr;   // device solution counter
  uint8_t* result_slots = nullptr;       // mapped pinned result ring
  uint64_t build_map = 0;                // under job_mutex; non-zero: rebuild the map per job
  std::atomic<double> hash_count{0.0};   // candidates launched since the last sample
  std::atomic<int64_t> rate_start{0};    // system clock (ns) of the last sample
};

// Atomic access to the pinned announcement word shared by a worker and the manager.
inline uint32_t LoadFoundCount(const uint32_t* word) {
  return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}
inline void StoreFoundCount(uint32_t* word, uint32_t value) {
  __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

// Adds `n` to an atomic double (no fetch_add for floating point before C++20).
inline void AtomicAdd(std::atomic<double>& target, double n) {
  double old = target.load();
  while (!target.compare_exchange_weak(old, old + n)) {
  }
}

// System clock in nanoseconds since the epoch.
int64_t SystemNanos();

// Body of a device's worker thread: takes up jobs from `ctx`, launches the search back to back,
// announces solutions and counts candidates until `exit_flag` is set.
void cudakernelStratum(cudaGpuContext& ctx, std::atomic<int32_t>& job_flag,
                       std::atomic<bool>& exit_flag);

}  // namespace Kest
