// libFuzzer target: deviceconfig.txt (device count, then id and intensity pairs) read from
// arbitrary bytes. Besides crashes and sanitizer reports it checks that the entries stay
// bounded and are all device records, and aborts when that fails.
#include "app/CudaUtils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

void CheckDeviceConfig(const std::string& text) {
  std::istringstream in(text);
  const Kest::DeviceList entries = Kest::ParseDeviceConfig(in);
  Require(entries.size() <= static_cast<std::size_t>(Kest::kMaxDeviceEntries),
          "entries are bounded");
  for (const auto& entry : entries) {
    Require(dynamic_cast<const Kest::CudaDevConfig*>(entry.get()) != nullptr,
            "every entry is a device record");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parsers report on standard output; the fuzzer reports on standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  CheckDeviceConfig(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
