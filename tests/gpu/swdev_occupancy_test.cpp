// The block-size rule of cudaOccupancyMaxPotentialBlockSize, fed fixed occupancy tables, and
// the launch geometry the software device gives the miner's kernels.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "gpu/runtime.h"
#include "tests/gpu/swdev_fixture.h"

namespace {

using Kest::gpu::BlockSizeChoice;
using Kest::gpu::ChooseBlockSize;
using Kest::gpu::OccupancyLimits;
using swdev_test::SoftDeviceTest;

// Resident blocks per block size; sizes not listed hold no block. Records the sizes asked.
struct Table {
  std::map<int, int> blocks;
  std::vector<int> asked;
  cudaError_t operator()(int size, int* out) {
    asked.push_back(size);
    const auto it = blocks.find(size);
    *out = it == blocks.end() ? 0 : it->second;
    return cudaSuccess;
  }
};

OccupancyLimits Gpu(int kernel_max = 1024) {
  OccupancyLimits l;
  l.max_threads_per_multiprocessor = 2048;
  l.warp_size = 32;
  l.device_max_threads_per_block = 1024;
  l.multiprocessor_count = 20;
  l.kernel_max_threads_per_block = kernel_max;
  return l;
}

TEST(BlockSizeRule, StopsAtTheFirstSizeThatFillsAMultiprocessor) {
  Table t{{{1024, 2}, {992, 1}, {512, 4}}, {}};
  BlockSizeChoice c;
  ASSERT_EQ(ChooseBlockSize(Gpu(), 0, t, &c), cudaSuccess);
  EXPECT_EQ(c.block_size, 1024);
  EXPECT_EQ(c.min_grid_size, 2 * 20);
  EXPECT_EQ(t.asked, std::vector<int>{1024});
}

TEST(BlockSizeRule, WalksDownInWarpStepsAndKeepsTheFirstBest) {
  // From the kernel's 256 down: 192 and 160 both give 960 resident threads; 192 comes first.
  Table t{{{256, 2}, {224, 4}, {192, 5}, {160, 6}, {128, 7}, {32, 16}}, {}};
  BlockSizeChoice c;
  ASSERT_EQ(ChooseBlockSize(Gpu(256), 0, t, &c), cudaSuccess);
  EXPECT_EQ(c.block_size, 192);
  EXPECT_EQ(c.min_grid_size, 5 * 20);
  EXPECT_EQ(t.asked, (std::vector<int>{256, 224, 192, 160, 128, 96, 64, 32}));
}

TEST(BlockSizeRule, LimitOffTheWarpGridIsTriedClippedFirst) {
  // Kernel limit 200: the first candidate is 224 clipped to 200, then 192, 160, ...
  Table t{{{200, 5}, {192, 5}}, {}};
  BlockSizeChoice c;
  ASSERT_EQ(ChooseBlockSize(Gpu(200), 0, t, &c), cudaSuccess);
  EXPECT_EQ(c.block_size, 200);
  EXPECT_EQ(c.min_grid_size, 100);
  ASSERT_GE(t.asked.size(), 2u);
  EXPECT_EQ(t.asked[0], 200);
  EXPECT_EQ(t.asked[1], 192);
}

TEST(BlockSizeRule, SmallestOfTheThreeLimitsApplies) {
  Table by_caller{{{100, 4}}, {}};
  BlockSizeChoice c;
  ASSERT_EQ(ChooseBlockSize(Gpu(), 100, by_caller, &c), cudaSuccess);
  EXPECT_EQ(by_caller.asked, (std::vector<int>{100, 96, 64, 32}));
  EXPECT_EQ(c.block_size, 100);

  OccupancyLimits small_device = Gpu();
  small_device.device_max_threads_per_block = 64;
  Table by_device{{{64, 1}}, {}};
  ASSERT_EQ(ChooseBlockSize(small_device, 512, by_device, &c), cudaSuccess);
  EXPECT_EQ(by_device.asked, (std::vector<int>{64, 32}));
  EXPECT_EQ(c.block_size, 64);
  EXPECT_EQ(c.min_grid_size, 20);
}

TEST(BlockSizeRule, NoResidentBlockGivesZeros) {
  Table t{{}, {}};
  BlockSizeChoice c{99, 99};
  ASSERT_EQ(ChooseBlockSize(Gpu(128), 0, t, &c), cudaSuccess);
  EXPECT_EQ(c.block_size, 0);
  EXPECT_EQ(c.min_grid_size, 0);
}

TEST(BlockSizeRule, FailingQueryOrBadLimitsLeaveTheChoiceAlone) {
  BlockSizeChoice c{7, 8};
  int calls = 0;
  const auto failing = [&calls](int, int* blocks) {
    ++calls;
    *blocks = 1;
    return calls == 2 ? cudaErrorDevicesUnavailable : cudaSuccess;
  };
  EXPECT_EQ(ChooseBlockSize(Gpu(), 0, failing, &c), cudaErrorDevicesUnavailable);
  EXPECT_EQ(c.block_size, 7);
  EXPECT_EQ(c.min_grid_size, 8);

  OccupancyLimits no_warp = Gpu();
  no_warp.warp_size = 0;
  Table t{{{32, 1}}, {}};
  EXPECT_EQ(ChooseBlockSize(no_warp, 0, t, &c), cudaErrorInvalidValue);
  EXPECT_EQ(ChooseBlockSize(Gpu(), 0, t, nullptr), cudaErrorInvalidValue);
}

// ---------------------------------------------------------------------------------------------
// The software device's answers
// ---------------------------------------------------------------------------------------------
__global__ void plain_kernel(unsigned* out) {
  out[threadIdx.x] = 0;
}
__global__ void narrow_kernel(unsigned* out) {
  out[threadIdx.x] = 1;
}

TEST_F(SoftDeviceTest, SearchGeometryIsFourBlocksOf256PerCpuThread) {
  int min_grid = 0;
  int block = 0;
  ASSERT_EQ(cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, plain_kernel, 0, 0), cudaSuccess);
  EXPECT_EQ(block, 256);
  EXPECT_EQ(min_grid, 4 * Kest::swdev::CpuThreads());

