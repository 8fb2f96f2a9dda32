#include "pool/pool_api.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "app/pool_address.h"
#include "app/utils.h"
#include "pool/getwork.h"
#include "pool/stratum.h"

namespace Kest {

namespace {

constexpr int kReadyChecks = 50;  // 50 x 100 ms: 5 s for a client to become ready
constexpr uint32_t kReadyCheckMs = 100;
constexpr uint32_t kJobWaitMs = 100;        // GetJob's poll of `ready`
constexpr uint32_t kWatchStepMs = 100;      // the watcher looks at the connection this often
constexpr uint32_t kProbeWindowMs = 10000;  // how long a probe of the main pool may take at most
// A connection left for the main pool keeps writing and confirming its shares this long.
constexpr auto kRetireDrain = std::chrono::seconds(3);
constexpr auto kFlushPoll = std::chrono::milliseconds(25);  // FlushShares looks this often

using Clock = std::chrono::steady_clock;

bool ClientReady(PoolApi::PoolImpl& holder) {
  return holder.is_stratum ? holder.stratum->IsReady() : holder.getwork->IsReady();
}

// The getwork client asks per request: it counts as connected, with a job and usable once it
// has a job.
bool ClientConnected(PoolApi::PoolImpl& holder) {
  return holder.is_stratum ? holder.stratum->IsConnected() : holder.getwork->IsReady();
}

bool ClientHasJob(PoolApi::PoolImpl& holder) {
  return holder.is_stratum ? holder.stratum->HasJob() : holder.getwork->IsReady();
}

bool ClientUsable(PoolApi::PoolImpl& holder) {
  return holder.is_stratum ? holder.stratum->IsUsable() : holder.getwork->IsReady();
}

// Shares handed to the client and not yet settled (a getwork exchange settles its share
// before SubmitWork returns).
uint64_t ClientOutstanding(PoolApi::PoolImpl& holder) {
  return holder.is_stratum ? holder.stratum->OutstandingShares() : 0;
}

std::string ClientProblem(PoolApi::PoolImpl& holder) {
  return holder.is_stratum ? holder.stratum->Problem() : std::string("no work received");
}

}  // namespace

PoolApi::PoolApi(std::string key, std::string password, std::atomic<bool>& exit_flag,
                 const std::vector<std::string>& pools)
    : key(std::move(key)), password(std::move(password)), pools(pools), exit_flag(exit_flag) {}

PoolApi::~PoolApi() {
  StopWatcher();
  Install(nullptr);
  std::vector<Retiring> left;
  {
    std::lock_guard<std::mutex> lock(impl_mutex);
    left.swap(retiring);
  }
  for (auto& entry : left) Retire(entry);
}

void PoolApi::StartWatcher() {
  if (watcher.joinable()) return;
  watcher_stop = false;
  watcher = std::thread([this] { PoolWatcher(); });
}

void PoolApi::StopWatcher() {
  watcher_stop = true;
  if (watcher.joinable()) watcher.join();
}

std::shared_ptr<PoolApi::PoolImpl> PoolApi::Active() const {
  std::lock_guard<std::mutex> lock(impl_mutex);
  return impl;
}

void PoolApi::Install(std::shared_ptr<PoolImpl> next) {
  std::shared_ptr<PoolImpl> previous;
  {
    std::lock_guard<std::mutex> lock(impl_mutex);
    previous = std::move(impl);
    impl = std::move(next);
  }
  // `previous` goes here, outside the lock: destroying a client may take a while. A call of
  // the run thread still using it keeps it alive until that call returns.
}

int32_t PoolApi::Wrap(int32_t index) const {
  const int32_t count = static_cast<int32_t>(pools.size());
  return ((index % count) + count) % count;
}

std::string PoolApi::PoolAt(int index) const {
  return pools[static_cast<std::size_t>(Wrap(index))];
}

bool PoolApi::RequestSwitch(int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(pools.size())) return false;
  switch_request = index;
  return true;
}

std::shared_ptr<PoolApi::PoolImpl> PoolApi::MakeClient(const std::string& address) {
  // The command line and config.txt were checked with this same parser before start-up; an
  // address that still fails here gets one line and no client.
  PoolAddress parsed;
  std::string error;
  if (!ParsePoolAddress(address, &parsed, &error)) {
    Print("Pool client not started: " + error + "\n");
    return nullptr;
  }
  const bool stratum = parsed.kind != PoolAddress::Kind::kHttp;
  auto next = std::make_shared<PoolImpl>();
  next->is_stratum = stratum;
  next->is_tls = stratum && parsed.tls;
  next->serial = next_serial++;

  JorlStratum::Settings settings;
  settings.idle_timeout_ms = failover.idle_timeout_ms;
  settings.response_timeout_ms = failover.response_timeout_ms;
  settings.tls = next->is_tls;
  settings.pin = parsed.pin;
  settings.label = address;
  const std::string host = parsed.host;
  const std::string port = std::to_string(parsed.port);

  try {
    if (stratum) {
      next->stratum = std::make_shared<JorlStratum>(key.c_str(), password.c_str(), host.c_str(),
                                                    port.c_str(), &shares, settings);
    } else {
      next->getwork = std::make_shared<JorlGetWork>(key.c_str(), password.c_str(), address.c_str());
    }
  } catch (const std::exception& e) {
    Print(std::string("Pool client could not be started: ") + e.what() + "\n");
    return nullptr;
  }
  return next;
}

