// Runtime calls of the software device: errors, devices, streams, memory, copies, symbols and
// the occupancy queries. Kernel launches are in launch.cpp.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "gpu/softdevice/api.h"
#include "gpu/softdevice/config.h"
#include "gpu/softdevice/internal.h"
#include "gpu/softdevice/symbol.h"

namespace Kest::swdev {
namespace {

constexpr unsigned kDeviceFlagsAccepted =
    cudaDeviceScheduleMask | cudaDeviceMapHost | cudaDeviceLmemResizeToMax;
constexpr unsigned kHostAllocFlagsAccepted =
    cudaHostAllocPortable | cudaHostAllocMapped | cudaHostAllocWriteCombined;

enum class MemoryKind { kDevice, kPinned };

struct Allocation {
  std::size_t size;    // bytes asked for
  std::size_t mapped;  // bytes mapped (whole pages)
  int device;          // the device that was current when it was made
  MemoryKind kind;
};

// Everything the runtime keeps. Created on first use (which reads the environment) and never
// destroyed, so detached threads may still use it while the process exits.
class Registry {
 public:
  Registry() { Apply(ConfigFromEnvironment()); }

  // Configuration, faults, device flags and kernel limits.
  void Apply(const Config& config) {
    std::lock_guard<std::mutex> lock(mu_);
    config_ = config;
    config_.device_count = std::clamp(config_.device_count, 0, kMaxDevices);
    fault_counts_.assign(config_.faults.size(), 0);
    flags_.fill(0);
    device_count_.store(config_.device_count, std::memory_order_release);
  }
  Config GetConfig() {
    std::lock_guard<std::mutex> lock(mu_);
    return config_;
  }
  void AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(mu_);
    config_.faults.push_back(fault);
    fault_counts_.push_back(0);
  }
  void ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    config_.faults.clear();
    fault_counts_.clear();
  }
  int DeviceCount() const { return device_count_.load(std::memory_order_acquire); }

  cudaError_t QueryFault(Fault::Kind kind, int device) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const Fault& f : config_.faults) {
      if (f.device != device) continue;
      if (f.kind == kind ||
          (kind == Fault::Kind::kAttributes && f.kind == Fault::Kind::kProperties)) {
        return f.error;
      }
    }
    return cudaSuccess;
  }

  // Counts a launch or an allocation (`kind`) on `device` against the faults of that kind.
  cudaError_t CountedFault(Fault::Kind kind, int device) {
    std::lock_guard<std::mutex> lock(mu_);
    cudaError_t result = cudaSuccess;
    for (std::size_t i = 0; i < config_.faults.size(); ++i) {
      const Fault& f = config_.faults[i];
      if (f.kind != kind || (f.device >= 0 && f.device != device)) continue;
      const std::uint64_t n = ++fault_counts_[i];
      if (result == cudaSuccess && (f.nth == 0 || n == f.nth)) result = f.error;
    }
    return result;
  }

  std::string Name(int device) {
    std::lock_guard<std::mutex> lock(mu_);
    if (static_cast<std::size_t>(device) < config_.names.size() && !config_.names[device].empty()) {
      return config_.names[device];
    }
    return DefaultDeviceName(device, config_.device_count);
  }
  std::string PciBusId(int device) {
    std::lock_guard<std::mutex> lock(mu_);
    if (static_cast<std::size_t>(device) < config_.pci_bus_ids.size() &&
        !config_.pci_bus_ids[device].empty()) {
      return config_.pci_bus_ids[device];
    }
    return DefaultPciBusId(device);
  }

  void SetFlags(int device, unsigned flags) {
    std::lock_guard<std::mutex> lock(mu_);
    flags_[device] = flags;
  }
  unsigned Flags(int device) {
    std::lock_guard<std::mutex> lock(mu_);
    return flags_[device];
  }

  void SetKernelMaxThreads(const void* kernel, int max_threads) {
    std::lock_guard<std::mutex> lock(mu_);
    kernel_max_threads_[kernel] = max_threads;
  }
  int KernelMaxThreads(const void* kernel) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = kernel_max_threads_.find(kernel);
    return it == kernel_max_threads_.end() ? tuning::kKernelMaxThreadsPerBlock : it->second;
  }

  // Memory.
  std::shared_mutex memory_mu;
  std::map<std::uintptr_t, Allocation> allocations;  // by base address
  std::array<std::size_t, kMaxDevices> device_bytes{};

  // Streams.
  std::mutex stream_mu;
  std::unordered_map<CUstream_st*, std::shared_ptr<CUstream_st>> streams;
  std::array<std::shared_ptr<CUstream_st>, kMaxDevices> default_streams = MakeDefaultStreams();

 private:
  static std::array<std::shared_ptr<CUstream_st>, kMaxDevices> MakeDefaultStreams() {
    std::array<std::shared_ptr<CUstream_st>, kMaxDevices> streams;
    for (int d = 0; d < kMaxDevices; ++d) streams[d] = std::make_shared<CUstream_st>(d);
    return streams;
  }

  std::mutex mu_;
  Config config_;
  std::vector<std::uint64_t> fault_counts_;
  std::array<unsigned, kMaxDevices> flags_{};
  std::unordered_map<const void*, int> kernel_max_threads_;
  std::atomic<int> device_count_{0};
};