  cudaFuncAttributes attr{};
  ASSERT_EQ(cudaFuncGetAttributes(&attr, plain_kernel), cudaSuccess);
  EXPECT_EQ(attr.maxThreadsPerBlock, 256);
}

TEST_F(SoftDeviceTest, KernelLimitShapesTheGeometry) {
  // 96 threads (3 warps) fit 10 blocks = 960 threads; 64 fit 16 blocks = 1024, which fills
  // the multiprocessor and ends the search.
  Kest::swdev::SetKernelMaxThreads(narrow_kernel, 96);
  int blocks = 0;
  ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&blocks, narrow_kernel, 96, 0,
                                                                   cudaOccupancyDefault),
            cudaSuccess);
  EXPECT_EQ(blocks, 10);
  ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&blocks, narrow_kernel, 128, 0,
                                                                   cudaOccupancyDefault),
            cudaSuccess);
  EXPECT_EQ(blocks, 0) << "over the kernel's limit";

  int min_grid = 0;
  int block = 0;
  ASSERT_EQ(cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, narrow_kernel), cudaSuccess);
  EXPECT_EQ(block, 64);
  EXPECT_EQ(min_grid, 16 * Kest::swdev::CpuThreads());
}

TEST_F(SoftDeviceTest, OccupancyQueriesRefuseBadArguments) {
  int blocks = 0;
  EXPECT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&blocks, plain_kernel, 0, 0, 0),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&blocks, plain_kernel, 32, 0, 4),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
                &blocks, static_cast<const void*>(nullptr), 32, 0, 0),
            cudaErrorInvalidDeviceFunction);
  cudaFuncAttributes attr{};
  EXPECT_EQ(cudaFuncGetAttributes(&attr, static_cast<const void*>(nullptr)),
            cudaErrorInvalidDeviceFunction);
  int min_grid = 0;
  int block = 0;
  EXPECT_EQ(cudaOccupancyMaxPotentialBlockSize(&min_grid, &block,
                                               static_cast<void (*)(unsigned*)>(nullptr)),
            cudaErrorInvalidValue);
}

TEST_F(SoftDeviceTest, AttributeFaultFailsTheBlockSizeSearch) {
  UseDevices(2);
  Kest::swdev::InjectFault(
      Kest::swdev::Fault{Kest::swdev::Fault::Kind::kAttributes, 0, 1, cudaErrorDevicesUnavailable});
  cudaDeviceProp prop{};
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaSuccess) << "properties stay readable";
  int min_grid = -1;
  int block = -1;
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, plain_kernel),
            cudaErrorDevicesUnavailable);
  EXPECT_EQ(block, -1);
  EXPECT_EQ(cudaGetLastError(), cudaErrorDevicesUnavailable);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, plain_kernel), cudaSuccess);
  EXPECT_EQ(block, 256);
}

}  // namespace
