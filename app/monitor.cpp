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
  s.pool.index = pool_->ActiveIndex();
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

ApiControl Monitor::Control(std::atomic<bool>& exit_flag) {
  ApiControl c;
  c.pause_device = [this](int32_t id, bool pause) {
    MinerManCuda* miner = controlled_.load();
    return miner != nullptr && miner->RequestPause(id, kPauseRemote, pause);
  };
  c.switch_pool = [this](int64_t index) {
    const int32_t count = pool_->PoolCount();
    if (index >= 0 && index < count && pool_->RequestSwitch(static_cast<int32_t>(index))) {
      return std::string();
    }
    return "no pool " + std::to_string(index) + ": the list has " + std::to_string(count) +
           " (0 is the main pool)";
  };
  c.switch_made = [this] { return pool_->SwitchMade(); };
  c.quit = [&exit_flag] { exit_flag.store(true); };
  return c;
}

std::unique_ptr<ApiServer> StartApi(const RunOptions& options, Monitor& monitor, std::string* error,
                                    ApiControl control) {
  ApiServer::Options o;
  if (!options.api_bind || !ParseApiBind(*options.api_bind, &o.host, &o.port, error)) {
    if (!options.api_bind) *error = "no address";
    return nullptr;
  }
  o.token = options.api_token;
  auto server = std::make_unique<ApiServer>(
      o, [&monitor] { return monitor.Summary(); }, std::move(control));
  if (!server->Start(error)) return nullptr;
  Printf("API listening on %s\n", server->Url().c_str());
  return server;
}

bool Monitoring::Start(const RunOptions& options, std::shared_ptr<PoolApi> pool,
                       std::shared_ptr<Nvml> nvml, std::atomic<bool>& exit_flag) {
  watchdog_s_ = options.watchdog_s;
  pool_ = pool;
  exit_flag_ = &exit_flag;
  no_share_minutes_ = options.no_share_minutes;
  if (!options.api_bind) return true;
  monitor_ = std::make_unique<Monitor>(std::move(pool), std::move(nvml));
  std::string error;
  api_ = StartApi(options, *monitor_, &error,
                  options.api_token ? monitor_->Control(exit_flag) : ApiControl{});
  if (!api_) {
    Printf("API: cannot listen on %s (%s)\n", options.api_bind->c_str(), error.c_str());
    return false;
  }
  return true;
}

void Monitoring::Attach(MinerManCuda& miner) {
  if (monitor_) monitor_->SetMiner(&miner);
  if (monitor_) monitor_->SetControlled(&miner);
  if (no_share_minutes_ > 0.0 && pool_) {
    PoolApi* pool = pool_.get();
    const MinerManCuda* watched = &miner;
    no_share_ = std::make_unique<NoShareWatch>(
        no_share_minutes_,
        [pool, watched] {
          NoShareSample s;
          const ShareCounters& shares = pool->Shares();
          // The errors before and after: a sample during which an error reply was counted
          // is taken again, so the two counters belong to one moment.
          for (int tries = 0; tries < 3; ++tries) {
            s.pool_errors = shares.pool_errors.load();
            s.submitted = shares.submitted.load();
            if (shares.pool_errors.load() == s.pool_errors) break;
          }
          const MinerStatus st = watched->Status();
          s.rate_hps = st.hashrate_now;
          s.difficulty = static_cast<uint32_t>(st.difficulty);
          return s;
        },
        [this](const std::string& line) {
          Print(line);
          escalation_status_.store(kExitNoShares);
          exit_flag_->store(true);
        });
  }
  if (watchdog_s_ > 0) {
    watchdog_ = std::make_unique<HangWatchdog>(miner, std::chrono::seconds(watchdog_s_));
  }
}

}  // namespace Kest
