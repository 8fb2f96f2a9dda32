// Memory of the software device: lazily paged device allocations, mapped pinned memory, the
// checks on copies, memsets and frees, and what a device reset releases.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "gpu/runtime.h"
#include "tests/gpu/swdev_fixture.h"

namespace {

using swdev_test::DeviceAlloc;
using swdev_test::PinnedAlloc;
using swdev_test::SoftDeviceTest;

constexpr std::size_t kMapBytes = std::size_t{1} << 30;
constexpr std::size_t kMiB = std::size_t{1} << 20;

std::size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t total_pages = 0;
  std::size_t resident_pages = 0;
  statm >> total_pages >> resident_pages;
  return resident_pages * 4096;
}

TEST_F(SoftDeviceTest, GibibyteAllocationIsQuickLazyAndUsable) {
  const std::size_t resident_before = ResidentBytes();
  const auto start = std::chrono::steady_clock::now();
  void* raw = nullptr;
  ASSERT_EQ(cudaMalloc(&raw, kMapBytes), cudaSuccess);
  swdev_test::DeviceMemory map(raw);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(100));  // touching every page takes far longer
  EXPECT_LT(ResidentBytes(), resident_before + 16 * kMiB) << "pages were touched up front";

  // Both ends and a middle tile, through the runtime and directly as kernels would.
  auto* bytes = static_cast<std::uint8_t*>(raw);
  const std::size_t tile = 1024;
  const std::size_t offsets[] = {0, kMapBytes / 2, kMapBytes - tile};
  std::vector<std::uint8_t> pattern(tile);
  for (std::size_t i = 0; i < tile; ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (const std::size_t at : offsets) {
    EXPECT_EQ(bytes[at], 0) << "fresh memory reads as zero";
    ASSERT_EQ(cudaMemcpy(bytes + at, pattern.data(), tile, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(std::memcmp(bytes + at, pattern.data(), tile), 0);
    std::vector<std::uint8_t> back(tile);
    ASSERT_EQ(cudaMemcpy(back.data(), bytes + at, tile, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, pattern);
  }
  ASSERT_EQ(cudaMemset(bytes + kMapBytes - 4, 0xAB, 4), cudaSuccess);
  EXPECT_EQ(bytes[kMapBytes - 1], 0xAB);
  EXPECT_LT(ResidentBytes(), resident_before + 16 * kMiB);
}

TEST_F(SoftDeviceTest, AllocationLargerThanTheDeviceFails) {
  cudaDeviceProp prop{};
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(cudaMalloc(&p, prop.totalGlobalMem + 1), cudaErrorMemoryAllocation);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaMalloc(nullptr, 16), cudaErrorInvalidValue);
  ASSERT_EQ(cudaMalloc(&p, 0), cudaSuccess);
  EXPECT_EQ(p, nullptr);
}

TEST_F(SoftDeviceTest, FreeRefusesWhatItDidNotAllocate) {
  int on_stack = 0;
  auto device = DeviceAlloc(64);
  auto pinned = PinnedAlloc(64);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(nullptr), cudaSuccess);
  EXPECT_EQ(cudaFree(&on_stack), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(static_cast<char*>(device.get()) + 8), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(pinned.get()), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFreeHost(device.get()), cudaErrorInvalidValue);

  void* p = device.release();
  ASSERT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_EQ(cudaFree(p), cudaErrorInvalidValue) << "double free";
}

TEST_F(SoftDeviceTest, MappedPinnedMemoryIsSharedWithKernels) {
  constexpr std::size_t kSlotsBytes = 16480;
  auto slots = PinnedAlloc(kSlotsBytes, cudaHostAllocMapped);
  ASSERT_NE(slots, nullptr);
  ASSERT_EQ(cudaMemset(slots.get(), 0, kSlotsBytes), cudaSuccess);

  void* device_view = nullptr;
  ASSERT_EQ(cudaHostGetDevicePointer(&device_view, slots.get(), 0), cudaSuccess);
  EXPECT_EQ(device_view, slots.get());
  auto* out = static_cast<std::uint8_t*>(device_view);
  ASSERT_EQ(Kest::swdev::Launch(dim3(4), dim3(64), nullptr,
                                [out](const Kest::swdev::ThreadCoord& c) {
                                  const unsigned i = c.blockIdx.x * c.blockDim.x + c.threadIdx.x;
                                  out[i * 16] = static_cast<std::uint8_t>(i);
                                }),
            cudaSuccess);
  const auto* host = static_cast<const std::uint8_t*>(slots.get());
  for (unsigned i = 0; i < 256; ++i) ASSERT_EQ(host[i * 16], i);

  int plain = 0;
  EXPECT_EQ(cudaHostGetDevicePointer(&device_view, &plain, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaHostGetDevicePointer(&device_view, slots.get(), 1), cudaErrorInvalidValue);
  void* p = nullptr;
  EXPECT_EQ(cudaHostAlloc(&p, 16, 0x80), cudaErrorInvalidValue);
  auto plain_pinned = PinnedAlloc(4, cudaHostAllocDefault);
  *static_cast<std::uint32_t*>(plain_pinned.get()) = 0;  // host-writable like any memory
}

TEST_F(SoftDeviceTest, CopiesAndMemsetsStayInsideAllocations) {
  auto device = DeviceAlloc(64);
  auto* d = static_cast<std::uint8_t*>(device.get());
  std::uint8_t host[128];
  std::memset(host, 0x5A, sizeof(host));
  ASSERT_EQ(cudaMemset(d, 0, 64), cudaSuccess);

  EXPECT_EQ(cudaMemcpy(d + 32, host, 33, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(d[32], 0) << "a refused copy writes nothing";
  EXPECT_EQ(cudaMemcpy(host, d, 65, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(host, host + 64, 8, cudaMemcpyDeviceToHost), cudaErrorInvalidValue)
      << "the source of a device-to-host copy must be device memory";
  EXPECT_EQ(cudaMemcpy(d, host, 8, static_cast<cudaMemcpyKind>(7)),
            cudaErrorInvalidMemcpyDirection);
  EXPECT_EQ(cudaMemcpy(nullptr, host, 8, cudaMemcpyHostToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset(d + 60, 1, 5), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset(host, 1, 4), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(d, host, 0, cudaMemcpyHostToDevice), cudaSuccess);

  // Default infers direction; overlapping device-to-device copies behave like memmove.
  for (int i = 0; i < 64; ++i) d[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(cudaMemcpy(d + 1, d, 16, cudaMemcpyDeviceToDevice), cudaSuccess);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(d[i + 1], i);
  ASSERT_EQ(cudaMemcpy(host, d, 64, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(host[63], 63);
}

// Stricter than a GPU, where a kind that does not match its pointers is undefined: a mapped
// pinned buffer is host memory, so it is never the device side of a copy; cudaMemcpyDefault
// copies from it.
TEST_F(SoftDeviceTest, CopyKindsMustMatchTheirPointers) {
  auto device = DeviceAlloc(16);
  auto pinned = PinnedAlloc(16);
  std::uint8_t host[16] = {1, 2, 3};
  std::memcpy(pinned.get(), host, sizeof(host));
  EXPECT_EQ(cudaMemcpy(host, pinned.get(), 16, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(pinned.get(), host, 16, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(device.get(), pinned.get(), 16, cudaMemcpyDeviceToDevice),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(host, device.get(), 16, cudaMemcpyHostToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(device.get(), host, 16, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  cudaGetLastError();
  // Matching kinds, and the default kind with any pointers, copy.
  EXPECT_EQ(cudaMemcpy(device.get(), pinned.get(), 16, cudaMemcpyHostToDevice), cudaSuccess);
  std::uint8_t back[16] = {};
  EXPECT_EQ(cudaMemcpy(back, device.get(), 16, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back[2], 3);
  std::memset(back, 0, sizeof(back));
  EXPECT_EQ(cudaMemcpy(back, pinned.get(), 16, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(back[1], 2);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(SoftDeviceTest, ResetReleasesOnlyTheCurrentDevice) {
  UseDevices(2);
  void* first = nullptr;
  ASSERT_EQ(cudaMalloc(&first, 4096), cudaSuccess);
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  void* second = nullptr;
  ASSERT_EQ(cudaMalloc(&second, 4096), cudaSuccess);

  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
  EXPECT_EQ(cudaFree(first), cudaErrorInvalidValue);
  EXPECT_EQ(cudaStreamSynchronize(stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaFree(second), cudaSuccess);
}

}  // namespace
