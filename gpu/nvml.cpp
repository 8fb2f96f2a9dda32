#include "gpu/nvml.h"

#include <dlfcn.h>

#include <string>
#include <type_traits>

namespace Kest {

namespace {

// The few declarations of the management library this file uses (its C interface).
using nvmlReturn_t = int;
constexpr nvmlReturn_t kNvmlSuccess = 0;
struct nvmlDevice_st;
using nvmlDevice_t = nvmlDevice_st*;
constexpr int kNvmlTemperatureGpu = 0;

}  // namespace

struct Nvml::Api {
  nvmlReturn_t (*init)();
  nvmlReturn_t (*shutdown)();
  nvmlReturn_t (*by_pci_bus_id)(const char*, nvmlDevice_t*);
  nvmlReturn_t (*temperature)(nvmlDevice_t, int, unsigned*);
  nvmlReturn_t (*power_usage)(nvmlDevice_t, unsigned*);  // milliwatts
  nvmlReturn_t (*fan_speed)(nvmlDevice_t, unsigned*);    // percent
};

Nvml::Nvml(const char* library) {
  handle_ = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    problem_ = std::string(library) + " not found";
    return;
  }
  auto* api = new Api{};
  bool complete = true;
  const auto bind = [&](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle_, name));
    if (fn == nullptr) complete = false;
  };
  bind(api->init, "nvmlInit_v2");
  bind(api->shutdown, "nvmlShutdown");
  bind(api->by_pci_bus_id, "nvmlDeviceGetHandleByPciBusId_v2");
  bind(api->temperature, "nvmlDeviceGetTemperature");
  bind(api->power_usage, "nvmlDeviceGetPowerUsage");
  bind(api->fan_speed, "nvmlDeviceGetFanSpeed");
  if (!complete) {
    problem_ = std::string(library) + " lacks a function the miner needs";
    delete api;
    return;
  }
  if (const nvmlReturn_t r = api->init(); r != kNvmlSuccess) {
    problem_ = "the management library did not start (error " + std::to_string(r) + ")";
    delete api;
    return;
  }
  api_ = api;
  ready_ = true;
}

Nvml::~Nvml() {
  if (ready_) api_->shutdown();
  delete api_;
  if (handle_ != nullptr) dlclose(handle_);
}

GpuHealth Nvml::Query(const std::string& pci_bus_id) {
  GpuHealth health;
  if (!ready_ || pci_bus_id.empty()) return health;
  std::lock_guard<std::mutex> lock(mutex_);
  nvmlDevice_t dev = nullptr;
  if (api_->by_pci_bus_id(pci_bus_id.c_str(), &dev) != kNvmlSuccess) {
    // The management library writes the domain with eight digits, the CUDA runtime with four.
    if (api_->by_pci_bus_id(("0000" + pci_bus_id).c_str(), &dev) != kNvmlSuccess) return health;
  }
  unsigned value = 0;
  if (api_->temperature(dev, kNvmlTemperatureGpu, &value) == kNvmlSuccess) {
    health.temperature_c = value;
  }
  if (api_->power_usage(dev, &value) == kNvmlSuccess) health.power_w = value / 1000.0;
  if (api_->fan_speed(dev, &value) == kNvmlSuccess) health.fan_pct = value;
  return health;
}

}  // namespace Kest
