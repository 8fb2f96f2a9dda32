#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/utils.h"
#include "gpu/peach_kernels.h"
#include "miner/gpu_context.h"
#include "pow/sha256.h"

namespace Kest {

namespace {

constexpr uint32_t kHoldPollMs = 1;
constexpr size_t kFirstHalfOffset = kNonceOffset;     // trailer bytes 92..107
constexpr size_t kMidstateBytes = kSecondHalfOffset;  // trailer bytes 0..107

// The job a worker is searching: its own copy, taken from the context in one go.
struct JobSnapshot {
  uint8_t trailer[sizeof(BTRAILER)];  // bytes 92..107 hold the worker's first half
  uint8_t difficulty;
  uint32_t generation;
};

void ComputeMidstate(const JobSnapshot& job, SHA256_CTX& midstate) {
  sha256_init(&midstate);
  sha256_update(&midstate, job.trailer, kMidstateBytes);
}

// Takes up the job in the context: trailer, difficulty and generation under one lock, with a
// new first half written into both trailers.
void TakeJob(cudaGpuContext& ctx, VarnRand& rng, JobSnapshot& job, SHA256_CTX& midstate) {
  trigg_gen(ctx.first_half, rng);
  {
    std::lock_guard<std::mutex> lock(ctx.job_mutex);
    std::memcpy(ctx.trailer + kFirstHalfOffset, ctx.first_half, sizeof(ctx.first_half));
    std::memcpy(job.trailer, ctx.trailer, sizeof(job.trailer));
    job.difficulty = ctx.difficulty;
    job.generation = ctx.generation;
  }
  ComputeMidstate(job, midstate);
}

// A new first half for the job being searched. The context's trailer gets it too, unless the
// manager has put a newer job there meanwhile (taken up at the next launch).
void RenewFirstHalf(cudaGpuContext& ctx, VarnRand& rng, JobSnapshot& job, SHA256_CTX& midstate) {
  trigg_gen(ctx.first_half, rng);
  std::memcpy(job.trailer + kFirstHalfOffset, ctx.first_half, sizeof(ctx.first_half));
  {
    std::lock_guard<std::mutex> lock(ctx.job_mutex);
    if (ctx.generation == job.generation) {
      std::memcpy(ctx.trailer + kFirstHalfOffset, ctx.first_half, sizeof(ctx.first_half));
    }
  }
  ComputeMidstate(job, midstate);
}

// Builds the whole tile map with launches of `grid` x 256 threads. Stops early only when the
// process is shutting down; returns whether the map was built to the end.
bool BuildMap(cudaGpuContext& ctx, unsigned grid, const std::atomic<bool>& exit_flag) {
  const auto start = std::chrono::steady_clock::now();
  Printf("Device #%d: building the tile map...\n", ctx.device);
  const uint32_t step = grid * kBuildMapBlockThreads;
  for (uint32_t offset = 0; offset < kMapTiles; offset += step) {
    LaunchBuildMap(grid, ctx.stream, offset, ctx.map);
    if (exit_flag.load()) {
      cudaStreamSynchronize(ctx.stream);
      return false;
    }
  }
  cudaStreamSynchronize(ctx.stream);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Printf("Device #%d: tile map built in %.1f s\n", ctx.device, seconds);
  return true;
}

// Builds the map unless it was last built from the job's previous-block hash: the map depends
// on nothing else, whatever block number the pool announces.
void EnsureMap(cudaGpuContext& ctx, const JobSnapshot& job, unsigned grid,
               const std::atomic<bool>& exit_flag) {
  if (ctx.map_built && std::memcmp(ctx.map_phash, job.trailer, sizeof(ctx.map_phash)) == 0) return;
  ctx.map_built = false;
  if (BuildMap(ctx, grid, exit_flag)) {
    std::memcpy(ctx.map_phash, job.trailer, sizeof(ctx.map_phash));
    ctx.map_built = true;
  }
}

[[noreturn]] void DeviceCrashed(cudaError_t err) {
  Printf("cuda_find_peach: %s \n", cudaGetErrorString(err));
  Print("Your GPUs get crashed... Terminate miner! Please restart it manually \n");
  // Other threads are still using the contexts: end without running destructors under them.
  std::_Exit(-1);
}

}  // namespace

int64_t SystemNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void cudakernelStratum(cudaGpuContext& ctx, std::atomic<int32_t>& job_flag,
                       std::atomic<bool>& exit_flag) {
  cudaSetDevice(ctx.device);
  int blocks = 0;
  int threads = 0;
  int map_blocks = 0;
  StagedSearchBuffers staged;
  cudaError_t err = SearchGeometry(kDefaultSearchPath, &blocks, &threads);
  if (err == cudaSuccess) err = BuildMapGeometry(&map_blocks);
  if (err == cudaSuccess && kDefaultSearchPath == SearchPath::kStaged && blocks > 0 &&
      threads > 0) {
    err = staged.Allocate(static_cast<uint32_t>(blocks) * static_cast<uint32_t>(threads));
  }
  if (err != cudaSuccess || blocks <= 0 || threads <= 0 || map_blocks <= 0) {
    // Launching with a made-up geometry would search nothing or fault: stop this worker.
    Printf("Device #%d: cannot compute the launch geometry (%s); worker stopped\n", ctx.device,
           cudaGetErrorString(err));
    return;
  }
  Printf("Auto calc: numblock: %d numthread: %d \n", blocks, threads);
  Printf("Device #%d: search path %s\n", ctx.device, SearchPathName(kDefaultSearchPath));
  const uint32_t n = static_cast<uint32_t>(blocks) * static_cast<uint32_t>(threads);
  const double candidates = static_cast<double>(n);

  ctx.rate_start.store(SystemNanos());
  auto rng = std::make_shared<VarnRand>(ctx.device);
  const int64_t limit = (int64_t{1} << 31) - 2 * int64_t{n};
  if (exit_flag.load()) return;

  SHA256_CTX midstate;
  JobSnapshot job{};
  uint32_t offset = 0;
  while (true) {
    int32_t flag = job_flag.load();
    if (flag != kJobKeep) {
      while (flag == kJobHold && !exit_flag.load()) {
        mySleep(kHoldPollMs);
        flag = job_flag.load();
      }
      if (exit_flag.load()) break;
      // Take the job up only if the flag still says so: a hold the manager set meanwhile stays.
      if (!job_flag.compare_exchange_strong(flag, kJobKeep)) continue;
      TakeJob(ctx, *rng, job, midstate);
      UploadJobConstants(ctx.stream, job.difficulty, job.trailer, midstate);
      EnsureMap(ctx, job, static_cast<unsigned>(map_blocks), exit_flag);
      if (exit_flag.load()) break;
      offset = 0;
    } else if (int64_t{offset} >= limit) {
      RenewFirstHalf(ctx, *rng, job, midstate);
      UploadNonceConstants(ctx.stream, job.trailer, midstate);
      offset = 0;
    }

    const uint32_t seen = LoadFoundCount(ctx.host_found_count);
    offset += n;
    LaunchSearch(kDefaultSearchPath, staged, static_cast<unsigned>(blocks),
                 static_cast<unsigned>(threads), ctx.stream, offset, ctx.map, ctx.dev_found_count,
                 ctx.result_slots);
    uint32_t count = 0;
    cudaMemcpyAsync(&count, ctx.dev_found_count, sizeof(count), cudaMemcpyDeviceToHost, ctx.stream);
    cudaStreamSynchronize(ctx.stream);
    if (CounterAhead(count, seen)) {
      Announcement a;
      std::memcpy(a.res.haiku, ctx.first_half, sizeof(a.res.haiku));
      a.res.found_count = count;
      a.generation = job.generation;
      {
        std::lock_guard<std::mutex> lock(ctx.queue_mutex);
        ctx.results.push_back(a);
      }
      StoreFoundCount(ctx.host_found_count, count);
    }
    err = cudaGetLastError();
    if (err != cudaSuccess) DeviceCrashed(err);
    AtomicAdd(ctx.hash_count, candidates);
    if (exit_flag.load()) break;
  }
}

cudaGpuContext::cudaGpuContext(const cudaGpuContext& other)
    : device(other.device),
      stream(other.stream),
      readback_stream(other.readback_stream),
      map(other.map),
      difficulty(other.difficulty),
      generation(other.generation),
      host_found_count(other.host_found_count),
      dev_found_count(other.dev_found_count),
      result_slots(other.result_slots),
      map_built(other.map_built),
      hash_count(other.hash_count.load()),
      rate_start(other.rate_start.load()) {
  std::memcpy(first_half, other.first_half, sizeof(first_half));
  std::memcpy(trailer, other.trailer, sizeof(trailer));
  std::memcpy(map_phash, other.map_phash, sizeof(map_phash));
  std::lock_guard<std::mutex> lock(other.queue_mutex);
  results = other.results;
}

}  // namespace Kest
