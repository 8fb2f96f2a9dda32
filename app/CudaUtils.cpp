#include "app/CudaUtils.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <istream>

#include "app/process_exit.h"
#include "app/utils.h"
#include "gpu/runtime.h"

namespace Kest {

bool GetDevInfo(DeviceList& devices) {
  return GetCudaInfo(devices);
}

bool GetCudaInfo(DeviceList& devices) {
  int count = 0;
  cudaGetDeviceCount(&count);  // a failing runtime leaves zero devices
  if (count < 0) count = 0;
  devices.resize(static_cast<size_t>(count));
  for (int d = 0; d < count; ++d) {
    auto record = std::make_shared<CudaDevConfig>();
    record->device_id = d;
    record->cuda_device_index = d;
    devices[static_cast<size_t>(d)] = record;
    cudaDeviceProp props{};
    cudaGetDeviceProperties(&props, d);
    const cudaError_t err = cudaGetLastError();
    if (err != cudaSuccess) {
      std::fprintf(stderr, "Fatal error: %s (%s at %s:%d)\n", "cudaGetDeviceProperties",
                   cudaGetErrorString(err), "CudaUtils", __LINE__);
      std::fprintf(stderr, "*** FAILED - ABORTING\n");
      EndProcess(1);
    }
    record->name.assign(props.name, strnlen(props.name, sizeof(props.name)));
  }
  return true;
}

DeviceList ParseDeviceConfig(std::istream& in) {
  DeviceList entries;
  int n = 0;
  if (!(in >> n) || n <= 0) return entries;
  if (n > kMaxDeviceEntries) {
    std::cout << "deviceconfig.txt lists " << n << " devices; only the first " << kMaxDeviceEntries
              << " are read" << std::endl;
    n = kMaxDeviceEntries;
  }
  bool readable = true;
  for (int k = 0; k < n; ++k) {
    auto record = std::make_shared<CudaDevConfig>();
    int id = 0;
    int percent = 0;
    // Reading stops silently at the end of the text or at text that is not a number; the
    // remaining records keep their zero-filled fields.
    if (readable && in >> id) {
      record->device_id = id;
      if (in >> percent) {
        record->intensity = static_cast<float>(percent) / 100.0f;
      } else {
        readable = false;
      }
    } else {
      readable = false;
    }
    entries.push_back(record);
  }
  return entries;
}

uint32_t IntensityPercent(const DevConfig& device) {
  const double percent = std::round(static_cast<double>(device.intensity) * 100.0);
  if (!(percent >= 1.0)) return 1;  // also NaN
  return percent >= 100.0 ? 100u : static_cast<uint32_t>(percent);
}

namespace {

DeviceList ReadDeviceConfig(const char* path) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return {};
  cfilebuf buf(file);
  std::istream in(&buf);
  DeviceList entries = ParseDeviceConfig(in);
  std::fclose(file);
  return entries;
}

void SelectFromFile(const char* path, int32_t& num_dev, DeviceList& devices) {
  DeviceList selected;
  std::vector<int32_t> repeated;  // ids already reported as listed more than once
  for (auto& entry : ReadDeviceConfig(path)) {
    auto* wanted = static_cast<CudaDevConfig*>(entry.get());
    // Two workers on one device would search the same nonces and overwrite each other's job.
    const auto same_id = [&](const std::shared_ptr<DevConfig>& d) {
      return d->device_id == wanted->device_id;
    };
    if (std::any_of(selected.begin(), selected.end(), same_id)) {
      if (std::find(repeated.begin(), repeated.end(), wanted->device_id) == repeated.end()) {
        repeated.push_back(wanted->device_id);
        std::cout << "Device id " << wanted->device_id
                  << " is listed more than once in deviceconfig.txt; only its first entry is used"
                  << std::endl;
      }
      continue;
    }
    CudaDevConfig* found = nullptr;
    for (int32_t i = 0; i < num_dev && i < static_cast<int32_t>(devices.size()); ++i) {
      auto* candidate = dynamic_cast<CudaDevConfig*>(devices[static_cast<size_t>(i)].get());
      if (candidate != nullptr && candidate->device_id == wanted->device_id) {
        found = candidate;
        break;
      }
    }
    if (found == nullptr) {
      std::cout << "Can not find device id: " << wanted->device_id
                << ". Please check your deviceconfig.txt" << std::endl;
      continue;
    }
    wanted->name = found->name;
    wanted->cuda_device_index = found->cuda_device_index;
    selected.push_back(entry);
  }
  devices = std::move(selected);
  num_dev = static_cast<int32_t>(devices.size());

  std::cout << "Base on your deviceconfig.txt file, below devices will be used to mine:"
            << std::endl;
  for (const auto& d : devices) {
    std::cout << d->device_id << " --------- " << d->name << std::endl;
  }
  std::cout << "If there's any problem, please check your deviceconfig.txt" << std::endl;
  std::cout << "Remove deviceconfig.txt file to run 100% speed (you may suffer from lag GUI)"
            << std::endl;
}

void SelectAll(int32_t num_dev, DeviceList& devices) {
  std::cout << "Below devices will be used to mine:" << std::endl;
  for (int32_t i = 0; i < num_dev && i < static_cast<int32_t>(devices.size()); ++i) {
    auto& d = devices[static_cast<size_t>(i)];
    if (!d) continue;
    d->intensity = 1.0f;
    std::cout << d->name << " Intensity: " << 100 << std::endl;
  }
  std::cout << "Your rig is going to run 100% speed (you may suffer from lag GUI)" << std::endl;
  std::cout << "If there's anything problem, please check your deviceconfig.txt" << std::endl;
}

}  // namespace

void SelectDevices(const char* path, int32_t& num_dev, DeviceList& devices) {
  if (is_file_exist(path)) {
    SelectFromFile(path, num_dev, devices);
  } else {
    SelectAll(num_dev, devices);
  }
}

}  // namespace Kest
