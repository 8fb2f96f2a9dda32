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
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class JorlStratum {
 public:
  // Requests waiting to be written, at most; beyond it the oldest is dropped.
  static constexpr std::size_t kMaxQueuedRequests = 4096;

  struct Settings {
    // A connection that received nothing for this long is dropped and made again; a ping goes
    // out when half of it has passed. 0: no limit.
    uint32_t idle_timeout_ms = 0;
    // Response watch: when nothing has arrived for this long since the oldest unconfirmed share
    // was written, a ping goes out; nothing for as long again and the connection counts as lost
    // (dropped and made again, like at the idle limit). 0: no watch.
    uint32_t response_timeout_ms = 0;
    // TLS: the chain is verified against the system's CA store and the host name, unless
    // `pin` (32 bytes, the SHA-256 of the server certificate in DER) is set, in which case
    // only the certificate's fingerprint must match. Nothing is sent before that check.
    bool tls = false;
    std::string pin;
    std::string label;  // the pool address, for messages
  };

  // Stores copies of the four texts, starts the watchdog and the first connection. `shares`,
  // when given, must outlive the client. It gets:
  //  - submitted: a share line written whole and then confirmed, i.e. some bytes arrived on the
  //    same TCP connection after its write completed;
  //  - unconfirmed_lost: a share line handed to a socket (written or being written) whose
  //    connection ended before it was confirmed: error, idle limit, response watch, rebuild or
  //    the client's destruction. Such a share is never sent again, here or anywhere;
  //  - unsent_dropped: queued submits dropped unsent (also those still queued when the client
  //    is destroyed);
  //  - pool_errors: the pool's error replies.
  JorlStratum(const char* account, const char* password, const char* host, const char* port,
              Kest::ShareCounters* shares = nullptr);
  JorlStratum(const char* account, const char* password, const char* host, const char* port,
              Kest::ShareCounters* shares, Settings settings);
  // Stops the watchdog (within a few milliseconds) and closes the connection.
  ~JorlStratum();

  JorlStratum(const JorlStratum&) = delete;
  JorlStratum& operator=(const JorlStratum&) = delete;

  // True once this client holds a job to hand out (it may have come on an earlier TCP
  // connection; the job is kept across reconnects).
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
  // is down is sent once it is back, right after the subscribe line. A share line leaves the
  // queue when its write starts: whatever then happens to that connection, it is not written
  // again. Other requests cut off by a broken connection go out on the next one.
  void RequestNewTemplate();
  void SubmitWork(work* w);  // sends decoded bytes 32..63 (the nonce)
  void UpdateHR(work* w);    // sends w->hr

  // Sends a ping and watches for the pong for up to ten seconds (one look a second).
  bool CheckAlive();

  // The TCP connection is up and has heard from the pool within the idle limit (the time since
  // the last byte is checked, not only the last verdict of the idle timer).
  bool IsConnected();
  // A job arrived on the current TCP connection (reset at each reconnect).
  bool HasJob();
  // Connected and has a job.
  bool IsUsable();
  // Why the client is not usable, in a few words (the last transport problem).
  std::string Problem();
  // Removes the submit lines still waiting to be written, counts them as dropped unsent and
  // returns how many there were.
  uint64_t DropQueuedShares();
  // Shares not yet settled: queued, being written, or written and not yet confirmed.
  uint64_t OutstandingShares();

  class Impl;  // one connection; the watchdog throws it away and builds a new one

 private:
  class Core;  // settings, signals and request queue shared with the watchdog and connections

  // Builds a connection and makes it the client's current one.
  static void InstallConnection(const std::shared_ptr<Core>& core);
  void StratumWatchDog();
  void Send(std::string line, int kind);  // kind: a RequestKind of the implementation

  std::shared_ptr<Core> core_;
  std::thread watchdog_;
};

JorlStratum* JorlStratumFactory(const char* account, const char* password, const char* host,
                                const char* port);
