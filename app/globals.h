// Process-wide values shared by the shell, the pool facade and the mining engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Kest {
class DevConfig;
class PoolApi;
class MinerManCuda;
}  // namespace Kest

extern std::string gMinerKey;
extern std::string gMinerPassword;
extern std::string gPoolUrl;
extern std::vector<std::string> gPools;
extern std::vector<std::shared_ptr<Kest::DevConfig>> gDeviceConfig;
extern int32_t gNumDev;
// Set once, by the keyboard reader; polled by the manager and the device workers.
extern std::atomic<bool> gExitSignal;
extern std::shared_ptr<Kest::PoolApi> gPoolApi;
extern std::shared_ptr<Kest::MinerManCuda> GlobalMiner;
extern std::thread* gKeyreceiverThread;
extern std::thread* gMinerThread;
