// Command-line options of the miner. With no arguments every field keeps its default and the
// miner behaves as configured by config.txt alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Kest {

// A fan setting: a duty in percent, or back to the driver's own control.
struct FanSetting {
  bool automatic = false;  // "auto"
  uint32_t percent = 0;    // 0..100 when not automatic
};

// A per-device option: empty when not given; one entry applies to every device, several apply in
// device order; an empty entry ("-") keeps that card as it is.
template <typename T>
using PerDevice = std::vector<std::optional<T>>;

struct RunOptions {
  bool help = false;                       // --help: print the options and end
  bool version = false;                    // --version: print the version and end
  std::string config_file = "config.txt";  // --config FILE
  bool config_given = false;               // --config was given: the file must be readable
  std::vector<std::string> pools;       // -o/--pool URL (repeatable): replaces config.txt's pools
  std::optional<std::string> user;      // -u/--user KEY
  std::optional<std::string> password;  // -p/--pass PWD
  uint32_t failover_after_s = 30;       // --failover-after SECONDS
  uint32_t retry_main_s = 60;           // --retry-main SECONDS
  uint32_t idle_timeout_s = 60;         // --idle-timeout SECONDS
  uint32_t response_timeout_s = 10;     // --response-timeout SECONDS
  // Monitoring.
  std::optional<std::string> api_bind;   // --api-bind [HOST:]PORT (HOST defaults to 127.0.0.1)
  std::optional<std::string> api_token;  // --api-token TOKEN, or the first line of --api-token-file
  uint32_t watchdog_s = 120;             // --watchdog SECONDS (0: off)
  // GPU control.
  PerDevice<uint32_t> power_limit_w;     // --power-limit WATTS[,WATTS...]
  PerDevice<uint32_t> lock_core_mhz;     // --lock-core-clock MHZ[,MHZ...]
  PerDevice<uint32_t> lock_mem_mhz;      // --lock-mem-clock MHZ[,MHZ...]
  PerDevice<FanSetting> fan;             // --fan PERCENT|auto[,...]
  std::optional<uint32_t> temp_stop_c;   // --temp-stop C: pause a card that reaches C
  std::optional<uint32_t> temp_start_c;  // --temp-start C: resume below; set to stop - 10
                                         // whenever temp_stop_c is set and this was not given
  double no_share_minutes = 0.0;         // --no-share-minutes M (0: off); may be fractional
  // Fleet.
  std::optional<std::string> log_file;           // --log-file FILE
  uint32_t log_max_mb = 0;                       // --log-max-mb N (0: no limit)
  std::optional<uint32_t> benchmark_s;           // --benchmark SECONDS: no pool, a local job
  std::optional<std::string> benchmark_trailer;  // --benchmark-trailer HEX (320 hex digits)
  bool json = false;                             // --json: the benchmark adds one JSON line
};

// Exit status of a command line the miner cannot run with.
constexpr int kExitBadCommandLine = 2;
// Exit status when no share was accepted for --no-share-minutes although many were expected.
constexpr int kExitNoShares = 5;

// Reads the command line (argv[0] is the program). On a bad option or value returns false and
// sets `error` to one line (no line feed) saying what is wrong; `options` is then unspecified.
bool ParseOptions(int argc, const char* const* argv, RunOptions& options, std::string* error);

// The option table printed by --help.
std::string OptionsUsage();

// The hint printed after a command-line error.
constexpr const char* kUsageHint = "Try 'plominer --help' for the list of options.";

}  // namespace Kest
