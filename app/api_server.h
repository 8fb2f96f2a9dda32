// The monitoring HTTP API: a small server on one thread of its own. It answers
//   GET /                 the dashboard page (self-contained HTML, served without the token)
//   GET /api/v1/summary   the summary JSON
// and, only when a token is set and the control actions are given (ApiControl),
//   POST /api/v1/devices/{id}/pause and .../resume, POST /api/v1/pool/switch {"index": N},
//   POST /api/v1/quit
// (without a token every control path answers a JSON 403, and the API stays read-only), and a
// JSON 404 for any other path. A request whose Host header names neither the bound
// address, localhost nor this machine (any IP address when bound to a wildcard address) gets a
// JSON 421, so a web page cannot reach the API through a name of its own that it re-points at
// this machine. Every connection carries one request and is closed after
// the answer; it is time-limited, its header is capped, and connections beyond the limit are
// closed at once, so slow or hostile clients cost the miner nothing but this thread's time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/pool_address.h"  // ParseApiBind

namespace Kest {

struct ApiDevice {
  int32_t id = 0;  // CUDA device number
  std::string name;
  std::optional<std::string> pci_bus_id;
  double hashrate = 0.0;  // H/s
  uint64_t solutions = 0;
  uint64_t lost_solutions = 0;  // overwritten in the result ring, or unreadable
  std::optional<double> temperature_c;
  std::optional<double> power_w;
  std::optional<double> fan_pct;
  std::string state = "mining";             // mining, building map, paused or stopped
  std::optional<std::string> state_reason;  // why it is paused or stopped
  uint32_t intensity = 100;                 // share of the time spent in launches, percent
};

struct ApiSummary {
  std::string version;
  uint64_t uptime_s = 0;
  struct {
    std::string url;
    bool connected = false;  // TCP up and heard from within the idle limit
    bool has_job = false;    // a job came on the current connection
    bool usable = false;     // both
    bool tls = false;
    uint64_t switches = 0;
    int32_t index = 0;  // in the pool list (0: the main pool)
  } pool;
  struct {
    uint64_t block = 0;
    uint64_t difficulty = 0;
  } job;
  struct {
    uint64_t submitted = 0;
    uint64_t unconfirmed_lost = 0;
    uint64_t cpu_failed = 0;
    uint64_t stale_dropped = 0;
    uint64_t unsent_dropped = 0;
    uint64_t pool_errors = 0;
  } shares;
  struct {
    double now = 0.0;  // H/s
    double avg_60s = 0.0;
    double avg_15m = 0.0;
  } hashrate;
  std::vector<ApiDevice> devices;
};

// The summary as one JSON object (UTF-8; bytes of text fields that are not printable ASCII are
// escaped as \u00XX, so any input gives valid JSON).
std::string SummaryJson(const ApiSummary& summary);

// The pool object of the summary, and one device's object, as SummaryJson writes them.
std::string PoolJson(const ApiSummary& summary);
std::string DeviceJson(const ApiDevice& device);

// What the control endpoints act on. Each runs on the server thread and must return promptly;
// the endpoints whose member is unset answer 403 like all of them without a token.
struct ApiControl {
  // Sets (`pause`) or clears the remote pause request of the device with CUDA number `id`.
  // False when no such device is set up.
  std::function<bool(int32_t id, bool pause)> pause_device;
  // Asks to move to pool `index` of the list (0: the main pool). Empty once asked; otherwise
  // why not (the index is not one of the list).
  std::function<std::string(int64_t index)> switch_pool;
  // Whether the move last asked for has been made.
  std::function<bool()> switch_made;
  // Ends the miner as 'q' does; called once the answer has been written.
  std::function<void()> quit;
};

// The dashboard page.
const std::string& DashboardHtml();

class ApiServer {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 0;  // 0: a free port
    // Required as "Authorization: Bearer TOKEN" (the scheme in any case) when set.
    std::optional<std::string> token;
    std::size_t max_connections = 16;            // further connections are closed at once
    std::chrono::milliseconds time_limit{5000};  // a connection's whole life
    std::size_t header_limit = 8192;             // bytes of request line and headers
  };
  using Source = std::function<ApiSummary()>;

  // `source` is called on the server thread for every summary request (and by the control
  // endpoints for the state they answer with).
  ApiServer(Options options, Source source);
  ApiServer(Options options, Source source, ApiControl control);
  ~ApiServer();  // stops the thread

  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Binds exactly the configured address and starts serving; one warning line when that is
  // not a loopback address and no token is set. False, with the reason in *error, when the
  // address cannot be bound.
  bool Start(std::string* error);
  // The port bound (after Start).
  uint16_t Port() const;
  // "http://HOST:PORT" of the bound address.
  std::string Url() const;
  void Stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Kest
