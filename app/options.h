// Command-line options of the miner. With no arguments every field keeps its default and the
// miner behaves as configured by config.txt alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Kest {

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
};

// Exit status of a command line the miner cannot run with.
constexpr int kExitBadCommandLine = 2;

// Reads the command line (argv[0] is the program). On a bad option or value returns false and
// sets `error` to one line (no line feed) saying what is wrong; `options` is then unspecified.
bool ParseOptions(int argc, const char* const* argv, RunOptions& options, std::string* error);

// The option table printed by --help.
std::string OptionsUsage();

// The hint printed after a command-line error.
constexpr const char* kUsageHint = "Try 'plominer --help' for the list of options.";

}  // namespace Kest
