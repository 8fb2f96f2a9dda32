// Device discovery and the per-device settings of deviceconfig.txt.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace Kest {

// One device to mine with. Records are held through shared handles only.
class DevConfig {
 public:
  virtual ~DevConfig() = default;

  int32_t device_id = 0;   // ordinal the record stands for (as written in deviceconfig.txt)
  float intensity = 0.0f;  // requested share of full speed; 1.0 is 100 %
  std::string name;        // device name reported by the runtime
};

class CudaDevConfig : public DevConfig {
 public:
  int32_t cuda_device_index = 0;  // ordinal passed to the runtime's device selection
};

using DeviceList = std::vector<std::shared_ptr<DevConfig>>;

constexpr const char* kDeviceConfigFile = "deviceconfig.txt";
// More entries than any rig has devices; a larger count in deviceconfig.txt is cut to this.
constexpr int kMaxDeviceEntries = 256;

// Fills `devices` with one record per CUDA device, in ordinal order. Ends the process with
// status 1 when a device's properties cannot be read. Returns true.
bool GetDevInfo(DeviceList& devices);
bool GetCudaInfo(DeviceList& devices);

// Chooses the devices to mine with: the entries of `path` in file order when it exists,
// otherwise every detected device at full speed. Prints the selection.
void SelectDevices(const char* path, int32_t& num_dev, DeviceList& devices);

// The intensity of a selected device in whole percent, cut to 1..100: the share of the time
// its worker spends in launches (cudaGpuContext::intensity_pct).
uint32_t IntensityPercent(const DevConfig& device);

// Reads the entries of a deviceconfig.txt text: a count N, then N pairs of device id and
// intensity in percent, as decimal integers separated by white space. Always N records (at
// most kMaxDeviceEntries); once a number cannot be read, the rest keep their zero fields.
DeviceList ParseDeviceConfig(std::istream& in);

}  // namespace Kest