Registry& Reg() {
  static Registry* const registry = new Registry;
  return *registry;
}

thread_local cudaError_t tls_last_error = cudaSuccess;

std::size_t PhysicalMemory() {
  static const std::size_t bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page > 0 ? static_cast<std::size_t>(pages) * page : std::size_t{1} << 30;
  }();
  return bytes;
}

std::size_t PageSize() {
  static const std::size_t bytes = static_cast<std::size_t>(sysconf(_SC_PAGE_SIZE));
  return bytes;
}

bool ValidDevice(int device) {
  return device >= 0 && device < Reg().DeviceCount();
}

cudaError_t CheckDevice(int device) {
  if (Reg().DeviceCount() == 0) return cudaErrorNoDevice;
  return ValidDevice(device) ? cudaSuccess : cudaErrorInvalidDevice;
}

// Maps `size` bytes of zeroed, lazily paged memory and records it.
cudaError_t Allocate(void** out, std::size_t size, MemoryKind kind) {
  int device = 0;
  if (const cudaError_t e = detail::CurrentDevice(&device); e != cudaSuccess) return e;
  const std::size_t total = PhysicalMemory();
  Registry& r = Reg();
  if (size > total) return cudaErrorMemoryAllocation;
  const std::size_t mapped = (size + PageSize() - 1) / PageSize() * PageSize();
  {
    std::lock_guard<std::shared_mutex> lock(r.memory_mu);
    if (kind == MemoryKind::kDevice && r.device_bytes[device] + size > total) {
      return cudaErrorMemoryAllocation;
    }
    if (kind == MemoryKind::kDevice) r.device_bytes[device] += size;
  }
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  std::lock_guard<std::shared_mutex> lock(r.memory_mu);
  if (p == MAP_FAILED) {
    if (kind == MemoryKind::kDevice) r.device_bytes[device] -= size;
    return cudaErrorMemoryAllocation;
  }
  r.allocations[reinterpret_cast<std::uintptr_t>(p)] = Allocation{size, mapped, device, kind};
  *out = p;
  return cudaSuccess;
}

// Unmaps an allocation; the caller holds memory_mu exclusively.
void Release(Registry& r, std::map<std::uintptr_t, Allocation>::iterator it) {
  if (it->second.kind == MemoryKind::kDevice) r.device_bytes[it->second.device] -= it->second.size;
  munmap(reinterpret_cast<void*>(it->first), it->second.mapped);
  r.allocations.erase(it);
}

cudaError_t Free(void* p, MemoryKind kind) {
  if (p == nullptr) return cudaSuccess;
  Registry& r = Reg();
  std::lock_guard<std::shared_mutex> lock(r.memory_mu);
  const auto it = r.allocations.find(reinterpret_cast<std::uintptr_t>(p));
  if (it == r.allocations.end() || it->second.kind != kind) return cudaErrorInvalidValue;
  Release(r, it);
  return cudaSuccess;
}

// Where a pointer lies relative to the known allocations.
enum class Span { kOutside, kInside, kOverrun };

Span Locate(const void* p, std::size_t count, Allocation* found = nullptr) {
  Registry& r = Reg();
  const auto addr = reinterpret_cast<std::uintptr_t>(p);
  std::shared_lock<std::shared_mutex> lock(r.memory_mu);
  auto it = r.allocations.upper_bound(addr);
  if (it == r.allocations.begin()) return Span::kOutside;
  --it;
  const std::size_t into = addr - it->first;
  if (into >= it->second.size) return Span::kOutside;
  if (found != nullptr) *found = it->second;
  return count <= it->second.size - into ? Span::kInside : Span::kOverrun;
}

// A pointer that must be device-visible memory (a device or pinned allocation) for `count`
// bytes; `optional` pointers may also be plain host memory, as long as they do not overrun an
// allocation they start in.
bool CheckRange(const void* p, std::size_t count, bool optional) {
  const Span span = Locate(p, count);
  return span == Span::kInside || (optional && span == Span::kOutside);
}

