// Banner, config.txt and the built-in defaults.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace Kest {
class DevConfig;
struct RunOptions;

// Built-in defaults, used when config.txt is absent or short.
extern const char* const kDefaultMinerKey;
extern const char* const kDefaultPassword;
extern const char* const kDefaultPoolUrl;
constexpr const char* kConfigFile = "config.txt";
constexpr const char* kComputerNamePlaceholder = "%computername%";

// Prints the banner (the command line is read by ParseOptions, app/options.h). Returns 0.
int ParseInput(int& argc, char** argv);

// The account settings and pool list from `path` (config.txt by default); creates the file
// with the defaults when it does not exist, unless `overrides` says the file was named on the
// command line. `hostname_path` is where the worker name comes from. `overrides`, when given,
// replaces the key, password and pool list read from the file. Pool addresses that cannot be
// read are named and skipped. Prints the summary, and a warning when the key is the built-in
// default. False, with one line printed, when a named file cannot be read or no usable pool
// is left: the miner cannot start.
bool LoadAccountConfig(const char* path, const char* hostname_path, std::string& key,
                       std::string& password, std::string& pool_url,
                       std::vector<std::string>& pools, const RunOptions* overrides = nullptr);

// Reads the tokens of a config.txt text: key (with the worker name applied), password, main
// pool, alternative pools. A missing token leaves its target unchanged; the main pool is always
// appended to `pools`, then every further token.
void ParseAccountConfig(std::istream& in, const char* hostname_path, std::string& key,
                        std::string& password, std::string& pool_url,
                        std::vector<std::string>& pools);
}  // namespace Kest
