// The mining engine on the software device: solution handling, hash-rate lines and the job
// hand-over between the manager and a device worker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/CudaUtils.h"
#include "gpu/peach_kernels.h"
#include "gpu/second_half.h"
#include "gpu/softdevice/config.h"
#include "miner/gpu_context.h"
#include "miner/miner_man.h"
#include "miner/seed.h"
#include "miner/watchdog.h"
#include "app/monitor.h"
#include "pool/pool_api.h"
#include "subprocess.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using e2e::Count;

// A manager over one software device, with a facade that has no connection: submissions are
// printed as not sent and counted as nothing; re-check failures are counted.
class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    auto dev = std::make_shared<Kest::CudaDevConfig>();
    dev->name = "Software device";
    devices_.push_back(dev);
    pool_ = std::make_shared<Kest::PoolApi>("key", "pw", exit_,
                                            std::vector<std::string>{"stratum+tcp://x:1"});
    miner_ = std::make_unique<Kest::MinerManCuda>(count_, pool_, devices_, exit_);
    CaptureStdout();
    ASSERT_EQ(miner_->InitGpu(), 1);
    GetCapturedStdout();
  }

  // A job trailer in the context, and a valid first half from the generator. The map counts as
  // built from the trailer's previous-block hash, so a worker starts searching at once.
  void SetJob(uint8_t difficulty) {
    Kest::cudaGpuContext& ctx = miner_->Context(0);
    auto rng = Kest::VarnRand::FromSeed(12345);
    Kest::trigg_gen(first_half_, *rng);
    std::lock_guard<std::mutex> lock(ctx.job_mutex);
    for (size_t i = 0; i < sizeof(ctx.trailer); ++i) ctx.trailer[i] = static_cast<uint8_t>(i);
    ctx.difficulty = difficulty;
    ctx.generation = 1;
    std::memcpy(ctx.map_phash, ctx.trailer, sizeof(ctx.map_phash));
    ctx.map_built = true;
  }

  // The manager's side of a job switch: hold, a new job (same previous-block hash unless
  // `new_hash`), release.
  void SwitchJob(bool new_hash) {
    Kest::cudaGpuContext& ctx = miner_->Context(0);
    miner_->JobFlag(0).store(Kest::kJobHold);
    {
      std::lock_guard<std::mutex> lock(ctx.job_mutex);
      ++ctx.generation;
      ctx.trailer[40] = static_cast<uint8_t>(ctx.generation);
      if (new_hash) ctx.trailer[0] = static_cast<uint8_t>(ctx.generation);
    }
    miner_->JobFlag(0).store(Kest::kJobNew);
  }

  uint32_t Generation() {
    std::lock_guard<std::mutex> lock(miner_->Context(0).job_mutex);
    return miner_->Context(0).generation;
  }

  // Writes the second half of candidate `index` into ring slot `seq` mod 1024.
  void WriteSlot(uint32_t seq, uint32_t index) {
    cuda_second_half(index, miner_->Context(0).result_slots + (seq % 1024) * 16);
  }

  // Sets the device's solution counter, as the search kernel leaves it.
  void SetDeviceCount(uint32_t count) {
    cudaMemcpy(miner_->Context(0).dev_found_count, &count, sizeof(count), cudaMemcpyHostToDevice);
  }

  // Announces solutions up to sequence number `count` with the current first half, as the
  // worker does after a launch on the job in the context.
  void Announce(uint32_t count) {
    SetDeviceCount(count);
    Kest::cudaGpuContext& ctx = miner_->Context(0);
    Kest::Announcement a;
    std::memcpy(a.res.haiku, first_half_, 16);
    a.res.found_count = count;
    a.generation = Generation();
    {
      std::lock_guard<std::mutex> lock(ctx.queue_mutex);
      ctx.results.push_back(a);
    }
    Kest::StoreFoundCount(ctx.host_found_count, count);
  }

  std::atomic<bool> exit_{false};
  int32_t count_ = 1;
  Kest::DeviceList devices_;
  std::shared_ptr<Kest::PoolApi> pool_;
  std::unique_ptr<Kest::MinerManCuda> miner_;
  uint8_t first_half_[16] = {};
};

