#include "miner/gpu_control.h"

#include <utility>

#include "app/process_exit.h"
#include "app/utils.h"
#include "miner/miner_man.h"

namespace Kest {

namespace {

bool AnySetting(const RunOptions& o) {
  return !o.power_limit_w.empty() || !o.lock_core_mhz.empty() || !o.lock_mem_mhz.empty() ||
         !o.fan.empty();
}

// The entry of a per-device list for the card at `i`: one entry serves every card.
template <class T>
std::optional<T> For(const PerDevice<T>& list, size_t i) {
  if (list.size() == 1) return list[0];
  return i < list.size() ? list[i] : std::nullopt;
}

template <class T>
void WarnExtra(const PerDevice<T>& list, size_t cards, const char* option) {
  if (list.size() > 1 && list.size() > cards) {
    Printf("%s lists %zu values for %zu device(s); the extra ones are ignored\n", option,
           list.size(), cards);
  }
}

// Why the library refused, in the words a rig owner acts on.
std::string Why(Nvml* nvml, int code) {
  const std::string text = nvml != nullptr ? nvml->ErrorText(code) : std::string();
  switch (code) {
    case kNvmlNoPermission:
      return "not root (" + text + ")";
    case kNvmlNotSupported:
      return "not supported by this card (" + text + ")";
    case kNvmlInvalidArgument:
      return "refused as out of range (" + text + ")";
    case kNvmlNotFound:
      return "the management library does not know this card";
    case kNvmlFunctionNotFound:
      return "the management library lacks this call";
    case kNvmlUninitialized:
      return "no management library";
    default:
      return text;
  }
}

std::string FanText(const FanSetting& f) {
  return f.automatic ? std::string("automatic") : std::to_string(f.percent) + " %";
}

}  // namespace

std::shared_ptr<Nvml> ManagementLibraryFor(const RunOptions& options) {
  if (!options.api_bind && !AnySetting(options) && !options.temp_stop_c) return nullptr;
  return std::make_shared<Nvml>();
}

GpuControl::GpuControl(std::shared_ptr<Nvml> nvml, std::vector<ControlledCard> cards)
    : nvml_(std::move(nvml)),
      cards_(std::move(cards)),
      changed_(cards_.size()),
      paused_(cards_.size(), false),
      unreadable_(cards_.size(), false) {}

GpuControl::~GpuControl() {
  {
    std::lock_guard<std::mutex> lock(watch_mutex_);
    stop_watch_ = true;
  }
  watch_cv_.notify_all();
  if (watch_.joinable()) watch_.join();
}

void GpuControl::Apply(const RunOptions& options) {
  if (!AnySetting(options)) return;
  // A put-back that comes meanwhile (the process ending) waits for this and then sees all.
  std::lock_guard<std::mutex> lock(mutex_);
  if (restored_) return;
  WarnExtra(options.power_limit_w, cards_.size(), "--power-limit");
  WarnExtra(options.lock_core_mhz, cards_.size(), "--lock-core-clock");
  WarnExtra(options.lock_mem_mhz, cards_.size(), "--lock-mem-clock");
  WarnExtra(options.fan, cards_.size(), "--fan");
  for (size_t i = 0; i < cards_.size(); ++i) ApplyTo(i, options);
}

void GpuControl::ApplyTo(size_t i, const RunOptions& options) {
  const ControlledCard& card = cards_[i];
  const int d = card.device;
  const std::string& id = card.pci_bus_id;
  const auto power = For(options.power_limit_w, i);
  const auto core = For(options.lock_core_mhz, i);
  const auto mem = For(options.lock_mem_mhz, i);
  const auto fan = For(options.fan, i);
  if (!power && !core && !mem && !fan) return;
  std::string missing;
  if (!nvml_ || !nvml_->Available()) {
    missing = "no management library";
    if (nvml_) missing += " (" + nvml_->Problem() + ")";
  } else if (id.empty()) {
    missing = "the runtime reports no PCI bus id for it";
  }
  Nvml* nvml = nvml_.get();
  Changed changed;

  if (power) {
    const unsigned mw = *power * 1000;
    unsigned min_mw = 0;
    unsigned max_mw = 0;
    unsigned old_mw = 0;
    int r = kNvmlOk;
    if (!missing.empty()) {
      Printf("Device #%d: power limit %u W not set: %s\n", d, *power, missing.c_str());
    } else if ((r = nvml->PowerLimitRange(id, &min_mw, &max_mw)) != kNvmlOk) {
      Printf("Device #%d: power limit %u W not set: its range cannot be read: %s\n", d, *power,
             Why(nvml, r).c_str());
    } else if (mw < min_mw || mw > max_mw) {
      Printf("Device #%d: power limit not set: %u W is outside %u..%u W\n", d, *power,
             min_mw / 1000, max_mw / 1000);
    } else if ((r = nvml->PowerLimit(id, &old_mw)) != kNvmlOk) {
      Printf(
          "Device #%d: power limit %u W not set: the limit in force cannot be read to put it "
          "back: %s\n",
          d, *power, Why(nvml, r).c_str());
    } else if ((r = nvml->SetPowerLimit(id, mw)) != kNvmlOk) {
      Printf("Device #%d: power limit %u W not set: %s\n", d, *power, Why(nvml, r).c_str());
    } else {
      changed.power_mw = old_mw;
      Printf("Device #%d: power limit set to %u W (was %.0f W)\n", d, *power, old_mw / 1000.0);
    }
  }
  if (core) {
    int r = kNvmlOk;
    if (!missing.empty()) {
      Printf("Device #%d: core clock %u MHz not locked: %s\n", d, *core, missing.c_str());
    } else if ((r = nvml->LockCoreClock(id, *core)) != kNvmlOk) {
      Printf("Device #%d: core clock %u MHz not locked: %s\n", d, *core, Why(nvml, r).c_str());
    } else {
      changed.core_clock = true;
      Printf("Device #%d: core clock locked at %u MHz\n", d, *core);
    }
  }
  if (mem) {
    int r = kNvmlOk;
    if (!missing.empty()) {
      Printf("Device #%d: memory clock %u MHz not locked: %s\n", d, *mem, missing.c_str());
    } else if ((r = nvml->LockMemoryClock(id, *mem)) != kNvmlOk) {
      Printf("Device #%d: memory clock %u MHz not locked: %s\n", d, *mem, Why(nvml, r).c_str());
    } else {
      changed.memory_clock = true;
      Printf("Device #%d: memory clock locked at %u MHz\n", d, *mem);
    }
  }
  if (fan) {
    const std::string what = FanText(*fan);
    unsigned fans = 0;
    int r = kNvmlOk;
    if (!missing.empty()) {
      Printf("Device #%d: fans not set to %s: %s\n", d, what.c_str(), missing.c_str());
    } else if ((r = nvml->FanCount(id, &fans)) != kNvmlOk) {
      Printf("Device #%d: fans not set to %s: they cannot be counted: %s\n", d, what.c_str(),
             Why(nvml, r).c_str());
    } else {
      unsigned set = 0;
      int failure = kNvmlOk;
      for (unsigned f = 0; f < fans; ++f) {
        r = fan->automatic ? nvml->SetFanAuto(id, f) : nvml->SetFan(id, f, fan->percent);
        if (r == kNvmlOk) {
          ++set;
          if (!fan->automatic) changed.fans.push_back(f);
        } else if (failure == kNvmlOk) {
          failure = r;
        }
      }
      if (fans == 0) {
        Printf("Device #%d: fans not set to %s: the card reports no fan\n", d, what.c_str());
      } else if (failure == kNvmlOk) {
        Printf("Device #%d: fans (%u) set to %s\n", d, fans, what.c_str());
      } else {
        Printf("Device #%d: %u of %u fan(s) set to %s; the others not: %s\n", d, set, fans,
               what.c_str(), Why(nvml, failure).c_str());
      }
    }
  }
  changed_[i] = std::move(changed);
}

void GpuControl::Restore() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (restored_) return;
  restored_ = true;
  Nvml* nvml = nvml_.get();
  for (size_t i = 0; i < cards_.size(); ++i) {
    const Changed& c = changed_[i];
    if (!c.power_mw && !c.core_clock && !c.memory_clock && c.fans.empty()) continue;
    const std::string& id = cards_[i].pci_bus_id;
    std::string done;
    std::string failed;
    const auto note = [&](const std::string& what, int r) {
      std::string& to = r == kNvmlOk ? done : failed;
      if (!to.empty()) to += ", ";
      to += r == kNvmlOk ? what : what + " (" + Why(nvml, r) + ")";
    };
    if (c.power_mw) {
      char text[64];
      std::snprintf(text, sizeof(text), "power limit %.0f W", *c.power_mw / 1000.0);
      note(text, nvml->SetPowerLimit(id, *c.power_mw));
    }
    if (c.core_clock) note("core clock unlocked", nvml->ResetCoreClock(id));
    if (c.memory_clock) note("memory clock unlocked", nvml->ResetMemoryClock(id));
    if (!c.fans.empty()) {
      int fan_result = kNvmlOk;
      for (const unsigned f : c.fans) {
        const int r = nvml->SetFanAuto(id, f);
        if (fan_result == kNvmlOk) fan_result = r;
      }
      note("fans automatic", fan_result);
    }
    Printf("Device #%d: settings put back: %s%s%s\n", cards_[i].device,
           done.empty() ? "none" : done.c_str(),
           failed.empty() ? "" : "; could not put back: ", failed.c_str());
  }
}

