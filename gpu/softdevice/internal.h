// Pieces of the software device shared between its runtime calls and its launcher.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "gpu/softdevice/types.h"

// A stream: the device it belongs to and the lock that keeps its operations in order.
struct CUstream_st {
  explicit CUstream_st(int dev) : device(dev) {}
  const int device;
  std::mutex order;
};

namespace Kest::swdev::detail {

// Records `error` as the calling thread's last error (unless it is cudaSuccess) and returns it.
cudaError_t Record(cudaError_t error);

// The stream a handle stands for (0: the current device's default stream), or null with
// *error set when the handle or its device is not valid.
std::shared_ptr<CUstream_st> ResolveStream(cudaStream_t stream, cudaError_t* error);

// The calling thread's current device, checked against the configuration.
cudaError_t CurrentDevice(int* device);

// Counts a launch on `device` against the launch faults; the error of a fault that fires.
cudaError_t CheckLaunchFault(int device);

// Adds the time of one launch on `device` to its busy time.
void AddBusyNanos(int device, std::uint64_t ns);

// The device whose PCI bus id is `pci_bus_id` (domain of any width, any case), or -1.
int DeviceWithBusId(const char* pci_bus_id);

// Block-size limit of a kernel (tuning::kKernelMaxThreadsPerBlock unless set).
int KernelMaxThreads(const void* kernel);

}  // namespace Kest::swdev::detail
