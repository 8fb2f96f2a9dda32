#include "miner/benchmark.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "app/console.h"
#include "app/options.h"
#include "app/records.h"
#include "app/utils.h"
#include "miner/gpu_context.h"
#include "miner/miner_man.h"

namespace Kest {

namespace {

constexpr uint32_t kBuildPollMs = 10;    // map builds are timed to this
constexpr uint32_t kSearchPassMs = 200;  // as the normal supervision pass
constexpr double kRateLineEveryS = 5.0;
// A device's solution rate is judged once the measurement has run this long.
constexpr double kJudgeRateAfterS = 1.0;

using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Hex(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// The benchmark's job: the given trailer (checked by the option parser) or a random one.
work MakeJob(const RunOptions& options) {
  work job{};
  if (options.benchmark_trailer && options.benchmark_trailer->size() == 2 * kTrailerSize) {
    const std::string& text = *options.benchmark_trailer;
    for (size_t i = 0; i < kTrailerSize; ++i) {
      const int hi = HexValue(text[2 * i]);
      const int lo = HexValue(text[2 * i + 1]);
      job.decoded[i] = static_cast<uint8_t>((hi < 0 ? 0 : hi) << 4 | (lo < 0 ? 0 : lo));
    }
  } else {
    std::random_device seed;
    std::mt19937_64 rng((uint64_t{seed()} << 32) ^ seed());
    for (size_t i = 0; i < kTrailerSize; ++i) job.decoded[i] = static_cast<uint8_t>(rng());
  }
  job.diff = kBenchmarkDifficulty;
  job.block = 1;
  return job;
}

std::string Verdict(const BenchmarkDevice& d) {
  if (!d.stopped.empty()) return "FAILED (stopped: " + d.stopped + ")";
  if (d.bad > 0) return "FAILED (solutions that fail the CPU re-check)";
  if (!BenchmarkDevicePassed(d)) {
    char text[96];
    std::snprintf(text, sizeof(text), "FAILED (no solution although %.1f were expected)",
                  d.expected);
    return text;
  }
  return "passed";
}

std::string Number(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, v);
  return text;
}

// What the pass callback, the solution sink and the 'i' key share (under `mutex`).
struct Run {
  std::mutex mutex;
  BenchmarkResult result;
  std::vector<int32_t> context;     // per result device: its context index in the manager
  std::vector<bool> seen_building;  // per result device: its map build was seen running
  std::vector<uint64_t> base;       // per result device: solutions before the measurement
  std::vector<double> interval;     // per result device: candidates since the last rate line
  bool measuring = false;
  bool deadline_reached = false;
  Clock::time_point start;         // the workers' start
  Clock::time_point measure_from;  // the measurement's start
  Clock::time_point interval_from;
};

// Candidates each device's worker counted since the last call.
void TakeCandidates(Run& run, MinerManCuda& miner) {
  for (size_t k = 0; k < run.result.devices.size(); ++k) {
    const double n = miner.Context(run.context[k]).hash_count.exchange(0.0);
    run.result.devices[k].candidates += n;
    run.interval[k] += n;
  }
}

// Devices whose worker has ended on its own. Called every pass while the workers run; once the
// exit flag is up every worker stops for the end of the miner, which is no failure.
void RecordStops(Run& run, MinerManCuda& miner, const std::atomic<bool>& exit_flag) {
  if (exit_flag.load()) return;
  for (size_t k = 0; k < run.result.devices.size(); ++k) {
    BenchmarkDevice& d = run.result.devices[k];
    cudaGpuContext& ctx = miner.Context(run.context[k]);
    if (d.stopped.empty() && ctx.state.load() == DeviceState::kStopped) {
      d.stopped = ctx.StateReason().empty() ? "stopped" : ctx.StateReason();
    }
  }
}

// The rates and expected solutions as of `now`.
void Settle(Run& run, Clock::time_point now) {
  if (!run.measuring) return;
  run.result.seconds = SecondsBetween(run.measure_from, now);
  for (BenchmarkDevice& d : run.result.devices) {
    d.rate_hps = run.result.seconds > 0.0 ? d.candidates / run.result.seconds : 0.0;
    d.expected = std::ldexp(d.candidates, -static_cast<int>(run.result.difficulty));
  }
}

void StartMeasurement(Run& run, MinerManCuda& miner, Clock::time_point now) {
  TakeCandidates(run, miner);  // what was searched before does not count
  for (size_t k = 0; k < run.result.devices.size(); ++k) {
    BenchmarkDevice& d = run.result.devices[k];
    d.candidates = 0.0;
    run.interval[k] = 0.0;
    run.base[k] = d.good + d.bad;
  }
  run.measuring = true;
  run.measure_from = now;
  run.interval_from = now;
}

// The pass while the maps are built: times each build; true once every device that has not
// stopped has its map (and one has).
bool MapsBuilt(Run& run, MinerManCuda& miner, Clock::time_point now) {
  bool all = true;
  bool any = false;
  for (size_t k = 0; k < run.result.devices.size(); ++k) {
    BenchmarkDevice& d = run.result.devices[k];
    cudaGpuContext& ctx = miner.Context(run.context[k]);
    const DeviceState state = ctx.state.load();
    if (d.map_build_s >= 0.0) {
      any = true;
      continue;
    }
    if (state == DeviceState::kStopped) continue;
    if (state == DeviceState::kBuildingMap) {
      run.seen_building[k] = true;
    } else if (run.seen_building[k] || ctx.hash_count.load() > 0.0) {
      d.map_build_s = SecondsBetween(run.start, now);
    }
    if (d.map_build_s < 0.0) all = false;
    any = any || d.map_build_s >= 0.0;
  }
  return all && any;
}

void PrintRateLine(Run& run, MinerManCuda& miner, Clock::time_point now) {
  const double span_ms = SecondsBetween(run.interval_from, now) * 1000.0;
  std::vector<DeviceRate> rates;
  for (size_t k = 0; k < run.result.devices.size(); ++k) {
    rates.push_back(DeviceRate{run.result.devices[k].id,
                               span_ms > 0.0 ? run.interval[k] / span_ms : 0.0,
                               miner.Context(run.context[k]).state.load()});
    run.interval[k] = 0.0;
  }
  run.interval_from = now;
  Print(MinerManCuda::HashRateLine(rates, nullptr));
}

// Raises the difficulty when a device finds more solutions per second than the CPU re-check
// is meant to take, so that the device's rate is not held back by it; true when it did.
bool RaiseDifficultyIfTooFast(Run& run, MinerManCuda& miner, work& job, int32_t contexts,
                              double elapsed) {
  if (elapsed < kJudgeRateAfterS || run.result.difficulty >= 255) return false;
  double fastest = 0.0;
  for (size_t k = 0; k < run.result.devices.size(); ++k) {
    const BenchmarkDevice& d = run.result.devices[k];
    fastest = std::max(fastest, static_cast<double>(d.good + d.bad - run.base[k]) / elapsed);
  }
  if (fastest <= kBenchmarkSolutionsPerSecond) return false;
  // Aim at a quarter of the limit; the rate seen may itself be held back by the re-check.
  const int raise = std::max(
      1, static_cast<int>(std::ceil(std::log2(fastest * 4 / kBenchmarkSolutionsPerSecond))));
  const int difficulty = std::min(255, run.result.difficulty + raise);
  Printf(
      "Benchmark: %.0f solutions/s on one device, more than the CPU re-check is meant to take; "
      "difficulty %u -> %d, measuring again\n",
      fastest, static_cast<unsigned>(run.result.difficulty), difficulty);
  job.diff = difficulty;
  // As for a new job from a pool: the workers are held while it is written.
  for (int32_t j = 0; j < contexts; ++j) miner.JobFlag(j).store(kJobHold);
  miner.DistributeJob(job);
  for (int32_t j = 0; j < contexts; ++j) miner.JobFlag(j).store(kJobNew);
  run.result.difficulty = static_cast<uint8_t>(difficulty);
  return true;
}

}  // namespace

bool BenchmarkDevicePassed(const BenchmarkDevice& d) {
  return d.stopped.empty() && d.bad == 0 && !(d.good == 0 && d.expected >= kBenchmarkMinExpected);
}

bool BenchmarkPassed(const BenchmarkResult& result) {
  if (result.devices.empty()) return false;
  return std::all_of(result.devices.begin(), result.devices.end(), BenchmarkDevicePassed);
}

std::string BenchmarkReport(const BenchmarkResult& r) {
  std::string out;
  double total = 0.0;
  uint64_t good = 0;
  uint64_t bad = 0;
  for (const BenchmarkDevice& d : r.devices) {
    const std::string map = d.map_build_s >= 0.0 ? "map built in " + Number(d.map_build_s, 1) + " s"
                                                 : std::string("map not built");
    out += "Benchmark: Device #" + std::to_string(d.id) + " " + d.name + ": " +
           RateText(d.rate_hps) + ", " + map + ", solutions: " + std::to_string(d.good) +
           " good, " + std::to_string(d.bad) + " bad (" + Number(d.expected, 1) +
           " expected): " + Verdict(d) + "\n";
    total += d.rate_hps;
    good += d.good;
    bad += d.bad;
  }
  out += "Benchmark: total " + RateText(total) + " over " + Number(r.seconds, 1) +
         " s at difficulty " + std::to_string(r.difficulty) + " on " +
         std::to_string(r.devices.size()) + " device(s); solutions: " + std::to_string(good) +
         " good, " + std::to_string(bad) + " bad" + (r.ended_early ? "; ended early" : "") + ": " +
         (BenchmarkPassed(r) ? "passed" : "FAILED") + "\n";
  return out;
}

std::string BenchmarkJson(const BenchmarkResult& r) {
  double total = 0.0;
  uint64_t good = 0;
  uint64_t bad = 0;
  std::string devices;
  for (const BenchmarkDevice& d : r.devices) {
    if (!devices.empty()) devices += ",";
    devices += "{\"id\":" + std::to_string(d.id) + ",\"name\":\"" + JsonEscape(d.name) +
               "\",\"map_build_s\":" + (d.map_build_s >= 0.0 ? Number(d.map_build_s, 3) : "null") +
               ",\"candidates\":" + Number(d.candidates, 0) +
               ",\"rate_hps\":" + Number(d.rate_hps, 1) + ",\"good\":" + std::to_string(d.good) +
               ",\"bad\":" + std::to_string(d.bad) + ",\"expected\":" + Number(d.expected, 2) +
               ",\"stopped\":\"" + JsonEscape(d.stopped) +
               "\",\"passed\":" + (BenchmarkDevicePassed(d) ? "true" : "false") + "}";
    total += d.rate_hps;
    good += d.good;
    bad += d.bad;
  }
  return "{\"seconds\":" + Number(r.seconds, 3) +
         ",\"difficulty\":" + std::to_string(r.difficulty) +
         ",\"ended_early\":" + (r.ended_early ? "true" : "false") +
         ",\"rate_hps\":" + Number(total, 1) + ",\"good\":" + std::to_string(good) +
         ",\"bad\":" + std::to_string(bad) +
         ",\"passed\":" + (BenchmarkPassed(r) ? "true" : "false") + ",\"devices\":[" + devices +
         "]}\n";
}

int RunBenchmark(const RunOptions& options, int32_t& num_dev,
                 std::vector<std::shared_ptr<DevConfig>>& devices, std::atomic<bool>& exit_flag,
                 const std::function<void(MinerManCuda&)>& after_init) {
  const double seconds = options.benchmark_s ? static_cast<double>(*options.benchmark_s) : 0.0;
  work job = MakeJob(options);
  Print("Benchmark job trailer: " + Hex(job.decoded, kTrailerSize) + "\n");

  std::shared_ptr<PoolApi> no_pool;
  auto miner = std::make_shared<MinerManCuda>(num_dev, no_pool, devices, exit_flag);
  Print("Starting init GPUs \n");
  if (!miner->InitGpu()) {
    Print("[FAIL]  Inits GPUs!!!\n");
    return kExitNoUsableDevice;
  }
  Print("[PASS]  Inits GPUs!!!\n");
  if (after_init) after_init(*miner);

  auto run = std::make_shared<Run>();
  run->result.difficulty = kBenchmarkDifficulty;
  const MinerStatus status = miner->Status();
  for (int32_t j = 0; j < num_dev; ++j) {
    cudaGpuContext& ctx = miner->Context(j);
    if (ctx.map == nullptr) continue;  // not set up: reported by InitGpu
    BenchmarkDevice d;
    d.id = ctx.device;
    for (const DeviceStatus& s : status.devices) {
      if (s.id == ctx.device) d.name = s.name;
    }
    run->result.devices.push_back(d);
    run->context.push_back(j);
  }
  run->seen_building.assign(run->context.size(), false);
  run->base.assign(run->context.size(), 0);
  run->interval.assign(run->context.size(), 0.0);

  miner->SetSolutionSink([run](int32_t device, bool good) {
    std::lock_guard<std::mutex> lock(run->mutex);
    for (BenchmarkDevice& d : run->result.devices) {
      if (d.id != device) continue;
      ++(good ? d.good : d.bad);
      break;
    }
  });
  // 'q' ends the run early, 'i' prints the figures so far. The thread may still wait for a key
  // when the process ends: it shares only what it holds a reference to.
  std::thread([run, &exit_flag] {
    RunKeyReceiver(
        [] {
          const int c = std::getchar();
          if (c == EOF) std::clearerr(stdin);
          return c;
        },
        [run] {
          std::lock_guard<std::mutex> lock(run->mutex);
          BenchmarkResult so_far = run->result;
          Print(BenchmarkReport(so_far));
        },
        exit_flag);
  }).detach();

  Printf("Benchmark: %u s of searching at difficulty %u once every map is built; no pool\n",
         options.benchmark_s ? *options.benchmark_s : 0u,
         static_cast<unsigned>(kBenchmarkDifficulty));
  run->start = Clock::now();
  const int mined = miner->RunJob(job, [&]() -> uint32_t {
    std::lock_guard<std::mutex> lock(run->mutex);
    const Clock::time_point now = Clock::now();
    RecordStops(*run, *miner, exit_flag);
    if (!run->measuring) {
      if (!MapsBuilt(*run, *miner, now)) return kBuildPollMs;
      Printf("Benchmark: every map is built; measuring for %.0f s\n", seconds);
      StartMeasurement(*run, *miner, now);
      return kSearchPassMs;
    }
    TakeCandidates(*run, *miner);
    const double elapsed = SecondsBetween(run->measure_from, now);
    if (elapsed >= seconds) {
      run->deadline_reached = true;
      return 0;
    }
    if (RaiseDifficultyIfTooFast(*run, *miner, job, num_dev, elapsed)) {
      StartMeasurement(*run, *miner, now);
      return kSearchPassMs;
    }
    if (SecondsBetween(run->interval_from, now) >= kRateLineEveryS)
      PrintRateLine(*run, *miner, now);
    Settle(*run, now);
    return kSearchPassMs;
  });

  BenchmarkResult result;
  {
    std::lock_guard<std::mutex> lock(run->mutex);
    // The workers have finished their last launches: those count, up to now.
    if (run->measuring) TakeCandidates(*run, *miner);
    run->result.ended_early = !run->deadline_reached && mined == 0;
    Settle(*run, Clock::now());
    result = run->result;
  }
  Print(BenchmarkReport(result));
  if (options.json) Print(BenchmarkJson(result));
  return BenchmarkPassed(result) ? 0 : 1;
}

}  // namespace Kest
