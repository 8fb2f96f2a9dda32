#include "miner/miner_man.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

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
  job_flags = std::vector<std::atomic<int32_t>>(count);
  for (size_t i = 0; i < count; ++i) {
    const std::shared_ptr<CudaDevConfig> d = i < devices.size() ? devices[i] : nullptr;
    if (!d) {
      Printf("Device entry %zu is missing or not a CUDA device configuration\n", i);
      return 0;
    }
    Printf("setting up device: %u %s\n", static_cast<unsigned>(d->cuda_device_index),
           d->name.c_str());
    cudaGpuContext& ctx = contexts[i];
    cudaSetDevice(d->cuda_device_index);
    ctx.device = d->cuda_device_index;
    cudaSetDeviceFlags(kDeviceScheduleBlockingSync);
    cudaStreamCreate(&ctx.stream);
    cudaStreamCreate(&ctx.readback_stream);

    void* map = nullptr;
    cudaError_t err = cudaMalloc(&map, kMapBytes);
    if (err != cudaSuccess) {
      Printf("Device #%zu: cannot allocate the 1 GiB tile map: %s\n", i, cudaGetErrorString(err));
      cudaGetLastError();
      return 0;
    }
    ctx.map = static_cast<uint8_t*>(map);
    void* counter = nullptr;
    cudaMalloc(&counter, sizeof(uint32_t));
    ctx.dev_found_count = static_cast<uint32_t*>(counter);
    cudaMemset(ctx.dev_found_count, 0, sizeof(uint32_t));

    void* host_count = nullptr;
    cudaHostAlloc(&host_count, sizeof(uint32_t), 0);
    ctx.host_found_count = static_cast<uint32_t*>(host_count);
    void* slots = nullptr;
    cudaHostAlloc(&slots, kResultRingBytes, kHostAllocMapped);
    ctx.result_slots = static_cast<uint8_t*>(slots);
    err = cudaGetLastError();
    if (err != cudaSuccess || !ctx.dev_found_count || !ctx.host_found_count || !ctx.result_slots) {
      Printf("Device #%zu: cannot allocate its buffers: %s\n", i, cudaGetErrorString(err));
      ctx.map = nullptr;
      return 0;
    }
    StoreFoundCount(ctx.host_found_count, 0);
    cudaMemset(ctx.result_slots, 0, kResultRingBytes);
    job_flags[i].store(kJobKeep);
  }
  return 1;
}

void MinerManCuda::SetAllJobFlags(int32_t value) {
  for (auto& f : job_flags) f.store(value);
}

bool MinerManCuda::TakeInJob() {
  pool->GetJob(job);
  // Difficulty 0 means "no job yet" (and would make every candidate a share); a negative one
  // comes from a connection rebuilt between the announcement and the fetch. Wait for the next.
  while (job.diff <= 0) {
    while (!pool->HaveNewWork()) {
      if (exit_flag.load()) return false;
      mySleep(kZeroDiffPollMs);
    }
    pool->GetJob(job);
  }
  DecodeJob(reinterpret_cast<uint8_t*>(&job));
  std::memcpy(trailer, job.decoded, sizeof(trailer));
  for (auto& ctx : contexts) {
    std::lock_guard<std::mutex> lock(ctx.job_mutex);
    std::memcpy(ctx.trailer, job.decoded, sizeof(ctx.trailer));
    ctx.difficulty = static_cast<uint8_t>(job.diff & 0xFF);
    ctx.build_map = job.block;
  }
  return true;
}

void MinerManCuda::ProcessSolutions(int32_t j, uint32_t& consumed) {
  cudaGpuContext& ctx = contexts[static_cast<size_t>(j)];
  cudaSetDevice(ctx.device);
  // Every announcement queued so far is handled now: a device announces once per launch that
  // found something, and leaving entries for later passes would let the ring overwrite them.
  while (static_cast<int32_t>(LoadFoundCount(ctx.host_found_count)) >
         static_cast<int32_t>(consumed)) {
    HaikuRes r;
    {
      std::lock_guard<std::mutex> lock(ctx.queue_mutex);
      if (ctx.results.empty()) {
        Print("[Varn] Unexpected - Queue thread safe fail!");
        std::_Exit(1);  // workers still use the contexts: no destructors under them
      }
      r = ctx.results.front();
      ctx.results.pop_front();
    }
    CheckAnnounced(ctx, j, r, consumed);
    consumed = r.found_count;
  }
}

