// Stratum pool client: one TCP connection to one pool, newline-delimited JSON in both
// directions. The handle outlives connection failures; the connection object (Impl) is
// repaired by its network thread after single errors and rebuilt by the client's watchdog
// after repeated ones.
//
// Every operation may be called from any thread except the client's own network thread.
// The client must not be destroyed while another thread is still inside one of its calls.
#pragma once

#include "app/records.h"
#include "app/share_stats.h"

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

class JorlStratum {
 public:
  // Requests waiting to be written, at most; beyond it the oldest is dropped.
  static constexpr std::size_t kMaxQueuedRequests = 4096;

  // Stores copies of the four texts, starts the watchdog and the first connection. `shares`,
  // when given, must outlive the client; it gets the submit lines written, the queued submits
  // dropped unsent (also those still queued when the client is destroyed) and the pool's error
  // replies.
  JorlStratum(const char* account, const char* password, const char* host, const char* port,
              Kest::ShareCounters* shares = nullptr);
  // Stops the watchdog (within a few milliseconds) and closes the connection.
  ~JorlStratum();

  JorlStratum(const JorlStratum&) = delete;
  JorlStratum& operator=(const JorlStratum&) = delete;

  // True once the current connection has received a job.
  bool IsReady();
  // Returns whether a new job arrived since the last call; prints a line when one did.
  bool HaveNewWork();
  // Copies the current job into `w` (text, text_len, diff, block); text is NUL-terminated.
  void GetWork(work* w);
  // Returns whether a new template arrived since the last call.
  bool HaveNewTemplate();
  // Copies the current template into `t`. A null prefix_text gets a 128-byte buffer from
  // std::malloc; the holder of the record owns it (std::free) from then on.
  void GetTemplate(work_template* t);

  // Requests, queued in order and written one at a time; a request made while the connection
  // is down is sent once it is back, right after the subscribe line.
  void RequestNewTemplate();
  void SubmitWork(work* w);  // sends decoded bytes 32..63 (the nonce)
  void UpdateHR(work* w);    // sends w->hr

  // Sends a ping and watches for the pong for up to ten seconds (one look a second).
  bool CheckAlive();

  class Impl;  // one connection; the watchdog throws it away and builds a new one

 private:
  class Core;  // settings, signals and request queue shared with the watchdog and connections

  // Builds a connection and makes it the client's current one.
  static void InstallConnection(const std::shared_ptr<Core>& core);
  void StratumWatchDog();
  void Send(std::string line, bool share);

  std::shared_ptr<Core> core_;
  std::thread watchdog_;
};

JorlStratum* JorlStratumFactory(const char* account, const char* password, const char* host,
                                const char* port);
