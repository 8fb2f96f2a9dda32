// Process entry: the start-up sequence, the two long-lived threads and shutdown.
#include <atomic>
#include <chrono>
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
#include "app/log_file.h"
#include "app/monitor.h"
#include "app/options.h"
#include "app/process_exit.h"
#include "app/signals.h"
#include "app/utils.h"
#include "app/version.h"
#include "miner/gpu_control.h"
#include "miner/benchmark.h"
#include "miner/miner_man.h"
#include "pool/pool_api.h"

std::string gMinerKey = Kest::kDefaultMinerKey;
std::string gMinerPassword = Kest::kDefaultPassword;
std::string gPoolUrl = Kest::kDefaultPoolUrl;
std::vector<std::string> gPools;
std::vector<std::shared_ptr<Kest::DevConfig>> gDeviceConfig;
int32_t gNumDev = 0;
std::atomic<bool> gExitSignal{false};
std::shared_ptr<Kest::PoolApi> gPoolApi;
std::shared_ptr<Kest::MinerManCuda> GlobalMiner;
std::thread* gKeyreceiverThread = nullptr;
std::thread* gMinerThread = nullptr;

// Body of the keyboard thread: standard input, the facade's share counters and the exit flag.
void KeyReceiver() {
  Kest::RunKeyReceiver(
      [] {
        const int c = std::getchar();
        if (c == EOF) std::clearerr(stdin);
        return c;
      },
      [] { Kest::PrintShareStatistics(gPoolApi->Shares()); }, gExitSignal);
}

namespace {

// How long shutdown waits for the shares handed to the pool to be written and confirmed.
constexpr std::chrono::milliseconds kShareFlushLimit{3000};

// Ends the process with `status` once the pool has had its chance to write and confirm the
// shares handed to it. The keyboard thread may be inside a read of standard input and the
// pool's threads are running: flush the console and end without destructors under them.
[[noreturn]] void Finish(int status) {
  gExitSignal.store(true);
  if (gPoolApi) {
    const uint64_t open = gPoolApi->FlushShares(kShareFlushLimit);
    if (open > 0) {
      Kest::Printf("%llu share(s) not confirmed by the pool at exit\n",
                   static_cast<unsigned long long>(open));
    }
  }
  Kest::EndProcess(status);
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists: SIGTERM and SIGINT are taken by one thread of their own.
  Kest::BlockTerminationSignals();
  Kest::RunOptions options;
  std::string error;
  if (!Kest::ParseOptions(argc, argv, options, &error)) {
    std::fprintf(stderr, "plominer: %s. %s\n", error.c_str(), Kest::kUsageHint);
    return Kest::kExitBadCommandLine;
  }
  if (options.help) {
    std::cout << Kest::OptionsUsage() << std::flush;
    return 0;
  }
  if (options.version) {
    std::cout << "Varn-PLOMiner (Cuda) v" << Kest::kMinerVersion << std::endl;
    return 0;
  }

  // Every console line from here on is also written to the log file.
  if (options.log_file) Kest::StartLogFile(*options.log_file, uint64_t{options.log_max_mb} << 20);
  Kest::ParseInput(argc, argv);
  if (!Kest::LoadAccountConfig(options.config_file.c_str(), "/etc/hostname", gMinerKey,
                               gMinerPassword, gPoolUrl, gPools, &options)) {
    return Kest::kExitBadCommandLine;
  }
  Kest::StartSignalWatcher(gExitSignal);
  Kest::GetDevInfo(gDeviceConfig);
  gNumDev = static_cast<int32_t>(gDeviceConfig.size());
  Kest::SelectDevices(Kest::kDeviceConfigFile, gNumDev, gDeviceConfig);
  // --benchmark: no pool; the selected devices mine a job of their own and are measured, with
  // the same GPU settings and temperature limit as a normal run.
  if (options.benchmark_s) {
    const std::shared_ptr<Kest::Nvml> nvml = Kest::ManagementLibraryFor(options);
    Finish(Kest::RunBenchmark(options, gNumDev, gDeviceConfig, gExitSignal,
                              [&](Kest::MinerManCuda& miner) {
                                Kest::StartGpuControl(options, miner, gDeviceConfig, nvml);
                              }));
  }

  gPoolApi = std::make_shared<Kest::PoolApi>(gMinerKey, gMinerPassword, gExitSignal, gPools);
  Kest::PoolApi::FailoverSettings failover;
  failover.failover_after_ms = options.failover_after_s * 1000;
  failover.retry_main_ms = options.retry_main_s * 1000;
  failover.idle_timeout_ms = options.idle_timeout_s * 1000;
  failover.response_timeout_ms = options.response_timeout_s * 1000;
  gPoolApi->Configure(failover);
  // Monitoring: the API answers from now on (devices are listed once set up).
  Kest::Monitoring monitoring;
  const std::shared_ptr<Kest::Nvml> nvml = Kest::ManagementLibraryFor(options);
  if (!monitoring.Start(options, gPoolApi, nvml, gExitSignal)) {
    Finish(Kest::kExitBadCommandLine);
  }
  // The keyboard works from the first moment: 'q' also ends the wait for a pool. gPoolApi is
  // set before the thread starts and never replaced, so the thread may read it.
  gKeyreceiverThread = new std::thread(KeyReceiver);
  if (!gPoolApi->Initilize()) {
    if (gExitSignal.load()) Finish(0);  // 'q' or a signal before any pool answered
    Kest::EndProcess(255);              // no pool can be tried
  }
  // From here on the watcher keeps the pool connection usable: it notices a silent or lost
  // pool, moves to the next one and returns to the main pool when it is back.
  gPoolApi->StartWatcher();

  GlobalMiner = std::make_shared<Kest::MinerManCuda>(gNumDev, gPoolApi, gDeviceConfig, gExitSignal);
  Kest::Print("Starting init GPUs \n");
  if (GlobalMiner->InitGpu()) {
    Kest::Print("[PASS]  Inits GPUs!!!\n");
  } else {
    // No device can mine. The pool client's threads are running: end without destructors.
    Kest::Print("[FAIL]  Inits GPUs!!!\n");
    Kest::EndProcess(Kest::kExitNoUsableDevice);
  }
  monitoring.Attach(*GlobalMiner);
  // Intensities, GPU settings (put back at exit) and the temperature limit.
  Kest::StartGpuControl(options, *GlobalMiner, gDeviceConfig, nvml);

  // The miner ends on 'q', on a signal, or by itself when no device is left mining; in every
  // case the shares already handed to the pool get their chance before the process ends.
  std::atomic<int> status{0};
  gMinerThread = new std::thread([&status] { status.store(GlobalMiner->Run()); });
  gMinerThread->join();
  Finish(monitoring.ExitStatus(status.load()));
}