TEST_F(Engine, TwoSolutionsFromOneLaunchAreHandledInOnePass) {
  SetJob(0);  // difficulty 0: every syntactically valid nonce is a solution
  WriteSlot(0, 17);
  WriteSlot(1, 4000000000u);
  Announce(2);
  uint32_t consumed = 0;
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(consumed, 2u);
  EXPECT_EQ(Count(out, "Submitting shares\n"), 2) << out;
  EXPECT_NE(out.find("\nnonce 0\n"), std::string::npos);
  EXPECT_NE(out.find("\nnonce 1\n"), std::string::npos);
  // The nonce line lists the first half, then the second half, as unsigned decimals.
  std::string expected = "\nnonce 1\n";
  uint8_t second[16];
  cuda_second_half(4000000000u, second);
  for (uint8_t b : first_half_) expected += std::to_string(b) + " ";
  for (uint8_t b : second) expected += std::to_string(b) + " ";
  EXPECT_NE(out.find(expected + "\n"), std::string::npos) << out;

  // Nothing new: the next pass does nothing.
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(Engine, ACandidateFailingTheCpuCheckIsCountedAndNotSubmitted) {
  SetJob(0);
  std::memset(miner_->Context(0).result_slots, 0, 16);  // an all-NIL half fails the syntax check
  Announce(1);
  uint32_t consumed = 0;
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(Count(out, "CPU failed check\n"), 1) << out;
  EXPECT_EQ(Count(out, "Submitting shares"), 0);
  EXPECT_EQ(pool_->Shares().cpu_failed.load(), 1u);
  EXPECT_EQ(pool_->Shares().submitted.load(), 0u);
}

TEST_F(Engine, RingOverflowFetchesOnlyTheNewest1024) {
  SetJob(0);
  const uint32_t total = 1500;
  for (uint32_t seq = 0; seq < total; ++seq) WriteSlot(seq, seq * 7919u);
  Announce(total);
  uint32_t consumed = 0;
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(consumed, total);
  EXPECT_NE(out.find("Device #0: 476 solutions lost (overwritten in the 1024-slot result ring "
                     "before they were fetched)\n"),
            std::string::npos)
      << out.substr(out.size() - 300);
  // Every slot is fetched exactly once.
  EXPECT_EQ(Count(out, "\nnonce "), 1024);
  for (uint32_t s = 0; s < 1024; ++s) {
    EXPECT_EQ(Count(out, "\nnonce " + std::to_string(s) + "\n"), 1) << s;
  }
  EXPECT_EQ(Count(out, "Submitting shares\n"), 1024);
}

// The device kept searching after the announcement: a slot already written over by a later
// solution is reported lost, not re-checked against the wrong first half.
TEST_F(Engine, SlotsOverwrittenAfterTheAnnouncementAreLostNotFailed) {
  SetJob(0);
  WriteSlot(0, 5);
  WriteSlot(1, 6);
  Announce(2);
  SetDeviceCount(1025);  // solution 1024 has gone into slot 0 meanwhile
  uint32_t consumed = 0;
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(consumed, 2u);
  EXPECT_EQ(Count(out, "\nnonce "), 1) << out;
  EXPECT_NE(out.find("\nnonce 1\n"), std::string::npos);
  EXPECT_NE(out.find("Device #0: 1 solutions lost"), std::string::npos) << out;
  EXPECT_EQ(pool_->Shares().cpu_failed.load(), 0u);
}

// Announcements from several launches are all handled in one pass.
TEST_F(Engine, EveryQueuedAnnouncementIsHandledInOnePass) {
  SetJob(0);
  for (uint32_t seq = 0; seq < 5; ++seq) WriteSlot(seq, seq + 100);
  Announce(2);
  Announce(3);
  Announce(5);
  uint32_t consumed = 0;
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(consumed, 5u);
  EXPECT_EQ(Count(out, "Submitting shares\n"), 5) << out;
  std::lock_guard<std::mutex> lock(miner_->Context(0).queue_mutex);
  EXPECT_TRUE(miner_->Context(0).results.empty());
}

// Solutions announced for a job that has since been replaced are dropped unchecked and counted
// as stale; the same job sent again (after a reconnect) replaces nothing.
TEST_F(Engine, SolutionsOfAReplacedJobAreCountedStaleNotRechecked) {
  work job{};
  job.diff = 20;
  for (size_t i = 0; i < Kest::kTrailerSize; ++i) job.decoded[i] = static_cast<uint8_t>(i);
  miner_->DistributeJob(job);
  for (uint32_t seq = 0; seq < 4; ++seq) WriteSlot(seq, seq + 5);
  Announce(1);
  miner_->DistributeJob(job);
  uint32_t consumed = 0;
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(Count(out, "\nnonce 0\n"), 1) << out;
  EXPECT_EQ(pool_->Shares().stale_dropped.load(), 0u);

  Announce(3);
  job.decoded[50] ^= 1;  // a new job
  miner_->DistributeJob(job);
  Announce(4);
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  out = GetCapturedStdout();
  EXPECT_EQ(consumed, 4u);
  EXPECT_EQ(Count(out, "\nnonce "), 1) << out;
  EXPECT_EQ(Count(out, "\nnonce 3\n"), 1) << out;
  EXPECT_EQ(pool_->Shares().stale_dropped.load(), 2u);
  EXPECT_EQ(pool_->Shares().cpu_failed.load(), 2u);  // re-checked (an empty first half fails)
}

// Sequence numbers are compared by their difference: fetching goes on past 2^31 and 2^32.
TEST_F(Engine, SolutionCounterComparisonsWrap) {
  SetJob(0);
  for (const uint32_t start : {0x7FFFFFFEu, 0xFFFFFFFEu}) {
    for (uint32_t seq = start; seq != start + 3; ++seq) WriteSlot(seq, seq % 1000);
    uint32_t consumed = start;
    Announce(start + 3);
    CaptureStdout();
    miner_->ProcessSolutions(0, consumed);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(consumed, start + 3) << start;
    EXPECT_EQ(Count(out, "Submitting shares\n"), 3) << start << out;
  }
}

// Devices are set up one by one: one that fails is reported with its CUDA device number, keeps
// nothing allocated and is skipped; the others mine and every line names CUDA device numbers.
// With no usable device InitGpu fails.
TEST_F(Engine, DevicesAreSetUpIndependently) {
  Kest::swdev::Config config;
  config.device_count = 3;
  Kest::swdev::Configure(config);
  using Kest::swdev::Fault;
  // The second allocation on device 1 (its solution counter, after its 1 GiB map) fails.
  Kest::swdev::InjectFault(Fault{Fault::Kind::kMalloc, 2, 1, cudaErrorMemoryAllocation});
  devices_.clear();
  for (int32_t cuda : {2, 1, 0}) {
    auto dev = std::make_shared<Kest::CudaDevConfig>();
    dev->device_id = cuda;
    dev->cuda_device_index = cuda;
    devices_.push_back(dev);
  }
  count_ = 3;
  miner_ = std::make_unique<Kest::MinerManCuda>(count_, pool_, devices_, exit_);
  CaptureStdout();
  EXPECT_EQ(miner_->InitGpu(), 1);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(Count(out, "cannot set up"), 1) << out;
  EXPECT_NE(out.find("Device #1: cannot set up the solution counter ("), std::string::npos) << out;
  EXPECT_NE(miner_->Context(0).map, nullptr);
  EXPECT_EQ(miner_->Context(1).map, nullptr);
  EXPECT_NE(miner_->Context(2).map, nullptr);
  size_t free = 0;
  size_t total = 0;
  cudaSetDevice(1);
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(free, total) << "the failed device's map was not freed";

  SetJob(0);  // position 0 is CUDA device 2
  WriteSlot(0, 5);
  WriteSlot(1, 6);
  Announce(2);
  SetDeviceCount(1025);
  uint32_t consumed = 0;
  CaptureStdout();
  miner_->ProcessSolutions(0, consumed);
  miner_->ReportHashRate();
  out = GetCapturedStdout();
  EXPECT_NE(out.find("Device #2: 1 solutions lost"), std::string::npos) << out;
  EXPECT_NE(out.find("Device #2: 0.00 KHs |Device #0: 0.00 KHs | Total: 0.00 KHs\n"),
            std::string::npos)
      << out;

  Kest::swdev::ClearFaults();
  Kest::swdev::InjectFault(Fault{Fault::Kind::kMalloc, 0, -1, cudaErrorMemoryAllocation});
  Kest::MinerManCuda none(count_, pool_, devices_, exit_);
  CaptureStdout();
  EXPECT_EQ(none.InitGpu(), 0);
  EXPECT_EQ(Count(GetCapturedStdout(), "cannot set up the 1 GiB tile map"), 3);

  Kest::swdev::ClearFaults();
  for (int d : {0, 1, 2}) {
    cudaSetDevice(d);
    cudaDeviceReset();
  }
  cudaSetDevice(0);
  Kest::swdev::Configure(Kest::swdev::Config{});
}

TEST_F(Engine, CounterAheadOfTheQueueEndsTheProcessWithStatus1) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  SetJob(0);
  Kest::StoreFoundCount(miner_->Context(0).host_found_count, 3);
  uint32_t consumed = 0;
  EXPECT_EXIT(miner_->ProcessSolutions(0, consumed), testing::ExitedWithCode(1), "");
}