// One side of a copy whose kind names it: device memory lies wholly inside one device
// allocation; host memory is plain host memory (outside every allocation) or lies wholly inside
// one pinned allocation. CUDA leaves a kind that does not match its pointers undefined (a
// mapped pinned buffer copied "from the device" may work or not); here it always fails.
bool CheckSide(const void* p, std::size_t count, bool device) {
  Allocation a{};
  const Span span = Locate(p, count, &a);
  if (device) return span == Span::kInside && a.kind == MemoryKind::kDevice;
  return span == Span::kOutside || (span == Span::kInside && a.kind == MemoryKind::kPinned);
}

cudaError_t CheckCopy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) {
    return cudaErrorInvalidMemcpyDirection;
  }
  if (count == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return cudaErrorInvalidValue;
  if (kind == cudaMemcpyDefault) {
    // The direction follows from the pointers: any memory, as long as no allocation overruns.
    return CheckRange(dst, count, true) && CheckRange(src, count, true) ? cudaSuccess
                                                                        : cudaErrorInvalidValue;
  }
  const bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
  const bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
  if (!CheckSide(dst, count, dst_device) || !CheckSide(src, count, src_device)) {
    return cudaErrorInvalidValue;
  }
  return cudaSuccess;
}

// Kernels on another stream may be writing device memory while a small copy reads it (a
// solution counter, a result slot), which a GPU allows: copies of up to kAtomicCopyMax bytes go
// through relaxed byte-wise atomics so that stays well defined here too. Larger copies (job
// data, batch buffers) never overlap running kernels in this program and use memmove.
constexpr std::size_t kAtomicCopyMax = 64;

void CopyBytes(void* dst, const void* src, std::size_t count) {
  if (count > kAtomicCopyMax) {
    std::memmove(dst, src, count);
    return;
  }
  unsigned char staged[kAtomicCopyMax];
  const auto* from = static_cast<const unsigned char*>(src);
  auto* to = static_cast<unsigned char*>(dst);
  for (std::size_t i = 0; i < count; ++i) staged[i] = __atomic_load_n(from + i, __ATOMIC_RELAXED);
  for (std::size_t i = 0; i < count; ++i) __atomic_store_n(to + i, staged[i], __ATOMIC_RELAXED);
}

cudaError_t Copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                 cudaStream_t stream) {
  cudaError_t e = cudaSuccess;
  const auto s = detail::ResolveStream(stream, &e);
  if (s == nullptr) return e;
  if ((e = CheckCopy(dst, src, count, kind)) != cudaSuccess) return e;
  std::lock_guard<std::mutex> order(s->order);
  if (count > 0) CopyBytes(dst, src, count);
  return cudaSuccess;
}

cudaError_t Set(void* p, int value, std::size_t count, cudaStream_t stream) {
  cudaError_t e = cudaSuccess;
  const auto s = detail::ResolveStream(stream, &e);
  if (s == nullptr) return e;
  if (count == 0) return cudaSuccess;
  if (p == nullptr || !CheckRange(p, count, false)) return cudaErrorInvalidValue;
  std::lock_guard<std::mutex> order(s->order);
  std::memset(p, static_cast<unsigned char>(value), count);
  return cudaSuccess;
}

void WaitForStream(const std::shared_ptr<CUstream_st>& s) {
  std::lock_guard<std::mutex> order(s->order);
}

// Waits for the operations other threads are running on the device's streams.
void WaitForDevice(int device) {
  Registry& r = Reg();
  std::vector<std::shared_ptr<CUstream_st>> streams{r.default_streams[device]};
  {
    std::lock_guard<std::mutex> lock(r.stream_mu);
    for (const auto& [handle, s] : r.streams) {
      if (s->device == device) streams.push_back(s);
    }
  }
  for (const auto& s : streams) WaitForStream(s);
}

const char* ErrorText(cudaError_t error) {
  switch (error) {
    case cudaSuccess:
      return "no error";
    case cudaErrorInvalidValue:
      return "invalid argument";
    case cudaErrorMemoryAllocation:
      return "out of memory";
    case cudaErrorInitializationError:
      return "initialization error";
    case cudaErrorInvalidConfiguration:
      return "invalid configuration argument";
    case cudaErrorInvalidSymbol:
      return "invalid device symbol";
    case cudaErrorInvalidHostPointer:
      return "invalid host pointer";
    case cudaErrorInvalidDevicePointer:
      return "invalid device pointer";
    case cudaErrorInvalidMemcpyDirection:
      return "invalid copy direction for memcpy";
    case cudaErrorDevicesUnavailable:
      return "CUDA-capable device(s) is/are busy or unavailable";
    case cudaErrorInvalidDeviceFunction:
      return "invalid device function";
    case cudaErrorNoDevice:
      return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice:
      return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle:
      return "invalid resource handle";
    case cudaErrorLaunchOutOfResources:
      return "too many resources requested for launch";
    case cudaErrorLaunchFailure:
      return "unspecified launch failure";
    case cudaErrorNotSupported:
      return "operation not supported";
    case cudaErrorUnknown:
      return "unknown error";
  }
  return nullptr;
}

