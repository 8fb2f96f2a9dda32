// Devices of the software device: count, names and properties from the configuration, device
// selection and flags, injected query faults, the configuration parser, and the per-thread
// last error.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "gpu/runtime.h"
#include "tests/gpu/swdev_fixture.h"

namespace {

using Kest::swdev::Config;
using Kest::swdev::Fault;
using swdev_test::SoftDeviceTest;

std::string DeviceName(int device) {
  cudaDeviceProp prop{};
  EXPECT_EQ(cudaGetDeviceProperties(&prop, device), cudaSuccess);
  return prop.name;
}

TEST_F(SoftDeviceTest, DefaultIsOneDeviceNamedForTheCpuThreads) {
  Kest::swdev::Configure(Config{});
  int count = -1;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 1);

  const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
  cudaDeviceProp prop{};
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_EQ(std::string(prop.name), "Software device (" + std::to_string(cpus) +
                                        (cpus == 1 ? " CPU thread)" : " CPU threads)"));
  EXPECT_EQ(prop.multiProcessorCount, static_cast<int>(cpus));
  EXPECT_EQ(prop.warpSize, 32);
  EXPECT_GE(prop.maxThreadsPerBlock, 256);
  EXPECT_GE(prop.totalGlobalMem, std::size_t{1} << 30);  // room for a 1 GiB tile map
  EXPECT_EQ(prop.canMapHostMemory, 1);
}

TEST_F(SoftDeviceTest, CountAndNamesFollowTheConfiguration) {
  UseDevices(3, {"Alpha", "", "Gamma"});
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(DeviceName(0), "Alpha");
  EXPECT_EQ(DeviceName(1).rfind("Software device #1 (", 0), 0u) << DeviceName(1);
  EXPECT_EQ(DeviceName(2), "Gamma");

  cudaDeviceProp prop{};
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 3), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetDeviceProperties(&prop, -1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetDeviceProperties(nullptr, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetDevice(3), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST_F(SoftDeviceTest, OverlongNameIsCutToTheField) {
  UseDevices(1, {std::string(400, 'x')});
  cudaDeviceProp prop{};
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_EQ(std::strlen(prop.name), sizeof(prop.name) - 1);
}

TEST_F(SoftDeviceTest, NoDevices) {
  UseDevices(0);
  int count = -1;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  EXPECT_EQ(count, 0);
  int device = -1;
  EXPECT_EQ(cudaGetDevice(&device), cudaErrorNoDevice);
  EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice);
  void* p = nullptr;
  EXPECT_EQ(cudaMalloc(&p, 16), cudaErrorNoDevice);
  EXPECT_EQ(p, nullptr);
  cudaStream_t s = nullptr;
  EXPECT_EQ(cudaStreamCreate(&s), cudaErrorNoDevice);
}

TEST_F(SoftDeviceTest, CurrentDeviceIsPerHostThread) {
  UseDevices(2);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  int other = -1;
  std::thread([&other] { cudaGetDevice(&other); }).join();
  int mine = -1;
  ASSERT_EQ(cudaGetDevice(&mine), cudaSuccess);
  EXPECT_EQ(mine, 1);
  EXPECT_EQ(other, 0);
}

TEST_F(SoftDeviceTest, DeviceFlags) {
  UseDevices(2);
  ASSERT_EQ(cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync), cudaSuccess);
  unsigned flags = 0;
  ASSERT_EQ(cudaGetDeviceFlags(&flags), cudaSuccess);
  EXPECT_EQ(flags, 4u);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(cudaGetDeviceFlags(&flags), cudaSuccess);
  EXPECT_EQ(flags, 0u) << "flags belong to one device";

  EXPECT_EQ(cudaSetDeviceFlags(cudaDeviceScheduleSpin | cudaDeviceScheduleYield),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetDeviceFlags(0x100), cudaErrorInvalidValue);

  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
  ASSERT_EQ(cudaGetDeviceFlags(&flags), cudaSuccess);
  EXPECT_EQ(flags, 0u) << "reset clears the flags";
}

