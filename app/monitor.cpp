#include "app/monitor.h"

#include <utility>

#include "app/utils.h"
#include "miner/miner_man.h"
#include "pool/pool_api.h"

namespace Kest {

Monitor::Monitor(std::shared_ptr<PoolApi> pool, std::shared_ptr<Nvml> nvml)
    : pool_(std::move(pool)), nvml_(std::move(nvml)) {
  if (!nvml_ || !nvml_->Available()) {
    Printf("GPU health unavailable (%s): temperature, power and fan are reported as null\n",
           nvml_ ? nvml_->Problem().c_str() : "no management library");
  }
}

ApiSummary Monitor::Summary() const {
  ApiSummary s;
  s.version = kMinerVersion;
  s.uptime_s = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_)
          .count());
  s.pool.url = pool_->ActiveUrl();
  s.pool.connected = pool_->IsConnected();
  s.pool.has_job = pool_->HasJob();
  s.pool.usable = pool_->IsUsable();
  s.pool.tls = pool_->IsTls();
  s.pool.switches = pool_->Switches();
  const ShareCounters& shares = pool_->Shares();
  s.shares.submitted = shares.submitted.load();
  s.shares.unconfirmed_lost = shares.unconfirmed_lost.load();
  s.shares.unsent_dropped = shares.unsent_dropped.load();
  s.shares.cpu_failed = shares.cpu_failed.load();
  s.shares.stale_dropped = shares.stale_dropped.load();
  s.shares.pool_errors = shares.pool_errors.load();
  if (const MinerManCuda* miner = miner_.load()) {
    const MinerStatus st = miner->Status();
    s.job.block = st.block;
    s.job.difficulty = st.difficulty;
    s.hashrate.now = st.hashrate_now;
    s.hashrate.avg_60s = st.avg_60s;
    s.hashrate.avg_15m = st.avg_15m;
    for (const DeviceStatus& d : st.devices) {
      ApiDevice a;
      a.id = d.id;
      a.name = d.name;
      if (!d.pci_bus_id.empty()) a.pci_bus_id = d.pci_bus_id;
      a.hashrate = d.hashrate;
      a.solutions = d.solutions;
      a.lost_solutions = d.lost_solutions;
      a.state = DeviceStateName(d.state);
      if (!d.state_reason.empty()) a.state_reason = d.state_reason;
      a.intensity = d.intensity_pct;
      if (nvml_ && !d.pci_bus_id.empty()) {
        const GpuHealth h = nvml_->Query(d.pci_bus_id);
        a.temperature_c = h.temperature_c;
        a.power_w = h.power_w;
        a.fan_pct = h.fan_pct;
      }
      s.devices.push_back(std::move(a));
    }
  }
  return s;
}

std::unique_ptr<ApiServer> StartApi(const RunOptions& options, Monitor& monitor,
                                    std::string* error) {
  ApiServer::Options o;
  if (!options.api_bind || !ParseApiBind(*options.api_bind, &o.host, &o.port, error)) {
    if (!options.api_bind) *error = "no address";
    return nullptr;
  }
  o.token = options.api_token;
  auto server = std::make_unique<ApiServer>(o, [&monitor] { return monitor.Summary(); });
  if (!server->Start(error)) return nullptr;
  Printf("API listening on %s\n", server->Url().c_str());
  return server;
}

bool Monitoring::Start(const RunOptions& options, std::shared_ptr<PoolApi> pool,
                       std::shared_ptr<Nvml> nvml) {
  watchdog_s_ = options.watchdog_s;
  if (!options.api_bind) return true;
  monitor_ = std::make_unique<Monitor>(std::move(pool), std::move(nvml));
  std::string error;
  api_ = StartApi(options, *monitor_, &error);
  if (!api_) {
    Printf("API: cannot listen on %s (%s)\n", options.api_bind->c_str(), error.c_str());
    return false;
  }
  return true;
}

void Monitoring::Attach(const MinerManCuda& miner) {
  if (monitor_) monitor_->SetMiner(&miner);
  if (watchdog_s_ > 0) {
    watchdog_ = std::make_unique<HangWatchdog>(miner, std::chrono::seconds(watchdog_s_));
  }
}

}  // namespace Kest
