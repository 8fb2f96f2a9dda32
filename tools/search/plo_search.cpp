// plo-search: searches a range of candidate indices for one block trailer with a chosen search
// path of the device module, on device 0 (a GPU in the CUDA build, the software device
// otherwise).
//
//   plo-search --kernel classic|staged|both --trailer <320 hex digits> --difficulty D
//              --first N --count M
//
// Builds the tile map for the trailer, then searches candidates N .. N+M-1 (indices modulo
// 2^32): the nonce is trailer bytes 92..107 followed by the second half of the index, exactly
// as the miner's search forms it. Prints one line `solution <index> <32 hex digits of the
// second half>` per solution, sorted by index, then `candidates <M> seconds <s> rate <r>`
// (search time only, candidates per second). The map-build time goes to standard error.
// `--kernel both` builds the map once, runs classic and then staged, prints the solutions once
// when both found the same ones (else a `mismatch` line per difference, exit 1) and one
// candidates line per path, each followed by its path's name, then `ratio staged/classic <x>`.
// Exit status: 0 done, 1 a device error or a mismatch, 2 bad arguments.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/records.h"
#include "gpu/peach_kernels.h"
#include "gpu/runtime.h"
#include "gpu/second_half.h"
#include "tools/tool_args.h"
#include "gpu/word_tables.h"
#include "pow/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kUsageStatus = 2;
using Kest::tools::kTrailerHexDigits;
using Kest::tools::ParseNumber;
using Kest::tools::ParseTrailer;
constexpr uint32_t kHalf = Kest::gpu::kHalfLength;
// Launches are sized so that about this many solutions are expected from one of them, far
// below the ring's 1024 slots (a launch that overruns the ring is reported as an error).
constexpr uint64_t kExpectedSolutionsPerLaunch = 64;

struct Options {
  std::string kernel;
  BTRAILER trailer{};
  uint32_t difficulty = 0;
  uint32_t first = 0;
  uint64_t count = 0;
};

int Usage() {
  std::fprintf(stderr,
               "usage: plo-search --kernel classic|staged|both --trailer <%zu hex digits> "
               "--difficulty 0..255 --first 0..4294967295 --count 1..4294967296\n",
               kTrailerHexDigits);
  return kUsageStatus;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  if (argc != 11) return false;
  bool seen[5] = {};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    uint64_t n = 0;
    if (key == "--kernel" && !seen[0]) {
      o->kernel = value;
      if (o->kernel != "classic" && o->kernel != "staged" && o->kernel != "both") return false;
      seen[0] = true;
    } else if (key == "--trailer" && !seen[1]) {
      if (!ParseTrailer(value, &o->trailer)) return false;
      seen[1] = true;
    } else if (key == "--difficulty" && !seen[2]) {
      if (!ParseNumber(value, 0, 255, &n)) return false;
      o->difficulty = static_cast<uint32_t>(n);
      seen[2] = true;
    } else if (key == "--first" && !seen[3]) {
      if (!ParseNumber(value, 0, UINT32_MAX, &n)) return false;
      o->first = static_cast<uint32_t>(n);
      seen[3] = true;
    } else if (key == "--count" && !seen[4]) {
      if (!ParseNumber(value, 1, uint64_t{1} << 32, &o->count)) return false;
      seen[4] = true;
    } else {
      return false;
    }
  }
  return true;
}

// The candidate index whose second half is `half` (the generator is one-to-one), or false when
// no index gives it.
bool IndexOfHalf(const uint8_t* half, uint32_t* index) {
  const auto find = [](const uint8_t* table, uint32_t entries, uint8_t code, uint32_t* at) {
    for (uint32_t i = 0; i < entries; ++i) {
      if (table[i] == code) {
        *at = i;
        return true;
      }
    }
    return false;
  };
  namespace g = Kest::gpu;
  // Bit fields of the index, low to high: the generator's table look-ups (gpu/second_half.h).
  const struct {
    const uint8_t* table;
    uint32_t entries;
    uint32_t byte;
    uint32_t shift;
  } fields[] = {{g::kZIng, 16, 0, 0},   {g::kZPrep, 4, 1, 4},   {g::kZTime, 8, 2, 6},
                {g::kZMass, 16, 3, 9},  {g::kZMass, 16, 5, 13}, {g::kZIng, 16, 6, 17},
                {g::kZAdj, 64, 10, 21}, {g::kZNs, 32, 11, 27}};
  uint32_t value = 0;
  for (const auto& f : fields) {
    uint32_t at = 0;
    if (!find(f.table, f.entries, half[f.byte], &at)) return false;
    value |= at << f.shift;
  }
  uint8_t check[kHalf];
  cuda_second_half(value, check);
  if (std::memcmp(check, half, kHalf) != 0) return false;
  *index = value;
  return true;
}

