// A stand-in for the GPU management library, for tests of the miner's GPU settings and its
// temperature limit on the software device. It exports the C functions the miner loads, with
// the library's signatures and return codes, and models each card:
//   - core temperature rises while the card runs launches and falls while it idles, between
//     the ambient and a ceiling; the memory temperature is the core's plus an offset. Busy time
//     comes from the software device (kest_swdev_busy_ns, found with dlsym(RTLD_DEFAULT));
//     without it every card stays at the ambient temperature;
//   - a power limit within a range, locked core and memory clocks, and fans.
// Environment:
// Each nvmlInit_v2 reads the environment again; cards keep their state.
//   KEST_NVML_STANDIN         comma-separated key=value: ambient, rise, fall (degrees C per
//                             second of busy or idle time), max, mem_offset (degrees C),
//                             power_min, power_max, power_default (W), fans (count)
//   KEST_NVML_STANDIN_LOG     file to which each set and reset call appends one line:
//                             "<function> <bus id> <arguments> -> <return code>"
//   KEST_NVML_STANDIN_REFUSE  comma-separated what:why, what one of power, core, mem, fan, why
//                             one of permission, not_supported, invalid: every set and reset
//                             call of that kind answers with that error
#include <dlfcn.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

using nvmlReturn_t = int;
constexpr nvmlReturn_t kSuccess = 0;
constexpr nvmlReturn_t kUninitialized = 1;
constexpr nvmlReturn_t kInvalidArgument = 2;
constexpr nvmlReturn_t kNotSupported = 3;
constexpr nvmlReturn_t kNoPermission = 4;
constexpr nvmlReturn_t kNotFound = 6;
constexpr unsigned kMemoryTemperatureField = 82;
constexpr int kValueTypeUnsignedInt = 1;

struct Model {
  double ambient = 30.0;
  double rise = 40.0;
  double fall = 40.0;
  double max = 95.0;
  double mem_offset = 5.0;
  unsigned power_min_w = 100;
  unsigned power_max_w = 200;
  unsigned power_default_w = 150;
  unsigned fans = 2;
};

struct Refusals {
  nvmlReturn_t power = kSuccess;
  nvmlReturn_t core = kSuccess;
  nvmlReturn_t mem = kSuccess;
  nvmlReturn_t fan = kSuccess;
};

constexpr std::size_t kMaxCards = 16;
constexpr std::size_t kMaxFans = 8;

struct Card {
  bool used = false;
  std::string bus_id;
  double temperature = 0.0;
  unsigned long long last_busy_ns = 0;
  std::chrono::steady_clock::time_point last_read;
  unsigned power_limit_mw = 0;
  std::array<unsigned, kMaxFans> fan_pct{};
};

using BusyFn = int (*)(const char*, unsigned long long*);

struct State {
  std::mutex mu;
  int initialised = 0;  // starts not yet shut down
  Model model;
  Refusals refuse;
  std::string log_path;
  BusyFn busy = nullptr;
  std::array<Card, kMaxCards> cards;
};

State& S() {
  static State* const state = new State;  // never destroyed: the miner may read at exit
  return *state;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

void ReadModel(Model& m) {
  const char* env = std::getenv("KEST_NVML_STANDIN");
  if (env == nullptr) return;
  for (const std::string& item : Split(env, ',')) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = item.substr(0, eq);
    const double v = std::atof(item.c_str() + eq + 1);
    if (key == "ambient") m.ambient = v;
    if (key == "rise") m.rise = v;
    if (key == "fall") m.fall = v;
    if (key == "max") m.max = v;
    if (key == "mem_offset") m.mem_offset = v;
    if (key == "power_min") m.power_min_w = static_cast<unsigned>(v);
    if (key == "power_max") m.power_max_w = static_cast<unsigned>(v);
    if (key == "power_default") m.power_default_w = static_cast<unsigned>(v);
    if (key == "fans")
      m.fans = static_cast<unsigned>(v) > kMaxFans ? kMaxFans : static_cast<unsigned>(v);
  }
}

void ReadRefusals(Refusals& r) {
  const char* env = std::getenv("KEST_NVML_STANDIN_REFUSE");
  if (env == nullptr) return;
  for (const std::string& item : Split(env, ',')) {
    const auto colon = item.find(':');
    if (colon == std::string::npos) continue;
    const std::string what = item.substr(0, colon);
    const std::string why = item.substr(colon + 1);
    const nvmlReturn_t code = why == "permission"      ? kNoPermission
                              : why == "not_supported" ? kNotSupported
                              : why == "invalid"       ? kInvalidArgument
                                                       : kSuccess;
    if (what == "power") r.power = code;
    if (what == "core") r.core = code;
    if (what == "mem") r.mem = code;
    if (what == "fan") r.fan = code;
  }
}