TEST_F(SoftDeviceTest, PropertiesFaultHitsOneDevice) {
  UseDevices(2);
  Kest::swdev::InjectFault(Fault{Fault::Kind::kProperties, 0, 1, cudaErrorDevicesUnavailable});

  EXPECT_EQ(DeviceName(0).empty(), false);
  cudaDeviceProp prop{};
  std::strcpy(prop.name, "untouched");
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaErrorDevicesUnavailable);
  EXPECT_STREQ(prop.name, "untouched");
  EXPECT_EQ(cudaGetLastError(), cudaErrorDevicesUnavailable);
  int warp = 0;
  EXPECT_EQ(cudaDeviceGetAttribute(&warp, cudaDevAttrWarpSize, 1), cudaErrorDevicesUnavailable);
  EXPECT_EQ(cudaDeviceGetAttribute(&warp, cudaDevAttrWarpSize, 0), cudaSuccess);

  Kest::swdev::ClearFaults();
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaSuccess);
}

// ---------------------------------------------------------------------------------------------
// Configuration parser
// ---------------------------------------------------------------------------------------------
TEST(SoftDeviceConfig, ParsesDevicesNamesAndFaults) {
  std::vector<std::string> problems;
  const Config c = Kest::swdev::ParseConfig(
      " 3 ", "GPU A; GPU B ;;D",
      "launch, launch:5 ,launch:2@1,launch@0,props:1,attrs:0,malloc:2@1,hang:3@0", &problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(c.device_count, 3);
  EXPECT_EQ(c.names, (std::vector<std::string>{"GPU A", "GPU B", "", "D"}));
  ASSERT_EQ(c.faults.size(), 8u);
  EXPECT_EQ(c.faults[0].kind, Fault::Kind::kLaunch);
  EXPECT_EQ(c.faults[0].nth, 0u);
  EXPECT_EQ(c.faults[0].device, -1);
  EXPECT_EQ(c.faults[1].nth, 5u);
  EXPECT_EQ(c.faults[2].nth, 2u);
  EXPECT_EQ(c.faults[2].device, 1);
  EXPECT_EQ(c.faults[3].nth, 0u);
  EXPECT_EQ(c.faults[3].device, 0);
  EXPECT_EQ(c.faults[4].kind, Fault::Kind::kProperties);
  EXPECT_EQ(c.faults[4].device, 1);
  EXPECT_EQ(c.faults[5].kind, Fault::Kind::kAttributes);
  EXPECT_EQ(c.faults[5].device, 0);
  EXPECT_EQ(c.faults[0].error, cudaErrorLaunchFailure);
  EXPECT_EQ(c.faults[6].kind, Fault::Kind::kMalloc);
  EXPECT_EQ(c.faults[6].nth, 2u);
  EXPECT_EQ(c.faults[6].device, 1);
  EXPECT_EQ(c.faults[6].error, cudaErrorMemoryAllocation);
  EXPECT_EQ(c.faults[7].kind, Fault::Kind::kHang);
  EXPECT_EQ(c.faults[7].nth, 3u);
  EXPECT_EQ(c.faults[7].device, 0);
}

TEST(SoftDeviceConfig, RejectsMalformedValues) {
  for (const char* devices : {"17", "-1", "2x", "", "two", "99999999999999999999"}) {
    std::vector<std::string> problems;
    const Config c = Kest::swdev::ParseConfig(devices, nullptr, nullptr, &problems);
    EXPECT_EQ(c.device_count, 1) << devices;
    EXPECT_EQ(problems.size(), 1u) << devices;
  }
  for (const char* fault :
       {"launch:", "launch:0", "launch:x", "launch@", "launch@16", "props", "props:", "props:16",
        "props:1@0", "attrs:-1", "explode", "launch:2:3"}) {
    std::vector<std::string> problems;
    const Config c = Kest::swdev::ParseConfig(nullptr, nullptr, fault, &problems);
    EXPECT_TRUE(c.faults.empty()) << fault;
    EXPECT_EQ(problems.size(), 1u) << fault;
  }
  std::vector<std::string> problems;
  const Config c = Kest::swdev::ParseConfig(nullptr, nullptr, "bogus,launch:4", &problems);
  ASSERT_EQ(c.faults.size(), 1u) << "good items survive a bad neighbour";
  EXPECT_EQ(c.faults[0].nth, 4u);
}

// Each device reports a PCI bus id: the configured one, else bus D + 1 for device D; a bad id
// in the variable is reported and leaves that device its default.
TEST_F(SoftDeviceTest, PciBusIdsFromTheConfigurationOrTheDefault) {
  std::vector<std::string> problems;
  Config c =
      Kest::swdev::ParseConfig("3", nullptr, nullptr, " 0000:41:00.0;0000:zz:00.0", &problems);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("KEST_SWDEV_PCI_BUS_IDS=\"0000:zz:00.0\" ignored"), std::string::npos)
      << problems[0];
  for (const char* bad : {"41:00.0", "0000:41:00", "0000:41:00.0:1", "00000000:41:00.0"}) {
    std::vector<std::string> more;
    Kest::swdev::ParseConfig(nullptr, nullptr, nullptr, bad, &more);
    EXPECT_EQ(more.size(), 1u) << bad;
  }
  Kest::swdev::Configure(c);
  char id[32];
  EXPECT_EQ(cudaDeviceGetPCIBusId(id, sizeof(id), 0), cudaSuccess);
  EXPECT_STREQ(id, "0000:41:00.0");
  EXPECT_EQ(cudaDeviceGetPCIBusId(id, sizeof(id), 1), cudaSuccess);
  EXPECT_STREQ(id, "0000:02:00.0");
  EXPECT_EQ(cudaDeviceGetPCIBusId(id, sizeof(id), 2), cudaSuccess);
  EXPECT_STREQ(id, "0000:03:00.0");
  EXPECT_EQ(cudaDeviceGetPCIBusId(id, 12, 2), cudaErrorInvalidValue);  // no room for the NUL
  EXPECT_EQ(cudaDeviceGetPCIBusId(id, sizeof(id), 3), cudaErrorInvalidDevice);
  cudaGetLastError();
  Kest::swdev::Configure(Config{});
}