bool Ok(const char* what) {
  const cudaError_t e = cudaGetLastError();
  if (e == cudaSuccess) return true;
  std::fprintf(stderr, "plo-search: %s: %s\n", what, cudaGetErrorString(e));
  return false;
}

struct Device {
  cudaStream_t stream = nullptr;
  uint8_t* map = nullptr;
  uint32_t* counter = nullptr;
  uint8_t* ring_host = nullptr;
  uint8_t* ring_device = nullptr;
  Kest::StagedSearchBuffers staged;

  bool SetUp() {
    cudaSetDevice(0);
    cudaStreamCreate(&stream);
    cudaMalloc(reinterpret_cast<void**>(&map), Kest::kMapBytes);
    cudaMalloc(reinterpret_cast<void**>(&counter), sizeof(uint32_t));
    cudaHostAlloc(reinterpret_cast<void**>(&ring_host), Kest::kResultRingBytes,
                  cudaHostAllocMapped);
    if (ring_host != nullptr) {
      cudaHostGetDevicePointer(reinterpret_cast<void**>(&ring_device), ring_host, 0);
    }
    return Ok("allocation") && map != nullptr && counter != nullptr && ring_device != nullptr;
  }

  uint32_t Counter() const {
    uint32_t c = 0;
    cudaMemcpyAsync(&c, counter, sizeof c, cudaMemcpyDeviceToHost, stream);
    cudaStreamSynchronize(stream);
    return c;
  }
};

void UploadJob(const Device& dev, const Options& o) {
  SHA256_CTX midstate;
  sha256_init(&midstate);
  sha256_update(&midstate, &o.trailer, Kest::kSecondHalfOffset);
  Kest::UploadJobConstants(dev.stream, static_cast<uint8_t>(o.difficulty),
                           reinterpret_cast<const uint8_t*>(&o.trailer), midstate);
}