void MinerManCuda::CheckAnnounced(cudaGpuContext& ctx, int32_t j, const HaikuRes& r,
                                  uint32_t consumed) {
  // Sequence numbers more than a ring's length behind the newest one were overwritten.
  uint32_t lost = 0;
  uint32_t first = consumed;
  if (r.found_count - first > kResultSlots) {
    lost = r.found_count - first - kResultSlots;
    first = r.found_count - kResultSlots;
  }

  uint8_t job_trailer[sizeof(BTRAILER)];
  uint8_t difficulty;
  {
    std::lock_guard<std::mutex> lock(ctx.job_mutex);
    std::memcpy(job_trailer, ctx.trailer, sizeof(job_trailer));
    difficulty = ctx.difficulty;
  }
  for (uint32_t n = first; n != r.found_count; ++n) {
    const uint32_t slot = n % kResultSlots;
    uint8_t second_half[kResultSlotBytes];
    cudaMemcpyAsync(second_half, ctx.result_slots + slot * kResultSlotBytes, sizeof(second_half),
                    cudaMemcpyDeviceToHost, ctx.readback_stream);
    // The device goes on searching meanwhile: a solution numbered n + 1024 or later may have
    // been written over this slot before it was read. The counter read after the slot tells.
    uint32_t device_count = 0;
    cudaMemcpyAsync(&device_count, ctx.dev_found_count, sizeof(device_count),
                    cudaMemcpyDeviceToHost, ctx.readback_stream);
    cudaStreamSynchronize(ctx.readback_stream);
    if (device_count - n > kResultSlots) {
      ++lost;
      continue;
    }

    BTRAILER candidate;
    std::memcpy(&candidate, job_trailer, sizeof(candidate));
    std::memcpy(candidate.nonce, r.haiku, sizeof(r.haiku));
    std::memcpy(candidate.nonce + sizeof(r.haiku), second_half, sizeof(second_half));

    std::string line = "\nnonce " + std::to_string(slot) + "\n";
    for (uint8_t b : candidate.nonce) line += std::to_string(b) + " ";
    line += "\n";
    Print(line);

    if (peach(&candidate, difficulty, nullptr) == 0) {
      Print("Submitting shares\n");
      HostOutput out;
      std::memcpy(out.phash, trailer, sizeof(out.phash));
      std::memcpy(out.nonce, candidate.nonce, sizeof(out.nonce));
      pool->SubmitWork(out);
    } else {
      Print("CPU failed check\n");
      pool->CountFailedShare();
    }
  }
  if (lost > 0) {
    Printf(
        "Device #%d: %u solutions lost (overwritten in the %u-slot result ring before they "
        "were fetched)\n",
        j, lost, kResultSlots);
  }
}

std::string MinerManCuda::HashRateLine(const std::vector<double>& rates, float* total) {
  float sum = 0.0f;
  std::string line;
  char part[64];
  for (size_t j = 0; j < rates.size(); ++j) {
    std::snprintf(part, sizeof(part), "Device #%zu: %.2f KHs |", j, rates[j]);
    line += part;
    sum = static_cast<float>(sum + rates[j]);
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
  std::vector<double> rates;
  for (auto& ctx : contexts) {
    const int64_t now = SystemNanos();
    const double elapsed_ms = static_cast<double>(now - ctx.rate_start.load()) / 1000000.0;
    const double count = ctx.hash_count.exchange(0.0);
    rates.push_back(elapsed_ms > 0.0 ? count / elapsed_ms : 0.0);  // candidates per ms = kH/s
    ctx.rate_start.store(SystemNanos());
  }
  float total = 0.0f;
  Print(HashRateLine(rates, &total));
  pool->UpdateHR(total);
  return total;
}

void MinerManCuda::Run() {
  while (!pool->HaveNewWork()) {
    if (exit_flag.load()) return;
    mySleep(kFirstJobPollMs);
  }
  if (!TakeInJob()) return;
  SetAllJobFlags(kJobNew);
  Print("Start mining...\n");
  if (!pool->IsStratum()) {
    Print("Not supporting getwork\n");
    std::_Exit(1);
  }

  for (size_t i = 0; i < contexts.size(); ++i) {
    if (contexts[i].map == nullptr) {
      Printf("Device #%zu was not set up; it does not mine\n", i);
      continue;
    }
    workers.emplace_back(cudakernelStratum, std::ref(contexts[i]), std::ref(job_flags[i]),
                         std::ref(exit_flag));
  }

  std::vector<uint32_t> consumed(contexts.size(), 0);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  uint32_t pass = 0;
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
    mySleep(kPassMs);
  }
  // Each worker finishes its current launch and sees the flag.
  for (auto& w : workers) w.join();
  workers.clear();
}

}  // namespace Kest
