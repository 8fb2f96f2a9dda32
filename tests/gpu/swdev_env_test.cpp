// The environment configures the software device at its first use. This binary holds a single
// test so that the variables are set before anything touches the device.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "gpu/runtime.h"

namespace {

TEST(SoftDeviceEnvironment, ConfiguresTheDeviceOnFirstUse) {
  ASSERT_EQ(setenv("KEST_SWDEV_DEVICES", "3", 1), 0);
  ASSERT_EQ(setenv("KEST_SWDEV_NAMES", "Left;;Right", 1), 0);
  ASSERT_EQ(setenv("KEST_SWDEV_FAULT", "props:2,launch:2@0", 1), 0);
  ASSERT_EQ(setenv("KEST_SWDEV_PCI_BUS_IDS", ";0000:0A:00.0", 1), 0);

  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 3);
  cudaDeviceProp prop{};
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_STREQ(prop.name, "Left");
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 1), cudaSuccess);
  EXPECT_EQ(std::string(prop.name).rfind("Software device #1", 0), 0u) << prop.name;
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 2), cudaErrorDevicesUnavailable);
  EXPECT_EQ(cudaGetLastError(), cudaErrorDevicesUnavailable);

  char id[16];
  ASSERT_EQ(cudaDeviceGetPCIBusId(id, sizeof(id), 0), cudaSuccess);
  EXPECT_STREQ(id, "0000:01:00.0");
  ASSERT_EQ(cudaDeviceGetPCIBusId(id, sizeof(id), 1), cudaSuccess);
  EXPECT_STREQ(id, "0000:0A:00.0");

  const auto body = [] {};
  EXPECT_EQ(Kest::swdev::Launch(dim3(1), dim3(1), nullptr, body), cudaSuccess);
  EXPECT_EQ(Kest::swdev::Launch(dim3(1), dim3(1), nullptr, body), cudaErrorLaunchFailure);
  EXPECT_EQ(Kest::swdev::Launch(dim3(1), dim3(1), nullptr, body), cudaSuccess);

  // The busy time of device 0's launches, found by its bus id in the management library's
  // eight-digit form, as a stand-in library loaded later looks it up; none for an unknown id.
  using BusyFn = int (*)(const char*, unsigned long long*);
  const auto busy = reinterpret_cast<BusyFn>(dlsym(RTLD_DEFAULT, "kest_swdev_busy_ns"));
  ASSERT_NE(busy, nullptr);
  unsigned long long ns = 0;
  EXPECT_EQ(busy("00000000:01:00.0", &ns), 0);
  EXPECT_GT(ns, 0u);
  EXPECT_EQ(busy("0000:0a:00.0", &ns), 0);
  EXPECT_EQ(busy("0000:07:00.0", &ns), -1);

  // Read once: later changes to the environment do not matter.
  ASSERT_EQ(setenv("KEST_SWDEV_DEVICES", "1", 1), 0);
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 3);
}

}  // namespace
