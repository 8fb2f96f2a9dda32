// Pool access facade: picks the client for a pool address (Stratum, Stratum over TLS or HTTP
// getwork), connects to the first pool of the list that becomes ready, and forwards the mining
// manager's calls to the active client. Its watcher thread moves to the next pool when the
// active one has been unusable for a while, and back to the main pool once a probe of it is
// usable; the connection left then keeps writing and confirming its shares for a few seconds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/records.h"
#include "app/utils.h"
#include "app/share_stats.h"

class JorlGetWork;
class JorlStratum;

namespace Kest {

class PoolApi {
 public:
  // The holder of one client; destroying it destroys the client.
  struct PoolImpl {
    std::shared_ptr<JorlGetWork> getwork;  // set for a non-Stratum address
    std::shared_ptr<JorlStratum> stratum;  // set for a "stratum+..." address
    bool is_stratum = false;
    bool is_tls = false;
    uint64_t serial = 0;  // tells the connections to different pools apart
  };

  // Times of the watcher, in milliseconds.
  struct FailoverSettings {
    uint32_t failover_after_ms = 30000;  // unusable this long: move to the next pool
    uint32_t retry_main_ms = 60000;      // away from the main pool: probe it this often
    uint32_t idle_timeout_ms = 60000;    // a connection that heard nothing this long is lost
    // After a share was written: silence this long gets a ping, as long again the connection
    // counts as lost.
    uint32_t response_timeout_ms = 10000;
  };

  // Copies key, password and pool list; keeps a reference to the shell's exit flag. Does not
  // connect.
  PoolApi(std::string key, std::string password, std::atomic<bool>& exit_flag,
          const std::vector<std::string>& pools);
  // Stops the watcher thread (joined) before the connections go.
  ~PoolApi();

  PoolApi(const PoolApi&) = delete;
  PoolApi& operator=(const PoolApi&) = delete;

  // Before Initilize: the watcher's times and the clients' idle and response limits.
  void Configure(const FailoverSettings& settings) { failover = settings; }

  // Tries the pools in turn, starting at pool_index and cycling, until one is ready. Returns
  // true once connected; false for an empty pool list or as soon as the exit flag is raised.
  bool Initilize();
  // Builds and installs a client for `address` and waits up to 5 s for it to become ready.
  bool SetupPoolConnection(std::string& address);
  // Liveness and failover loop; runs until the exit flag is raised (or StopWatcher). The thread
  // that runs it must have ended before the facade is destroyed.
  void PoolWatcher();
  // Runs PoolWatcher on a thread of the facade's own; StopWatcher (or the destructor) ends and
  // joins it.
  void StartWatcher();
  void StopWatcher();

  bool HaveNewWork();
  // Waits until a connection is ready (or the exit flag is raised), then copies its job.
  void GetJob(work& w);
  bool HaveNewTemplate();
  void GetNewTemplate(work_template& t);
  void RequestNewTemplate();
  // Sends the solution to the active pool. A Stratum client counts it as submitted once its
  // line is written and the pool has sent something on that connection since, as lost
  // unconfirmed if the connection ends before that, or as dropped unsent; a getwork exchange
  // counts it as submitted when the pool accepts it and as a pool error otherwise. A solution
  // for a job of another pool than the active one (the miner moved since GetJob) is dropped
  // unsent: shares never cross pools, and none is ever sent twice. With no active connection
  // the solution is dropped unsent too.
  void SubmitWork(HostOutput result);
  // Counts a result that failed the miner's CPU re-check (never sent to a pool).
  void CountFailedShare() { ++shares.cpu_failed; }
  // Counts solutions found for a job that had been replaced (dropped without a re-check).
  void CountStaleShares(uint32_t n) { shares.stale_dropped += n; }
  // The share counters of this facade and its clients.
  ShareCounters& Shares() { return shares; }
  void UpdateHR(float& hash_rate);
  void SwitchPool();
  bool StopPoolConnection();

  // Monitoring: the address of the pool in use (or being tried), whether its connection is
  // encrypted, and how many times the miner moved from one pool to another since start.
  std::string ActiveUrl() const {
    return pools.empty() ? std::string() : PoolAt(pool_index.load());
  }
  bool IsTls() const { return is_tls.load(); }
  uint64_t Switches() const { return switches.load(); }

  // The pool in use (or being tried) as its place in the list (0: the main pool), and how many
  // the list holds.
  int32_t ActiveIndex() const { return pools.empty() ? 0 : Wrap(pool_index.load()); }
  int32_t PoolCount() const { return static_cast<int32_t>(pools.size()); }