void Log(State& s, const char* function, const Card& card, const std::string& args,
         nvmlReturn_t result) {
  if (s.log_path.empty()) return;
  FILE* f = std::fopen(s.log_path.c_str(), "a");
  if (f == nullptr) return;
  std::fprintf(f, "%s %s%s%s -> %d\n", function, card.bus_id.c_str(), args.empty() ? "" : " ",
               args.c_str(), result);
  std::fclose(f);
}

Card* AsCard(void* device) {
  State& s = S();
  for (Card& c : s.cards) {
    if (&c == device && c.used) return &c;
  }
  return nullptr;
}

// Brings the card's temperature up to now: rise per second of busy time, fall per second of
// the rest, within ambient..max.
void Advance(State& s, Card& c) {
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - c.last_read).count();
  c.last_read = now;
  unsigned long long busy_ns = c.last_busy_ns;
  if (s.busy != nullptr) s.busy(c.bus_id.c_str(), &busy_ns);
  double busy =
      busy_ns >= c.last_busy_ns ? static_cast<double>(busy_ns - c.last_busy_ns) / 1e9 : 0.0;
  c.last_busy_ns = busy_ns;
  if (busy > elapsed) busy = elapsed;
  double t = c.temperature + s.model.rise * busy - s.model.fall * (elapsed - busy);
  if (t > s.model.max) t = s.model.max;
  if (t < s.model.ambient) t = s.model.ambient;
  c.temperature = t;
}

template <class F>
nvmlReturn_t WithCard(void* device, F&& f) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.initialised == 0) return kUninitialized;
  Card* c = AsCard(device);
  if (c == nullptr) return kInvalidArgument;
  return f(s, *c);
}

}  // namespace

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

STANDIN_EXPORT nvmlReturn_t nvmlInit_v2() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  // Every start reads the environment again, so a test can change the model as it goes.
  s.model = Model{};
  s.refuse = Refusals{};
  ReadModel(s.model);
  ReadRefusals(s.refuse);
  if (const char* log = std::getenv("KEST_NVML_STANDIN_LOG")) s.log_path = log;
  s.busy = reinterpret_cast<BusyFn>(dlsym(RTLD_DEFAULT, "kest_swdev_busy_ns"));
  ++s.initialised;
  return kSuccess;
}

STANDIN_EXPORT nvmlReturn_t nvmlShutdown() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.initialised == 0) return kUninitialized;
  --s.initialised;
  return kSuccess;
}

STANDIN_EXPORT const char* nvmlErrorString(nvmlReturn_t result) {
  switch (result) {
    case kSuccess:
      return "Success";
    case kUninitialized:
      return "Uninitialized";
    case kInvalidArgument:
      return "Invalid Argument";
    case kNotSupported:
      return "Not Supported";
    case kNoPermission:
      return "Insufficient Permissions";
    case kNotFound:
      return "Not Found";
    default:
      return "Unknown Error";
  }
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, void** device) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.initialised == 0) return kUninitialized;
  if (bus_id == nullptr || device == nullptr) return kInvalidArgument;
  // With the software device present, only its bus ids are cards (matched its way).
  unsigned long long ns = 0;
  if (s.busy != nullptr && s.busy(bus_id, &ns) != 0) return kNotFound;
  Card* free_card = nullptr;
  for (Card& c : s.cards) {
    if (c.used && c.bus_id == bus_id) {
      *device = &c;
      return kSuccess;
    }
    if (!c.used && free_card == nullptr) free_card = &c;
  }
  if (free_card == nullptr) return kNotFound;
  Card& c = *free_card;
  c.used = true;
  c.bus_id = bus_id;
  c.temperature = s.model.ambient;
  c.last_busy_ns = ns;
  c.last_read = std::chrono::steady_clock::now();
  c.power_limit_mw = s.model.power_default_w * 1000;
  c.fan_pct.fill(30);
  *device = &c;
  return kSuccess;
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceGetTemperature(void* device, int sensor, unsigned* temp) {
  return WithCard(device, [&](State& s, Card& c) {
    if (sensor != 0 || temp == nullptr) return kInvalidArgument;
    Advance(s, c);
    *temp = static_cast<unsigned>(c.temperature);
    return kSuccess;
  });
}