const char* ErrorName(cudaError_t error) {
  switch (error) {
    case cudaSuccess:
      return "cudaSuccess";
    case cudaErrorInvalidValue:
      return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation:
      return "cudaErrorMemoryAllocation";
    case cudaErrorInitializationError:
      return "cudaErrorInitializationError";
    case cudaErrorInvalidConfiguration:
      return "cudaErrorInvalidConfiguration";
    case cudaErrorInvalidSymbol:
      return "cudaErrorInvalidSymbol";
    case cudaErrorInvalidHostPointer:
      return "cudaErrorInvalidHostPointer";
    case cudaErrorInvalidDevicePointer:
      return "cudaErrorInvalidDevicePointer";
    case cudaErrorInvalidMemcpyDirection:
      return "cudaErrorInvalidMemcpyDirection";
    case cudaErrorDevicesUnavailable:
      return "cudaErrorDevicesUnavailable";
    case cudaErrorInvalidDeviceFunction:
      return "cudaErrorInvalidDeviceFunction";
    case cudaErrorNoDevice:
      return "cudaErrorNoDevice";
    case cudaErrorInvalidDevice:
      return "cudaErrorInvalidDevice";
    case cudaErrorInvalidResourceHandle:
      return "cudaErrorInvalidResourceHandle";
    case cudaErrorLaunchOutOfResources:
      return "cudaErrorLaunchOutOfResources";
    case cudaErrorLaunchFailure:
      return "cudaErrorLaunchFailure";
    case cudaErrorNotSupported:
      return "cudaErrorNotSupported";
    case cudaErrorUnknown:
      return "cudaErrorUnknown";
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------------------------
void Configure(const Config& config) {
  Reg().Apply(config);
}
Config CurrentConfig() {
  return Reg().GetConfig();
}
void InjectFault(const Fault& fault) {
  Reg().AddFault(fault);
}
void ClearFaults() {
  Reg().ClearFaults();
}

namespace {
// Launches blocked by a hang fault wait here until the release count moves on.
struct HangGate {
  std::mutex mu;
  std::condition_variable cv;
  std::uint64_t releases = 0;
  int hung = 0;
};
HangGate& Gate() {
  static HangGate* const gate = new HangGate;  // never destroyed: hung threads may outlive main
  return *gate;
}
}  // namespace

void ReleaseHangs() {
  HangGate& g = Gate();
  std::lock_guard<std::mutex> lock(g.mu);
  ++g.releases;
  g.cv.notify_all();
}

int HungLaunches() {
  HangGate& g = Gate();
  std::lock_guard<std::mutex> lock(g.mu);
  return g.hung;
}
void SetKernelMaxThreads(const void* kernel, int max_threads) {
  Reg().SetKernelMaxThreads(kernel, max_threads);
}

namespace {
std::array<std::atomic<std::uint64_t>, kMaxDevices> busy_nanos{};

// The domain as a number and the rest ("BB:DD.F") in lower case: the management library
// writes the domain with eight digits, the CUDA runtime with four.
bool SplitBusId(const std::string& id, unsigned long* domain, std::string* rest) {
  const auto colon = id.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 8) return false;
  char* end = nullptr;
  const std::string head = id.substr(0, colon);
  *domain = std::strtoul(head.c_str(), &end, 16);
  if (end != head.c_str() + head.size()) return false;
  rest->clear();
  for (std::size_t i = colon + 1; i < id.size(); ++i) {
    rest->push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(id[i]))));
  }
  return true;
}
}  // namespace

std::uint64_t BusyNanos(int device) {
  if (device < 0 || device >= kMaxDevices) return 0;
  return busy_nanos[static_cast<std::size_t>(device)].load(std::memory_order_relaxed);
}

