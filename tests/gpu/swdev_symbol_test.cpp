// Constant symbols on the software device: one copy per device, written through the runtime's
// symbol copies and read by kernels of that device; initialised tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "gpu/runtime.h"
#include "tests/gpu/swdev_fixture.h"

namespace {

using swdev_test::DeviceAlloc;
using swdev_test::SoftDeviceTest;
using swdev_test::Stream;

constexpr uint32_t kWords = 8;
KEST_CONSTANT(uint32_t, c_words, kWords);
KEST_CONSTANT_TABLE(uint8_t, Z_TABLE, 6, {9, 8, 7, 6});

// Copies the symbol and the table into `out` as the device sees them: out[0..7] words,
// out[8..13] table entries, out[14] the first word through a pointer.
__global__ void read_constants(uint32_t* out) {
  const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < kWords) out[i] = c_words[i];
  if (i < 6) out[kWords + i] = Z_TABLE[i];
  if (i == 0) {
    const uint32_t* words = c_words;
    out[14] = words[0];
  }
}

std::vector<uint32_t> SeenByKernel(cudaStream_t stream = nullptr) {
  constexpr std::size_t kOut = 15;
  auto out = DeviceAlloc(kOut * sizeof(uint32_t));
  EXPECT_EQ(KEST_LAUNCH(read_constants, 2, 32, 0, stream)(static_cast<uint32_t*>(out.get())),
            cudaSuccess);
  std::vector<uint32_t> host(kOut);
  EXPECT_EQ(cudaMemcpy(host.data(), out.get(), kOut * sizeof(uint32_t), cudaMemcpyDeviceToHost),
            cudaSuccess);
  return host;
}

TEST_F(SoftDeviceTest, EachDeviceHasItsOwnSymbolCopy) {
  UseDevices(2);
  const uint32_t first[kWords] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint32_t second[kWords] = {101, 102, 103, 104, 105, 106, 107, 108};
  ASSERT_EQ(cudaMemcpyToSymbol(c_words, first, sizeof(first)), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  Stream stream;
  ASSERT_EQ(
      cudaMemcpyToSymbolAsync(c_words, second, sizeof(second), 0, cudaMemcpyHostToDevice, stream),
      cudaSuccess);

  const std::vector<uint32_t> on_one = SeenByKernel(stream);
  EXPECT_EQ(std::vector<uint32_t>(on_one.begin(), on_one.begin() + kWords),
            std::vector<uint32_t>(second, second + kWords));
  EXPECT_EQ(on_one[14], 101u);

  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  const std::vector<uint32_t> on_zero = SeenByKernel();
  EXPECT_EQ(std::vector<uint32_t>(on_zero.begin(), on_zero.begin() + kWords),
            std::vector<uint32_t>(first, first + kWords));
  EXPECT_EQ(on_zero[14], 1u);
}

TEST_F(SoftDeviceTest, SymbolCopiesHonourOffsetAndBounds) {
  const uint32_t zeros[kWords] = {};
  ASSERT_EQ(cudaMemcpyToSymbol(c_words, zeros, sizeof(zeros)), cudaSuccess);
  const uint32_t pair[2] = {0xAAAA, 0xBBBB};
  ASSERT_EQ(cudaMemcpyToSymbol(c_words, pair, sizeof(pair), 3 * sizeof(uint32_t)), cudaSuccess);

  uint32_t back[kWords] = {};
  ASSERT_EQ(cudaMemcpyFromSymbol(back, c_words, sizeof(back)), cudaSuccess);
  EXPECT_EQ(std::vector<uint32_t>(back, back + kWords),
            (std::vector<uint32_t>{0, 0, 0, 0xAAAA, 0xBBBB, 0, 0, 0}));

  const uint32_t big[kWords + 1] = {};
  EXPECT_EQ(cudaMemcpyToSymbol(c_words, big, sizeof(big)), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyToSymbol(c_words, pair, sizeof(pair), 7 * sizeof(uint32_t)),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyToSymbol(c_words, pair, 1, SIZE_MAX), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyToSymbol(c_words, pair, sizeof(pair), 0, cudaMemcpyDeviceToHost),
            cudaErrorInvalidMemcpyDirection);
  EXPECT_EQ(cudaMemcpyToSymbol(c_words, nullptr, 4), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyToSymbolAsync(c_words, pair, 4, 0, cudaMemcpyHostToDevice,
                                    reinterpret_cast<cudaStream_t>(&back)),
            cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaMemcpyToSymbol(static_cast<const void*>(&back), pair, 4), cudaErrorInvalidSymbol);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidSymbol);

  ASSERT_EQ(cudaMemcpyFromSymbol(back, c_words, sizeof(back)), cudaSuccess);
  EXPECT_EQ(back[3], 0xAAAAu) << "refused copies change nothing";
  EXPECT_EQ(back[7], 0u);
}

TEST_F(SoftDeviceTest, InitialisedTablesStartOnEveryDevice) {
  UseDevices(3);
  for (int device = 0; device < 3; ++device) {
    ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
    const std::vector<uint32_t> seen = SeenByKernel();
    EXPECT_EQ(std::vector<uint32_t>(seen.begin() + kWords, seen.begin() + kWords + 6),
              (std::vector<uint32_t>{9, 8, 7, 6, 0, 0}))
        << "device " << device;
  }
  // Rewriting the table on one device leaves the image on the others.
  const uint8_t replacement[6] = {1, 1, 1, 1, 1, 1};
  ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
  ASSERT_EQ(cudaMemcpyToSymbol(Z_TABLE, replacement, sizeof(replacement)), cudaSuccess);
  EXPECT_EQ(SeenByKernel()[kWords], 1u);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(SeenByKernel()[kWords], 9u);
  // Restore the image for later tests.
  const uint8_t image[6] = {9, 8, 7, 6, 0, 0};
  ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
  ASSERT_EQ(cudaMemcpyToSymbol(Z_TABLE, image, sizeof(image)), cudaSuccess);
}

}  // namespace