// The library's field value record: id, scope, timestamp, latency, value type, return, value.
struct FieldValue {
  unsigned field_id;
  unsigned scope_id;
  long long timestamp;
  long long latency_usec;
  int value_type;
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

STANDIN_EXPORT nvmlReturn_t nvmlDeviceGetFieldValues(void* device, int count, FieldValue* values) {
  return WithCard(device, [&](State& s, Card& c) {
    if (count < 0 || (count > 0 && values == nullptr)) return kInvalidArgument;
    Advance(s, c);
    for (int i = 0; i < count; ++i) {
      FieldValue& v = values[i];
      if (v.field_id != kMemoryTemperatureField) {
        v.result = kNotSupported;
        continue;
      }
      v.result = kSuccess;
      v.value_type = kValueTypeUnsignedInt;
      v.value.ull = 0;
      v.value.ui = static_cast<unsigned>(c.temperature + s.model.mem_offset);
    }
    return kSuccess;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceGetPowerUsage(void* device, unsigned* mw) {
  return WithCard(device, [&](State&, Card& c) {
    if (mw == nullptr) return kInvalidArgument;
    *mw = c.power_limit_mw * 8 / 10;
    return kSuccess;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceGetFanSpeed(void* device, unsigned* pct) {
  return WithCard(device, [&](State&, Card& c) {
    if (pct == nullptr) return kInvalidArgument;
    *pct = c.fan_pct[0];
    return kSuccess;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceGetNumFans(void* device, unsigned* fans) {
  return WithCard(device, [&](State& s, Card&) {
    if (fans == nullptr) return kInvalidArgument;
    *fans = s.model.fans;
    return kSuccess;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceGetPowerManagementLimit(void* device, unsigned* mw) {
  return WithCard(device, [&](State&, Card& c) {
    if (mw == nullptr) return kInvalidArgument;
    *mw = c.power_limit_mw;
    return kSuccess;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceGetPowerManagementLimitConstraints(void* device,
                                                                         unsigned* min_mw,
                                                                         unsigned* max_mw) {
  return WithCard(device, [&](State& s, Card&) {
    if (min_mw == nullptr || max_mw == nullptr) return kInvalidArgument;
    *min_mw = s.model.power_min_w * 1000;
    *max_mw = s.model.power_max_w * 1000;
    return kSuccess;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceSetPowerManagementLimit(void* device, unsigned mw) {
  return WithCard(device, [&](State& s, Card& c) {
    nvmlReturn_t r = s.refuse.power;
    if (r == kSuccess && (mw < s.model.power_min_w * 1000 || mw > s.model.power_max_w * 1000)) {
      r = kInvalidArgument;
    }
    if (r == kSuccess) c.power_limit_mw = mw;
    Log(s, "nvmlDeviceSetPowerManagementLimit", c, std::to_string(mw), r);
    return r;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceSetGpuLockedClocks(void* device, unsigned min_mhz,
                                                         unsigned max_mhz) {
  return WithCard(device, [&](State& s, Card& c) {
    nvmlReturn_t r = s.refuse.core;
    if (r == kSuccess && min_mhz > max_mhz) r = kInvalidArgument;
    Log(s, "nvmlDeviceSetGpuLockedClocks", c,
        std::to_string(min_mhz) + " " + std::to_string(max_mhz), r);
    return r;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceResetGpuLockedClocks(void* device) {
  return WithCard(device, [&](State& s, Card& c) {
    Log(s, "nvmlDeviceResetGpuLockedClocks", c, "", s.refuse.core);
    return s.refuse.core;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceSetMemoryLockedClocks(void* device, unsigned min_mhz,
                                                            unsigned max_mhz) {
  return WithCard(device, [&](State& s, Card& c) {
    nvmlReturn_t r = s.refuse.mem;
    if (r == kSuccess && min_mhz > max_mhz) r = kInvalidArgument;
    Log(s, "nvmlDeviceSetMemoryLockedClocks", c,
        std::to_string(min_mhz) + " " + std::to_string(max_mhz), r);
    return r;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceResetMemoryLockedClocks(void* device) {
  return WithCard(device, [&](State& s, Card& c) {
    Log(s, "nvmlDeviceResetMemoryLockedClocks", c, "", s.refuse.mem);
    return s.refuse.mem;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceSetFanSpeed_v2(void* device, unsigned fan, unsigned pct) {
  return WithCard(device, [&](State& s, Card& c) {
    nvmlReturn_t r = s.refuse.fan;
    if (r == kSuccess && (fan >= s.model.fans || pct > 100)) r = kInvalidArgument;
    if (r == kSuccess) c.fan_pct[fan] = pct;
    Log(s, "nvmlDeviceSetFanSpeed_v2", c, std::to_string(fan) + " " + std::to_string(pct), r);
    return r;
  });
}

STANDIN_EXPORT nvmlReturn_t nvmlDeviceSetDefaultFanSpeed_v2(void* device, unsigned fan) {
  return WithCard(device, [&](State& s, Card& c) {
    nvmlReturn_t r = s.refuse.fan;
    if (r == kSuccess && fan >= s.model.fans) r = kInvalidArgument;
    if (r == kSuccess) c.fan_pct[fan] = 30;
    Log(s, "nvmlDeviceSetDefaultFanSpeed_v2", c, std::to_string(fan), r);
    return r;
  });
}