TEST(HashRateLine, KiloAndMegaHashes) {
  float total = 0;
  EXPECT_EQ(Kest::MinerManCuda::HashRateLine({}, &total), " Total: 0.00 KHs\n");
  EXPECT_EQ(Kest::MinerManCuda::HashRateLine({{0, 12.345}, {3, 0.5}}, &total),
            "Device #0: 12.35 KHs |Device #3: 0.50 KHs | Total: 12.85 KHs\n");
  EXPECT_FLOAT_EQ(total, 12.845f);
  EXPECT_EQ(Kest::MinerManCuda::HashRateLine({{0, 400.0}, {1, 600.0}}, &total),
            "Device #0: 400.00 KHs |Device #1: 600.00 KHs | Total: 1000.00 KHs\n");
  EXPECT_EQ(Kest::MinerManCuda::HashRateLine({{0, 400.0}, {1, 600.5}}, &total),
            "Device #0: 400.00 KHs |Device #1: 600.50 KHs | Total: 1.00 MHs\n");
  // A device that is not mining says so.
  EXPECT_EQ(Kest::MinerManCuda::HashRateLine({{0, 0.0, Kest::DeviceState::kStopped},
                                              {1, 2.5},
                                              {2, 0.0, Kest::DeviceState::kBuildingMap}},
                                             &total),
            "Device #0: 0.00 KHs (stopped) |Device #1: 2.50 KHs |Device #2: 0.00 KHs (building "
            "map) | Total: 2.50 KHs\n");
}