TEST(SoftDeviceConfig, CountIsClampedWhenConfiguredDirectly) {
  Config c;
  c.device_count = 1000;
  Kest::swdev::Configure(c);
  int count = 0;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, Kest::swdev::kMaxDevices);
  c.device_count = -5;
  Kest::swdev::Configure(c);
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  cudaGetLastError();
  Kest::swdev::Configure(Config{});
}

// ---------------------------------------------------------------------------------------------
// Last error
// ---------------------------------------------------------------------------------------------
TEST_F(SoftDeviceTest, LastErrorIsKeptPerThreadUntilRead) {
  const auto bad_launch = [] { return Kest::swdev::Launch(dim3(1), dim3(0), nullptr, [] {}); };
  ASSERT_EQ(bad_launch(), cudaErrorInvalidConfiguration);

  cudaError_t seen_elsewhere = cudaErrorUnknown;
  cudaError_t elsewhere_after_own_failure = cudaSuccess;
  std::thread([&] {
    seen_elsewhere = cudaPeekAtLastError();
    cudaSetDevice(7);
    elsewhere_after_own_failure = cudaGetLastError();
  }).join();
  EXPECT_EQ(seen_elsewhere, cudaSuccess);
  EXPECT_EQ(elsewhere_after_own_failure, cudaErrorInvalidDevice);

  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);  // a success leaves the error in place
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);

  // The latest failure wins.
  cudaSetDevice(9);
  bad_launch();
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
}

TEST(SoftDeviceErrors, TextsAreStableAndDistinct) {
  EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
  EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(12345)), "unrecognized error code");
  EXPECT_STREQ(cudaGetErrorName(cudaErrorInvalidValue), "cudaErrorInvalidValue");

  const cudaError_t codes[] = {cudaSuccess,
                               cudaErrorInvalidValue,
                               cudaErrorMemoryAllocation,
                               cudaErrorInitializationError,
                               cudaErrorInvalidConfiguration,
                               cudaErrorInvalidSymbol,
                               cudaErrorInvalidHostPointer,
                               cudaErrorInvalidDevicePointer,
                               cudaErrorInvalidMemcpyDirection,
                               cudaErrorDevicesUnavailable,
                               cudaErrorInvalidDeviceFunction,
                               cudaErrorNoDevice,
                               cudaErrorInvalidDevice,
                               cudaErrorInvalidResourceHandle,
                               cudaErrorLaunchOutOfResources,
                               cudaErrorLaunchFailure,
                               cudaErrorNotSupported,
                               cudaErrorUnknown};
  std::set<std::string> texts;
  std::set<std::string> names;
  for (const cudaError_t code : codes) {
    texts.insert(cudaGetErrorString(code));
    names.insert(cudaGetErrorName(code));
    EXPECT_EQ(cudaGetErrorString(code), cudaGetErrorString(code)) << "same storage every call";
  }
  EXPECT_EQ(texts.size(), std::size(codes));
  EXPECT_EQ(names.size(), std::size(codes));
}

}  // namespace
