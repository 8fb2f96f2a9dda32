// Device module benchmarks, on whatever device the build targets (the software device in the
// KEST_CUDA=OFF build): one full build of the 2^20-tile map, then search launches over that map
// as the miner's worker runs them (the occupancy geometry, a counter read-back after each).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>

#include "app/records.h"
#include "gpu/peach_kernels.h"
#include "gpu/runtime.h"
#include "miner/seed.h"
#include "pow/sha256.h"

namespace {

constexpr uint32_t kJobSeed = 97;
constexpr uint8_t kSearchDifficulty = 24;

// One device with a job, its map, counter and ring; the map is built at most once.
class DeviceBench {
 public:
  static DeviceBench& Get() {
    static DeviceBench bench;
    return bench;
  }

  bool ok() const { return ok_; }
  bool map_built() const { return map_built_; }
  uint32_t candidates_per_launch() const {
    return static_cast<uint32_t>(blocks_) * static_cast<uint32_t>(threads_);
  }

  // Builds every tile with the worker's launch sequence; returns the launch count.
  int BuildMap() {
    const uint32_t step = static_cast<uint32_t>(map_blocks_) * Kest::kBuildMapBlockThreads;
    int launches = 0;
    for (uint32_t offset = 0; offset < Kest::kMapTiles; offset += step, ++launches) {
      Kest::LaunchBuildMap(static_cast<unsigned>(map_blocks_), stream_, offset, map_);
    }
    cudaStreamSynchronize(stream_);
    map_built_ = cudaGetLastError() == cudaSuccess;
    return launches;
  }

  // One search launch and the counter read-back.
  uint32_t Search() {
    offset_ += candidates_per_launch();
    Kest::LaunchFindPeach(static_cast<unsigned>(blocks_), static_cast<unsigned>(threads_), stream_,
                          offset_, map_, counter_, ring_);
    uint32_t found = 0;
    cudaMemcpyAsync(&found, counter_, sizeof found, cudaMemcpyDeviceToHost, stream_);
    cudaStreamSynchronize(stream_);
    return found;
  }

 private:
  DeviceBench() {
    cudaSetDevice(0);
    if (Kest::FindPeachGeometry(&blocks_, &threads_) != cudaSuccess ||
        Kest::BuildMapGeometry(&map_blocks_) != cudaSuccess || blocks_ <= 0 || threads_ <= 0 ||
        map_blocks_ <= 0) {
      return;
    }
    cudaStreamCreate(&stream_);
    cudaMalloc(reinterpret_cast<void**>(&map_), Kest::kMapBytes);
    cudaMalloc(reinterpret_cast<void**>(&counter_), sizeof(uint32_t));
    cudaMemset(counter_, 0, sizeof(uint32_t));
    cudaHostAlloc(reinterpret_cast<void**>(&ring_), Kest::kResultRingBytes, cudaHostAllocMapped);

    std::mt19937 rng(kJobSeed);
    auto* bytes = reinterpret_cast<uint8_t*>(&job_);
    for (std::size_t i = 0; i < sizeof job_; ++i) bytes[i] = static_cast<uint8_t>(rng());
    auto draws = Kest::VarnRand::FromSeed(kJobSeed);
    Kest::trigg_gen(job_.nonce, *draws);
    SHA256_CTX midstate;
    sha256_init(&midstate);
    sha256_update(&midstate, &job_, Kest::kSecondHalfOffset);
    Kest::UploadJobConstants(stream_, kSearchDifficulty, reinterpret_cast<const uint8_t*>(&job_),
                             midstate);
    cudaStreamSynchronize(stream_);
    ok_ = cudaGetLastError() == cudaSuccess && map_ != nullptr && ring_ != nullptr;
  }

  bool ok_ = false;
  bool map_built_ = false;
  int blocks_ = 0;
  int threads_ = 0;
  int map_blocks_ = 0;
  cudaStream_t stream_ = nullptr;
  uint8_t* map_ = nullptr;
  uint32_t* counter_ = nullptr;
  uint8_t* ring_ = nullptr;
  uint32_t offset_ = 0;
  BTRAILER job_{};
};

// The whole map, once (minutes of CPU time on the software device).
void BM_DeviceBuildMap(benchmark::State& state) {
  DeviceBench& bench = DeviceBench::Get();
  if (!bench.ok()) {
    state.SkipWithError("no device or no geometry");
    return;
  }
  int launches = 0;
  for (auto _ : state) launches = bench.BuildMap();
  if (!bench.map_built()) state.SkipWithError("map build failed");
  state.counters["tiles/s"] = benchmark::Counter(
      static_cast<double>(Kest::kMapTiles) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["launches"] = launches;
}
BENCHMARK(BM_DeviceBuildMap)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Search launches over the built map: candidates per second.
void BM_DeviceFindPeach(benchmark::State& state) {
  DeviceBench& bench = DeviceBench::Get();
  if (!bench.ok()) {
    state.SkipWithError("no device or no geometry");
    return;
  }
  if (!bench.map_built()) bench.BuildMap();
  for (auto _ : state) benchmark::DoNotOptimize(bench.Search());
  if (cudaGetLastError() != cudaSuccess) state.SkipWithError("search launch failed");
  state.counters["candidates/s"] = benchmark::Counter(
      static_cast<double>(bench.candidates_per_launch()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["per launch"] = bench.candidates_per_launch();
}
BENCHMARK(BM_DeviceFindPeach)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

}  // namespace