void GpuControl::CheckTemperatures(uint32_t stop_c, uint32_t start_c, const PauseFn& pause) {
  if (!nvml_) return;
  for (size_t i = 0; i < cards_.size(); ++i) {
    const ControlledCard& card = cards_[i];
    const GpuTemperatures t = nvml_->Temperatures(card.pci_bus_id);
    if (!t.core_c && !t.memory_c) {
      if (!unreadable_[i]) {
        unreadable_[i] = true;
        if (paused_[i]) {
          Printf("Device #%d: no temperature reading; it stays paused until there is one\n",
                 card.device);
        } else {
          Printf("Device #%d: no temperature reading; the temperature limit does not watch it\n",
                 card.device);
        }
      }
      continue;
    }
    if (unreadable_[i]) {
      unreadable_[i] = false;
      Printf("Device #%d: temperature readable again (%.0f C)\n", card.device,
             t.core_c.value_or(*t.memory_c));
    }
    if (!paused_[i]) {
      const char* which = nullptr;
      double reading = 0.0;
      if (t.core_c && *t.core_c >= stop_c) {
        which = "core";
        reading = *t.core_c;
      } else if (t.memory_c && *t.memory_c >= stop_c) {
        which = "memory";
        reading = *t.memory_c;
      }
      if (which == nullptr) continue;
      paused_[i] = true;
      pause(card.device, true);
      Printf("Device #%d: %.0f C %s reached the temperature stop %u C; paused\n", card.device,
             reading, which, stop_c);
    } else if ((!t.core_c || *t.core_c <= start_c) && (!t.memory_c || *t.memory_c <= start_c)) {
      paused_[i] = false;
      pause(card.device, false);
      std::string readings =
          t.core_c ? std::to_string(static_cast<int>(*t.core_c)) + " C core" : std::string();
      if (t.memory_c) {
        if (!readings.empty()) readings += ", ";
        readings += std::to_string(static_cast<int>(*t.memory_c)) + " C memory";
      }
      Printf("Device #%d: %s, at or below the temperature start %u C; resumed\n", card.device,
             readings.c_str(), start_c);
    }
  }
}