TEST_F(Engine, RateIsCandidatesPerMillisecondSinceTheLastSample) {
  Kest::cudaGpuContext& ctx = miner_->Context(0);
  ctx.rate_start.store(Kest::SteadyNanos() - 2000000000LL);  // two seconds ago (steady clock)
  ctx.hash_count.store(4000000.0);                           // 2000 candidates per ms
  CaptureStdout();
  const float total = miner_->ReportHashRate();
  const std::string out = GetCapturedStdout();
  EXPECT_NEAR(total, 2000.0f, 5.0f);
  EXPECT_EQ(out.rfind("Device #0: 1", 0), 0u) << out;
  EXPECT_NE(out.find(" MHs\n"), std::string::npos) << out;
  EXPECT_EQ(ctx.hash_count.load(), 0.0);  // read and zeroed
}

// The worker on the software device: with job flag 1 it launches nothing; with 2 it takes up
// the job with a new first half; it ends after its current launch once the exit flag is set.
TEST_F(Engine, WorkerHonoursTheJobFlags) {
  SetJob(40);  // no map build (block 0) and practically no solutions
  Kest::cudaGpuContext& ctx = miner_->Context(0);
  std::atomic<int32_t>& flag = miner_->JobFlag(0);
  std::atomic<bool> stop{false};
  auto first_half = [&] {
    std::lock_guard<std::mutex> lock(ctx.job_mutex);
    return std::string(reinterpret_cast<const char*>(ctx.trailer) + 92, 16);
  };
  const std::string before = first_half();
  flag.store(Kest::kJobNew);
  CaptureStdout();
  std::thread worker(Kest::cudakernelStratum, std::ref(ctx), std::ref(flag), std::ref(stop));

  auto wait_for_launches = [&](double above) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ctx.hash_count.load() <= above && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ctx.hash_count.load() > above;
  };
  ASSERT_TRUE(wait_for_launches(0.0));
  EXPECT_EQ(flag.load(), Kest::kJobKeep);
  const std::string taken = first_half();
  EXPECT_NE(taken, before);

  // Hold: the launch in flight is the last one counted (a launch takes tens of milliseconds,
  // more than a second under ThreadSanitizer on a busy machine).
  int blocks = 0;
  int threads = 0;
  cudaSetDevice(ctx.device);
  ASSERT_EQ(Kest::SearchGeometry(Kest::kDefaultSearchPath, &blocks, &threads), cudaSuccess);
  const double per_launch = static_cast<double>(blocks) * threads;
  flag.store(Kest::kJobHold);
  const double at_hold = ctx.hash_count.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  const double held = ctx.hash_count.load();
  EXPECT_LE(held, at_hold + per_launch);

  // Any value other than 0 and 1 means a new job: a new first half, launches resume.
  flag.store(3);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (flag.load() != Kest::kJobKeep && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(flag.load(), Kest::kJobKeep);
  ASSERT_TRUE(wait_for_launches(ctx.hash_count.load()));
  EXPECT_NE(first_half(), taken);

  const auto t0 = std::chrono::steady_clock::now();
  stop.store(true);
  worker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  const std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Auto calc: numblock: "), std::string::npos) << out;
}