namespace detail {

void AddBusyNanos(int device, std::uint64_t ns) {
  if (device < 0 || device >= kMaxDevices) return;
  busy_nanos[static_cast<std::size_t>(device)].fetch_add(ns, std::memory_order_relaxed);
}

int DeviceWithBusId(const char* pci_bus_id) {
  unsigned long domain = 0;
  std::string rest;
  if (pci_bus_id == nullptr || !SplitBusId(pci_bus_id, &domain, &rest)) return -1;
  for (int d = 0; d < Reg().DeviceCount(); ++d) {
    unsigned long own_domain = 0;
    std::string own_rest;
    if (SplitBusId(Reg().PciBusId(d), &own_domain, &own_rest) && own_domain == domain &&
        own_rest == rest) {
      return d;
    }
  }
  return -1;
}

cudaError_t Record(cudaError_t error) {
  if (error != cudaSuccess) tls_last_error = error;
  return error;
}

cudaError_t CurrentDevice(int* device) {
  *device = tls_device;
  return CheckDevice(tls_device);
}

std::shared_ptr<CUstream_st> ResolveStream(cudaStream_t stream, cudaError_t* error) {
  Registry& r = Reg();
  if (stream == nullptr) {
    int device = 0;
    *error = CurrentDevice(&device);
    return *error == cudaSuccess ? r.default_streams[device] : nullptr;
  }
  std::shared_ptr<CUstream_st> s;
  {
    std::lock_guard<std::mutex> lock(r.stream_mu);
    const auto it = r.streams.find(stream);
    if (it != r.streams.end()) s = it->second;
  }
  if (s == nullptr || !ValidDevice(s->device)) {
    *error = cudaErrorInvalidResourceHandle;
    return nullptr;
  }
  *error = cudaSuccess;
  return s;
}

cudaError_t CheckLaunchFault(int device) {
  if (Reg().CountedFault(Fault::Kind::kHang, device) != cudaSuccess) {
    HangGate& g = Gate();
    std::unique_lock<std::mutex> lock(g.mu);
    const std::uint64_t at = g.releases;
    ++g.hung;
    g.cv.wait(lock, [&g, at] { return g.releases != at; });
    --g.hung;
  }
  return Reg().CountedFault(Fault::Kind::kLaunch, device);
}

int KernelMaxThreads(const void* kernel) {
  return Reg().KernelMaxThreads(kernel);
}

cudaError_t CopySymbol(unsigned char* rows, std::size_t row_bytes, bool to_symbol, void* host,
                       std::size_t count, std::size_t offset, cudaMemcpyKind kind,
                       cudaStream_t stream, bool async) {
  const bool kind_ok = kind == cudaMemcpyDefault || kind == cudaMemcpyDeviceToDevice ||
                       kind == (to_symbol ? cudaMemcpyHostToDevice : cudaMemcpyDeviceToHost);
  if (!kind_ok) return Record(cudaErrorInvalidMemcpyDirection);
  if (offset > row_bytes || count > row_bytes - offset) return Record(cudaErrorInvalidValue);
  if (count > 0 && host == nullptr) return Record(cudaErrorInvalidValue);
  cudaError_t e = cudaSuccess;
  const auto s = ResolveStream(async ? stream : nullptr, &e);
  if (s == nullptr) return Record(e);
  int device = 0;
  if ((e = CurrentDevice(&device)) != cudaSuccess) return Record(e);
  if (count == 0) return cudaSuccess;
  if (kind == cudaMemcpyDeviceToDevice && !CheckRange(host, count, false)) {
    return Record(cudaErrorInvalidValue);
  }
  unsigned char* copy = rows + static_cast<std::size_t>(device) * row_bytes + offset;
  std::lock_guard<std::mutex> order(s->order);
  if (to_symbol) {
    std::memcpy(copy, host, count);
  } else {
    std::memcpy(host, copy, count);
  }
  return cudaSuccess;
}

}  // namespace detail
}  // namespace Kest::swdev

namespace sw = Kest::swdev;
using sw::detail::Record;

