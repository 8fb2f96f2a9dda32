// Shared set-up of the software device tests: a fresh configuration per test and owning
// handles for device memory and streams.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gpu/runtime.h"

namespace swdev_test {

struct DeviceFree {
  void operator()(void* p) const { cudaFree(p); }
};
struct HostFree {
  void operator()(void* p) const { cudaFreeHost(p); }
};
using DeviceMemory = std::unique_ptr<void, DeviceFree>;
using PinnedMemory = std::unique_ptr<void, HostFree>;

inline DeviceMemory DeviceAlloc(std::size_t bytes) {
  void* p = nullptr;
  EXPECT_EQ(cudaMalloc(&p, bytes), cudaSuccess);
  return DeviceMemory(p);
}

inline PinnedMemory PinnedAlloc(std::size_t bytes, unsigned flags = cudaHostAllocMapped) {
  void* p = nullptr;
  EXPECT_EQ(cudaHostAlloc(&p, bytes, flags), cudaSuccess);
  return PinnedMemory(p);
}

class Stream {
 public:
  Stream() { EXPECT_EQ(cudaStreamCreate(&stream_), cudaSuccess); }
  ~Stream() { cudaStreamDestroy(stream_); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  operator cudaStream_t() const { return stream_; }

 private:
  cudaStream_t stream_ = nullptr;
};

class SoftDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { UseDevices(1); }
  void TearDown() override { Kest::swdev::Configure(Kest::swdev::Config{}); }

  // A fresh configuration of `count` devices; device 0 current and no error pending.
  static void UseDevices(int count, std::vector<std::string> names = {}) {
    Kest::swdev::Config config;
    config.device_count = count;
    config.names = std::move(names);
    Kest::swdev::Configure(config);
    cudaSetDevice(0);
    cudaGetLastError();
  }
};

}  // namespace swdev_test
