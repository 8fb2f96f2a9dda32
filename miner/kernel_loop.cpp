#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/utils.h"
#include "gpu/peach_kernels.h"
#include "miner/gpu_context.h"
#include "pow/sha256.h"

namespace Kest {

namespace {

constexpr uint32_t kHoldPollMs = 1;
constexpr uint32_t kPausePollMs = 20;
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

// How a map build ended.
enum class MapEnd { kBuilt, kInterrupted, kFailed };

// Map build chunks: each is one launch, synchronised before the next, so the watchdog sees
// progress per chunk and a shutdown or a new previous-block hash stops the build within one.
// The first chunk has the occupancy grid's blocks, at most kMapStartBlocks; a chunk that took
// less than kMapChunkFastS doubles the next one (up to a quarter of the map, about a full grid
// of a large GPU), one that took more than kMapChunkSlowS halves it. So a chunk takes a tenth
// of a second or so on any device, and the software device keeps its one-grid chunks.
constexpr unsigned kMapStartBlocks = 64;
constexpr unsigned kMapMaxBlocks = kMapTiles / kBuildMapBlockThreads / 4;
constexpr double kMapChunkFastS = 0.05;
constexpr double kMapChunkSlowS = 0.25;
// A build that has run this long when it passes a quarter of the map prints its progress.
constexpr double kMapProgressAfterS = 2.0;

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Whether the manager has put a job with another previous-block hash than `phash` into the
// context since the worker took its job up.
bool NewPreviousBlockHash(cudaGpuContext& ctx, const std::atomic<int32_t>& job_flag,
                          const uint8_t* phash) {
  if (job_flag.load() == kJobKeep) return false;
  std::lock_guard<std::mutex> lock(ctx.job_mutex);
  return std::memcmp(ctx.trailer, phash, sizeof(ctx.map_phash)) != 0;
}

// Builds the tile map for `phash` (already uploaded) in synchronised chunks, the first of at
// most `grid` x 256 threads, printing each quarter when the build is slow. Stops early when the
// process is shutting down or a job with another previous-block hash arrives (kInterrupted), or on
// a device error (kFailed, named in *error).
MapEnd BuildMap(cudaGpuContext& ctx, unsigned grid, const uint8_t* phash,
                const std::atomic<int32_t>& job_flag, const std::atomic<bool>& exit_flag,
                std::string* error) {
  const auto start = std::chrono::steady_clock::now();
  Printf("Device #%d: building the tile map...\n", ctx.device);
  unsigned blocks = std::max(1u, std::min(grid, kMapStartBlocks));
  uint32_t quarters_printed = 0;
  for (uint32_t offset = 0; offset < kMapTiles;) {
    const auto chunk_start = std::chrono::steady_clock::now();
    ctx.busy_since.store(SteadyNanos());
    LaunchBuildMap(blocks, ctx.stream, offset, ctx.map);
    cudaError_t e = cudaStreamSynchronize(ctx.stream);
    ctx.busy_since.store(0);
    const cudaError_t last = cudaGetLastError();
    if (e == cudaSuccess) e = last;
    if (e != cudaSuccess) {
      *error = std::string("device error: ") + cudaGetErrorString(e);
      return MapEnd::kFailed;
    }
    const uint64_t next = uint64_t{offset} + uint64_t{blocks} * kBuildMapBlockThreads;
    offset = next > kMapTiles ? kMapTiles : static_cast<uint32_t>(next);
    const uint32_t quarters = static_cast<uint32_t>(uint64_t{offset} * 4 / kMapTiles);
    if (quarters > quarters_printed && quarters < 4) {
      quarters_printed = quarters;
      if (SecondsSince(start) >= kMapProgressAfterS) {
        Printf("Device #%d: tile map %u%% built\n", ctx.device, quarters * 25);
      }
    }
    if (exit_flag.load()) return MapEnd::kInterrupted;
    if (NewPreviousBlockHash(ctx, job_flag, phash)) {
      Printf("Device #%d: tile map build left for a new previous-block hash\n", ctx.device);
      return MapEnd::kInterrupted;
    }
    const double took = SecondsSince(chunk_start);
    if (took < kMapChunkFastS && blocks < kMapMaxBlocks) {
      blocks = std::min(blocks * 2, kMapMaxBlocks);
    } else if (took > kMapChunkSlowS && blocks > 1) {
      blocks /= 2;
    }
  }
  Printf("Device #%d: tile map built in %.1f s\n", ctx.device, SecondsSince(start));
  return MapEnd::kBuilt;
}

// Builds the map unless it was last built from the job's previous-block hash: the map depends
// on nothing else, whatever block number the pool announces.
MapEnd EnsureMap(cudaGpuContext& ctx, const JobSnapshot& job, unsigned grid,
                 const std::atomic<int32_t>& job_flag, const std::atomic<bool>& exit_flag,
                 std::string* error) {
  if (ctx.map_built && std::memcmp(ctx.map_phash, job.trailer, sizeof(ctx.map_phash)) == 0) {
    return MapEnd::kBuilt;
  }
  ctx.map_built = false;
  ctx.SetState(DeviceState::kBuildingMap);
  const MapEnd end = BuildMap(ctx, grid, job.trailer, job_flag, exit_flag, error);
  if (end == MapEnd::kBuilt) {
    std::memcpy(ctx.map_phash, job.trailer, sizeof(ctx.map_phash));
    ctx.map_built = true;
  }
  if (end != MapEnd::kFailed) ctx.SetState(DeviceState::kMining);
  return end;
}

// Candidates per launch at `difficulty`: the whole batch of `n`, cut so that the solutions
// expected from one launch (a candidate is one with probability 2^-difficulty) fill at most
// 1 / kRingShareOfLaunch of the ring. Whole blocks of `threads`, at least one.
uint32_t LaunchBlocks(uint32_t n, unsigned threads, uint8_t difficulty) {
  const uint64_t cap = uint64_t{kResultSlots / kRingShareOfLaunch}
                       << std::min<unsigned>(difficulty, 40);
  const uint64_t candidates = std::min<uint64_t>(n, cap);
  const uint64_t blocks = (candidates + threads - 1) / threads;
  return static_cast<uint32_t>(std::max<uint64_t>(1, blocks));
}

std::string ErrorText(const char* what, cudaError_t e) {
  return std::string(what) + " (" + cudaGetErrorString(e) + ")";
}

// Holds the worker while the device has pause requests: state kPaused with their reason,
// then kMining again. False when the exit flag ended the wait.
bool WaitWhilePaused(cudaGpuContext& ctx, std::atomic<bool>& exit_flag) {
  uint32_t shown = 0;
  for (uint32_t requests = ctx.pause_requests.load(); requests != 0;
       requests = ctx.pause_requests.load()) {
    if (exit_flag.load()) return false;
    if (requests != shown) {
      ctx.SetState(DeviceState::kPaused, PauseReason(requests));
      shown = requests;
    }
    mySleep(kPausePollMs);
  }
  ctx.SetState(DeviceState::kMining);
  return !exit_flag.load();
}

// Idles after a launch of `launch_s` seconds as the device's intensity asks, in slices that
// end the idling early for the exit flag, a new job or a pause request.
void IdleForIntensity(cudaGpuContext& ctx, double launch_s, const std::atomic<int32_t>& job_flag,
                      const std::atomic<bool>& exit_flag) {
  const double idle_s = IntensityIdleSeconds(launch_s, ctx.intensity_pct.load());
  if (idle_s <= 0.0) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(idle_s);
  while (!exit_flag.load() && job_flag.load() == kJobKeep && ctx.pause_requests.load() == 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
    mySleep(static_cast<uint32_t>(std::min<int64_t>(left.count() + 1, kPausePollMs)));
  }
}

// The worker's launch loop. Returns why it stopped, or an empty string when the exit flag
// ended it.
std::string RunWorker(cudaGpuContext& ctx, std::atomic<int32_t>& job_flag,
                      std::atomic<bool>& exit_flag) {
  cudaSetDevice(ctx.device);
  int blocks = 0;
  int threads = 0;
  int map_blocks = 0;
  StagedSearchBuffers staged;
  cudaError_t err = SearchGeometry(kDefaultSearchPath, &blocks, &threads);
  if (err == cudaSuccess) err = BuildMapGeometry(&map_blocks);
  if (err != cudaSuccess || blocks <= 0 || threads <= 0 || map_blocks <= 0) {
    // Launching with a made-up geometry would search nothing or fault.
    cudaGetLastError();
    return ErrorText("cannot compute the launch geometry", err);
  }
  if (kDefaultSearchPath == SearchPath::kStaged) {
    err = staged.Allocate(static_cast<uint32_t>(blocks) * static_cast<uint32_t>(threads));
    if (err != cudaSuccess) {
      cudaGetLastError();
      return ErrorText("cannot allocate the staged search buffers", err);
    }
  }
  Printf("Auto calc: numblock: %d numthread: %d \n", blocks, threads);
  Printf("Device #%d: search path %s\n", ctx.device, SearchPathName(kDefaultSearchPath));
  const uint32_t n = static_cast<uint32_t>(blocks) * static_cast<uint32_t>(threads);

  ctx.rate_start.store(SteadyNanos());
  auto rng = std::make_shared<VarnRand>(ctx.device);
  const int64_t limit = (int64_t{1} << 31) - 2 * int64_t{n};
  if (exit_flag.load()) return std::string();

  SHA256_CTX midstate;
  JobSnapshot job{};
  uint32_t offset = 0;
  uint32_t launch_blocks = static_cast<uint32_t>(blocks);
  // Clears the monitoring flags however the loop ends.
  struct RunningMark {
    cudaGpuContext& ctx;
    explicit RunningMark(cudaGpuContext& c) : ctx(c) { ctx.worker_running.store(true); }
    ~RunningMark() {
      ctx.busy_since.store(0);
      ctx.worker_running.store(false);
    }
  } running(ctx);
  std::string error;
  while (true) {
    if (ctx.pause_requests.load() != 0) {
      if (!WaitWhilePaused(ctx, exit_flag)) break;
      continue;  // a job that came meanwhile is taken up first
    }
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
      launch_blocks = LaunchBlocks(n, static_cast<unsigned>(threads), job.difficulty);
      const MapEnd map =
          EnsureMap(ctx, job, static_cast<unsigned>(map_blocks), job_flag, exit_flag, &error);
      if (map == MapEnd::kFailed) return error;
      if (exit_flag.load()) break;
      if (map == MapEnd::kInterrupted) continue;  // the newer job is taken up next
      offset = 0;
    } else if (int64_t{offset} >= limit) {
      RenewFirstHalf(ctx, *rng, job, midstate);
      UploadNonceConstants(ctx.stream, job.trailer, midstate);
      offset = 0;
    }

    const uint32_t launch_n = launch_blocks * static_cast<uint32_t>(threads);
    const uint32_t seen = LoadFoundCount(ctx.host_found_count);
    // Room in the ring: a launch starts only while the slots not yet fetched leave room for
    // every solution it can find (for a launch of more candidates than half the ring, for
    // several times the solutions it is expected to find).
    const uint32_t room = std::min(launch_n, kResultSlots / 2);
    while (seen - ctx.fetched.load() > kResultSlots - room && !exit_flag.load()) {
      mySleep(kHoldPollMs);
    }
    if (exit_flag.load()) break;

    const int64_t launch_start = SteadyNanos();
    ctx.busy_since.store(launch_start);  // until the launch and its read-back are done
    offset += launch_n;
    err = LaunchSearch(kDefaultSearchPath, staged, launch_blocks, static_cast<unsigned>(threads),
                       ctx.stream, offset, ctx.map, ctx.dev_found_count, ctx.result_slots);
    uint32_t count = 0;
    cudaError_t e = cudaMemcpyAsync(&count, ctx.dev_found_count, sizeof(count),
                                    cudaMemcpyDeviceToHost, ctx.stream);
    if (err == cudaSuccess) err = e;
    e = cudaStreamSynchronize(ctx.stream);
    if (err == cudaSuccess) err = e;
    ctx.busy_since.store(0);
    e = cudaGetLastError();  // launch and upload errors
    if (err == cudaSuccess) err = e;
    if (err != cudaSuccess) return std::string("device error: ") + cudaGetErrorString(err);
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
    AtomicAdd(ctx.hash_count, static_cast<double>(launch_n));
    if (exit_flag.load()) break;
    IdleForIntensity(ctx, static_cast<double>(SteadyNanos() - launch_start) / 1e9, job_flag,
                     exit_flag);
  }
  return std::string();
}

}  // namespace

const char* PauseReason(uint32_t requests) {
  if ((requests & kPauseTemperature) != 0) return "temperature";
  if ((requests & kPauseRemote) != 0) return "remote";
  return requests != 0 ? "paused" : "";
}

double IntensityIdleSeconds(double launch_s, uint32_t intensity_pct) {
  if (intensity_pct >= 100 || launch_s <= 0.0) return 0.0;
  const double p = intensity_pct == 0 ? 1.0 : static_cast<double>(intensity_pct);
  return launch_s * (100.0 - p) / p;
}

int64_t SteadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void cudakernelStratum(cudaGpuContext& ctx, std::atomic<int32_t>& job_flag,
                       std::atomic<bool>& exit_flag) {
  const std::string reason = RunWorker(ctx, job_flag, exit_flag);
  if (reason.empty()) {
    ctx.SetState(DeviceState::kStopped, "the miner is ending");
    return;
  }
  // The other devices mine on; the manager ends the miner once none is left mining.
  Printf("Device #%d: %s; it mines no more\n", ctx.device, reason.c_str());
  ctx.SetState(DeviceState::kStopped, reason);
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
