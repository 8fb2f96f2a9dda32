// Monitoring of the running miner: the HTTP API's summary, gathered from the pool facade and
// the mining manager, with GPU health from the management library.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "app/api_server.h"
#include "app/escalation.h"
#include "app/options.h"
#include "app/version.h"
#include "gpu/nvml.h"
#include "miner/watchdog.h"

namespace Kest {

class MinerManCuda;
class PoolApi;

class Monitor {
 public:
  // `nvml` may be null (no GPU health) and is shared with GPU control.
  Monitor(std::shared_ptr<PoolApi> pool, std::shared_ptr<Nvml> nvml);

  // The manager to report on, once its devices are set up; until then the summary lists no
  // devices and no job. The manager must outlive every later Summary().
  void SetMiner(const MinerManCuda* miner) { miner_.store(miner); }

  // A summary of this moment; safe from any thread.
  ApiSummary Summary() const;

  // Remote control: the manager whose devices the control endpoints pause (once set up), and
  // the endpoints' actions on it, on the pool's watcher and on `exit_flag` (quit).
  void SetControlled(MinerManCuda* miner) { controlled_.store(miner); }
  ApiControl Control(std::atomic<bool>& exit_flag);

 private:
  std::shared_ptr<PoolApi> pool_;
  std::shared_ptr<Nvml> nvml_;
  std::atomic<const MinerManCuda*> miner_{nullptr};
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::atomic<MinerManCuda*> controlled_{nullptr};
};

// Starts the API on `options.api_bind` with `options.api_token`, printing "API listening on
// http://HOST:PORT". Null, with the reason in *error, when the address is not valid or cannot
// be bound.
std::unique_ptr<ApiServer> StartApi(const RunOptions& options, Monitor& monitor, std::string* error,
                                    ApiControl control = {});

// What the shell starts for monitoring, held for the life of the process.
class Monitoring {
 public:
  // Starts the API when `options` asks for it, with GPU health from `nvml` (the process's one
  // management library object, null when nothing loaded it) and with the control endpoints
  // when it has a token (quit raises `exit_flag`). False, with the reason printed, when its
  // address is not valid or cannot be bound.
  bool Start(const RunOptions& options, std::shared_ptr<PoolApi> pool, std::shared_ptr<Nvml> nvml,
             std::atomic<bool>& exit_flag);
  // Reports on `miner` from now on (its devices set up), watches it for hung launches unless
  // the watchdog is off, and for a rig that earns nothing with --no-share-minutes: that prints
  // one line and raises the exit flag, and the process then ends with kExitNoShares.
  void Attach(MinerManCuda& miner);
  // The status to end with: `run_status` when the miner ended on its own account, else the
  // escalation's when it ended the miner, else 0.
  int ExitStatus(int run_status) const {
    return run_status != 0 ? run_status : escalation_status_.load();
  }

 private:
  std::shared_ptr<PoolApi> pool_;
  std::atomic<bool>* exit_flag_ = nullptr;
  double no_share_minutes_ = 0.0;
  std::atomic<int> escalation_status_{0};
  std::unique_ptr<NoShareWatch> no_share_;  // stopped after the API
  uint32_t watchdog_s_ = 0;
  std::unique_ptr<Monitor> monitor_;
  std::unique_ptr<ApiServer> api_;          // stopped before the monitor it reads goes
  std::unique_ptr<HangWatchdog> watchdog_;  // stopped first
};

}  // namespace Kest
