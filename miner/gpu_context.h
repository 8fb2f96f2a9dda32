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

// One announcement from a device worker: the first half and counter of a launch, and the job
// generation whose constants that launch used.
struct Announcement {
  HaikuRes res;
  uint32_t generation = 0;
};

// Whether sequence counter `a` is ahead of `b`. The device counter wraps at 2^32; two values
// compared are always much less than 2^31 apart.
inline bool CounterAhead(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) > 0;
}

struct cudaGpuContext {
  cudaGpuContext() = default;
  // Copies every member; the queue is copied under the source's lock. Only used while the
  // manager sizes its context vector, before any worker runs.
  cudaGpuContext(const cudaGpuContext& other);
  cudaGpuContext& operator=(const cudaGpuContext&) = delete;

  int32_t device = 0;                      // CUDA device number
  cudaStream_t stream = nullptr;           // worker: uploads, launches, counter read-back
  cudaStream_t readback_stream = nullptr;  // manager: result slot fetches
  uint8_t* map = nullptr;                  // 1 GiB tile map (device); null: device not set up
  uint8_t first_half[16] = {};             // worker only
  mutable std::mutex queue_mutex;          // guards results
  std::deque<Announcement> results;
  // Guards the job: trailer, difficulty and generation. The manager writes them for a new job;
  // the worker takes all three in one go when it takes a job up, and writes its first half
  // into trailer bytes 92..107.
  std::mutex job_mutex;
  uint8_t trailer[sizeof(BTRAILER)] = {};
  uint8_t difficulty = 0;
  uint32_t generation = 0;  // the manager's job count: tells solutions of a replaced job
  uint32_t* host_found_count = nullptr;  // pinned; last counter value announced (atomic access)
  uint32_t* dev_found_count = nullptr;   // device solution counter
  uint8_t* result_slots = nullptr;       // mapped pinned result ring
  // Worker only: the previous-block hash (trailer bytes 0..31) the map was last built from.
  bool map_built = false;
  uint8_t map_phash[32] = {};
  std::atomic<double> hash_count{0.0};  // candidates launched since the last sample
  std::atomic<int64_t> rate_start{0};   // system clock (ns) of the last sample
  // Monitoring, read by any thread. The rate of the last sample in H/s (manager); solutions
  // that passed the CPU re-check (manager); whether the worker is in its launch loop, and the
  // steady clock (ns) at which the device operation in progress began, 0 when none is (worker).
  std::atomic<double> rate_hps{0.0};
  std::atomic<uint64_t> solutions{0};
  std::atomic<bool> worker_running{false};
  std::atomic<int64_t> busy_since{0};
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
// Steady clock in nanoseconds (for durations; never 0 in practice).
int64_t SteadyNanos();

// Body of a device's worker thread: takes up jobs from `ctx`, launches the search back to back,
// announces solutions and counts candidates until `exit_flag` is set.
void cudakernelStratum(cudaGpuContext& ctx, std::atomic<int32_t>& job_flag,
                       std::atomic<bool>& exit_flag);

}  // namespace Kest
