// Several host threads on the software device at once, the way the miner drives it: one worker
// per device launching back to back on its own stream and polling a counter, and a manager
// thread reading results on a second stream. Run under ThreadSanitizer in the sanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "gpu/runtime.h"
#include "tests/gpu/swdev_fixture.h"

namespace {

using swdev_test::SoftDeviceTest;

constexpr uint32_t kTag = 2;
KEST_CONSTANT(uint32_t, c_device_tag, kTag);

// Every thread adds its device's tag to the sum and counts itself; thread 0 of the launch also
// writes the tag into a mapped result slot.
__global__ void tagged_count(uint32_t offset, uint32_t* sum, uint32_t* threads, uint32_t* slot) {
  const uint32_t index = blockIdx.x * blockDim.x + offset + threadIdx.x;
  atomicAdd(sum, c_device_tag[0] + c_device_tag[1]);
  atomicAdd(threads, 1u);
  if (index == offset) atomicExch(slot, c_device_tag[0]);
}

struct WorkerResult {
  uint32_t sum = 0;
  uint32_t threads = 0;
  int errors = 0;
  std::atomic<int> announced{0};  // launches whose result slot is written
};

// One worker as the miner runs it: its own stream, an upload to its device's constants,
// back-to-back launches, a counter read-back after each.
void Worker(int device, int launches, WorkerResult* result, uint32_t* slots) {
  cudaSetDevice(device);
  const uint32_t tag[kTag] = {static_cast<uint32_t>(device + 1) * 1000,
                              static_cast<uint32_t>(device + 1)};
  cudaStream_t stream = nullptr;
  cudaStreamCreate(&stream);
  cudaMemcpyToSymbolAsync(c_device_tag, tag, sizeof(tag), 0, cudaMemcpyHostToDevice, stream);
  uint32_t* counters = nullptr;
  cudaMalloc(reinterpret_cast<void**>(&counters), 2 * sizeof(uint32_t));
  cudaMemsetAsync(counters, 0, 2 * sizeof(uint32_t), stream);

  int min_grid = 0;
  int block = 0;
  cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, tagged_count);
  uint32_t offset = 0;
  for (int i = 0; i < launches; ++i) {
    offset += static_cast<uint32_t>(min_grid * block);
    KEST_LAUNCH(tagged_count, min_grid, block, 0, stream)
    (offset, counters, counters + 1, slots + i);
    uint32_t seen[2] = {};
    cudaMemcpyAsync(seen, counters, sizeof(seen), cudaMemcpyDeviceToHost, stream);
    cudaStreamSynchronize(stream);
    result->sum = seen[0];
    result->threads = seen[1];
    if (cudaGetLastError() != cudaSuccess) ++result->errors;
    result->announced.store(i + 1, std::memory_order_release);
  }
  cudaFree(counters);
  cudaStreamDestroy(stream);
}

TEST_F(SoftDeviceTest, WorkersOnTwoDevicesAndAManagerRunTogether) {
  UseDevices(2);
  constexpr int kLaunches = 20;
  // Mapped result slots, one per launch and device, read by the manager on its own stream.
  uint32_t* slots[2] = {};
  for (int d = 0; d < 2; ++d) {
    ASSERT_EQ(cudaSetDevice(d), cudaSuccess);
    ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&slots[d]), kLaunches * sizeof(uint32_t),
                            cudaHostAllocMapped),
              cudaSuccess);
  }
  WorkerResult results[2];
  std::atomic<bool> done{false};
  std::atomic<int> manager_errors{0};
  std::atomic<int> manager_reads{0};
  std::thread manager([&] {
    cudaStream_t readback[2] = {};
    for (int d = 0; d < 2; ++d) {
      cudaSetDevice(d);
      cudaStreamCreate(&readback[d]);
    }
    while (!done.load() || manager_reads.load() < 2) {
      for (int d = 0; d < 2; ++d) {
        cudaSetDevice(d);
        const int n = results[d].announced.load(std::memory_order_acquire);
        if (n == 0) continue;
        uint32_t slot = 0;
        cudaMemcpyAsync(&slot, slots[d] + n - 1, sizeof(slot), cudaMemcpyDefault, readback[d]);
        cudaStreamSynchronize(readback[d]);
        if (cudaGetLastError() != cudaSuccess || slot != (d + 1) * 1000u) {
          manager_errors.fetch_add(1);
        }
        manager_reads.fetch_add(1);
      }
    }
    for (int d = 0; d < 2; ++d) {
      cudaSetDevice(d);
      cudaStreamDestroy(readback[d]);
    }
  });
  std::thread first(Worker, 0, kLaunches, &results[0], slots[0]);
  std::thread second(Worker, 1, kLaunches, &results[1], slots[1]);
  first.join();
  second.join();
  done = true;
  manager.join();

  const uint32_t grid_threads = 4 * 256 * Kest::swdev::CpuThreads();
  for (int d = 0; d < 2; ++d) {
    const uint32_t per_thread = (d + 1) * 1000 + (d + 1);
    EXPECT_EQ(results[d].errors, 0) << "device " << d;
    EXPECT_EQ(results[d].threads, kLaunches * grid_threads) << "device " << d;
    EXPECT_EQ(results[d].sum, kLaunches * grid_threads * per_thread)
        << "device " << d << " read another device's symbol";
    for (int i = 0; i < kLaunches; ++i) ASSERT_EQ(slots[d][i], (d + 1) * 1000u);
    cudaFreeHost(slots[d]);
  }
  EXPECT_EQ(manager_errors.load(), 0);
  EXPECT_GT(manager_reads.load(), 0);
}

// Last errors stay with their thread while both threads fail and succeed concurrently.
TEST_F(SoftDeviceTest, ConcurrentLastErrorsStayApart) {
  constexpr int kRounds = 200;
  std::atomic<int> wrong{0};
  const auto run = [&wrong](bool fail) {
    cudaSetDevice(0);
    for (int i = 0; i < kRounds; ++i) {
      const dim3 block(fail ? 0 : 32);
      Kest::swdev::Launch(dim3(1), block, nullptr, [] {});
      const cudaError_t expected = fail ? cudaErrorInvalidConfiguration : cudaSuccess;
      if (cudaGetLastError() != expected) wrong.fetch_add(1);
    }
  };
  std::thread failing(run, true);
  std::thread succeeding(run, false);
  failing.join();
  succeeding.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