// Builds the whole map for the trailer as the miner's worker does; returns the seconds it
// took, or < 0.
double BuildMap(const Device& dev, const Options& o) {
  UploadJob(dev, o);
  int blocks = 0;
  if (Kest::BuildMapGeometry(&blocks) != cudaSuccess || blocks <= 0) return -1;
  const auto start = Clock::now();
  const uint32_t step = static_cast<uint32_t>(blocks) * Kest::kBuildMapBlockThreads;
  for (uint32_t offset = 0; offset < Kest::kMapTiles; offset += step) {
    Kest::LaunchBuildMap(static_cast<unsigned>(blocks), dev.stream, offset, dev.map);
  }
  cudaStreamSynchronize(dev.stream);
  if (!Ok("map build")) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Result {
  std::vector<uint32_t> solutions;  // sorted
  double seconds = 0;
};

// Searches the range with one path; false on a device error or a ring overrun.
bool Search(Device& dev, Kest::SearchPath path, const Options& o, Result* result) {
  int blocks = 0, threads = 0;
  if (Kest::SearchGeometry(path, &blocks, &threads) != cudaSuccess || blocks <= 0 || threads <= 0) {
    std::fprintf(stderr, "plo-search: no launch geometry\n");
    return false;
  }
  // Launch size: the path's batch, cut down to keep the expected solutions per launch low.
  uint64_t batch = uint64_t{static_cast<uint32_t>(blocks)} * static_cast<uint32_t>(threads);
  const uint64_t by_difficulty =
      o.difficulty >= 40 ? batch : kExpectedSolutionsPerLaunch << o.difficulty;
  batch = std::max<uint64_t>(static_cast<uint64_t>(threads), std::min(batch, by_difficulty));
  if (path == Kest::SearchPath::kStaged && dev.staged.capacity() < batch) {
    if (dev.staged.Allocate(static_cast<uint32_t>(batch)) != cudaSuccess) {
      std::fprintf(stderr, "plo-search: cannot allocate the staged buffers\n");
      return false;
    }
  }

  UploadJob(dev, o);
  cudaMemsetAsync(dev.counter, 0, sizeof(uint32_t), dev.stream);
  cudaStreamSynchronize(dev.stream);
  if (!Ok("job upload")) return false;

  std::vector<uint32_t> found;
  uint32_t seen = 0;
  const auto start = Clock::now();
  for (uint64_t done = 0; done < o.count;) {
    const uint64_t n = std::min(batch, o.count - done);
    const uint32_t offset = o.first + static_cast<uint32_t>(done);
    // Whole blocks of `threads`, then one block with the rest.
    const uint64_t whole = n / static_cast<uint32_t>(threads);
    const uint32_t rest = static_cast<uint32_t>(n % static_cast<uint32_t>(threads));
    if (whole > 0) {
      Kest::LaunchSearch(path, dev.staged, static_cast<unsigned>(whole),
                         static_cast<unsigned>(threads), dev.stream, offset, dev.map, dev.counter,
                         dev.ring_device);
    }
    if (rest > 0) {
      Kest::LaunchSearch(path, dev.staged, 1, rest, dev.stream,
                         offset + static_cast<uint32_t>(whole * static_cast<uint32_t>(threads)),
                         dev.map, dev.counter, dev.ring_device);
    }
    const uint32_t now = dev.Counter();
    if (!Ok("search")) return false;
    if (now - seen > Kest::kResultSlots) {
      std::fprintf(stderr, "plo-search: %u solutions in one launch overran the ring\n", now - seen);
      return false;
    }
    for (uint32_t s = seen; s != now; ++s) {
      const uint8_t* half = dev.ring_host + std::size_t{s % Kest::kResultSlots} * kHalf;
      uint32_t index = 0;
      if (!IndexOfHalf(half, &index)) {
        std::fprintf(stderr, "plo-search: the ring holds a half no index gives\n");
        return false;
      }
      found.push_back(index);
    }
    seen = now;
    done += n;
  }
  result->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(found.begin(), found.end());
  result->solutions = std::move(found);
  return true;
}

void PrintSolutions(const std::vector<uint32_t>& solutions) {
  for (const uint32_t index : solutions) {
    uint8_t half[kHalf];
    cuda_second_half(index, half);
    std::printf("solution %u ", index);
    for (const uint8_t b : half) std::printf("%02x", b);
    std::printf("\n");
  }
}

void PrintRate(uint64_t count, const Result& r, const char* suffix) {
  std::printf("candidates %llu seconds %.3f rate %.1f%s\n", static_cast<unsigned long long>(count),
              r.seconds, r.seconds > 0 ? static_cast<double>(count) / r.seconds : 0.0, suffix);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return Usage();

  Device dev;
  if (!dev.SetUp()) return 1;
  const double map_seconds = BuildMap(dev, o);
  if (map_seconds < 0) return 1;
  std::fprintf(stderr, "map built in %.1f s\n", map_seconds);

  if (o.kernel != "both") {
    const Kest::SearchPath path =
        o.kernel == "staged" ? Kest::SearchPath::kStaged : Kest::SearchPath::kClassic;
    Result r;
    if (!Search(dev, path, o, &r)) return 1;
    PrintSolutions(r.solutions);
    PrintRate(o.count, r, "");
    return 0;
  }

  Result classic, staged;
  if (!Search(dev, Kest::SearchPath::kClassic, o, &classic)) return 1;
  if (!Search(dev, Kest::SearchPath::kStaged, o, &staged)) return 1;
  int status = 0;
  if (classic.solutions == staged.solutions) {
    PrintSolutions(classic.solutions);
  } else {
    std::vector<uint32_t> only_classic, only_staged;
    std::set_difference(classic.solutions.begin(), classic.solutions.end(),
                        staged.solutions.begin(), staged.solutions.end(),
                        std::back_inserter(only_classic));
    std::set_difference(staged.solutions.begin(), staged.solutions.end(), classic.solutions.begin(),
                        classic.solutions.end(), std::back_inserter(only_staged));
    for (const uint32_t i : only_classic) std::printf("mismatch %u classic only\n", i);
    for (const uint32_t i : only_staged) std::printf("mismatch %u staged only\n", i);
    status = 1;
  }
  PrintRate(o.count, classic, " classic");
  PrintRate(o.count, staged, " staged");
  std::printf("ratio staged/classic %.3f\n",
              staged.seconds > 0 ? classic.seconds / staged.seconds : 0.0);
  return status;
}
