// Parsing of the software device's configuration and the names it gives its devices.
#include "gpu/softdevice/config.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

namespace Kest::swdev {
namespace {

constexpr const char* kDevicesVariable = "KEST_SWDEV_DEVICES";
constexpr const char* kNamesVariable = "KEST_SWDEV_NAMES";
constexpr const char* kFaultVariable = "KEST_SWDEV_FAULT";
constexpr const char* kPciVariable = "KEST_SWDEV_PCI_BUS_IDS";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// A whole decimal number between lo and hi, nothing else.
template <class T>
bool ParseNumber(std::string_view text, T lo, T hi, T* out) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi) {
    return false;
  }
  *out = value;
  return true;
}

bool ParseFault(std::string_view item, Fault* fault) {
  std::string_view where;
  const auto at = item.find('@');
  const bool has_device = at != std::string_view::npos;
  if (has_device) {
    where = item.substr(at + 1);
    item = item.substr(0, at);
  }
  std::string_view kind = item;
  std::string_view arg;
  const auto colon = item.find(':');
  const bool has_arg = colon != std::string_view::npos;
  if (has_arg) {
    kind = item.substr(0, colon);
    arg = item.substr(colon + 1);
  }
  Fault f;
  if (kind == "launch" || kind == "malloc" || kind == "hang") {
    const bool malloc = kind == "malloc";
    f.kind = malloc ? Fault::Kind::kMalloc
                    : (kind == "hang" ? Fault::Kind::kHang : Fault::Kind::kLaunch);
    f.error = malloc ? cudaErrorMemoryAllocation : cudaErrorLaunchFailure;
    if (has_arg && !ParseNumber<std::uint64_t>(arg, 1, UINT64_MAX, &f.nth)) return false;
    if (has_device && !ParseNumber(where, 0, kMaxDevices - 1, &f.device)) return false;
  } else if (kind == "props" || kind == "attrs") {
    f.kind = kind == "props" ? Fault::Kind::kProperties : Fault::Kind::kAttributes;
    f.error = cudaErrorDevicesUnavailable;
    if (has_device || !ParseNumber(arg, 0, kMaxDevices - 1, &f.device)) return false;
  } else {
    return false;
  }
  *fault = f;
  return true;
}

bool IsHex(std::string_view text) {
  for (const char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

// DDDD:BB:DD.F, hexadecimal (the form the CUDA runtime writes).
bool IsPciBusId(std::string_view id) {
  return id.size() == 12 && id[4] == ':' && id[7] == ':' && id[10] == '.' &&
         IsHex(id.substr(0, 4)) && IsHex(id.substr(5, 2)) && IsHex(id.substr(8, 2)) &&
         IsHex(id.substr(11, 1));
}

}  // namespace

Config ParseConfig(const char* devices, const char* names, const char* faults,
                   std::vector<std::string>* problems) {
  return ParseConfig(devices, names, faults, nullptr, problems);
}

Config ParseConfig(const char* devices, const char* names, const char* faults,
                   const char* pci_bus_ids, std::vector<std::string>* problems) {
  Config config;
  auto complain = [problems](const char* variable, std::string_view value, const char* why) {
    if (problems == nullptr) return;
    problems->push_back(std::string(variable) + "=\"" + std::string(value) + "\" ignored: " + why);
  };
  if (devices != nullptr) {
    if (!ParseNumber(Trim(devices), 0, kMaxDevices, &config.device_count)) {
      complain(kDevicesVariable, devices, "not a device count from 0 to 16");
    }
  }
  if (names != nullptr) {
    for (std::string_view name : Split(names, ';')) config.names.emplace_back(Trim(name));
  }
  if (pci_bus_ids != nullptr) {
    for (std::string_view id : Split(pci_bus_ids, ';')) {
      id = Trim(id);
      if (!id.empty() && !IsPciBusId(id)) {
        complain(kPciVariable, id, "expected a PCI bus id DDDD:BB:DD.F in hexadecimal");
        id = {};  // the device keeps its default
      }
      config.pci_bus_ids.emplace_back(id);
    }
  }
  if (faults != nullptr) {
    for (std::string_view item : Split(faults, ',')) {
      item = Trim(item);
      if (item.empty()) continue;
      Fault fault;
      if (ParseFault(item, &fault)) {
        config.faults.push_back(fault);
      } else {
        complain(kFaultVariable, item,
                 "expected launch, hang or malloc (with :N, @D or :N@D), props:D or attrs:D");
      }
    }
  }
  return config;
}

Config ConfigFromEnvironment() {
  std::vector<std::string> problems;
  Config config = ParseConfig(std::getenv(kDevicesVariable), std::getenv(kNamesVariable),
                              std::getenv(kFaultVariable), std::getenv(kPciVariable), &problems);
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "software device: %s\n", problem.c_str());
  }
  return config;
}

std::string DefaultPciBusId(int device) {
  char id[16];
  std::snprintf(id, sizeof(id), "0000:%02x:00.0", static_cast<unsigned>(device + 1) & 0xffu);
  return id;
}

int CpuThreads() {
  static const int threads = [] {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
  }();
  return threads;
}

std::string DefaultDeviceName(int device, int device_count) {
  const int threads = CpuThreads();
  std::string name = "Software device";
  if (device_count > 1) name += " #" + std::to_string(device);
  name += " (" + std::to_string(threads) + (threads == 1 ? " CPU thread)" : " CPU threads)");
  return name;
}

}  // namespace Kest::swdev
