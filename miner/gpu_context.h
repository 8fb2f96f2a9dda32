// Per-device state shared by the mining manager and that device's worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "app/records.h"
#include "gpu/runtime.h"
#include "miner/seed.h"

namespace Kest {

// Values of a device's job flag.
constexpr int32_t kJobKeep = 0;  // keep searching the current job
constexpr int32_t kJobHold = 1;  // the manager is replacing the job: do not launch
constexpr int32_t kJobNew = 2;   // a new job is in the context (any value but 0 and 1 means this)

// What a set-up device is doing (reported by MinerManCuda::Status).
enum class DeviceState {
  kMining,       // launching searches
  kBuildingMap,  // building its tile map
  kPaused,       // held by the miner (its worker launches nothing); the hang watchdog skips it
  kStopped,      // its worker has ended; it mines no more
};

// Why a device is held, bits of cudaGpuContext::pause_requests. A device with any bit set
// launches nothing; its state is kPaused with the reason of its lowest bit set.
constexpr uint32_t kPauseTemperature = 1u;  // reason "temperature"
constexpr uint32_t kPauseRemote = 2u;       // reason "remote"

// The reason text of a set of pause bits (empty for none).
const char* PauseReason(uint32_t requests);

// Largest share of the result ring that the solutions expected from one launch may fill: a
// launch covers at most kResultSlots / kRingShareOfLaunch * 2^difficulty candidates.
constexpr uint32_t kRingShareOfLaunch = 8;

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
  // Mapped pinned result ring: host memory the device writes. The manager reads it directly,
  // byte by byte with atomic loads, after the announcement that covers a slot.
  uint8_t* result_slots = nullptr;
  // Manager: sequence number up to which solutions have been fetched from the ring. The worker
  // holds its next launch while fewer ring slots are free than that launch could fill.
  std::atomic<uint32_t> fetched{0};
  // Worker only: the previous-block hash (trailer bytes 0..31) the map was last built from.
  bool map_built = false;
  uint8_t map_phash[32] = {};
  std::atomic<double> hash_count{0.0};  // candidates launched since the last sample
  std::atomic<int64_t> rate_start{0};   // steady clock (ns) of the last sample
  // Monitoring, read by any thread. The rate of the last sample in H/s (manager); solutions
  // that passed the CPU re-check (manager); whether the worker is in its launch loop, and the
  // steady clock (ns) at which the device operation in progress began, 0 when none is (worker).
  std::atomic<double> rate_hps{0.0};
  std::atomic<uint64_t> solutions{0};
  std::atomic<bool> worker_running{false};
  std::atomic<int64_t> busy_since{0};
  // Solutions overwritten in the ring before they were fetched, or whose fetch failed (manager).
  std::atomic<uint64_t> lost_solutions{0};

  // Pause requests (kPause* bits), set by any thread; the worker honours them before its next
  // launch (a launch in progress finishes and its solutions are handled).
  std::atomic<uint32_t> pause_requests{0};
  // Share of the time the worker spends in launches, in percent (1..100): below 100 it idles
  // between launches.
  std::atomic<uint32_t> intensity_pct{100};

  // The device's state (worker; kStopped once its worker has ended) and, for a stopped or
  // paused device, why.
  std::atomic<DeviceState> state{DeviceState::kMining};
  void SetState(DeviceState s, const std::string& reason = std::string()) {
    std::lock_guard<std::mutex> lock(state_mutex);
    state_reason = reason;
    state.store(s);
  }
  std::string StateReason() const {
    std::lock_guard<std::mutex> lock(state_mutex);
    return state_reason;
  }

 private:
  mutable std::mutex state_mutex;  // guards state_reason
  std::string state_reason;
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

// How long a worker at `intensity_pct` percent idles after a launch that took `launch_s`
// seconds, so that launches take about that share of the wall time: launch_s x (100 - P) / P.
// 0 at 100 % (and above); a percentage of 0 counts as 1.
double IntensityIdleSeconds(double launch_s, uint32_t intensity_pct);

// Steady clock in nanoseconds (for durations; never 0 in practice).
int64_t SteadyNanos();

// Body of a device's worker thread: takes up jobs from `ctx`, builds the map in synchronised
// chunks (state kBuildingMap; a shutdown or a job with another previous-block hash stops the
// build within a chunk), launches the search back to back (kMining), announces solutions and
// counts candidates until `exit_flag` is set. When the launch geometry, the staged buffers or a
// device error end it first, it prints one line naming the device and why, and leaves the
// device kStopped with that reason; the process goes on.
void cudakernelStratum(cudaGpuContext& ctx, std::atomic<int32_t>& job_flag,
                       std::atomic<bool>& exit_flag);

}  // namespace Kest
