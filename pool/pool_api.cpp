#include "pool/pool_api.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "app/utils.h"
#include "pool/getwork.h"
#include "pool/stratum.h"

namespace Kest {

namespace {

const char kStratumScheme[] = "stratum+tcp://";
const char kHttpsScheme[] = "https://";
const char kHttpScheme[] = "http://";

constexpr int kReadyChecks = 50;  // 50 x 100 ms: 5 s for a client to become ready
constexpr uint32_t kReadyCheckMs = 100;
constexpr uint32_t kJobWaitMs = 100;  // GetJob's poll of `ready`
constexpr uint32_t kWatchIntervalMs = 3000;
constexpr uint32_t kWatchStepMs = 100;    // the watcher's pause is cut short by the exit flag
constexpr std::size_t kAddressParts = 2;  // host and port

bool ClientReady(PoolApi::PoolImpl& holder) {
  return holder.is_stratum ? holder.stratum->IsReady() : holder.getwork->IsReady();
}

bool ClientAlive(PoolApi::PoolImpl& holder) {
  return holder.is_stratum ? holder.stratum->CheckAlive() : holder.getwork->CheckAlive();
}

}  // namespace

PoolApi::PoolApi(std::string key, std::string password, std::atomic<bool>& exit_flag,
                 const std::vector<std::string>& pools)
    : key(std::move(key)), password(std::move(password)), pools(pools), exit_flag(exit_flag) {}

PoolApi::~PoolApi() {
  Install(nullptr);
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

std::string PoolApi::PoolAt(int index) const {
  const int count = static_cast<int>(pools.size());
  return pools[static_cast<std::size_t>(((index % count) + count) % count)];
}

bool PoolApi::SetupPoolConnection(std::string& address) {
  const bool stratum = address.find(kStratumScheme) != std::string::npos;
  is_stratum = stratum;
  auto next = std::make_shared<PoolImpl>();
  next->is_stratum = stratum;

  std::string plain = address;
  eraseSubStr(plain, kStratumScheme);
  eraseSubStr(plain, kHttpsScheme);
  eraseSubStr(plain, kHttpScheme);
  std::vector<std::string> parts;
  SplitString(plain, ":", parts);
  std::string host;
  std::string port;
  if (parts.size() == kAddressParts) {
    host = parts[0];
    port = parts[1];
  } else {
    Print("This pool seems not in right format: " + address + "\n");
  }

  try {
    if (stratum) {
      next->stratum = std::make_shared<JorlStratum>(key.c_str(), password.c_str(), host.c_str(),
                                                    port.c_str(), &shares);
    } else {
      next->getwork = std::make_shared<JorlGetWork>(key.c_str(), password.c_str(), address.c_str());
    }
  } catch (const std::exception& e) {
    Print(std::string("Pool client could not be started: ") + e.what() + "\n");
    return false;
  }
  Install(next);

  bool ok = ClientReady(*next);
  for (int i = 0; !ok && i < kReadyChecks && !exit_flag; ++i) {
    mySleep(kReadyCheckMs);
    ok = ClientReady(*next);
  }
  return ok;
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
  while (!exit_flag) {
    // Only a connection that came up is watched: while `ready` is false, Initilize (or a
    // StopPoolConnection) owns the connection state.
    auto active = Active();
    if (active && ready) {
      const bool alive = ClientAlive(*active);
      active.reset();
      if (!alive && !exit_flag) {
        ready = false;  // first, so GetJob waits instead of finding no connection
        Install(nullptr);
        if (ConnectLoop(true)) ready = true;
      }
    }
    for (uint32_t slept = 0; slept < kWatchIntervalMs && !exit_flag; slept += kWatchStepMs) {
      mySleep(kWatchStepMs);
    }
  }
}

bool PoolApi::HaveNewWork() {
  auto active = Active();
  if (!active) return false;
  return active->is_stratum ? active->stratum->HaveNewWork() : active->getwork->HaveNewWork();
}

void PoolApi::GetJob(work& w) {
  while (!ready && !exit_flag) mySleep(kJobWaitMs);
  auto active = Active();
  if (!active) return;
  if (active->is_stratum) {
    active->stratum->GetWork(&w);
  } else {
    active->getwork->GetWork(&w);
  }
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
    Print("No pool connection: share not sent\n");
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

bool PoolApi::StopPoolConnection() {
  ready = false;
  Install(nullptr);
  return true;
}

}  // namespace Kest
