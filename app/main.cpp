// Process entry: the start-up sequence, the two long-lived threads and shutdown.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/CudaUtils.h"
#include "app/config.h"
#include "app/console.h"
#include "app/globals.h"
#include "miner/miner_man.h"
#include "pool/pool_api.h"

std::string gMinerKey = Kest::kDefaultMinerKey;
std::string gMinerPassword = Kest::kDefaultPassword;
std::string gPoolUrl = Kest::kDefaultPoolUrl;
std::vector<std::string> gPools;
std::vector<std::shared_ptr<Kest::DevConfig>> gDeviceConfig;
int32_t gNumDev = 0;
std::atomic<int32_t> gSuccessShare{0};
std::atomic<int32_t> gFailShare{0};
std::atomic<bool> gExitSignal{false};
std::shared_ptr<Kest::PoolApi> gPoolApi;
std::shared_ptr<Kest::MinerManCuda> GlobalMiner;
std::thread* gKeyreceiverThread = nullptr;
std::thread* gMinerThread = nullptr;

// Body of the keyboard thread: standard input, the process-wide counters and the exit flag.
void KeyReceiver() {
  Kest::RunKeyReceiver(
      [] {
        const int c = std::getchar();
        if (c == EOF) std::clearerr(stdin);
        return c;
      },
      [] {
        const int32_t dev = gPoolApi ? gPoolApi->DevShares() : 0;
        Kest::PrintShareStatistics(gSuccessShare.load(), gFailShare.load(), dev);
      },
      gExitSignal);
}

int main(int argc, char** argv) {
  Kest::ParseInput(argc, argv);
  Kest::GetDevInfo(gDeviceConfig);
  gNumDev = static_cast<int32_t>(gDeviceConfig.size());
  Kest::LoadConfig(gMinerKey, gMinerPassword, gPoolUrl, gNumDev, gPools, gDeviceConfig);

  gPoolApi = std::make_shared<Kest::PoolApi>(gMinerKey, gMinerPassword, gSuccessShare, gFailShare,
                                             gExitSignal, gPools);
  if (!gPoolApi->Initilize()) return -1;

  GlobalMiner = std::make_shared<Kest::MinerManCuda>(gNumDev, gPoolApi, gDeviceConfig, gExitSignal);
  std::printf("Starting init GPUs \n");
  std::fflush(stdout);
  if (GlobalMiner->InitGpu()) {
    std::printf("[PASS]  Inits GPUs!!!\n");
  } else {
    // No device can mine. The pool client's threads are running: end without destructors.
    std::printf("[FAIL]  Inits GPUs!!!\n");
    std::fflush(stdout);
    std::_Exit(Kest::kExitNoUsableDevice);
  }
  std::fflush(stdout);

  gKeyreceiverThread = new std::thread(KeyReceiver);
  gMinerThread = new std::thread(&Kest::MinerManCuda::Run, GlobalMiner.get());
  gKeyreceiverThread->join();
  gMinerThread->join();
  return 0;
}
