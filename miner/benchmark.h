// --benchmark SECONDS: mining without a pool, on a job of the miner's own, to measure the
// selected devices and prove that what they find passes the CPU re-check.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CudaUtils.h"

namespace Kest {

struct RunOptions;
class MinerManCuda;

// The difficulty a benchmark starts at: one solution per 2^10 candidates, a few per device in
// a short run of the software device. A device whose solutions come faster than
// kBenchmarkSolutionsPerSecond (the CPU re-checks every one) makes the run raise the difficulty
// and start its measurement again.
constexpr uint8_t kBenchmarkDifficulty = 10;
constexpr double kBenchmarkSolutionsPerSecond = 40.0;
// A device that found no solution although at least this many were expected fails the run
// (the chance of that for a sound device is e^-20, about 2 in a billion).
constexpr double kBenchmarkMinExpected = 20.0;

// The figures of one device.
struct BenchmarkDevice {
  int32_t id = 0;  // CUDA device number
  std::string name;
  double map_build_s = -1.0;  // from the workers' start until its map was built; < 0: not built
  double candidates = 0.0;    // searched during the measurement
  double rate_hps = 0.0;      // candidates per second of the measurement
  uint64_t good = 0;          // solutions that passed the CPU re-check (the whole run)
  uint64_t bad = 0;           // solutions that failed it
  double expected = 0.0;      // solutions expected from the candidates of the measurement
  std::string stopped;        // why the device stopped; empty when it did not
};

// The figures of a run.
struct BenchmarkResult {
  double seconds = 0.0;      // length of the measurement (0 when it never began)
  uint8_t difficulty = 0;    // difficulty of the measurement
  bool ended_early = false;  // 'q' or a signal ended it before its time
  std::vector<BenchmarkDevice> devices;
};

// Whether a device passed: no failed re-check, not stopped, and not without a solution where
// at least kBenchmarkMinExpected were expected.
bool BenchmarkDevicePassed(const BenchmarkDevice& device);
// Whether every device passed (and there was at least one).
bool BenchmarkPassed(const BenchmarkResult& result);

// The result lines (one per device, then the total), each with its line end.
std::string BenchmarkReport(const BenchmarkResult& result);
// The same figures as one JSON object on one line, with its line end.
std::string BenchmarkJson(const BenchmarkResult& result);

// Runs the benchmark of `options` (benchmark_s, benchmark_trailer, json) on the selected
// devices: sets them up, builds the map on each, searches for benchmark_s seconds once every
// map is built, prints the figures (and the JSON line) and returns the exit status: 0 when every
// device passed, 1 when one did not, kExitNoUsableDevice when none could be set up. 'q' and
// termination signals (through `exit_flag`) end it early with the figures so far.
// `after_init` runs once the devices are set up (GPU settings, like a normal run).
int RunBenchmark(const RunOptions& options, int32_t& num_dev,
                 std::vector<std::shared_ptr<DevConfig>>& devices, std::atomic<bool>& exit_flag,
                 const std::function<void(MinerManCuda&)>& after_init = {});

}  // namespace Kest
