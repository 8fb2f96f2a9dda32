// plo-gpu-check: checks the device module on a real GPU against the CPU proof of work, then
// measures the search rate. Needs only the CUDA toolkit (no test framework).
//
//   plo-gpu-check [--device D] [--bench-seconds S] [--seed N]
//
// Checks: launch geometry; map tiles against generate_tile; the solutions of both search paths
// (classic and staged) against the CPU walk (none missed, none extra) and against each other,
// the solution counter and the result ring of each; the batch hash entry points against the CPU
// hash code. Then one search benchmark of S seconds (default 45) per path, launches back to back
// with a counter read-back after each, as the miner's worker does, and the ratio of their rates.
// Prints PASS or FAIL per check; exits 0 when every check passed, 1 when one failed, and 77
// (skip) when there is no GPU.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/records.h"
#include "gpu/peach_kernels.h"
#include "gpu/plogpu.h"
#include "gpu/runtime.h"
#include "gpu/second_half.h"
#include "miner/seed.h"
#include "pow/blake2b.h"
#include "pow/keccak.h"
#include "pow/md2.h"
#include "pow/md5.h"
#include "pow/peach.h"
#include "pow/sha1.h"
#include "pow/sha256.h"

namespace {

constexpr int kExitPass = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSkip = 77;

constexpr double kDefaultBenchSeconds = 45;  // per search path
constexpr double kProgressSeconds = 10;
constexpr uint32_t kDefaultSeed = 20240607;
constexpr uint32_t kSampledTiles = 256;
constexpr uint32_t kSearchBlockThreads = 256;
constexpr uint32_t kSearchRangeCandidates = 8192;
constexpr uint8_t kBenchDifficulty = 24;
constexpr int kMaxMismatchReports = 5;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Options {
  int device = 0;
  double bench_seconds = kDefaultBenchSeconds;
  uint32_t seed = kDefaultSeed;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    char* end = nullptr;
    if (arg == "--device") {
      options->device = static_cast<int>(std::strtol(value, &end, 10));
    } else if (arg == "--bench-seconds") {
      options->bench_seconds = std::strtod(value, &end);
    } else if (arg == "--seed") {
      options->seed = static_cast<uint32_t>(std::strtoul(value, &end, 10));
    } else {
      return false;
    }
    if (end == value || *end != '\0') return false;
  }
  return options->device >= 0 && options->bench_seconds >= 0;
}

// Runs body(i) for i in [0, count) on every CPU thread.
void ParallelFor(uint32_t count, const std::function<void(uint32_t)>& body) {
  const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  std::atomic<uint32_t> next{0};
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < workers; ++w) {
    threads.emplace_back([&] {
      for (uint32_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) body(i);
    });
  }
  for (auto& t : threads) t.join();
}