// Found by other code in the process with dlsym(RTLD_DEFAULT, ...): how long the device at
// `pci_bus_id` has run kernel launches, in nanoseconds. 0 when it is a software device, -1
// (and *ns untouched) when no software device has that bus id.
extern "C" __attribute__((visibility("default"))) int kest_swdev_busy_ns(const char* pci_bus_id,
                                                                         unsigned long long* ns) {
  const int device = sw::detail::DeviceWithBusId(pci_bus_id);
  if (device < 0 || ns == nullptr) return -1;
  *ns = sw::BusyNanos(device);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------------------------
cudaError_t cudaGetLastError() {
  const cudaError_t error = sw::tls_last_error;
  sw::tls_last_error = cudaSuccess;
  return error;
}

cudaError_t cudaPeekAtLastError() {
  return sw::tls_last_error;
}

const char* cudaGetErrorString(cudaError_t error) {
  const char* text = sw::ErrorText(error);
  return text != nullptr ? text : "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
  const char* name = sw::ErrorName(error);
  return name != nullptr ? name : "cudaErrorUnknown";
}

// ---------------------------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------------------------
cudaError_t cudaGetDeviceCount(int* count) {
  if (count == nullptr) return Record(cudaErrorInvalidValue);
  *count = sw::Reg().DeviceCount();
  return *count == 0 ? Record(cudaErrorNoDevice) : cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  namespace t = sw::tuning;
  if (prop == nullptr) return Record(cudaErrorInvalidValue);
  if (const cudaError_t e = sw::CheckDevice(device); e != cudaSuccess) return Record(e);
  if (const cudaError_t e = sw::Reg().QueryFault(sw::Fault::Kind::kProperties, device);
      e != cudaSuccess) {
    return Record(e);
  }
  cudaDeviceProp p{};
  const std::string name = sw::Reg().Name(device);
  std::strncpy(p.name, name.c_str(), sizeof(p.name) - 1);
  p.totalGlobalMem = sw::PhysicalMemory();
  p.sharedMemPerBlock = t::kSharedMemPerBlock;
  p.regsPerBlock = t::kRegistersPerBlock;
  p.warpSize = t::kWarpSize;
  p.maxThreadsPerBlock = t::kDeviceMaxThreadsPerBlock;
  p.maxThreadsDim[0] = p.maxThreadsDim[1] = t::kMaxBlockDimXY;
  p.maxThreadsDim[2] = t::kMaxBlockDimZ;
  p.maxGridSize[0] = t::kMaxGridDimX;
  p.maxGridSize[1] = p.maxGridSize[2] = t::kMaxGridDimYZ;
  p.totalConstMem = t::kTotalConstMem;
  p.major = t::kComputeMajor;
  p.minor = t::kComputeMinor;
  p.multiProcessorCount = sw::CpuThreads();
  p.integrated = 1;
  p.canMapHostMemory = 1;
  p.unifiedAddressing = 1;
  p.maxThreadsPerMultiProcessor = t::kMaxThreadsPerMultiprocessor;
  p.maxBlocksPerMultiProcessor = t::kMaxBlocksPerMultiprocessor;
  p.pciBusID = device;
  p.pciDeviceID = 0;
  *prop = p;
  return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
  namespace t = sw::tuning;
  if (value == nullptr) return Record(cudaErrorInvalidValue);
  if (const cudaError_t e = sw::CheckDevice(device); e != cudaSuccess) return Record(e);
  if (const cudaError_t e = sw::Reg().QueryFault(sw::Fault::Kind::kAttributes, device);
      e != cudaSuccess) {
    return Record(e);
  }
  int v = 0;
  switch (attr) {
    case cudaDevAttrMaxThreadsPerBlock:
      v = t::kDeviceMaxThreadsPerBlock;
      break;
    case cudaDevAttrMaxBlockDimX:
    case cudaDevAttrMaxBlockDimY:
      v = t::kMaxBlockDimXY;
      break;
    case cudaDevAttrMaxBlockDimZ:
      v = t::kMaxBlockDimZ;
      break;
    case cudaDevAttrMaxGridDimX:
      v = t::kMaxGridDimX;
      break;
    case cudaDevAttrMaxGridDimY:
    case cudaDevAttrMaxGridDimZ:
      v = t::kMaxGridDimYZ;
      break;
    case cudaDevAttrMaxSharedMemoryPerBlock:
      v = static_cast<int>(t::kSharedMemPerBlock);
      break;
    case cudaDevAttrTotalConstantMemory:
      v = static_cast<int>(t::kTotalConstMem);
      break;
    case cudaDevAttrWarpSize:
      v = t::kWarpSize;
      break;
    case cudaDevAttrMaxRegistersPerBlock:
      v = t::kRegistersPerBlock;
      break;
    case cudaDevAttrMultiProcessorCount:
      v = sw::CpuThreads();
      break;
    case cudaDevAttrIntegrated:
    case cudaDevAttrCanMapHostMemory:
    case cudaDevAttrUnifiedAddressing:
      v = 1;
      break;
    case cudaDevAttrMaxThreadsPerMultiProcessor:
      v = t::kMaxThreadsPerMultiprocessor;
      break;
    case cudaDevAttrComputeCapabilityMajor:
      v = t::kComputeMajor;
      break;
    case cudaDevAttrComputeCapabilityMinor:
      v = t::kComputeMinor;
      break;
    case cudaDevAttrMaxBlocksPerMultiprocessor:
      v = t::kMaxBlocksPerMultiprocessor;
      break;
    default:
      return Record(cudaErrorInvalidValue);
  }
  *value = v;
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  if (const cudaError_t e = sw::CheckDevice(device); e != cudaSuccess) return Record(e);
  sw::detail::tls_device = device;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  if (device == nullptr) return Record(cudaErrorInvalidValue);
  if (sw::Reg().DeviceCount() == 0) return Record(cudaErrorNoDevice);
  *device = sw::detail::tls_device;
  return cudaSuccess;
}

cudaError_t cudaSetDeviceFlags(unsigned int flags) {
  const unsigned schedule = flags & cudaDeviceScheduleMask;
  const bool one_schedule =
      schedule == cudaDeviceScheduleAuto || schedule == cudaDeviceScheduleSpin ||
      schedule == cudaDeviceScheduleYield || schedule == cudaDeviceScheduleBlockingSync;
  if ((flags & ~sw::kDeviceFlagsAccepted) != 0 || !one_schedule) {
    return Record(cudaErrorInvalidValue);
  }
  int device = 0;
  if (const cudaError_t e = sw::detail::CurrentDevice(&device); e != cudaSuccess) {
    return Record(e);
  }
  sw::Reg().SetFlags(device, flags);
  return cudaSuccess;
}

cudaError_t cudaGetDeviceFlags(unsigned int* flags) {
  if (flags == nullptr) return Record(cudaErrorInvalidValue);
  int device = 0;
  if (const cudaError_t e = sw::detail::CurrentDevice(&device); e != cudaSuccess) {
    return Record(e);
  }
  *flags = sw::Reg().Flags(device);
  return cudaSuccess;
}

// Waits for the current device's running operations, then releases its memory and streams and
// clears its flags. Constant symbols keep their contents.
cudaError_t cudaDeviceGetPCIBusId(char* pci_bus_id, int len, int device) {
  if (pci_bus_id == nullptr || len <= 0) return Record(cudaErrorInvalidValue);
  if (const cudaError_t e = sw::CheckDevice(device); e != cudaSuccess) return Record(e);
  const std::string id = sw::Reg().PciBusId(device);
  if (id.size() >= static_cast<std::size_t>(len)) {
    pci_bus_id[0] = '\0';
    return Record(cudaErrorInvalidValue);
  }
  std::memcpy(pci_bus_id, id.c_str(), id.size() + 1);
  return cudaSuccess;
}

cudaError_t cudaDeviceReset() {
  int device = 0;
  if (const cudaError_t e = sw::detail::CurrentDevice(&device); e != cudaSuccess) {
    return Record(e);
  }
  sw::WaitForDevice(device);
  sw::Registry& r = sw::Reg();
  {
    std::lock_guard<std::mutex> lock(r.stream_mu);
    for (auto it = r.streams.begin(); it != r.streams.end();) {
      it = it->second->device == device ? r.streams.erase(it) : std::next(it);
    }
  }
  {
    std::lock_guard<std::shared_mutex> lock(r.memory_mu);
    for (auto it = r.allocations.begin(); it != r.allocations.end();) {
      const auto next = std::next(it);
      if (it->second.device == device) sw::Release(r, it);
      it = next;
    }
  }
  r.SetFlags(device, 0);
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() {
  int device = 0;
  if (const cudaError_t e = sw::detail::CurrentDevice(&device); e != cudaSuccess) {
    return Record(e);
  }
  sw::WaitForDevice(device);
  return cudaSuccess;
}

// ---------------------------------------------------------------------------------------------
// Streams
// ---------------------------------------------------------------------------------------------
cudaError_t cudaStreamCreate(cudaStream_t* stream) {
  if (stream == nullptr) return Record(cudaErrorInvalidValue);
  int device = 0;
  if (const cudaError_t e = sw::detail::CurrentDevice(&device); e != cudaSuccess) {
    return Record(e);
  }
  auto s = std::make_shared<CUstream_st>(device);
  sw::Registry& r = sw::Reg();
  std::lock_guard<std::mutex> lock(r.stream_mu);
  r.streams.emplace(s.get(), s);
  *stream = s.get();
  return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  sw::Registry& r = sw::Reg();
  std::lock_guard<std::mutex> lock(r.stream_mu);
  const auto it = stream == nullptr ? r.streams.end() : r.streams.find(stream);
  if (it == r.streams.end()) return Record(cudaErrorInvalidResourceHandle);
  r.streams.erase(it);
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  cudaError_t e = cudaSuccess;
  const auto s = sw::detail::ResolveStream(stream, &e);
  if (s == nullptr) return Record(e);
  sw::WaitForStream(s);
  return cudaSuccess;
}

// ---------------------------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------------------------
cudaError_t cudaMalloc(void** dev_ptr, size_t size) {
  if (dev_ptr == nullptr) return Record(cudaErrorInvalidValue);
  *dev_ptr = nullptr;
  if (size == 0) return cudaSuccess;
  int device = 0;
  if (const cudaError_t e = sw::detail::CurrentDevice(&device); e != cudaSuccess) {
    return Record(e);
  }
  if (const cudaError_t e = sw::Reg().CountedFault(sw::Fault::Kind::kMalloc, device);
      e != cudaSuccess) {
    return Record(e);
  }
  return Record(sw::Allocate(dev_ptr, size, sw::MemoryKind::kDevice));
}

// Free and total device memory of the current device: the host's RAM, less what this device
// has allocated.
cudaError_t cudaMemGetInfo(size_t* free, size_t* total) {
  if (free == nullptr || total == nullptr) return Record(cudaErrorInvalidValue);
  int device = 0;
  if (const cudaError_t e = sw::detail::CurrentDevice(&device); e != cudaSuccess) {
    return Record(e);
  }
  sw::Registry& r = sw::Reg();
  std::shared_lock<std::shared_mutex> lock(r.memory_mu);
  *total = sw::PhysicalMemory();
  *free = *total - std::min(*total, r.device_bytes[device]);
  return cudaSuccess;
}

cudaError_t cudaFree(void* dev_ptr) {
  return Record(sw::Free(dev_ptr, sw::MemoryKind::kDevice));
}

cudaError_t cudaHostAlloc(void** host_ptr, size_t size, unsigned int flags) {
  if (host_ptr == nullptr || (flags & ~sw::kHostAllocFlagsAccepted) != 0) {
    return Record(cudaErrorInvalidValue);
  }
  *host_ptr = nullptr;
  if (size == 0) return cudaSuccess;
  return Record(sw::Allocate(host_ptr, size, sw::MemoryKind::kPinned));
}

cudaError_t cudaFreeHost(void* host_ptr) {
  return Record(sw::Free(host_ptr, sw::MemoryKind::kPinned));
}

cudaError_t cudaHostGetDevicePointer(void** dev_ptr, void* host_ptr, unsigned int flags) {
  if (dev_ptr == nullptr || host_ptr == nullptr || flags != 0) {
    return Record(cudaErrorInvalidValue);
  }
  sw::Allocation a{};
  if (sw::Locate(host_ptr, 1, &a) != sw::Span::kInside || a.kind != sw::MemoryKind::kPinned) {
    return Record(cudaErrorInvalidValue);
  }
  *dev_ptr = host_ptr;
  return cudaSuccess;
}

cudaError_t cudaMemset(void* dev_ptr, int value, size_t count) {
  return Record(sw::Set(dev_ptr, value, count, nullptr));
}

cudaError_t cudaMemsetAsync(void* dev_ptr, int value, size_t count, cudaStream_t stream) {
  return Record(sw::Set(dev_ptr, value, count, stream));
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  return Record(sw::Copy(dst, src, count, kind, nullptr));
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream) {
  return Record(sw::Copy(dst, src, count, kind, stream));
}

cudaError_t cudaMemcpyToSymbol(const void*, const void*, size_t, size_t, cudaMemcpyKind) {
  return Record(cudaErrorInvalidSymbol);
}

cudaError_t cudaMemcpyToSymbolAsync(const void*, const void*, size_t, size_t, cudaMemcpyKind,
                                    cudaStream_t) {
  return Record(cudaErrorInvalidSymbol);
}

// ---------------------------------------------------------------------------------------------
// Kernel queries
// ---------------------------------------------------------------------------------------------
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, const void* func) {
  if (attr == nullptr) return Record(cudaErrorInvalidValue);
  if (func == nullptr) return Record(cudaErrorInvalidDeviceFunction);
  constexpr int kVersion = sw::tuning::kComputeMajor * 10 + sw::tuning::kComputeMinor;
  cudaFuncAttributes a{};
  a.maxThreadsPerBlock = sw::detail::KernelMaxThreads(func);
  a.ptxVersion = kVersion;
  a.binaryVersion = kVersion;
  *attr = a;
  return cudaSuccess;
}

// Resident blocks per multiprocessor: whole warps of the block against the multiprocessor's
// thread slots, at most tuning::kMaxBlocksPerMultiprocessor; 0 for a block the kernel or the
// device cannot run.
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(int* num_blocks,
                                                                   const void* func, int block_size,
                                                                   size_t dynamic_smem_size,
                                                                   unsigned int flags) {
  namespace t = sw::tuning;
  if (num_blocks == nullptr || block_size <= 0 ||
      (flags & ~static_cast<unsigned>(cudaOccupancyDisableCachingOverride)) != 0) {
    return Record(cudaErrorInvalidValue);
  }
  if (func == nullptr) return Record(cudaErrorInvalidDeviceFunction);
  int device = 0;
  if (const cudaError_t e = sw::detail::CurrentDevice(&device); e != cudaSuccess) {
    return Record(e);
  }
  const int limit = std::min(t::kDeviceMaxThreadsPerBlock, sw::detail::KernelMaxThreads(func));
  if (block_size > limit || dynamic_smem_size > t::kSharedMemPerBlock) {
    *num_blocks = 0;
    return cudaSuccess;
  }
  const int warps = (block_size + t::kWarpSize - 1) / t::kWarpSize;
  const int warp_slots = t::kMaxThreadsPerMultiprocessor / t::kWarpSize;
  *num_blocks = std::min(t::kMaxBlocksPerMultiprocessor, warp_slots / warps);
  return cudaSuccess;
}

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* num_blocks, const void* func,
                                                          int block_size,
                                                          size_t dynamic_smem_size) {
  return cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
      num_blocks, func, block_size, dynamic_smem_size, cudaOccupancyDefault);
}