  // A manual move, from any thread: asks the watcher to make pool `index` of the list the one in
  // use at its next look (every 100 ms), through the same move as a failover (one "Pool switch"
  // line; a pool left that still works writes and confirms its shares for a few seconds). The
  // choice sticks while that pool works: the watcher does not return to the main pool from it.
  // When it has been unusable for the failover delay, the watcher moves on to the next pool as
  // usual, and from there the usual rules (returning to the main pool) apply again. Choosing
  // the pool already in use makes no new connection but makes the choice stick all the same;
  // choosing the main pool just returns to the usual rules. False when `index` is not of the
  // list. A later request replaces one not yet made.
  bool RequestSwitch(int32_t index);
  // Whether the last requested move has been made (true when none was requested).
  bool SwitchMade() const { return switch_request.load() < 0; }

  bool IsStratum() const { return is_stratum.load(); }
  int PoolIndex() const { return pool_index.load(); }
  // Whether the facade has a connection holding a job the engine may take up (the job may have
  // come before a reconnect; see IsConnected and HasJob for the connection's state now).
  bool IsReady() const { return ready.load(); }
  // The active connection now: its TCP connection is up and it heard from the pool within the
  // idle limit. A getwork client counts as connected once it has a job.
  bool IsConnected() const;
  // The active connection has received a job on its current TCP connection.
  bool HasJob() const;
  // Connected and has a job: what the failover rules judge, for the active pool and for a
  // probe of the main pool alike.
  bool IsUsable() const;

  // Shutdown, after the engine's last submit: waits up to `limit` (looking every 25 ms) until
  // the active connection and any retiring one hold no queued and no unconfirmed share.
  // Returns how many were still open.
  uint64_t FlushShares(std::chrono::milliseconds limit);

 private:
  std::shared_ptr<PoolImpl> Active() const;
  // Installs `next` as the active connection; the previous one is released outside the lock.
  void Install(std::shared_ptr<PoolImpl> next);
  std::string PoolAt(int index) const;
  // `index` as a place in the list (the watcher's index counts on past the end).
  int32_t Wrap(int32_t index) const;
  // A client for `address`, not yet installed; null (with a line printed) if none could start.
  std::shared_ptr<PoolImpl> MakeClient(const std::string& address);
  // A connection left for the main pool, still writing and confirming its shares until `until`.
  struct Retiring {
    std::shared_ptr<PoolImpl> holder;  // a Stratum client
    std::chrono::steady_clock::time_point until;
    std::string url;
  };

  // Makes `next` (the pool at `index`) the active connection, with one line saying from which
  // pool to which and why. With `drain` (the pool left still works) the previous connection
  // retires: it writes and confirms what it holds for a few seconds before it is closed.
  // Without, the submits still queued for the pool left are dropped at once.
  void MoveTo(int32_t index, std::shared_ptr<PoolImpl> next, const std::string& why, bool drain);
  // Closes the retiring connections that have settled all their shares or whose time is up;
  // one line for each that dropped a share unsent or left one unconfirmed.
  void ServeRetiring();
  // Drops what `entry` still queues, counts what is unconfirmed and closes it.
  void Retire(Retiring& entry);
  // Tries the pool at pool_index, then the following ones, until one is ready or the exit flag
  // is raised. `advance_first` moves on before the first try.
  bool ConnectLoop(bool advance_first);

  ShareCounters shares;
  std::atomic<uint64_t> switches{0};
  std::atomic<bool> is_stratum{false};
  std::atomic<bool> is_tls{false};
  FailoverSettings failover;
  std::atomic<uint64_t> next_serial{1};
  std::atomic<uint64_t> job_serial{0};  // the connection the engine's current job came from
  RepeatPrinter repeats;
  std::thread watcher;
  std::atomic<bool> watcher_stop{false};
  const std::string key;
  const std::string password;
  const std::vector<std::string> pools;
  std::atomic<bool>& exit_flag;
  std::atomic<int32_t> pool_index{0};
  std::atomic<bool> ready{false};
  std::atomic<int32_t> switch_request{-1};  // a manual move not yet made (-1: none)
  std::shared_ptr<PoolImpl> impl;           // guarded by impl_mutex
  std::vector<Retiring> retiring;           // guarded by impl_mutex; served by the watcher

  mutable std::mutex impl_mutex;
  std::mutex connect_mutex;  // one connection attempt loop at a time
};

}  // namespace Kest
