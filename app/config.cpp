#include "app/config.h"
#include "app/version.h"

#include <cstdio>
#include <iostream>
#include <istream>

#include "app/CudaUtils.h"
#include "app/options.h"
#include "app/pool_address.h"
#include "app/utils.h"

namespace Kest {

const char* const kDefaultMinerKey =
    "0x0000000000000000000000000000000000000000000000000000000000000000";
const char* const kDefaultPassword = "QXV";
const char* const kDefaultPoolUrl = "stratum+tcp://localhost:8888";

int ParseInput(int& argc, char** argv) {
  Print(std::string("Varn-PLOMiner (Cuda) v") + kMinerVersion + "\n");
  Print("Written by the PLOMiner developers\n");
  Print("No developer fee: every share is mined for the key in config.txt\n");
  Print("\n\n");
  return 0;
}

namespace {

// Replaces the first "%computername%" and everything after it by the host name.
void ApplyWorkerName(std::string& key, const char* hostname_path) {
  const auto pos = key.find(kComputerNamePlaceholder);
  if (pos == std::string::npos) return;
  const std::string host = GetComputerName(hostname_path);
  key = key.substr(0, pos) + host;
  Print("WORKER NAME: " + host + "\n");
}

bool ReadConfigFile(const char* path, const char* hostname_path, std::string& key,
                    std::string& password, std::string& pool_url, std::vector<std::string>& pools) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  cfilebuf buf(file);
  std::istream in(&buf);
  ParseAccountConfig(in, hostname_path, key, password, pool_url, pools);
  std::fclose(file);
  return true;
}

void CreateConfigFile(const char* path, std::string& key, std::string& password,
                      std::string& pool_url, std::vector<std::string>& pools) {
  key = kDefaultMinerKey;
  password = kDefaultPassword;
  pool_url = kDefaultPoolUrl;
  pools.push_back(pool_url);
  FILE* file = std::fopen(path, "w");
  if (file == nullptr) {
    Printf("Cannot create %s here; mining with the built-in defaults\n", path);
    return;
  }
  const bool ok =
      std::fprintf(file, "%s\n%s\n%s\n", key.c_str(), password.c_str(), pool_url.c_str()) > 0;
  if (std::fclose(file) != 0 || !ok) {
    Printf("Cannot write %s; mining with the built-in defaults\n", path);
  }
}

void PrintSummary(const std::string& key, const std::string& password, const std::string& pool_url,
                  const std::vector<std::string>& pools) {
  Print("Your mining information: \n");
  Printf("Usr: %s \n", key.c_str());
  Printf("Pwd: %s \n", password.c_str());
  Printf("Main Pool: %s \n", pool_url.c_str());
  Print("AltPools:\n");
  for (size_t i = 0; i < pools.size(); ++i) {
    Print(std::to_string(i + 1) + "/ " + pools[i] + "\n");
  }
}

}  // namespace

void ParseAccountConfig(std::istream& in, const char* hostname_path, std::string& key,
                        std::string& password, std::string& pool_url,
                        std::vector<std::string>& pools) {
  std::string token;
  if (in >> token) {
    key = token;
    ApplyWorkerName(key, hostname_path);
  }
  if (in >> token) password = token;
  if (in >> token) pool_url = token;
  pools.push_back(pool_url);
  while (in >> token) pools.push_back(token);
}

bool LoadAccountConfig(const char* path, const char* hostname_path, std::string& key,
                       std::string& password, std::string& pool_url,
                       std::vector<std::string>& pools, const RunOptions* overrides) {
  if (!(is_file_exist(path) &&
        ReadConfigFile(path, hostname_path, key, password, pool_url, pools))) {
    if (overrides != nullptr && overrides->config_given) {
      // A file named on the command line is never replaced by the defaults: a typing mistake
      // would otherwise mine for the built-in key.
      Print(std::string("Cannot read the configuration file ") + path + " (--config)\n");
      return false;
    }
    CreateConfigFile(path, key, password, pool_url, pools);
  }
  if (overrides != nullptr) {
    if (overrides->user) {
      key = *overrides->user;
      ApplyWorkerName(key, hostname_path);
    }
    if (overrides->password) password = *overrides->password;
    if (!overrides->pools.empty()) {
      pools = overrides->pools;
      pool_url = pools.front();
    }
  }
  std::vector<std::string> usable;
  for (const std::string& pool : pools) {
    PoolAddress address;
    std::string why;
    if (ParsePoolAddress(pool, &address, &why)) {
      usable.push_back(pool);
    } else {
      Print("Skipping the " + why + "\n");
    }
  }
  if (usable.empty()) {
    Print(std::string("No usable pool address in ") + path + "\n");
    return false;
  }
  pools = std::move(usable);
  pool_url = pools.front();
  PrintSummary(key, password, pool_url, pools);
  if (key == kDefaultMinerKey) {
    Print("Warning: mining for the built-in all-zero account key; put your key in " +
          std::string(path) + " or give it with -u\n");
  }
  return true;
}

}  // namespace Kest
