// Helpers shared by the getwork client and pool facade tests.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pow/haiku.h"
#include "tools/testpool/http_pool.h"

namespace gwtest {

const char kPollBody[] = "{\"r\" : \"mining\"}";
const char kNoWork[] = "{\"error\" : 2}";

// A loopback port that is bound but never listens: every connection to it is refused. The port
// stays reserved for the lifetime of the object, so no other test can take it.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      socklen_t len = sizeof(addr);
      if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port_ = ntohs(addr.sin_port);
      }
    }
  }
  ~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Polls `done` every 20 ms until it holds or `timeout` has passed.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Requests of `pool` whose body starts with `prefix`.
inline std::vector<testpool::HttpPoolRequest> RequestsStartingWith(const testpool::HttpPool& pool,
                                                                   const std::string& prefix) {
  std::vector<testpool::HttpPoolRequest> found;
  for (const auto& r : pool.Requests()) {
    if (r.body.compare(0, prefix.size(), prefix) == 0) found.push_back(r);
  }
  return found;
}

inline std::size_t PollCount(const testpool::HttpPool& pool) {
  return RequestsStartingWith(pool, kPollBody).size();
}

// Waits until the pool has seen `count` work polls.
inline bool WaitForPolls(const testpool::HttpPool& pool, std::size_t count,
                         std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return PollCount(pool) >= count; }, timeout);
}

// A 16-byte haiku that fits the first syntax frame: for every slot the literal word or the first
// dictionary word with a matching flag, then NIL words.
inline void MakeHaiku(uint8_t* haiku) {
  constexpr uint32_t kLiteralWord = 0xFF;
  for (uint32_t j = 0; j < HAIKU_LENGTH; ++j) {
    const uint32_t slot = Frame[0][j];
    uint32_t word = WORD_NIL;
    if (slot & F_LITERAL) {
      word = slot & kLiteralWord;
    } else if (slot != 0) {
      for (uint32_t c = 1; c < DICT_SIZE && word == WORD_NIL; ++c) {
        if (Dict[c].fe & slot) word = c;
      }
    }
    haiku[j] = static_cast<uint8_t>(word);
  }
}

}  // namespace gwtest