// The map is rebuilt exactly when the previous-block hash changes: not for the same job taken
// up again (a re-sent job, a template), but for a new hash.
TEST_F(Engine, WorkerRebuildsTheMapOnlyForANewPreviousBlockHash) {
  SetJob(40);  // the map counts as built from this hash
  Kest::cudaGpuContext& ctx = miner_->Context(0);
  std::atomic<int32_t>& flag = miner_->JobFlag(0);
  std::atomic<bool> stop{false};
  flag.store(Kest::kJobNew);
  CaptureStdout();
  std::thread worker(Kest::cudakernelStratum, std::ref(ctx), std::ref(flag), std::ref(stop));
  auto wait = [](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  };
  ASSERT_TRUE(wait([&] { return ctx.hash_count.load() > 0.0; }));
  SwitchJob(false);
  ASSERT_TRUE(wait([&] { return flag.load() == Kest::kJobKeep; }));
  const double launched = ctx.hash_count.load();
  ASSERT_TRUE(wait([&] { return ctx.hash_count.load() > launched; }));  // searching, no build
  SwitchJob(true);
  ASSERT_TRUE(wait([&] { return flag.load() == Kest::kJobKeep; }));
  stop.store(true);  // the build just started ends after its first launch
  worker.join();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(Count(out, "Device #0: building the tile map...\n"), 1) << out;
}