void GpuControl::StartTemperatureWatch(uint32_t stop_c, uint32_t start_c, PauseFn pause,
                                       std::chrono::milliseconds period) {
  if (!nvml_ || !nvml_->Available()) {
    Printf("Temperature limit off: no management library (%s)\n",
           nvml_ ? nvml_->Problem().c_str() : "not loaded");
    return;
  }
  Printf("Temperature limit: a card pauses at %u C (core or memory) and resumes at %u C\n", stop_c,
         start_c);
  watch_ = std::thread([this, stop_c, start_c, pause = std::move(pause), period] {
    std::unique_lock<std::mutex> lock(watch_mutex_);
    while (!stop_watch_) {
      lock.unlock();
      CheckTemperatures(stop_c, start_c, pause);
      lock.lock();
      watch_cv_.wait_for(lock, period, [this] { return stop_watch_; });
    }
  });
}

void StartGpuControl(const RunOptions& options, MinerManCuda& miner, const DeviceList& devices,
                     std::shared_ptr<Nvml> nvml) {
  // Cards in device order: the set-up devices of the selection, with their bus ids.
  const MinerStatus status = miner.Status();
  std::vector<ControlledCard> cards;
  for (size_t i = 0; i < devices.size(); ++i) {
    cudaGpuContext& ctx = miner.Context(static_cast<int32_t>(i));
    if (ctx.map == nullptr || !devices[i]) continue;  // not set up
    const uint32_t pct = IntensityPercent(*devices[i]);
    ctx.intensity_pct.store(pct);
    if (pct < 100) {
      Printf("Device #%d: intensity %u %%: it idles after each launch for %u %% of the time\n",
             ctx.device, pct, 100 - pct);
    }
    ControlledCard card;
    card.device = ctx.device;
    for (const DeviceStatus& d : status.devices) {
      if (d.id == ctx.device) card.pci_bus_id = d.pci_bus_id;
    }
    cards.push_back(std::move(card));
  }
  // Lives for the process: the exit hook and the watch thread use it until the very end.
  static GpuControl* const control = new GpuControl(std::move(nvml), std::move(cards));
  AddExitHook([] { control->Restore(); });
  control->Apply(options);
  if (options.temp_stop_c) {
    const uint32_t stop = *options.temp_stop_c;
    const uint32_t start = options.temp_start_c.value_or(stop >= 10 ? stop - 10 : 0);
    control->StartTemperatureWatch(stop, start, [&miner](int32_t device, bool on) {
      miner.RequestPause(device, kPauseTemperature, on);
    });
  }
}

}  // namespace Kest
