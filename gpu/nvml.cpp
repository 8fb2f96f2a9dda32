#include "gpu/nvml.h"

#include <dlfcn.h>

#include <cstring>
#include <string>
#include <type_traits>

namespace Kest {

namespace {

// The few declarations of the management library this file uses (its C interface).
using nvmlReturn_t = int;
constexpr int kNvmlTemperatureGpu = 0;
constexpr unsigned kFieldMemoryTemperature = 82;

// One field value request and its answer, laid out as the library's nvmlFieldValue_t.
struct FieldValue {
  unsigned field_id;
  unsigned scope_id;
  long long timestamp;
  long long latency_usec;
  int value_type;  // 0 double, 1 unsigned int, 2 unsigned long, 3 unsigned long long,
                   // 4 signed long long, 5 signed int
  nvmlReturn_t result;
  union {
    double d;
    unsigned ui;
    unsigned long ul;
    unsigned long long ull;
    long long sll;
    int si;
  } value;
};

std::optional<double> FieldNumber(const FieldValue& v) {
  switch (v.value_type) {
    case 0:
      return v.value.d;
    case 1:
      return v.value.ui;
    case 2:
      return static_cast<double>(v.value.ul);
    case 3:
      return static_cast<double>(v.value.ull);
    case 4:
      return static_cast<double>(v.value.sll);
    case 5:
      return v.value.si;
    default:
      return std::nullopt;
  }
}

}  // namespace

struct Nvml::Api {
  using Dev = nvmlDevice_st*;
  // Needed for the health readings.
  nvmlReturn_t (*init)();
  nvmlReturn_t (*shutdown)();
  nvmlReturn_t (*by_pci_bus_id)(const char*, Dev*);
  nvmlReturn_t (*temperature)(Dev, int, unsigned*);
  nvmlReturn_t (*power_usage)(Dev, unsigned*);  // milliwatts
  nvmlReturn_t (*fan_speed)(Dev, unsigned*);    // percent
  // Optional: a library without them still gives the readings above.
  const char* (*error_string)(nvmlReturn_t);
  nvmlReturn_t (*field_values)(Dev, int, FieldValue*);
  nvmlReturn_t (*power_limit)(Dev, unsigned*);
  nvmlReturn_t (*power_limit_range)(Dev, unsigned*, unsigned*);
  nvmlReturn_t (*set_power_limit)(Dev, unsigned);
  nvmlReturn_t (*lock_core)(Dev, unsigned, unsigned);
  nvmlReturn_t (*reset_core)(Dev);
  nvmlReturn_t (*lock_memory)(Dev, unsigned, unsigned);
  nvmlReturn_t (*reset_memory)(Dev);
  nvmlReturn_t (*fan_count)(Dev, unsigned*);
  nvmlReturn_t (*set_fan)(Dev, unsigned, unsigned);
  nvmlReturn_t (*set_fan_auto)(Dev, unsigned);
};

Nvml::Nvml(const char* library) {
  handle_ = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    problem_ = std::string(library) + " not found";
    return;
  }
  auto* api = new Api{};
  bool complete = true;
  const auto bind = [&](auto& fn, const char* name, bool needed) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle_, name));
    if (fn == nullptr && needed) complete = false;
  };
  bind(api->init, "nvmlInit_v2", true);
  bind(api->shutdown, "nvmlShutdown", true);
  bind(api->by_pci_bus_id, "nvmlDeviceGetHandleByPciBusId_v2", true);
  bind(api->temperature, "nvmlDeviceGetTemperature", true);
  bind(api->power_usage, "nvmlDeviceGetPowerUsage", true);
  bind(api->fan_speed, "nvmlDeviceGetFanSpeed", true);
  bind(api->error_string, "nvmlErrorString", false);
  bind(api->field_values, "nvmlDeviceGetFieldValues", false);
  bind(api->power_limit, "nvmlDeviceGetPowerManagementLimit", false);
  bind(api->power_limit_range, "nvmlDeviceGetPowerManagementLimitConstraints", false);
  bind(api->set_power_limit, "nvmlDeviceSetPowerManagementLimit", false);
  bind(api->lock_core, "nvmlDeviceSetGpuLockedClocks", false);
  bind(api->reset_core, "nvmlDeviceResetGpuLockedClocks", false);
  bind(api->lock_memory, "nvmlDeviceSetMemoryLockedClocks", false);
  bind(api->reset_memory, "nvmlDeviceResetMemoryLockedClocks", false);
  bind(api->fan_count, "nvmlDeviceGetNumFans", false);
  bind(api->set_fan, "nvmlDeviceSetFanSpeed_v2", false);
  bind(api->set_fan_auto, "nvmlDeviceSetDefaultFanSpeed_v2", false);
  if (!complete) {
    problem_ = std::string(library) + " lacks a function the miner needs";
    delete api;
    return;
  }
  if (const nvmlReturn_t r = api->init(); r != kNvmlOk) {
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

int Nvml::Device(const std::string& pci_bus_id, nvmlDevice_st** dev) {
  if (!ready_) return kNvmlUninitialized;
  if (pci_bus_id.empty()) return kNvmlNotFound;
  if (api_->by_pci_bus_id(pci_bus_id.c_str(), dev) == kNvmlOk) return kNvmlOk;
  // The management library writes the domain with eight digits, the CUDA runtime with four.
  const nvmlReturn_t r = api_->by_pci_bus_id(("0000" + pci_bus_id).c_str(), dev);
  return r == kNvmlOk ? kNvmlOk : kNvmlNotFound;
}

template <class Fn, class... A>
int Nvml::Call(const std::string& pci_bus_id, Fn fn, A... args) {
  if (!ready_) return kNvmlUninitialized;
  if (fn == nullptr) return kNvmlFunctionNotFound;
  std::lock_guard<std::mutex> lock(mutex_);
  nvmlDevice_st* dev = nullptr;
  if (const int r = Device(pci_bus_id, &dev); r != kNvmlOk) return r;
  return fn(dev, args...);
}

GpuHealth Nvml::Query(const std::string& pci_bus_id) {
  GpuHealth health;
  if (!ready_ || pci_bus_id.empty()) return health;
  std::lock_guard<std::mutex> lock(mutex_);
  nvmlDevice_st* dev = nullptr;
  if (Device(pci_bus_id, &dev) != kNvmlOk) return health;
  unsigned value = 0;
  if (api_->temperature(dev, kNvmlTemperatureGpu, &value) == kNvmlOk) {
    health.temperature_c = value;
  }
  if (api_->power_usage(dev, &value) == kNvmlOk) health.power_w = value / 1000.0;
  if (api_->fan_speed(dev, &value) == kNvmlOk) health.fan_pct = value;
  return health;
}

GpuTemperatures Nvml::Temperatures(const std::string& pci_bus_id) {
  GpuTemperatures t;
  if (!ready_ || pci_bus_id.empty()) return t;
  std::lock_guard<std::mutex> lock(mutex_);
  nvmlDevice_st* dev = nullptr;
  if (Device(pci_bus_id, &dev) != kNvmlOk) return t;
  unsigned value = 0;
  if (api_->temperature(dev, kNvmlTemperatureGpu, &value) == kNvmlOk) t.core_c = value;
  if (api_->field_values != nullptr) {
    FieldValue v;
    std::memset(&v, 0, sizeof(v));
    v.field_id = kFieldMemoryTemperature;
    if (api_->field_values(dev, 1, &v) == kNvmlOk && v.result == kNvmlOk) {
      t.memory_c = FieldNumber(v);
    }
  }
  return t;
}

int Nvml::PowerLimit(const std::string& pci_bus_id, unsigned* mw) {
  return Call(pci_bus_id, api_ ? api_->power_limit : nullptr, mw);
}
int Nvml::PowerLimitRange(const std::string& pci_bus_id, unsigned* min_mw, unsigned* max_mw) {
  return Call(pci_bus_id, api_ ? api_->power_limit_range : nullptr, min_mw, max_mw);
}
int Nvml::SetPowerLimit(const std::string& pci_bus_id, unsigned mw) {
  return Call(pci_bus_id, api_ ? api_->set_power_limit : nullptr, mw);
}
int Nvml::LockCoreClock(const std::string& pci_bus_id, unsigned mhz) {
  return Call(pci_bus_id, api_ ? api_->lock_core : nullptr, mhz, mhz);
}
int Nvml::ResetCoreClock(const std::string& pci_bus_id) {
  return Call(pci_bus_id, api_ ? api_->reset_core : nullptr);
}
int Nvml::LockMemoryClock(const std::string& pci_bus_id, unsigned mhz) {
  return Call(pci_bus_id, api_ ? api_->lock_memory : nullptr, mhz, mhz);
}
int Nvml::ResetMemoryClock(const std::string& pci_bus_id) {
  return Call(pci_bus_id, api_ ? api_->reset_memory : nullptr);
}
int Nvml::FanCount(const std::string& pci_bus_id, unsigned* fans) {
  return Call(pci_bus_id, api_ ? api_->fan_count : nullptr, fans);
}
int Nvml::SetFan(const std::string& pci_bus_id, unsigned fan, unsigned pct) {
  return Call(pci_bus_id, api_ ? api_->set_fan : nullptr, fan, pct);
}
int Nvml::SetFanAuto(const std::string& pci_bus_id, unsigned fan) {
  return Call(pci_bus_id, api_ ? api_->set_fan_auto : nullptr, fan);
}

std::string Nvml::ErrorText(int code) {
  if (ready_ && api_->error_string != nullptr) {
    if (const char* text = api_->error_string(code)) return text;
  }
  return "error " + std::to_string(code);
}

}  // namespace Kest
