#include "miner/miner_man.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/process_exit.h"
#include "app/utils.h"
#include "gpu/peach_kernels.h"
#include "pool/pool_api.h"
#include "pow/peach.h"

namespace Kest {

namespace {
constexpr uint32_t kPassMs = 200;
constexpr uint32_t kFirstJobPollMs = 1000;
constexpr uint32_t kZeroDiffPollMs = 1;
constexpr uint32_t kReportEveryPasses = 25;
constexpr uint32_t kPassCounterWrap = 1000000000;
constexpr unsigned kDeviceScheduleBlockingSync = 4;
constexpr unsigned kHostAllocMapped = 2;
constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kHistoryNs = 15 * 60 * kNsPerSecond;
// A device whose launch in progress has run for two sample intervals is not hashing, whatever
// its last sample said.
constexpr double kStalledAfterS = 2.0 * kReportEveryPasses * kPassMs / 1000.0;

// Reads one result slot of the mapped ring. The device may be writing later solutions into
// other slots meanwhile (or into this one, once the ring has wrapped past it): byte loads that
// the compiler can neither merge nor tear.
void ReadSlot(const uint8_t* slot, uint8_t* out) {
  for (uint32_t k = 0; k < kResultSlotBytes; ++k)
    out[k] = __atomic_load_n(slot + k, __ATOMIC_RELAXED);
}

// Frees whatever a device's set-up allocated and clears the context's handles.
void ReleaseDevice(cudaGpuContext& ctx) {
  if (ctx.map != nullptr) cudaFree(ctx.map);
  if (ctx.dev_found_count != nullptr) cudaFree(ctx.dev_found_count);
  if (ctx.host_found_count != nullptr) cudaFreeHost(ctx.host_found_count);
  if (ctx.result_slots != nullptr) cudaFreeHost(ctx.result_slots);
  if (ctx.stream != nullptr) cudaStreamDestroy(ctx.stream);
  if (ctx.readback_stream != nullptr) cudaStreamDestroy(ctx.readback_stream);
  ctx.map = nullptr;
  ctx.dev_found_count = nullptr;
  ctx.host_found_count = nullptr;
  ctx.result_slots = nullptr;
  ctx.stream = nullptr;
  ctx.readback_stream = nullptr;
  cudaGetLastError();  // the failure is reported; the next device starts clean
}

// Sets up CUDA device `index` in `ctx`: streams, the tile map, the solution counter and the
// result ring. Returns null on success; otherwise names what could not be set up, with the
// error in *err, and leaves nothing allocated.
const char* SetUpDevice(cudaGpuContext& ctx, int32_t index, cudaError_t* err) {
  ctx.device = index;
  const auto fail = [&](const char* what, cudaError_t e) {
    *err = e;
    ReleaseDevice(ctx);
    return what;
  };
  cudaError_t e = cudaSetDevice(index);
  if (e != cudaSuccess) return fail("the device", e);
  // Older runtimes refuse this once the device's context is active: its workers then wait by
  // spinning, which costs CPU time but nothing else.
  cudaSetDeviceFlags(kDeviceScheduleBlockingSync);
  cudaGetLastError();
  if ((e = cudaStreamCreate(&ctx.stream)) != cudaSuccess) return fail("its streams", e);
  if ((e = cudaStreamCreate(&ctx.readback_stream)) != cudaSuccess) return fail("its streams", e);

  void* p = nullptr;
  if ((e = cudaMalloc(&p, kMapBytes)) != cudaSuccess) return fail("the 1 GiB tile map", e);
  ctx.map = static_cast<uint8_t*>(p);
  p = nullptr;
  if ((e = cudaMalloc(&p, sizeof(uint32_t))) != cudaSuccess) {
    return fail("the solution counter", e);
  }
  ctx.dev_found_count = static_cast<uint32_t*>(p);
  if ((e = cudaMemset(ctx.dev_found_count, 0, sizeof(uint32_t))) != cudaSuccess) {
    return fail("the solution counter", e);
  }
  p = nullptr;
  if ((e = cudaHostAlloc(&p, sizeof(uint32_t), 0)) != cudaSuccess) {
    return fail("the solution counter", e);
  }
  ctx.host_found_count = static_cast<uint32_t*>(p);
  p = nullptr;
  if ((e = cudaHostAlloc(&p, kResultRingBytes, kHostAllocMapped)) != cudaSuccess) {
    return fail("the result ring", e);
  }
  ctx.result_slots = static_cast<uint8_t*>(p);
  std::memset(ctx.result_slots, 0, kResultRingBytes);  // host memory
  StoreFoundCount(ctx.host_found_count, 0);
  ctx.fetched.store(0);
  return nullptr;
}

}  // namespace

MinerManCuda::MinerManCuda(int32_t& gpu_count_in, std::shared_ptr<PoolApi>& pool_in,
                           std::vector<std::shared_ptr<DevConfig>>& device_list,
                           std::atomic<bool>& exit_flag_in)
    : gpu_count(gpu_count_in), exit_flag(exit_flag_in), pool(pool_in) {
  devices.reserve(device_list.size());
  for (auto& d : device_list) devices.push_back(std::dynamic_pointer_cast<CudaDevConfig>(d));
}

int32_t MinerManCuda::InitGpu() {
  cudaDeviceReset();
  const size_t count = gpu_count > 0 ? static_cast<size_t>(gpu_count) : 0;
  contexts.resize(count);
  pci_bus_ids.assign(count, std::string());
  job_flags = std::vector<std::atomic<int32_t>>(count);
  int32_t usable = 0;
  for (size_t i = 0; i < count; ++i) {
    job_flags[i].store(kJobKeep);
    const std::shared_ptr<CudaDevConfig> d = i < devices.size() ? devices[i] : nullptr;
    if (!d) {
      Printf("Device entry %zu is missing or not a CUDA device configuration; skipped\n", i);
      continue;
    }
    Printf("setting up device: %u %s\n", static_cast<unsigned>(d->cuda_device_index),
           d->name.c_str());
    cudaError_t err = cudaSuccess;
    if (const char* what = SetUpDevice(contexts[i], d->cuda_device_index, &err)) {
      Printf("Device #%d: cannot set up %s (%s); it does not mine\n", d->cuda_device_index, what,
             cudaGetErrorString(err));
      continue;
    }
    char bus_id[32] = {};
    if (cudaDeviceGetPCIBusId(bus_id, sizeof(bus_id), d->cuda_device_index) == cudaSuccess) {
      pci_bus_ids[i] = bus_id;
    }
    cudaGetLastError();  // a device without a bus id mines all the same
    ++usable;
  }
  return usable > 0 ? 1 : 0;
}

bool MinerManCuda::RequestPause(int32_t device, uint32_t bit, bool on) {
  for (auto& ctx : contexts) {
    if (ctx.map == nullptr || ctx.device != device) continue;
    if (on) {
      ctx.pause_requests.fetch_or(bit);
    } else {
      ctx.pause_requests.fetch_and(~bit);
    }
    return true;
  }
  return false;
}

void MinerManCuda::SetAllJobFlags(int32_t value) {
  for (auto& f : job_flags) f.store(value);
}

bool MinerManCuda::TakeInJob() {
  pool->GetJob(job);
  // Difficulty 0 means "no job yet" (and would make every candidate a share); a negative one
  // comes from a connection rebuilt between the announcement and the fetch. The pool layer
  // refuses difficulties above 255; one that got here anyway is never cut to its low byte.
  while (job.diff <= 0 || job.diff > 255) {
    while (!pool->HaveNewWork()) {
      if (exit_flag.load()) return false;
      mySleep(kZeroDiffPollMs);
    }
    pool->GetJob(job);
  }
  DecodeJob(reinterpret_cast<uint8_t*>(&job));
  DistributeJob(job);
  return true;
}

void MinerManCuda::DistributeJob(const work& decoded_job) {
  const uint8_t difficulty = static_cast<uint8_t>(decoded_job.diff);  // 1..255 (TakeInJob)
  // The same trailer at the same difficulty (a job re-sent after a reconnect) is the same job:
  // solutions in flight stay good and keep their generation.
  if (job_generation == 0 || difficulty != job_difficulty ||
      std::memcmp(trailer, decoded_job.decoded, sizeof(trailer)) != 0) {
    ++job_generation;
    std::memcpy(trailer, decoded_job.decoded, sizeof(trailer));
    job_difficulty = difficulty;
  }
  for (auto& ctx : contexts) {
    std::lock_guard<std::mutex> lock(ctx.job_mutex);
    std::memcpy(ctx.trailer, decoded_job.decoded, sizeof(ctx.trailer));
    ctx.difficulty = difficulty;
    ctx.generation = job_generation;
  }
  job_block.store(decoded_job.block);
  job_diff.store(difficulty);
}

void MinerManCuda::ProcessSolutions(int32_t j, uint32_t& consumed) {
  cudaGpuContext& ctx = contexts[static_cast<size_t>(j)];
  ctx.fetched.store(consumed);
  // Every announcement queued so far is handled now: a device announces once per launch that
  // found something. Those queued meanwhile wait for the next pass, so that a device finding
  // solutions faster than the CPU re-checks them cannot keep the manager here (it waits for
  // ring room instead).
  const uint32_t announced = LoadFoundCount(ctx.host_found_count);
  while (CounterAhead(announced, consumed)) {
    Announcement a;
    {
      std::lock_guard<std::mutex> lock(ctx.queue_mutex);
      if (ctx.results.empty()) {
        Print("[Varn] Unexpected - Queue thread safe fail!");
        EndProcess(1);  // workers still use the contexts: no destructors under them
      }
      a = ctx.results.front();
      ctx.results.pop_front();
    }
    CheckAnnounced(ctx, a, consumed);
    consumed = a.res.found_count;
    ctx.fetched.store(consumed);  // the worker may launch into the slots read
  }
}

void MinerManCuda::CheckAnnounced(cudaGpuContext& ctx, const Announcement& a, uint32_t consumed) {
  const HaikuRes& r = a.res;
  uint8_t job_trailer[sizeof(BTRAILER)];
  uint8_t difficulty;
  uint32_t generation;
  {
    std::lock_guard<std::mutex> lock(ctx.job_mutex);
    std::memcpy(job_trailer, ctx.trailer, sizeof(job_trailer));
    difficulty = ctx.difficulty;
    generation = ctx.generation;
  }
  if (a.generation != generation) {
    // Found for a job that has been replaced: checking them against this one would only fail.
    pool->CountStaleShares(r.found_count - consumed);
    return;
  }

  // Sequence numbers more than a ring's length behind the newest one were overwritten.
  uint32_t lost = 0;
  uint32_t first = consumed;
  if (r.found_count - first > kResultSlots) {
    lost = r.found_count - first - kResultSlots;
    first = r.found_count - kResultSlots;
  }
  const uint32_t fetched = r.found_count - first;
  std::vector<uint8_t> halves(size_t{fetched} * kResultSlotBytes);
  for (uint32_t i = 0; i < fetched; ++i) {
    ReadSlot(ctx.result_slots + ((first + i) % kResultSlots) * kResultSlotBytes,
             halves.data() + size_t{i} * kResultSlotBytes);
  }
  // The device goes on searching meanwhile: a solution numbered n + kResultSlots or later may
  // have been written over slot n before it was read. The counter read after the slots tells.
  std::atomic_thread_fence(std::memory_order_acquire);
  uint32_t device_count = 0;
  cudaError_t e = cudaSetDevice(ctx.device);
  if (e == cudaSuccess) {
    e = cudaMemcpyAsync(&device_count, ctx.dev_found_count, sizeof(device_count),
                        cudaMemcpyDeviceToHost, ctx.readback_stream);
  }
  if (e == cudaSuccess) e = cudaStreamSynchronize(ctx.readback_stream);
  cudaGetLastError();  // reported here
  if (e != cudaSuccess) {
    // Without the counter no slot can be trusted: the solutions are counted, never sent.
    lost += fetched;
    ctx.lost_solutions.fetch_add(lost);
    Printf("Device #%d: cannot read the solution counter (%s); %u solutions lost\n", ctx.device,
           cudaGetErrorString(e), lost);
    return;
  }
  for (uint32_t i = 0; i < fetched; ++i) {
    const uint32_t n = first + i;
    const uint32_t slot = n % kResultSlots;
    if (device_count - n > kResultSlots) {
      ++lost;
      continue;
    }
    const uint8_t* second_half = halves.data() + size_t{i} * kResultSlotBytes;

    BTRAILER candidate;
    std::memcpy(&candidate, job_trailer, sizeof(candidate));
    std::memcpy(candidate.nonce, r.haiku, sizeof(r.haiku));
    std::memcpy(candidate.nonce + sizeof(r.haiku), second_half, kResultSlotBytes);

    std::string line = "\nnonce " + std::to_string(slot) + "\n";
    for (uint8_t b : candidate.nonce) line += std::to_string(b) + " ";
    line += "\n";
    Print(line);

    if (peach(&candidate, difficulty, nullptr) == 0) {
      Print("Submitting shares\n");
      HostOutput out;
      std::memcpy(out.phash, candidate.phash, sizeof(out.phash));
      std::memcpy(out.nonce, candidate.nonce, sizeof(out.nonce));
      ctx.solutions.fetch_add(1);
      pool->SubmitWork(out);
    } else {
      Print("CPU failed check\n");
      pool->CountFailedShare();
    }
  }
  if (lost > 0) {
    ctx.lost_solutions.fetch_add(lost);
    Printf(
        "Device #%d: %u solutions lost (overwritten in the %u-slot result ring before they "
        "were fetched)\n",
        ctx.device, lost, kResultSlots);
  }
}

std::string MinerManCuda::HashRateLine(const std::vector<DeviceRate>& rates, float* total) {
  float sum = 0.0f;
  std::string line;
  char part[96];
  for (const DeviceRate& r : rates) {
    if (r.state == DeviceState::kMining) {
      std::snprintf(part, sizeof(part), "Device #%d: %.2f KHs |", r.device, r.khs);
    } else {
      std::snprintf(part, sizeof(part), "Device #%d: %.2f KHs (%s) |", r.device, r.khs,
                    DeviceStateName(r.state));
    }
    line += part;
    sum = static_cast<float>(sum + r.khs);
  }
  if (sum > 1000.0f) {
    std::snprintf(part, sizeof(part), " Total: %.2f MHs\n", sum / 1000.0f);
  } else {
    std::snprintf(part, sizeof(part), " Total: %.2f KHs\n", sum);
  }
  if (total != nullptr) *total = sum;
  return line + part;
}

float MinerManCuda::ReportHashRate() {
  std::vector<DeviceRate> rates;
  double hashes = 0.0;
  for (auto& ctx : contexts) {
    if (ctx.map == nullptr) continue;  // not set up: it does not mine
    const int64_t now = SteadyNanos();
    const double elapsed_ms = static_cast<double>(now - ctx.rate_start.load()) / 1000000.0;
    const double count = ctx.hash_count.exchange(0.0);
    // candidates per ms = kH/s
    const double rate = elapsed_ms > 0.0 ? count / elapsed_ms : 0.0;
    rates.push_back(DeviceRate{ctx.device, rate, ctx.state.load()});
    ctx.rate_hps.store(rate * 1000.0);
    hashes += count;
    ctx.rate_start.store(now);
  }
  const int64_t now = SteadyNanos();
  if (last_sample_ns != 0) {
    std::lock_guard<std::mutex> lock(history_mutex);
    history.push_back({now, now - last_sample_ns, hashes});
    while (!history.empty() && history.front().end_ns < now - kHistoryNs) history.pop_front();
  }
  last_sample_ns = now;
  float total = 0.0f;
  Print(HashRateLine(rates, &total));
  pool->UpdateHR(total);
  return total;
}

MinerStatus MinerManCuda::Status() const {
  MinerStatus st;
  st.block = job_block.load();
  st.difficulty = job_diff.load();
  const int64_t now = SteadyNanos();
  for (size_t i = 0; i < contexts.size(); ++i) {
    const cudaGpuContext& ctx = contexts[i];
    if (ctx.map == nullptr) continue;
    DeviceStatus d;
    d.id = ctx.device;
    d.name = i < devices.size() && devices[i] ? devices[i]->name : std::string();
    d.pci_bus_id = pci_bus_ids[i];
    d.solutions = ctx.solutions.load();
    d.mining = ctx.worker_running.load();
    const int64_t busy_since = ctx.busy_since.load();
    d.busy_s = busy_since != 0 ? static_cast<double>(now - busy_since) / kNsPerSecond : 0.0;
    d.state = ctx.state.load();
    d.state_reason = ctx.StateReason();
    d.lost_solutions = ctx.lost_solutions.load();
    d.intensity_pct = ctx.intensity_pct.load();
    d.hashrate = d.mining && d.state == DeviceState::kMining && d.busy_s < kStalledAfterS
                     ? ctx.rate_hps.load()
                     : 0.0;
    st.hashrate_now += d.hashrate;
    st.devices.push_back(std::move(d));
  }
  const auto average = [&](int64_t window_ns) {
    double hashes = 0.0;
    int64_t span = 0;
    std::lock_guard<std::mutex> lock(history_mutex);
    for (auto it = history.rbegin(); it != history.rend() && it->end_ns >= now - window_ns; ++it) {
      hashes += it->hashes;
      span += it->span_ns;
    }
    return span > 0 ? hashes * kNsPerSecond / static_cast<double>(span) : 0.0;
  };
  st.avg_60s = average(60 * kNsPerSecond);
  st.avg_15m = average(kHistoryNs);
  return st;
}

const char* DeviceStateName(DeviceState state) {
  switch (state) {
    case DeviceState::kMining:
      return "mining";
    case DeviceState::kBuildingMap:
      return "building map";
    case DeviceState::kPaused:
      return "paused";
    case DeviceState::kStopped:
      return "stopped";
  }
  return "stopped";
}

int MinerManCuda::Run() {
  while (!pool->HaveNewWork()) {
    if (exit_flag.load()) return 0;
    mySleep(kFirstJobPollMs);
  }
  if (!TakeInJob()) return 0;
  SetAllJobFlags(kJobNew);
  Print("Start mining...\n");
  if (!pool->IsStratum()) {
    Print("Not supporting getwork\n");
    EndProcess(1);
  }

  for (size_t i = 0; i < contexts.size(); ++i) {
    if (contexts[i].map == nullptr) continue;  // reported by InitGpu
    workers.emplace_back(cudakernelStratum, std::ref(contexts[i]), std::ref(job_flags[i]),
                         std::ref(exit_flag));
  }

  last_sample_ns = SteadyNanos();  // the first rate sample covers the time from here
  std::vector<uint32_t> consumed(contexts.size(), 0);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  uint32_t pass = 0;
  int status = 0;
  while (!exit_flag.load()) {
    if (pool->HaveNewWork()) {
      SetAllJobFlags(kJobHold);
      TakeInJob();
      SetAllJobFlags(kJobNew);
    }
    if (pool->HaveNewTemplate()) {
      SetAllJobFlags(kJobHold);
      SetAllJobFlags(kJobNew);
    }
    for (size_t j = 0; j < contexts.size(); ++j) {
      if (contexts[j].map != nullptr) ProcessSolutions(static_cast<int32_t>(j), consumed[j]);
    }
    pass = (pass + 1) % kPassCounterWrap;
    if (pass % kReportEveryPasses == 0) ReportHashRate();
    if (!AnyDeviceLeft()) {
      Print("No device is left mining; ending the miner\n");
      exit_flag.store(true);
      status = kExitNoUsableDevice;
      break;
    }
    mySleep(kPassMs);
  }
  // Each worker finishes its current launch and sees the flag.
  for (auto& w : workers) w.join();
  workers.clear();
  // What the last launches announced is re-checked and submitted all the same.
  for (size_t j = 0; j < contexts.size(); ++j) {
    if (contexts[j].map != nullptr) ProcessSolutions(static_cast<int32_t>(j), consumed[j]);
  }
  return status;
}

bool MinerManCuda::AnyDeviceLeft() const {
  for (const cudaGpuContext& ctx : contexts) {
    if (ctx.map != nullptr && ctx.state.load() != DeviceState::kStopped) return true;
  }
  return false;
}

}  // namespace Kest
