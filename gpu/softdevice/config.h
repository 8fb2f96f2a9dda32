// Configuration of the software device: how many devices there are, what they are called, the
// faults to inject, and the figures the device reports about itself.
//
// The process configures itself once, at the first runtime call, from the environment:
//   KEST_SWDEV_DEVICES  number of devices, 0..kMaxDevices (default 1)
//   KEST_SWDEV_NAMES    device names separated by ';' (missing or empty names get the default)
//   KEST_SWDEV_PCI_BUS_IDS  PCI bus ids separated by ';', each DDDD:BB:DD.F in hexadecimal
//                       (missing or empty ones get the default: bus D + 1 for device D, so
//                       device 0 is "0000:01:00.0")
//   KEST_SWDEV_FAULT    comma-separated faults:
//                         launch         every kernel launch fails from now on
//                         launch:N       only the Nth launch (counted from 1) fails
//                         malloc         every cudaMalloc fails from now on
//                         malloc:N       only the Nth cudaMalloc (counted from 1) fails
//                         props:D        device D's properties and attributes cannot be read
//                         attrs:D        device D's attributes cannot be read (properties can)
//                         hang           every kernel launch blocks (a hung device) until
//                                        ReleaseHangs() is called, then runs normally
//                         hang:N         only the Nth launch (counted from 1) blocks
//                       a launch, hang or malloc fault may end in @D to count and fail only
//                       launches or allocations on device D. Launches are counted once they pass
//                       the launch checks; a failed one runs no thread and reports
//                       cudaErrorLaunchFailure. A failed cudaMalloc allocates nothing and reports
//                       cudaErrorMemoryAllocation. Query faults report cudaErrorDevicesUnavailable.
// A malformed variable is reported on standard error and ignored. Unit tests call Configure()
// instead; its configuration replaces whatever the environment asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/softdevice/types.h"

namespace Kest::swdev {

// Largest number of software devices; constant symbols keep one copy per device.
constexpr int kMaxDevices = 16;

// What a software device reports about itself. The occupancy figures decide the launch
// geometry of the miner's search kernel: with 256-thread kernels a multiprocessor holds
// kMaxThreadsPerMultiprocessor / 256 = 4 blocks, and there is one multiprocessor per CPU
// thread, so a search launch covers 1024 candidates per CPU thread (tens of milliseconds).
namespace tuning {
constexpr int kWarpSize = 32;
constexpr int kDeviceMaxThreadsPerBlock = 1024;
constexpr int kMaxBlockDimXY = 1024;
constexpr int kMaxBlockDimZ = 64;
constexpr int kMaxGridDimX = 2147483647;
constexpr int kMaxGridDimYZ = 65535;
constexpr int kKernelMaxThreadsPerBlock = 256;  // every kernel, unless SetKernelMaxThreads
constexpr int kMaxThreadsPerMultiprocessor = 1024;
constexpr int kMaxBlocksPerMultiprocessor = 16;
constexpr int kComputeMajor = 7;  // the capability the kernels are written against
constexpr int kComputeMinor = 0;
constexpr std::size_t kSharedMemPerBlock = 48 * 1024;
constexpr int kRegistersPerBlock = 65536;
constexpr std::size_t kTotalConstMem = 64 * 1024;
}  // namespace tuning

struct Fault {
  enum class Kind { kLaunch, kProperties, kAttributes, kMalloc, kHang };
  Kind kind = Kind::kLaunch;
  // kLaunch, kMalloc, kHang: 0 hits every matching call, N >= 1 only the Nth one.
  std::uint64_t nth = 0;
  // kLaunch, kMalloc, kHang: -1 matches calls on any device. kProperties, kAttributes: the
  // device.
  int device = -1;
  cudaError_t error = cudaErrorLaunchFailure;
};

struct Config {
  int device_count = 1;
  std::vector<std::string> names;  // names[i] for device i; empty or missing: default name
  // pci_bus_ids[i] for device i; empty or missing: DefaultPciBusId(i).
  std::vector<std::string> pci_bus_ids;
  std::vector<Fault> faults;
};

// Replaces the configuration. Launch counts restart at zero and every device's flags are
// cleared; memory and streams already created stay. A device count outside 0..kMaxDevices
// is clamped. Meant for tests, between uses of the device.
void Configure(const Config& config);

// The configuration in force.
Config CurrentConfig();

// Adds a fault to the configuration in force; its launch count starts now.
void InjectFault(const Fault& fault);

// Removes every fault.
void ClearFaults();

// Lets every launch blocked by a hang fault go on (it then runs normally). Later launches that
// match a hang fault still block.
void ReleaseHangs();

// Number of launches blocked by a hang fault right now.
int HungLaunches();

// Parses the environment values (any may be null: not set). Values that cannot be parsed are
// left at their defaults and described in `problems`, one line each.
Config ParseConfig(const char* devices, const char* names, const char* faults,
                   std::vector<std::string>* problems);
Config ParseConfig(const char* devices, const char* names, const char* faults,
                   const char* pci_bus_ids, std::vector<std::string>* problems);

// The configuration the environment asks for (problems are printed on standard error).
Config ConfigFromEnvironment();

// Number of CPU threads kernels run on; also the multiprocessor count of every device.
int CpuThreads();

// The name a device gets when none is configured, e.g. "Software device (2 CPU threads)".
std::string DefaultDeviceName(int device, int device_count);

// The PCI bus id a device reports when none is configured: "0000:01:00.0" for device 0.
std::string DefaultPciBusId(int device);

// Cumulative time device `device` has spent running kernel launches, in nanoseconds (0 for a
// device number outside 0..kMaxDevices-1).
std::uint64_t BusyNanos(int device);

// Maximum block size of one kernel, as cudaFuncGetAttributes reports it and launches enforce
// (tuning::kKernelMaxThreadsPerBlock unless set here). `kernel` is the kernel's address.
void SetKernelMaxThreads(const void* kernel, int max_threads);
template <class... P>
void SetKernelMaxThreads(void (*kernel)(P...), int max_threads) {
  SetKernelMaxThreads(reinterpret_cast<const void*>(kernel), max_threads);
}

}  // namespace Kest::swdev
