// GPU health and settings from the NVIDIA management library, loaded at run time: the miner
// neither links nor ships it. Devices are found by PCI bus id, since the management library
// numbers GPUs differently from the CUDA runtime.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace Kest {

struct GpuHealth {
  std::optional<double> temperature_c;
  std::optional<double> power_w;
  std::optional<double> fan_pct;
};

struct GpuTemperatures {
  std::optional<double> core_c;
  std::optional<double> memory_c;  // only where the library reports one
};

// Return codes of the management library that the miner tells apart.
constexpr int kNvmlOk = 0;
constexpr int kNvmlUninitialized = 1;
constexpr int kNvmlInvalidArgument = 2;
constexpr int kNvmlNotSupported = 3;
constexpr int kNvmlNoPermission = 4;
constexpr int kNvmlNotFound = 6;
constexpr int kNvmlFunctionNotFound = 13;  // also: this library lacks the function

class Nvml {
 public:
  // Loads and initialises `library`. Failing that the object is still usable: every query
  // answers "unknown", every setting kNvmlUninitialized, and Problem() says why.
  explicit Nvml(const char* library = "libnvidia-ml.so.1");
  ~Nvml();

  Nvml(const Nvml&) = delete;
  Nvml& operator=(const Nvml&) = delete;

  bool Available() const { return ready_; }
  const std::string& Problem() const { return problem_; }

  // Temperature, power draw and fan speed of the GPU at `pci_bus_id` ("0000:41:00.0" as the
  // CUDA runtime writes it); each is unknown when the library, the device or the reading is
  // missing. Safe from any thread, as is every call below.
  GpuHealth Query(const std::string& pci_bus_id);

  // Core temperature and, where the library has it, the memory temperature.
  GpuTemperatures Temperatures(const std::string& pci_bus_id);

  // Settings. Each returns the library's code (kNvmlOk on success); kNvmlNotFound when the
  // device is unknown to the library, kNvmlFunctionNotFound when the library lacks the call.
  int PowerLimit(const std::string& pci_bus_id, unsigned* mw);
  int PowerLimitRange(const std::string& pci_bus_id, unsigned* min_mw, unsigned* max_mw);
  int SetPowerLimit(const std::string& pci_bus_id, unsigned mw);
  int LockCoreClock(const std::string& pci_bus_id, unsigned mhz);
  int ResetCoreClock(const std::string& pci_bus_id);
  int LockMemoryClock(const std::string& pci_bus_id, unsigned mhz);
  int ResetMemoryClock(const std::string& pci_bus_id);
  int FanCount(const std::string& pci_bus_id, unsigned* fans);
  int SetFan(const std::string& pci_bus_id, unsigned fan, unsigned pct);
  int SetFanAuto(const std::string& pci_bus_id, unsigned fan);

  // The library's text for a return code (its own words where it offers them).
  std::string ErrorText(int code);

 private:
  struct Api;
  struct nvmlDevice_st;
  // The device at `pci_bus_id`; kNvmlOk or why not. Called under mutex_.
  int Device(const std::string& pci_bus_id, nvmlDevice_st** dev);
  template <class Fn, class... A>
  int Call(const std::string& pci_bus_id, Fn fn, A... args);

  void* handle_ = nullptr;
  Api* api_ = nullptr;
  bool ready_ = false;
  std::string problem_;
  std::mutex mutex_;
};

}  // namespace Kest