std::string Hex(const uint8_t* p, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

using Half = std::vector<uint8_t>;

Half SecondHalf(uint32_t index) {
  Half h(Kest::gpu::kHalfLength);
  cuda_second_half(index, h.data());
  return h;
}

// Results of the checks, printed at the end.
class Report {
 public:
  void Record(const std::string& name, bool passed, const std::string& detail) {
    std::printf("%s %s%s%s\n", passed ? "PASS" : "FAIL", name.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
    results_.push_back({name, passed});
  }
  bool AllPassed() const {
    return std::all_of(results_.begin(), results_.end(), [](const auto& r) { return r.second; });
  }
  void Summary() const {
    std::printf("\n== Summary\n");
    for (const auto& r : results_)
      std::printf("  %s  %s\n", r.second ? "PASS" : "FAIL", r.first.c_str());
    std::fflush(stdout);
  }

 private:
  std::vector<std::pair<std::string, bool>> results_;
};

bool CheckCuda(Report& report, const char* what) {
  const cudaError_t error = cudaGetLastError();
  if (error == cudaSuccess) return true;
  report.Record(what, false, std::string("runtime error: ") + cudaGetErrorString(error));
  return false;
}

// Device buffers of the search: the map, the counter and the mapped ring.
struct Device {
  cudaStream_t stream = nullptr;
  uint8_t* map = nullptr;
  uint32_t* counter = nullptr;
  uint8_t* ring_host = nullptr;
  uint8_t* ring_device = nullptr;
  int blocks = 0;
  int threads = 0;
  int map_blocks = 0;
  int staged_blocks = 0;
  int staged_threads = 0;
  Kest::StagedSearchBuffers* staged = nullptr;  // owned by main

  uint32_t Counter() const {
    uint32_t c = 0;
    cudaMemcpyAsync(&c, counter, sizeof c, cudaMemcpyDeviceToHost, stream);
    cudaStreamSynchronize(stream);
    return c;
  }
  void SetCounter(uint32_t c) const {
    cudaMemcpyAsync(counter, &c, sizeof c, cudaMemcpyHostToDevice, stream);
    cudaStreamSynchronize(stream);
  }
  Half Slot(uint32_t sequence) const {
    const uint8_t* p =
        ring_host + std::size_t{sequence % Kest::kResultSlots} * Kest::kResultSlotBytes;
    return Half(p, p + Kest::kResultSlotBytes);
  }
  void Search(Kest::SearchPath path, uint32_t offset, unsigned grid, unsigned block) const {
    Kest::LaunchSearch(path, *staged, grid, block, stream, offset, map, counter, ring_device);
    cudaStreamSynchronize(stream);
  }
};

void UploadJob(const Device& dev, const BTRAILER& bt, uint8_t difficulty) {
  SHA256_CTX midstate;
  sha256_init(&midstate);
  sha256_update(&midstate, &bt, Kest::kSecondHalfOffset);
  Kest::UploadJobConstants(dev.stream, difficulty, reinterpret_cast<const uint8_t*>(&bt), midstate);
  cudaStreamSynchronize(dev.stream);
}

BTRAILER MakeJob(uint32_t seed) {
  std::mt19937 rng(seed);
  BTRAILER bt;
  auto* bytes = reinterpret_cast<uint8_t*>(&bt);
  for (std::size_t i = 0; i < sizeof bt; ++i) bytes[i] = static_cast<uint8_t>(rng());
  auto draws = Kest::VarnRand::FromSeed(seed);
  Kest::trigg_gen(bt.nonce, *draws);
  std::memset(bt.nonce + Kest::gpu::kHalfLength, 0, Kest::gpu::kHalfLength);
  return bt;
}

// ---------------------------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------------------------

bool SetUp(Report& report, Device* dev) {
  cudaError_t status = Kest::FindPeachGeometry(&dev->blocks, &dev->threads);
  if (status == cudaSuccess) status = Kest::BuildMapGeometry(&dev->map_blocks);
  if (status == cudaSuccess) {
    status =
        Kest::SearchGeometry(Kest::SearchPath::kStaged, &dev->staged_blocks, &dev->staged_threads);
  }
  if (status != cudaSuccess || dev->blocks <= 0 || dev->threads <= 0 || dev->map_blocks <= 0 ||
      dev->staged_blocks <= 0 || dev->staged_threads <= 0) {
    report.Record("geometry", false,
                  status != cudaSuccess ? cudaGetErrorString(status) : "empty geometry");
    cudaGetLastError();
    return false;
  }
  std::printf("Auto calc: numblock: %d numthread: %d \n", dev->blocks, dev->threads);
  std::printf("map build grid: %d blocks of %u threads\n", dev->map_blocks,
              Kest::kBuildMapBlockThreads);
  std::printf("staged search batch: %d blocks of %d threads\n", dev->staged_blocks,
              dev->staged_threads);
  report.Record("geometry", true, "");

  cudaStreamCreate(&dev->stream);
  cudaMalloc(reinterpret_cast<void**>(&dev->map), Kest::kMapBytes);
  cudaMalloc(reinterpret_cast<void**>(&dev->counter), sizeof(uint32_t));
  cudaMemset(dev->counter, 0, sizeof(uint32_t));
  cudaHostAlloc(reinterpret_cast<void**>(&dev->ring_host), Kest::kResultRingBytes,
                cudaHostAllocMapped);
  if (dev->ring_host != nullptr) {
    std::memset(dev->ring_host, 0, Kest::kResultRingBytes);
    cudaHostGetDevicePointer(reinterpret_cast<void**>(&dev->ring_device), dev->ring_host, 0);
  }
  const uint32_t batch =
      static_cast<uint32_t>(dev->staged_blocks) * static_cast<uint32_t>(dev->staged_threads);
  const cudaError_t staged = dev->staged->Allocate(std::max(batch, kSearchRangeCandidates));
  cudaDeviceSynchronize();
  if (staged != cudaSuccess) {
    report.Record("allocation", false, cudaGetErrorString(staged));
    return false;
  }
  return CheckCuda(report, "allocation");
}

// Builds the whole map the way the worker does and times it.
// Cycles of one multiprocessor per item at `rate` items per second over the whole device, at the
// device's rated clock: the unit of the simulator's figures (scripts/gpusim.sh). 0 where the
// device has no clock (the software device).
double CyclesPerItemPerMultiprocessor(double rate) {
#if defined(KEST_CUDA)
  int device = 0, khz = 0, sms = 0;
  if (rate <= 0 || cudaGetDevice(&device) != cudaSuccess ||
      cudaDeviceGetAttribute(&khz, cudaDevAttrClockRate, device) != cudaSuccess ||
      cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, device) != cudaSuccess) {
    return 0;
  }
  return static_cast<double>(sms) * khz * 1000.0 / rate;
#else
  static_cast<void>(rate);
  return 0;
#endif
}

bool BuildMap(Report& report, const Device& dev) {
  const auto start = Clock::now();
  const uint32_t step = static_cast<uint32_t>(dev.map_blocks) * Kest::kBuildMapBlockThreads;
  int launches = 0;
  for (uint32_t offset = 0; offset < Kest::kMapTiles; offset += step, ++launches) {
    Kest::LaunchBuildMap(static_cast<unsigned>(dev.map_blocks), dev.stream, offset, dev.map);
  }
  cudaStreamSynchronize(dev.stream);
  const double seconds = Seconds(start);
  if (!CheckCuda(report, "map build")) return false;
  char detail[160];
  const double cycles = CyclesPerItemPerMultiprocessor(Kest::kMapTiles / seconds);
  if (cycles > 0) {
    std::snprintf(detail, sizeof detail,
                  "%d launches, %.3f s, %.0f cycles per tile per multiprocessor", launches, seconds,
                  cycles);
  } else {
    std::snprintf(detail, sizeof detail, "%d launches, %.3f s", launches, seconds);
  }
  report.Record("map build", true, detail);
  return true;
}

void CheckMapTiles(Report& report, const Device& dev, const BTRAILER& job, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> indices = {0, 1, Kest::kMapTiles - 2, Kest::kMapTiles - 1};
  while (indices.size() < kSampledTiles) indices.push_back(rng() % Kest::kMapTiles);
  std::vector<uint8_t> device_tiles(indices.size() * PEACH_TILE_LENGTH);
  for (std::size_t k = 0; k < indices.size(); ++k) {
    cudaMemcpy(device_tiles.data() + k * PEACH_TILE_LENGTH,
               dev.map + std::size_t{indices[k]} * PEACH_TILE_LENGTH, PEACH_TILE_LENGTH,
               cudaMemcpyDeviceToHost);
  }
  if (!CheckCuda(report, "map tiles")) return;
  std::vector<uint8_t> same(indices.size(), 0);
  ParallelFor(static_cast<uint32_t>(indices.size()), [&](uint32_t k) {
    uint8_t tile[PEACH_TILE_LENGTH];
    uint8_t* p = tile;
    generate_tile(&p, static_cast<int32_t>(indices[k]), &job, nullptr);
    same[k] = std::memcmp(tile, device_tiles.data() + std::size_t{k} * PEACH_TILE_LENGTH,
                          PEACH_TILE_LENGTH) == 0;
  });
  std::string bad;
  int mismatches = 0;
  for (std::size_t k = 0; k < indices.size(); ++k) {
    if (same[k]) continue;
    if (++mismatches <= kMaxMismatchReports) bad += " " + std::to_string(indices[k]);
  }
  report.Record("map tiles vs generate_tile", mismatches == 0,
                std::to_string(indices.size()) + " tiles" +
                    (mismatches ? ", " + std::to_string(mismatches) + " differ:" + bad : ""));
}

// Search ranges: candidate indices offset .. offset + count - 1, launched in blocks of 256.
struct Range {
  uint32_t offset;
  uint32_t count;
};

void CheckSearch(Report& report, const Device& dev, const BTRAILER& job) {
  // The worker's first launches, the top of its index space, and indices it never reaches.
  const uint32_t n = static_cast<uint32_t>(dev.blocks) * static_cast<uint32_t>(dev.threads);
  const std::vector<Range> ranges = {{n, kSearchRangeCandidates},
                                     {0x80000000u - kSearchRangeCandidates, kSearchRangeCandidates},
                                     {0xf8000000u, kSearchRangeCandidates}};
  std::vector<uint32_t> indices;
  for (const Range& r : ranges) {
    for (uint32_t k = 0; k < r.count; ++k) indices.push_back(r.offset + k);
  }
  std::vector<uint32_t> zeros(indices.size());
  const auto cpu_start = Clock::now();
  ParallelFor(static_cast<uint32_t>(indices.size()), [&](uint32_t k) {
    BTRAILER bt = job;
    cuda_second_half(indices[k], bt.nonce + Kest::gpu::kHalfLength);
    PeachWalk walk;
    peach_walk(&bt, &walk);
    zeros[k] = walk.zeros;
  });
  std::printf("CPU reference: %zu walks in %.2f s\n", indices.size(), Seconds(cpu_start));
  std::map<Half, uint32_t> index_of;
  for (const uint32_t index : indices) index_of[SecondHalf(index)] = index;

  for (const uint8_t difficulty : {uint8_t{5}, uint8_t{8}}) {
    std::set<uint32_t> classic_reported;
    for (const Kest::SearchPath path : {Kest::SearchPath::kClassic, Kest::SearchPath::kStaged}) {
      const std::string name = std::string(Kest::SearchPathName(path)) +
                               " search vs CPU at difficulty " + std::to_string(difficulty);
      UploadJob(dev, job, difficulty);
      std::set<uint32_t> expected;
      std::set<uint32_t> reported;
      int at_difficulty = 0;
      for (std::size_t k = 0; k < indices.size(); ++k) {
        if (zeros[k] >= difficulty) expected.insert(indices[k]);
        if (zeros[k] == difficulty) ++at_difficulty;
      }
      bool ring_ok = true;
      for (const Range& r : ranges) {
        const uint32_t before = dev.Counter();
        dev.Search(path, r.offset, r.count / kSearchBlockThreads, kSearchBlockThreads);
        const uint32_t after = dev.Counter();
        if (after - before > Kest::kResultSlots) ring_ok = false;
        for (uint32_t s = before; s != after; ++s) {
          const auto it = index_of.find(dev.Slot(s));
          if (it == index_of.end()) {
            ring_ok = false;
          } else {
            reported.insert(it->second);
          }
        }
      }
      if (!CheckCuda(report, name.c_str())) return;
      std::vector<uint32_t> missed;
      std::vector<uint32_t> extra;
      std::set_difference(expected.begin(), expected.end(), reported.begin(), reported.end(),
                          std::back_inserter(missed));
      std::set_difference(reported.begin(), reported.end(), expected.begin(), expected.end(),
                          std::back_inserter(extra));
      // What the mining manager does with every reported half: the CPU check accepts it.
      std::atomic<int> rejected{0};
      const std::vector<uint32_t> found(reported.begin(), reported.end());
      ParallelFor(static_cast<uint32_t>(found.size()), [&](uint32_t k) {
        BTRAILER bt = job;
        cuda_second_half(found[k], bt.nonce + Kest::gpu::kHalfLength);
        if (peach(&bt, difficulty, nullptr) != 0) ++rejected;
      });
      char detail[256];
      std::snprintf(detail, sizeof detail,
                    "%zu candidates, %zu solutions expected (%d exactly at the difficulty), %zu "
                    "reported, %zu missed, %zu extra, %d rejected by peach%s",
                    indices.size(), expected.size(), at_difficulty, reported.size(), missed.size(),
                    extra.size(), rejected.load(), ring_ok ? "" : ", unknown halves in the ring");
      report.Record(
          name, missed.empty() && extra.empty() && rejected == 0 && ring_ok && at_difficulty > 0,
          detail);
      if (path == Kest::SearchPath::kClassic) {
        classic_reported = reported;
      } else {
        report.Record("staged = classic solution set at difficulty " + std::to_string(difficulty),
                      reported == classic_reported, "");
      }
    }
  }
}

void CheckRing(Report& report, const Device& dev, const BTRAILER& job, Kest::SearchPath path) {
  const std::string name = std::string(Kest::SearchPathName(path)) + " counter and ring";
  UploadJob(dev, job, 0);  // every candidate is a solution
  // The 1025th solution (sequence 1024) goes to slot 0.
  dev.SetCounter(Kest::kResultSlots - 1);
  dev.Search(path, 1000, 1, 1);
  const bool last_slot = dev.Slot(Kest::kResultSlots - 1) == SecondHalf(1000);
  dev.Search(path, 2000, 1, 1);
  const bool wrapped =
      dev.Slot(Kest::kResultSlots) == SecondHalf(2000) && dev.Counter() == Kest::kResultSlots + 1;
  // Two launches of 512 from sequence 768 fill all 1024 slots, across the wrap.
  dev.SetCounter(768);
  dev.Search(path, 5000, 2, 256);
  dev.Search(path, 900000, 2, 256);
  std::set<Half> expected;
  for (uint32_t k = 0; k < 512; ++k) {
    expected.insert(SecondHalf(5000 + k));
    expected.insert(SecondHalf(900000 + k));
  }
  std::set<Half> in_ring;
  for (uint32_t s = 0; s < Kest::kResultSlots; ++s) in_ring.insert(dev.Slot(s));
  const bool full = in_ring == expected && dev.Counter() == 768 + 1024;
  if (!CheckCuda(report, name.c_str())) return;
  report.Record(name, last_slot && wrapped && full,
                std::string(last_slot ? "" : "slot 1023 wrong; ") +
                    (wrapped ? "" : "slot 0 wrong; ") +
                    (full ? "" : "ring contents after the wrap wrong"));
}

// ---------------------------------------------------------------------------------------------
// Batch hashes
// ---------------------------------------------------------------------------------------------

using BatchFn = std::function<void(const uint8_t*, uint32_t, uint8_t*, uint32_t)>;
using CpuFn = std::function<void(const uint8_t*, uint32_t, uint8_t*)>;

template <class Ctx, void (*Init)(Ctx*), void (*Update)(Ctx*, const void*, size_t),
          void (*Final)(Ctx*, void*)>
void CpuHash(const uint8_t* in, uint32_t len, uint8_t* out) {
  Ctx ctx;
  Init(&ctx);
  Update(&ctx, in, len);
  Final(&ctx, out);
}

// Compares one batch entry point with the CPU over several lengths and counts.
bool CompareBatch(const BatchFn& batch, const CpuFn& cpu, uint32_t digest, std::mt19937& rng,
                  std::string* detail) {
  const uint32_t lengths[] = {0, 1, 55, 56, 64, 119, 128, 129, 136, 137, 1000};
  const uint32_t counts[] = {1, 257, 4096};
  for (const uint32_t len : lengths) {
    for (const uint32_t count : counts) {
      std::vector<uint8_t> in(std::size_t{len} * count);
      for (auto& b : in) b = static_cast<uint8_t>(rng());
      std::vector<uint8_t> out(std::size_t{digest} * count, 0xcd);
      batch(in.data(), len, out.data(), count);
      for (uint32_t k = 0; k < count; ++k) {
        std::vector<uint8_t> want(digest);
        cpu(in.data() + std::size_t{k} * len, len, want.data());
        if (std::memcmp(want.data(), out.data() + std::size_t{k} * digest, digest) != 0) {
          *detail = "length " + std::to_string(len) + ", item " + std::to_string(k) + " of " +
                    std::to_string(count) + " differs";
          return false;
        }
      }
    }
  }
  return true;
}

void CheckBatchHashes(Report& report, uint32_t seed) {
  std::mt19937 rng(seed);
  const uint8_t abc[] = {'a', 'b', 'c'};
  uint8_t out[64];
  plo_cuda_sha256_hash_batch(abc, 3, out, 1);
  const bool sha_vector =
      Hex(out, 32) == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  plo_cuda_keccak_hash_batch(abc, 0, out, 256, 1);
  const bool keccak_vector =
      Hex(out, 32) == "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470";
  uint8_t key[64];
  for (int i = 0; i < 64; ++i) key[i] = static_cast<uint8_t>(i);
  plo_cuda_blake2b_hash_batch(key, 64, abc, 0, out, 512, 1);
  const bool blake_vector = Hex(out, 64) ==
                            "10ebb67700b1868efb4417987acf4690ae9d972fb7a590c2f02871799aaa4786"
                            "b5e996e8f0f4eb981fc214b005f42d2ff4233499391653df7aefcbc13fc51568";
  report.Record("batch published vectors", sha_vector && keccak_vector && blake_vector,
                std::string(sha_vector ? "" : "sha256 ") + (keccak_vector ? "" : "keccak ") +
                    (blake_vector ? "" : "blake2b"));

  struct Family {
    std::string name;
    BatchFn batch;
    CpuFn cpu;
    uint32_t digest;
  };
  std::vector<Family> families = {
      {"md2", plo_cuda_md2_hash_batch, CpuHash<MD2_CTX, md2_init, md2_update, md2_final>, 16},
      {"md5", plo_cuda_md5_hash_batch, CpuHash<MD5_CTX, md5_init, md5_update, md5_final>, 16},
      {"sha1", plo_cuda_sha1_hash_batch, CpuHash<SHA1_CTX, sha1_init, sha1_update, sha1_final>, 20},
      {"sha256", plo_cuda_sha256_hash_batch,
       CpuHash<SHA256_CTX, sha256_init, sha256_update, sha256_final>, 32},
  };
  for (const uint32_t bits : {224u, 256u, 263u, 512u}) {
    const uint32_t digest = bits / 8;
    families.push_back({"keccak " + std::to_string(bits) + " bits",
                        [bits](const uint8_t* in, uint32_t len, uint8_t* o, uint32_t n) {
                          plo_cuda_keccak_hash_batch(in, len, o, bits, n);
                        },
                        [digest](const uint8_t* in, uint32_t len, uint8_t* o) {
                          keccak_ctx_t ctx;
                          keccak_init(&ctx, digest * 8);
                          keccak_update(&ctx, in, len);
                          keccak_final(&ctx, o);
                        },
                        digest});
  }
  struct KeyCase {
    std::vector<uint8_t> key;
    uint32_t bits;
  };
  std::vector<KeyCase> keys = {{std::vector<uint8_t>(32, 0x00), 256},
                               {std::vector<uint8_t>(64, 0x01), 256},
                               {std::vector<uint8_t>(1, 0x5a), 512},
                               {std::vector<uint8_t>(64), 160}};
  for (auto& b : keys.back().key) b = static_cast<uint8_t>(rng());
  for (const KeyCase& kc : keys) {
    const uint32_t digest = kc.bits / 8;
    families.push_back(
        {"blake2b key " + std::to_string(kc.key.size()) + " bytes, " + std::to_string(kc.bits) +
             " bits",
         [kc](const uint8_t* in, uint32_t len, uint8_t* o, uint32_t n) {
           plo_cuda_blake2b_hash_batch(kc.key.data(), static_cast<uint32_t>(kc.key.size()), in, len,
                                       o, kc.bits, n);
         },
         [kc](const uint8_t* in, uint32_t len, uint8_t* o) {
           blake2b_ctx_t ctx;
           blake2b_init(&ctx, kc.key.data(), static_cast<uint32_t>(kc.key.size()), kc.bits);
           blake2b_update(&ctx, in, len);
           blake2b_final(&ctx, o);
         },
         digest});
  }
  for (const Family& f : families) {
    std::string detail;
    const bool same = CompareBatch(f.batch, f.cpu, f.digest, rng, &detail);
    report.Record("batch " + f.name + " vs CPU", same, detail);
  }
}

// ---------------------------------------------------------------------------------------------
// Benchmark
// ---------------------------------------------------------------------------------------------

// Back-to-back search launches with a counter read-back after each, as the worker runs them,
// renewing the first half when the index space of one half is used up.
// Returns the candidates per second (0 when nothing was measured).
double Benchmark(Report& report, const Device& dev, Kest::SearchPath path, BTRAILER job,
                 double seconds, uint32_t seed) {
  if (seconds <= 0) return 0;
  const std::string name = std::string(Kest::SearchPathName(path)) + " search benchmark";
  auto draws = Kest::VarnRand::FromSeed(seed + 1);
  const bool staged = path == Kest::SearchPath::kStaged;
  const int blocks = staged ? dev.staged_blocks : dev.blocks;
  const int threads = staged ? dev.staged_threads : dev.threads;
  const uint32_t n = static_cast<uint32_t>(blocks) * static_cast<uint32_t>(threads);
  const int64_t limit = (int64_t{1} << 31) - 2 * int64_t{n};
  UploadJob(dev, job, kBenchDifficulty);
  std::printf("\n== Search benchmark (%s): %.0f s, %u candidates per launch, difficulty %d\n",
              Kest::SearchPathName(path), seconds, n, kBenchDifficulty);
  std::fflush(stdout);

  uint32_t offset = 0;
  double candidates = 0;
  uint64_t launches = 0;
  uint32_t renewals = 0;
  const auto start = Clock::now();
  auto last_print = start;
  double last_candidates = 0;
  while (Seconds(start) < seconds) {
    if (int64_t{offset} >= limit) {
      Kest::trigg_gen(job.nonce, *draws);
      SHA256_CTX midstate;
      sha256_init(&midstate);
      sha256_update(&midstate, &job, Kest::kSecondHalfOffset);
      Kest::UploadNonceConstants(dev.stream, reinterpret_cast<const uint8_t*>(&job), midstate);
      offset = 0;
      ++renewals;
    }
    offset += n;
    Kest::LaunchSearch(path, *dev.staged, static_cast<unsigned>(blocks),
                       static_cast<unsigned>(threads), dev.stream, offset, dev.map, dev.counter,
                       dev.ring_device);
    uint32_t count = 0;
    cudaMemcpyAsync(&count, dev.counter, sizeof count, cudaMemcpyDeviceToHost, dev.stream);
    cudaStreamSynchronize(dev.stream);
    candidates += n;
    ++launches;
    const double since = std::chrono::duration<double>(Clock::now() - last_print).count();
    if (since >= kProgressSeconds) {
      std::printf("  %6.1f s: %.4g candidates/s\n", Seconds(start),
                  (candidates - last_candidates) / since);
      std::fflush(stdout);
      last_print = Clock::now();
      last_candidates = candidates;
    }
  }
  const double elapsed = Seconds(start);
  if (!CheckCuda(report, name.c_str())) return 0;
  char detail[256];
  std::snprintf(detail, sizeof detail,
                "%.4g candidates/s (%.0f candidates in %.1f s, %llu launches, %.2f ms per launch, "
                "%u first-half renewals)",
                candidates / elapsed, candidates, elapsed,
                static_cast<unsigned long long>(launches),
                1000.0 * elapsed / static_cast<double>(launches), renewals);
  report.Record(name, true, detail);
  return candidates / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: %s [--device D] [--bench-seconds S] [--seed N]\n", argv[0]);
    return kExitUsage;
  }
  int count = 0;
  const cudaError_t status = cudaGetDeviceCount(&count);
  if (status != cudaSuccess || count == 0) {
    std::printf("SKIP: no GPU found (%s)\n",
                status != cudaSuccess ? cudaGetErrorString(status) : "no devices");
    return kExitSkip;
  }
  if (options.device >= count) {
    std::printf("SKIP: device %d not present (%d devices)\n", options.device, count);
    return kExitSkip;
  }
  cudaSetDevice(options.device);
  // As the miner sets its devices up: blocking synchronisation, mapped pinned memory.
  if (cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync | cudaDeviceMapHost) != cudaSuccess) {
    std::printf("note: device flags not set (%s)\n", cudaGetErrorString(cudaGetLastError()));
  }
  cudaDeviceProp prop{};
  cudaGetDeviceProperties(&prop, options.device);
  std::printf("== Device %d: %s, compute %d.%d, %d multiprocessors, %.1f GiB\n", options.device,
              prop.name, prop.major, prop.minor, prop.multiProcessorCount,
              static_cast<double>(prop.totalGlobalMem) / (1u << 30));
  std::fflush(stdout);

  Report report;
  Device dev;
  Kest::StagedSearchBuffers staged;
  dev.staged = &staged;
  const BTRAILER job = MakeJob(options.seed);
  if (SetUp(report, &dev)) {
    UploadJob(dev, job, 0);
    if (BuildMap(report, dev)) {
      CheckMapTiles(report, dev, job, options.seed);
      CheckSearch(report, dev, job);
      CheckRing(report, dev, job, Kest::SearchPath::kClassic);
      CheckRing(report, dev, job, Kest::SearchPath::kStaged);
      const double classic = Benchmark(report, dev, Kest::SearchPath::kClassic, job,
                                       options.bench_seconds, options.seed);
      const double staged_rate = Benchmark(report, dev, Kest::SearchPath::kStaged, job,
                                           options.bench_seconds, options.seed);
      if (classic > 0 && staged_rate > 0) {
        std::printf(
            "\n== Search rate: classic %.4g, staged %.4g candidates/s, staged/classic "
            "%.2f\n",
            classic, staged_rate, staged_rate / classic);
        const double classic_cycles = CyclesPerItemPerMultiprocessor(classic);
        if (classic_cycles > 0) {
          std::printf(
              "== Per multiprocessor at the rated clock: classic %.0f, staged %.0f cycles "
              "per candidate\n",
              classic_cycles, CyclesPerItemPerMultiprocessor(staged_rate));
        }
      }
    }
  }
  CheckBatchHashes(report, options.seed);
  report.Summary();
  return report.AllPassed() ? kExitPass : kExitFail;
}
