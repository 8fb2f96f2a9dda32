// GPU health from the NVIDIA management library, loaded at run time: the miner neither links
// nor ships it. Devices are found by PCI bus id, since the management library numbers GPUs
// differently from the CUDA runtime.
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

class Nvml {
 public:
  // Loads and initialises `library`. Failing that the object is still usable: every query
  // answers "unknown" and Problem() says why.
  explicit Nvml(const char* library = "libnvidia-ml.so.1");
  ~Nvml();

  Nvml(const Nvml&) = delete;
  Nvml& operator=(const Nvml&) = delete;

  bool Available() const { return ready_; }
  const std::string& Problem() const { return problem_; }

  // Temperature, power draw and fan speed of the GPU at `pci_bus_id` ("0000:41:00.0" as the
  // CUDA runtime writes it); each is unknown when the library, the device or the reading is
  // missing. Safe from any thread.
  GpuHealth Query(const std::string& pci_bus_id);

 private:
  struct Api;
  void* handle_ = nullptr;
  Api* api_ = nullptr;
  bool ready_ = false;
  std::string problem_;
  std::mutex mutex_;
};

}  // namespace Kest
