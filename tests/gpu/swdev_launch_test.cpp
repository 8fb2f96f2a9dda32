// Kernel launches on the software device: every grid thread runs exactly once with the right
// coordinates, launch checks, injected launch faults, stream order across host threads, and
// the device atomics.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "gpu/runtime.h"
#include "tests/gpu/swdev_fixture.h"

namespace {

using Kest::swdev::Fault;
using Kest::swdev::ThreadCoord;
using swdev_test::DeviceAlloc;
using swdev_test::SoftDeviceTest;
using swdev_test::Stream;

// Counts each index the way the miner's kernels number their threads.
__global__ void count_indices(uint32_t offset, uint32_t* counts, uint32_t* total) {
  const uint32_t index = blockIdx.x * blockDim.x + offset + threadIdx.x;
  atomicAdd(&counts[index - offset], 1u);
  atomicAdd(total, 1u);
}

__global__ void add_one(uint8_t* bytes) {
  const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
  bytes[i] = static_cast<uint8_t>(bytes[i] + 1);
}

__global__ void mark(uint32_t* flag) {
  atomicAdd(flag, 1u);
}

TEST_F(SoftDeviceTest, EveryGridThreadRunsExactlyOnce) {
  constexpr uint32_t kBlocks = 7;
  constexpr uint32_t kThreads = 97;  // 679 threads: no even split over CPU threads
  constexpr uint32_t kOffset = 4000;
  constexpr uint32_t kCount = kBlocks * kThreads;
  auto counts = DeviceAlloc(kCount * sizeof(uint32_t));
  auto total = DeviceAlloc(sizeof(uint32_t));
  ASSERT_EQ(cudaMemset(counts.get(), 0, kCount * sizeof(uint32_t)), cudaSuccess);
  ASSERT_EQ(cudaMemset(total.get(), 0, sizeof(uint32_t)), cudaSuccess);

  Stream stream;
  const cudaError_t launched = KEST_LAUNCH(count_indices, kBlocks, kThreads, 0, stream)(
      kOffset, static_cast<uint32_t*>(counts.get()), static_cast<uint32_t*>(total.get()));
  ASSERT_EQ(launched, cudaSuccess);

  std::vector<uint32_t> host(kCount);
  uint32_t host_total = 0;
  ASSERT_EQ(cudaMemcpyAsync(host.data(), counts.get(), kCount * sizeof(uint32_t),
                            cudaMemcpyDeviceToHost, stream),
            cudaSuccess);
  ASSERT_EQ(
      cudaMemcpyAsync(&host_total, total.get(), sizeof(uint32_t), cudaMemcpyDeviceToHost, stream),
      cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  EXPECT_EQ(host_total, kCount);
  EXPECT_EQ(std::count(host.begin(), host.end(), 1u), static_cast<long>(kCount));
}

TEST_F(SoftDeviceTest, CoordinatesCoverThreeDimensionalGrids) {
  const dim3 grid(3, 2, 2);
  const dim3 block(5, 3, 2);
  constexpr unsigned kThreads = 3 * 2 * 2 * 5 * 3 * 2;
  std::vector<std::atomic<int>> seen(kThreads);
  std::atomic<int> mismatched{0};
  ASSERT_EQ(Kest::swdev::Launch(
                grid, block, nullptr,
                [&](const ThreadCoord& c) {
                  const bool builtins_agree =
                      threadIdx.x == c.threadIdx.x && threadIdx.y == c.threadIdx.y &&
                      threadIdx.z == c.threadIdx.z && blockIdx.x == c.blockIdx.x &&
                      blockIdx.y == c.blockIdx.y && blockIdx.z == c.blockIdx.z && blockDim.y == 3 &&
                      gridDim.z == 2;
                  const bool inside = c.threadIdx.x < 5 && c.threadIdx.y < 3 && c.threadIdx.z < 2 &&
                                      c.blockIdx.x < 3 && c.blockIdx.y < 2 && c.blockIdx.z < 2;
                  if (!builtins_agree || !inside) {
                    mismatched.fetch_add(1);
                    return;
                  }
                  const unsigned b = (c.blockIdx.z * 2 + c.blockIdx.y) * 3 + c.blockIdx.x;
                  const unsigned t = (c.threadIdx.z * 3 + c.threadIdx.y) * 5 + c.threadIdx.x;
                  seen[b * 30 + t].fetch_add(1);
                }),
            cudaSuccess);
  EXPECT_EQ(mismatched.load(), 0);
  for (unsigned i = 0; i < kThreads; ++i) ASSERT_EQ(seen[i].load(), 1) << "thread " << i;
}

TEST_F(SoftDeviceTest, SingleThreadAndLargeGrids) {
  std::atomic<uint64_t> runs{0};
  const auto count = [&runs] { runs.fetch_add(1, std::memory_order_relaxed); };
  ASSERT_EQ(Kest::swdev::Launch(dim3(1), dim3(1), nullptr, count), cudaSuccess);
  EXPECT_EQ(runs.load(), 1u);
  runs = 0;
  ASSERT_EQ(Kest::swdev::Launch(dim3(4097), dim3(251), nullptr, count), cudaSuccess);
  EXPECT_EQ(runs.load(), 4097u * 251u);
}

// Each body waits until as many distinct CPU threads as the device has multiprocessors are
// inside the grid at once (or gives up after a while): the launch must use all of them.
TEST_F(SoftDeviceTest, GridRunsOnEveryCpuThreadAtOnce) {
  const int cpus = Kest::swdev::CpuThreads();
  std::mutex mu;
  std::condition_variable arrived;
  std::set<std::thread::id> inside;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  const auto body = [&] {
    std::unique_lock<std::mutex> lock(mu);
    inside.insert(std::this_thread::get_id());
    arrived.notify_all();
    arrived.wait_until(lock, give_up, [&] { return static_cast<int>(inside.size()) >= cpus; });
  };
  ASSERT_EQ(Kest::swdev::Launch(dim3(4 * cpus), dim3(1), nullptr, body), cudaSuccess);
  EXPECT_EQ(static_cast<int>(inside.size()), cpus);
}

TEST_F(SoftDeviceTest, BadConfigurationsRunNothing) {
  std::atomic<int> runs{0};
  const auto body = [&runs] { runs.fetch_add(1); };
  const dim3 bad_blocks[] = {dim3(0), dim3(1025), dim3(32, 32, 2), dim3(1, 1, 65), dim3(1, 0)};
  for (const dim3& block : bad_blocks) {
    EXPECT_EQ(Kest::swdev::Launch(dim3(1), block, nullptr, body), cudaErrorInvalidConfiguration);
  }
  const dim3 bad_grids[] = {dim3(0), dim3(1, 65536), dim3(1, 1, 0), dim3(0x80000000u)};
  for (const dim3& grid : bad_grids) {
    EXPECT_EQ(Kest::swdev::Launch(grid, dim3(32), nullptr, body), cudaErrorInvalidConfiguration);
  }
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);

  uint32_t flag = 0;
  EXPECT_EQ(KEST_LAUNCH(mark, 1, 32, 16, nullptr)(&flag), cudaErrorNotSupported)
      << "no dynamic shared memory";
  Kest::swdev::SetKernelMaxThreads(mark, 128);
  EXPECT_EQ(KEST_LAUNCH(mark, 1, 160, 0, nullptr)(&flag), cudaErrorLaunchOutOfResources);
  EXPECT_EQ(KEST_LAUNCH(mark, 1, 128, 0, nullptr)(&flag), cudaSuccess);
  EXPECT_EQ(flag, 128u);
  EXPECT_EQ(runs.load(), 0);
}

TEST_F(SoftDeviceTest, StreamsBelongToTheirDevice) {
  UseDevices(2);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  cudaStream_t foreign = nullptr;
  ASSERT_EQ(cudaStreamCreate(&foreign), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  std::atomic<int> runs{0};
  const auto body = [&runs] { runs.fetch_add(1); };
  EXPECT_EQ(Kest::swdev::Launch(dim3(1), dim3(1), foreign, body), cudaErrorInvalidResourceHandle);
  ASSERT_EQ(cudaStreamDestroy(foreign), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(foreign), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamSynchronize(foreign), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(Kest::swdev::Launch(dim3(1), dim3(1), foreign, body), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamDestroy(nullptr), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(runs.load(), 0);
}

TEST_F(SoftDeviceTest, ThrowingBodyFailsItsLaunchOnly) {
  const auto body = [](const ThreadCoord& c) {
    if (c.blockIdx.x == 3 && c.threadIdx.x == 17) throw std::runtime_error("fault");
  };
  EXPECT_EQ(Kest::swdev::Launch(dim3(8), dim3(64), nullptr, body), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  EXPECT_EQ(Kest::swdev::Launch(dim3(8), dim3(64), nullptr, [] {}), cudaSuccess);
}

TEST_F(SoftDeviceTest, NthLaunchFaultFailsOnlyThatLaunch) {
  Kest::swdev::InjectFault(Fault{Fault::Kind::kLaunch, 3, -1, cudaErrorLaunchFailure});
  uint32_t runs = 0;
  std::vector<cudaError_t> results;
  for (int i = 0; i < 5; ++i) results.push_back(KEST_LAUNCH(mark, 1, 1, 0, nullptr)(&runs));
  EXPECT_EQ(results, (std::vector<cudaError_t>{cudaSuccess, cudaSuccess, cudaErrorLaunchFailure,
                                               cudaSuccess, cudaSuccess}));
  EXPECT_EQ(runs, 4u) << "the failed launch ran nothing";
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
}

TEST_F(SoftDeviceTest, PersistentLaunchFaultOnOneDevice) {
  UseDevices(2);
  Kest::swdev::InjectFault(Fault{Fault::Kind::kLaunch, 0, 1, cudaErrorLaunchFailure});
  uint32_t runs = 0;
  EXPECT_EQ(KEST_LAUNCH(mark, 1, 1, 0, nullptr)(&runs), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(KEST_LAUNCH(mark, 1, 1, 0, nullptr)(&runs), cudaErrorLaunchFailure);
  }
  EXPECT_EQ(runs, 1u);
  // Reconfiguring clears faults and counts.
  UseDevices(2);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(KEST_LAUNCH(mark, 1, 1, 0, nullptr)(&runs), cudaSuccess);
}

// memset -> launch -> copy on one stream, with the copy issued from another host thread while
// the launch is still running: it must see the launch's result.
TEST_F(SoftDeviceTest, StreamOperationsRunInIssueOrderAcrossThreads) {
  constexpr uint32_t kBytes = 256;
  auto buffer = DeviceAlloc(kBytes);
  auto* d = static_cast<uint8_t*>(buffer.get());
  Stream stream;
  ASSERT_EQ(cudaMemsetAsync(d, 0x41, kBytes, stream), cudaSuccess);
  ASSERT_EQ(KEST_LAUNCH(add_one, 2, 128, 0, stream)(d), cudaSuccess);

  std::atomic<bool> started{false};
  std::thread launcher([&] {
    cudaSetDevice(0);
    Kest::swdev::Launch(dim3(1), dim3(1), stream, [&] {
      started.store(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      d[0] = 0x7F;
    });
  });
  while (!started.load()) std::this_thread::yield();
  uint8_t host[kBytes] = {};
  ASSERT_EQ(cudaMemcpyAsync(host, d, kBytes, cudaMemcpyDeviceToHost, stream), cudaSuccess);
  launcher.join();
  EXPECT_EQ(host[0], 0x7F) << "the copy overtook the launch before it";
  EXPECT_EQ(host[1], 0x42);
  EXPECT_EQ(host[kBytes - 1], 0x42);

  started = false;
  std::thread second([&] {
    cudaSetDevice(0);
    Kest::swdev::Launch(dim3(1), dim3(1), stream, [&] {
      started.store(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      d[1] = 0x10;
    });
  });
  while (!started.load()) std::this_thread::yield();
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  EXPECT_EQ(d[1], 0x10) << "synchronisation returned before the launch finished";
  second.join();
}

TEST_F(SoftDeviceTest, AtomicsReturnEachOldValueOnce) {
  constexpr uint32_t kThreads = 64 * 64;
  uint32_t counter = 0;
  std::vector<std::atomic<int>> taken(kThreads);
  ASSERT_EQ(Kest::swdev::Launch(dim3(64), dim3(64), nullptr,
                                [&] { taken[atomicAdd(&counter, 1u)].fetch_add(1); }),
            cudaSuccess);
  EXPECT_EQ(counter, kThreads);
  for (uint32_t i = 0; i < kThreads; ++i) ASSERT_EQ(taken[i].load(), 1);

  unsigned long long wide = 0;
  int winners = 0;
  ASSERT_EQ(Kest::swdev::Launch(dim3(16), dim3(64), nullptr,
                                [&] {
                                  if (atomicCAS(&wide, 0ull, 7ull) == 0ull) {
                                    atomicAdd(&winners, 1);
                                  }
                                }),
            cudaSuccess);
  EXPECT_EQ(wide, 7ull);
  EXPECT_EQ(winners, 1);
  unsigned int word = 5;
  EXPECT_EQ(atomicExch(&word, 9u), 5u);
  EXPECT_EQ(atomicSub(&word, 4u), 9u);
  EXPECT_EQ(word, 5u);
}

}  // namespace
