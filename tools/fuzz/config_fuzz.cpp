// libFuzzer target: config.txt (account key, password, pools) read from arbitrary bytes. Besides
// crashes and sanitizer reports it checks what the pool facade relies on and aborts when it
// fails.
#include "app/config.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

bool HasSpace(const std::string& text) {
  for (unsigned char c : text) {
    if (std::isspace(c)) return true;
  }
  return false;
}

void CheckAccountConfig(const std::string& text) {
  std::istringstream in(text);
  std::string key = "default-key";
  std::string password = "default-password";
  std::string pool_url = "default-pool";
  std::vector<std::string> pools;
  // No host-name file: the worker name is "null".
  Kest::ParseAccountConfig(in, "/nonexistent/hostname", key, password, pool_url, pools);
  Require(!pools.empty() && pools.front() == pool_url, "the main pool heads the pool list");
  Require(key.find(Kest::kComputerNamePlaceholder) == std::string::npos,
          "the worker-name placeholder never reaches the pool");
  for (const auto& token : pools) Require(!token.empty() && !HasSpace(token), "pools are tokens");
  Require(!HasSpace(password), "the password is one token");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parsers report on standard output; the fuzzer reports on standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  CheckAccountConfig(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