bool PoolApi::SetupPoolConnection(std::string& address) {
  auto next = MakeClient(address);
  if (!next) return false;
  is_stratum = next->is_stratum;
  is_tls = next->is_tls;
  Install(next);

  bool ok = ClientReady(*next);
  for (int i = 0; !ok && i < kReadyChecks && !exit_flag; ++i) {
    mySleep(kReadyCheckMs);
    ok = ClientReady(*next);
  }
  return ok;
}

void PoolApi::MoveTo(int32_t index, std::shared_ptr<PoolImpl> next, const std::string& why,
                     bool drain) {
  const std::string from = PoolAt(pool_index);
  const std::string to = PoolAt(index);
  Print("Pool switch: " + from + " -> " + to + " (" + why + ")\n");
  if (!next) next = MakeClient(to);
  pool_index = index;
  is_stratum = next && next->is_stratum;
  is_tls = next && next->is_tls;
  auto previous = Active();
  Install(next);
  ++switches;
  ready = next && ClientReady(*next);
  if (!previous || !previous->is_stratum) return;
  // Shares found for the pool left are not sent anywhere else. A pool still working writes
  // and confirms what it holds for a while; a failed one loses its queue at once.
  if (drain) {
    std::lock_guard<std::mutex> lock(impl_mutex);
    retiring.push_back(Retiring{std::move(previous), Clock::now() + kRetireDrain, from});
    return;
  }
  const uint64_t dropped = previous->stratum->DropQueuedShares();
  if (dropped > 0) {
    Print("Dropped " + std::to_string(dropped) + " unsent share(s) queued for " + from + "\n");
  }
}

void PoolApi::Retire(Retiring& entry) {
  const uint64_t dropped = entry.holder->stratum->DropQueuedShares();
  const uint64_t unconfirmed = entry.holder->stratum->OutstandingShares();
  entry.holder.reset();  // the client counts what is still unconfirmed as lost
  if (dropped + unconfirmed == 0) return;
  Print("Closed the connection to " + entry.url + ": " + std::to_string(dropped) +
        " unsent share(s) dropped, " + std::to_string(unconfirmed) +
        " written share(s) unconfirmed\n");
}