// The manager fetches and re-checks while the worker keeps launching and jobs keep changing
// hands, with the solution counter crossing 2^32: every announced solution is re-checked,
// reported lost or counted stale, the worker ends on the last job, and the hand-over is
// race-free (this runs under ThreadSanitizer in CI). The map is not built, so the re-checks
// fail; that is not the point.
TEST_F(Engine, ManagerFetchesWhileTheWorkerSearchesAndJobsChange) {
  SetJob(5);
  Kest::cudaGpuContext& ctx = miner_->Context(0);
  const uint32_t start = 0xFFFFFFE0u;
  SetDeviceCount(start);
  Kest::StoreFoundCount(ctx.host_found_count, start);
  std::atomic<bool> stop{false};
  miner_->JobFlag(0).store(Kest::kJobNew);
  CaptureStdout();
  std::thread worker(Kest::cudakernelStratum, std::ref(ctx), std::ref(miner_->JobFlag(0)),
                     std::ref(stop));
  uint32_t consumed = start;
  int pass = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (consumed - start < 80 && std::chrono::steady_clock::now() < deadline) {
    if (++pass % 3 == 0) SwitchJob(false);
    miner_->ProcessSolutions(0, consumed);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The last job is taken up before the worker stops.
  while (miner_->JobFlag(0).load() != Kest::kJobKeep &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(miner_->JobFlag(0).load(), Kest::kJobKeep);
  stop.store(true);
  worker.join();
  miner_->ProcessSolutions(0, consumed);
  const std::string out = GetCapturedStdout();
  EXPECT_GE(consumed - start, 80u);
  EXPECT_LT(consumed, start);  // wrapped
  EXPECT_EQ(consumed, Kest::LoadFoundCount(ctx.host_found_count));
  uint64_t lost = 0;
  for (size_t p = out.find("solutions lost"); p != std::string::npos;
       p = out.find("solutions lost", p + 1)) {
    const size_t from = out.rfind(": ", p) + 2;
    lost += std::stoul(out.substr(from, p - from));
  }
  const uint64_t stale = pool_->Shares().stale_dropped.load();
  EXPECT_EQ(Count(out, "\nnonce ") + lost + stale, uint64_t{consumed - start});
  EXPECT_EQ(pool_->Shares().cpu_failed.load() + Count(out, "Submitting shares\n"),
            static_cast<uint64_t>(Count(out, "\nnonce ")));
  std::lock_guard<std::mutex> lock(ctx.queue_mutex);
  EXPECT_TRUE(ctx.results.empty());
}

// A device whose occupancy queries fail stops its worker with a message instead of launching
// with a made-up geometry.
TEST_F(Engine, WorkerStopsWhenTheLaunchGeometryCannotBeComputed) {
  SetJob(40);
  Kest::swdev::Fault fault;
  fault.kind = Kest::swdev::Fault::Kind::kAttributes;
  fault.device = 0;
  Kest::swdev::InjectFault(fault);
  std::atomic<bool> stop{false};
  miner_->JobFlag(0).store(Kest::kJobNew);
  CaptureStdout();
  Kest::cudakernelStratum(miner_->Context(0), miner_->JobFlag(0), stop);  // returns by itself
  const std::string out = GetCapturedStdout();
  Kest::swdev::ClearFaults();
  EXPECT_NE(out.find("Device #0: cannot compute the launch geometry ("), std::string::npos) << out;
  EXPECT_EQ(out.find("Auto calc"), std::string::npos);
  EXPECT_EQ(miner_->Context(0).hash_count.load(), 0.0);
  EXPECT_EQ(miner_->Status().devices[0].state, Kest::DeviceState::kStopped);
}

// A worker that ends by itself leaves its device stopped, with one line naming it and why, and
// the process running: the staged buffers cannot be allocated (the third allocation on the
// device, after the map and the counter), or a launch fails after some searches.
TEST_F(Engine, AWorkerThatEndsStopsItsDeviceAndSaysWhy) {
  SetJob(40);
  using Kest::swdev::Fault;
  Kest::swdev::InjectFault(Fault{Fault::Kind::kMalloc, 1, 0, cudaErrorMemoryAllocation});
  std::atomic<bool> stop{false};
  miner_->JobFlag(0).store(Kest::kJobNew);
  CaptureStdout();
  Kest::cudakernelStratum(miner_->Context(0), miner_->JobFlag(0), stop);  // returns by itself
  miner_->ReportHashRate();
  std::string out = GetCapturedStdout();
  Kest::swdev::ClearFaults();
  EXPECT_EQ(Count(out,
                  "Device #0: cannot allocate the staged search buffers (out of memory); it "
                  "mines no more\n"),
            1)
      << out;
  EXPECT_NE(out.find("Device #0: 0.00 KHs (stopped) | Total: 0.00 KHs\n"), std::string::npos)
      << out;
  Kest::DeviceStatus d = miner_->Status().devices[0];
  EXPECT_EQ(d.state, Kest::DeviceState::kStopped);
  EXPECT_EQ(d.state_reason, "cannot allocate the staged search buffers (out of memory)");
  EXPECT_FALSE(d.mining);

  Kest::cudaGpuContext& ctx = miner_->Context(0);
  ctx.SetState(Kest::DeviceState::kMining);
  miner_->JobFlag(0).store(Kest::kJobNew);
  CaptureStdout();
  std::thread worker(Kest::cudakernelStratum, std::ref(ctx), std::ref(miner_->JobFlag(0)),
                     std::ref(stop));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ctx.hash_count.load() == 0.0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Kest::swdev::InjectFault(Fault{Fault::Kind::kLaunch, 1, 0, cudaErrorLaunchFailure});
  worker.join();  // ends by itself
  out = GetCapturedStdout();
  Kest::swdev::ClearFaults();
  EXPECT_EQ(Count(out, "Device #0: device error: unspecified launch failure; it mines no more\n"),
            1)
      << out;
  d = miner_->Status().devices[0];
  EXPECT_EQ(d.state, Kest::DeviceState::kStopped);
  EXPECT_EQ(d.state_reason, "device error: unspecified launch failure");
  EXPECT_EQ(d.hashrate, 0.0);
}

// At difficulty 1 half of all candidates are solutions, far more than the ring holds per
// launch of a whole batch. Launches are cut to fill at most an eighth of the ring, and the
// worker leaves the slots the manager has not read yet alone: with the manager passing every
// 200 ms, as Run does, every solution is fetched.
TEST_F(Engine, NoSolutionIsLostAtTheLowestDifficulty) {
  SetJob(1);
  Kest::cudaGpuContext& ctx = miner_->Context(0);
  std::atomic<bool> stop{false};
  miner_->JobFlag(0).store(Kest::kJobNew);
  CaptureStdout();
  std::thread worker(Kest::cudakernelStratum, std::ref(ctx), std::ref(miner_->JobFlag(0)),
                     std::ref(stop));
  uint32_t consumed = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (consumed < 3000 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    miner_->ProcessSolutions(0, consumed);
  }
  stop.store(true);
  worker.join();
  miner_->ProcessSolutions(0, consumed);
  const std::string out = GetCapturedStdout();
  EXPECT_GE(consumed, 3000u);
  EXPECT_EQ(Count(out, "solutions lost"), 0) << out.substr(0, 2000);
  EXPECT_EQ(static_cast<uint32_t>(Count(out, "\nnonce ")), consumed);
  EXPECT_EQ(miner_->Status().devices[0].lost_solutions, 0u);
}

// A new previous-block hash stops a map build within one chunk, and the build for the new hash
// starts at once; the device reads "building map" meanwhile.
TEST_F(Engine, ANewPreviousBlockHashStopsTheMapBuild) {
  SetJob(40);
  Kest::cudaGpuContext& ctx = miner_->Context(0);
  ctx.map_built = false;
  std::atomic<int32_t>& flag = miner_->JobFlag(0);
  std::atomic<bool> stop{false};
  flag.store(Kest::kJobNew);
  CaptureStdout();
  std::thread worker(Kest::cudakernelStratum, std::ref(ctx), std::ref(flag), std::ref(stop));
  auto wait = [](const std::function<bool()>& done, int s) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  };
  const bool building = wait(
      [&] { return miner_->Status().devices[0].state == Kest::DeviceState::kBuildingMap; }, 30);
  SwitchJob(true);
  // A whole build takes a minute or more here; one chunk a fraction of a second.
  const bool taken = wait([&] { return flag.load() == Kest::kJobKeep; }, 10);
  const auto t0 = std::chrono::steady_clock::now();
  stop.store(true);
  worker.join();
  const auto stop_took = std::chrono::steady_clock::now() - t0;
  const std::string out = GetCapturedStdout();
  EXPECT_TRUE(building);
  EXPECT_TRUE(taken);
  EXPECT_LT(stop_took, std::chrono::seconds(5));
  EXPECT_EQ(Count(out, "Device #0: building the tile map...\n"), 2) << out;
  EXPECT_EQ(Count(out, "Device #0: tile map build left for a new previous-block hash\n"), 1) << out;
  EXPECT_EQ(Count(out, "tile map built"), 0) << out;
}

// Monitoring while a device hangs: a launch that never returns is reported by the watchdog
// naming the device, and the device's rate reads 0 from the next sample on.
TEST_F(Engine, WatchdogNamesAHungDeviceWhoseRateThenReadsZero) {
  SetJob(40);
  Kest::cudaGpuContext& ctx = miner_->Context(0);
  std::atomic<bool> stop{false};
  miner_->JobFlag(0).store(Kest::kJobNew);
  std::thread worker(Kest::cudakernelStratum, std::ref(ctx), std::ref(miner_->JobFlag(0)),
                     std::ref(stop));
  // Once a search has completed, the next launch hangs.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ctx.hash_count.load() == 0.0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Kest::swdev::Fault hang;
  hang.kind = Kest::swdev::Fault::Kind::kHang;
  hang.nth = 1;
  hang.device = 0;
  Kest::swdev::InjectFault(hang);
  while (Kest::swdev::HungLaunches() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(Kest::swdev::HungLaunches(), 1);
  miner_->ReportHashRate();  // covers the searches before the hang
  const Kest::MinerStatus before = miner_->Status();
  ASSERT_EQ(before.devices.size(), 1u);
  EXPECT_GT(before.devices[0].hashrate, 0.0);
  EXPECT_TRUE(before.devices[0].mining);

  // Watched from now on (a normal launch of this busy software device can take a second).
  std::atomic<int32_t> hung_device{-1};
  Kest::HangWatchdog watchdog(*miner_, std::chrono::milliseconds(500),
                              [&](int32_t device, double) { hung_device.store(device); });
  while (hung_device.load() < 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(hung_device.load(), 0);
  EXPECT_GE(miner_->Status().devices[0].busy_s, 0.5);
  miner_->ReportHashRate();
  EXPECT_EQ(miner_->Status().devices[0].hashrate, 0.0);
  EXPECT_EQ(miner_->Status().hashrate_now, 0.0);

  stop.store(true);
  Kest::swdev::ReleaseHangs();
  worker.join();
  Kest::swdev::ClearFaults();
  // A device whose worker has ended reads 0 whatever its last sample was.
  ctx.rate_hps.store(5000.0);
  EXPECT_FALSE(miner_->Status().devices[0].mining);
  EXPECT_EQ(miner_->Status().devices[0].hashrate, 0.0);
}

#if defined(TESTPOOL_PATH)
// Run over plo-testpool, whose jobs carry an all-zero trailer: the map counts as built from the
// all-zero previous-block hash, so the worker searches at once.
class RunOverTestPool : public Engine {
 protected:
  void StartRun(const std::string& difficulty) {
    const std::string port = e2e::StartTestPool(testpool_, dir_, TESTPOOL_PATH,
                                                {"--diff", difficulty, "--zero-trailer"});
    ASSERT_FALSE(port.empty());
    pool_ = std::make_shared<Kest::PoolApi>(
        "key", "pw", exit_, std::vector<std::string>{"stratum+tcp://127.0.0.1:" + port});
    miner_ = std::make_unique<Kest::MinerManCuda>(count_, pool_, devices_, exit_);
    CaptureStdout();
    ASSERT_TRUE(pool_->Initilize());
    ASSERT_EQ(miner_->InitGpu(), 1);
    miner_->Context(0).map_built = true;  // map_phash is all zero
    run_ = std::thread([this] { status_ = miner_->Run(); });
  }
  // Joins Run and returns what it printed.
  std::string EndRun() {
    run_.join();
    return GetCapturedStdout();
  }

  e2e::ScratchDir dir_;
  std::unique_ptr<e2e::Subprocess> testpool_;
  std::thread run_;
  std::atomic<int> status_{-1};
};

// Once its only device has stopped, Run says so, raises the exit flag and returns 3.
TEST_F(RunOverTestPool, RunEndsWithStatus3WhenNoDeviceIsLeftMining) {
  using Kest::swdev::Fault;
  Kest::swdev::InjectFault(Fault{Fault::Kind::kLaunch, 0, 0, cudaErrorLaunchFailure});
  StartRun("30");
  const std::string out = EndRun();  // by itself
  Kest::swdev::ClearFaults();
  EXPECT_EQ(status_.load(), Kest::kExitNoUsableDevice);
  EXPECT_TRUE(exit_.load());
  EXPECT_EQ(Count(out, "No device is left mining; ending the miner\n"), 1) << out;
  EXPECT_LT(out.find("Device #0: device error: "), out.find("No device is left mining")) << out;
}

// After the exit flag, the worker finishes its launch and announces what it found; Run
// re-checks that too before it returns. At difficulty 5 every launch finds some.
TEST_F(RunOverTestPool, SolutionsOfTheLastLaunchAreCheckedAfterTheExitFlag) {
  StartRun("5");
  Kest::cudaGpuContext& ctx = miner_->Context(0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Kest::LoadFoundCount(ctx.host_found_count) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  exit_.store(true);
  const std::string out = EndRun();
  EXPECT_EQ(status_.load(), 0);
  const uint32_t announced = Kest::LoadFoundCount(ctx.host_found_count);
  EXPECT_GT(announced, 0u);
  EXPECT_EQ(Count(out, "\nnonce ") + pool_->Shares().stale_dropped.load(), uint64_t{announced})
      << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
  std::lock_guard<std::mutex> lock(ctx.queue_mutex);
  EXPECT_TRUE(ctx.results.empty());
}
#endif

// The API's summary of a software-device miner without the management library: the device is
// listed with its rate, solutions and the software device's bus id; its health figures are null.
TEST_F(Engine, SummaryWithoutTheManagementLibraryReportsNullHealth) {
  CaptureStdout();
  Kest::Monitor monitor(pool_, std::make_unique<Kest::Nvml>("libkest-absent-nvml.so.1"));
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(Count(out, "GPU health unavailable (libkest-absent-nvml.so.1 not found)"), 1) << out;
  EXPECT_TRUE(monitor.Summary().devices.empty());  // no manager yet
  monitor.SetMiner(miner_.get());
  miner_->Context(0).solutions.store(3);
  pool_->Shares().submitted.store(3);
  const Kest::ApiSummary s = monitor.Summary();
  EXPECT_EQ(s.pool.url, "stratum+tcp://x:1");
  EXPECT_FALSE(s.pool.connected);
  EXPECT_EQ(s.shares.submitted, 3u);
  ASSERT_EQ(s.devices.size(), 1u);
  const Kest::ApiDevice& d = s.devices[0];
  EXPECT_EQ(d.id, 0);
  EXPECT_EQ(d.name, "Software device");
  EXPECT_EQ(d.solutions, 3u);
  EXPECT_EQ(d.pci_bus_id.value_or("none"), "0000:01:00.0");
  EXPECT_FALSE(d.temperature_c || d.power_w || d.fan_pct);
  EXPECT_NE(Kest::SummaryJson(s).find(
                "\"pci_bus_id\":\"0000:01:00.0\",\"hashrate\":0.000,\"solutions\":3,"
                "\"lost_solutions\":0,\"temperature_c\":null,\"power_w\":null,\"fan_pct\":null"),
            std::string::npos);
}

}  // namespace
