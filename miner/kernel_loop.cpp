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

// Draws a new first half into the context and its trailer, and computes the SHA-256 context of
// trailer bytes 0..107. `trailer` receives a consistent copy of the trailer for uploading.
void RenewFirstHalf(cudaGpuContext& ctx, VarnRand& rng, SHA256_CTX& midstate, uint8_t* trailer) {
  trigg_gen(ctx.first_half, rng);
  std::lock_guard<std::mutex> lock(ctx.job_mutex);
  std::memcpy(ctx.trailer + kFirstHalfOffset, ctx.first_half, sizeof(ctx.first_half));
  std::memcpy(trailer, ctx.trailer, sizeof(ctx.trailer));
  sha256_init(&midstate);
  sha256_update(&midstate, trailer, kMidstateBytes);
}

// Builds the whole tile map with launches of `grid` x 256 threads. Stops early only when the
// process is shutting down.
void BuildMap(cudaGpuContext& ctx, unsigned grid, const std::atomic<bool>& exit_flag) {
  const auto start = std::chrono::steady_clock::now();
  Printf("Device #%d: building the tile map...\n", ctx.device);
  const uint32_t step = grid * kBuildMapBlockThreads;
  for (uint32_t offset = 0; offset < kMapTiles; offset += step) {
    LaunchBuildMap(grid, ctx.stream, offset, ctx.map);
    if (exit_flag.load()) break;
  }
  cudaStreamSynchronize(ctx.stream);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Printf("Device #%d: tile map built in %.1f s\n", ctx.device, seconds);
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
  uint8_t trailer[sizeof(BTRAILER)];
  uint32_t offset = 0;
  while (true) {
    int32_t flag = job_flag.load();
    if (flag != kJobKeep) {
      while (flag == kJobHold && !exit_flag.load()) {
        mySleep(kHoldPollMs);
        flag = job_flag.load();
      }
      if (exit_flag.load()) break;
      job_flag.store(kJobKeep);
      RenewFirstHalf(ctx, *rng, midstate, trailer);
      uint8_t difficulty;
      uint64_t build_map;
      {
        std::lock_guard<std::mutex> lock(ctx.job_mutex);
        difficulty = ctx.difficulty;
        build_map = ctx.build_map;
      }
      UploadJobConstants(ctx.stream, difficulty, trailer, midstate);
      if (build_map != 0) BuildMap(ctx, static_cast<unsigned>(map_blocks), exit_flag);
      offset = 0;
    } else if (int64_t{offset} >= limit) {
      RenewFirstHalf(ctx, *rng, midstate, trailer);
      UploadNonceConstants(ctx.stream, trailer, midstate);
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
    if (count > seen) {
      HaikuRes res;
      std::memcpy(res.haiku, ctx.first_half, sizeof(res.haiku));
      res.found_count = count;
      {
        std::lock_guard<std::mutex> lock(ctx.queue_mutex);
        ctx.results.push_back(res);
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
      difficulty(other.difficulty),
      map(other.map),
      host_found_count(other.host_found_count),
      dev_found_count(other.dev_found_count),
      result_slots(other.result_slots),
      build_map(other.build_map),
      hash_count(other.hash_count.load()),
      rate_start(other.rate_start.load()) {
  std::memcpy(first_half, other.first_half, sizeof(first_half));
  std::memcpy(trailer, other.trailer, sizeof(trailer));
  std::lock_guard<std::mutex> lock(other.queue_mutex);
  results = other.results;
}

}  // namespace Kest