void PoolApi::ServeRetiring() {
  std::vector<Retiring> done;
  {
    std::lock_guard<std::mutex> lock(impl_mutex);
    const auto now = Clock::now();
    for (auto it = retiring.begin(); it != retiring.end();) {
      if (now >= it->until || it->holder->stratum->OutstandingShares() == 0) {
        done.push_back(std::move(*it));
        it = retiring.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& entry : done) Retire(entry);  // outside the lock: closing a client takes a while
}

bool PoolApi::ConnectLoop(bool advance_first) {
  std::lock_guard<std::mutex> lock(connect_mutex);
  bool advance = advance_first;
  while (!exit_flag) {
    if (advance) ++pool_index;
    advance = true;
    std::string address = PoolAt(pool_index);
    if (SetupPoolConnection(address)) return true;
    if (exit_flag) break;
    Print("Can not connect to " + address + "\n");
  }
  return false;
}

bool PoolApi::Initilize() {
  if (pools.empty()) {
    Print("No pool address configured: add at least one pool to config.txt\n");
    return false;
  }
  ready = false;
  if (!ConnectLoop(false)) return false;
  ready = true;
  return true;
}

void PoolApi::PoolWatcher() {
  if (pools.empty()) return;
  const int32_t count = static_cast<int32_t>(pools.size());
  const auto failover_after = std::chrono::milliseconds(failover.failover_after_ms);
  const auto retry_main = std::chrono::milliseconds(failover.retry_main_ms);
  const auto probe_window =
      std::chrono::milliseconds(std::min(failover.retry_main_ms, kProbeWindowMs));
  bool unusable = false;
  Clock::time_point unusable_since;
  std::shared_ptr<PoolImpl> probe;  // a connection to the main pool, not yet installed
  Clock::time_point probe_started = Clock::now();
  bool chosen = false;  // on a pool chosen by hand (RequestSwitch): no return to the main pool

  while (!exit_flag && !watcher_stop) {
    // While Initilize or StopPoolConnection own the connection, nothing is judged.
    std::unique_lock<std::mutex> connecting(connect_mutex, std::try_to_lock);
    auto active = Active();
    const auto now = Clock::now();
    const int32_t wanted = connecting.owns_lock() ? switch_request.exchange(-1) : -1;
    if (wanted >= 0) {
      if (wanted != Wrap(pool_index)) {
        const bool works = active && ClientUsable(*active);
        active.reset();
        MoveTo(wanted, nullptr, "chosen over the API", works);
      }
      chosen = wanted != 0;
      probe.reset();
      unusable = false;
      probe_started = now;
    } else if (connecting.owns_lock() && active) {
      ready = ClientReady(*active);
      if (ClientUsable(*active)) {
        unusable = false;
      } else if (!unusable) {
        unusable = true;
        unusable_since = now;
      } else if (count > 1 && now - unusable_since >= failover_after) {
        const std::string why = "unusable for " + DurationText(failover.failover_after_ms) + ": " +
                                ClientProblem(*active);
        active.reset();
        probe.reset();
        MoveTo((pool_index + 1) % count, nullptr, why, false);
        unusable_since = now;  // the next pool gets the whole delay
        probe_started = now;
        chosen = false;  // the pool chosen by hand failed: the usual rules again
      }

      // Away from the main pool (and not on a pool chosen by hand): probe it every retry
      // interval; return once it is usable.
      if (count > 1 && pool_index % count != 0 && !chosen) {
        if (!probe && now - probe_started >= retry_main) {
          probe = MakeClient(PoolAt(0));
          probe_started = now;
        }
        if (probe && ClientUsable(*probe)) {
          active.reset();
          MoveTo(0, std::move(probe), "main pool is back", true);
          probe.reset();
          unusable = false;
        } else if (probe && now - probe_started >= probe_window) {
          probe.reset();  // try again at the next interval
        }
      } else {
        probe.reset();
      }
    }
    connecting = {};
    active.reset();
    ServeRetiring();
    mySleep(kWatchStepMs);
  }
}

bool PoolApi::HaveNewWork() {
  auto active = Active();
  if (!active) return false;
  return active->is_stratum ? active->stratum->HaveNewWork() : active->getwork->HaveNewWork();
}

void PoolApi::GetJob(work& w) {
  std::shared_ptr<PoolImpl> active;
  while (!exit_flag) {
    active = Active();
    if (ready && active && ClientReady(*active)) break;
    active.reset();
    mySleep(kJobWaitMs);
  }
  if (!active) return;
  if (active->is_stratum) {
    active->stratum->GetWork(&w);
  } else {
    active->getwork->GetWork(&w);
  }
  job_serial = active->serial;
}

bool PoolApi::HaveNewTemplate() {
  auto active = Active();
  return active && active->is_stratum && active->stratum->HaveNewTemplate();
}

void PoolApi::GetNewTemplate(work_template& t) {
  auto active = Active();
  if (active && active->is_stratum) active->stratum->GetTemplate(&t);
}

void PoolApi::RequestNewTemplate() {
  auto active = Active();
  if (active && active->is_stratum) active->stratum->RequestNewTemplate();
}

void PoolApi::SubmitWork(HostOutput result) {
  auto active = Active();
  if (!active) {
    ++shares.unsent_dropped;
    Print("No pool connection: share not sent\n");
    return;
  }
  const uint64_t source = job_serial.load();
  if (source != 0 && source != active->serial) {
    ++shares.unsent_dropped;
    repeats.Print("Share dropped: its job came from a pool the miner has left");
    return;
  }
  auto envelope = std::make_unique<work>();  // zeroed
  static_assert(sizeof(result) <= sizeof(envelope->decoded), "result fits the envelope");
  std::memcpy(envelope->decoded, &result, sizeof(result));
  // The Stratum client counts the share itself, when its line has been written. The getwork
  // exchange answers at once; its client does not tell a refusal from an exchange that failed.
  if (active->is_stratum) {
    active->stratum->SubmitWork(envelope.get());
  } else if (active->getwork->SubmitWork(envelope.get())) {
    ++shares.submitted;
  } else {
    ++shares.pool_errors;
  }
}

void PoolApi::UpdateHR(float& hash_rate) {
  auto active = Active();
  if (!active) return;
  auto carrier = std::make_unique<work>();  // zeroed
  carrier->hr = hash_rate;
  if (active->is_stratum) {
    active->stratum->UpdateHR(carrier.get());
  } else {
    active->getwork->UpdateHR(carrier.get());
  }
}

void PoolApi::SwitchPool() {
  ++pool_index;
  ++switches;
}

bool PoolApi::IsConnected() const {
  auto active = Active();
  return active && ClientConnected(*active);
}

bool PoolApi::HasJob() const {
  auto active = Active();
  return active && ClientHasJob(*active);
}

bool PoolApi::IsUsable() const {
  auto active = Active();
  return active && ClientUsable(*active);
}

uint64_t PoolApi::FlushShares(std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    uint64_t open = 0;
    {
      std::lock_guard<std::mutex> lock(impl_mutex);
      if (impl) open += ClientOutstanding(*impl);
      for (const auto& entry : retiring) open += ClientOutstanding(*entry.holder);
    }
    if (open == 0 || Clock::now() >= end) return open;
    std::this_thread::sleep_for(std::min<Clock::duration>(kFlushPoll, end - Clock::now()));
  }
}

bool PoolApi::StopPoolConnection() {
  ready = false;
  Install(nullptr);
  return true;
}

}  // namespace Kest
