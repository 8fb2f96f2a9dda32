#include "pool/stratum.h"

#include "app/utils.h"
#include "pool/stratum_parser.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

namespace {
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

constexpr int kErrorsBeforeRebuild = 5;  // the fifth error of a connection gets it rebuilt
constexpr auto kRetryDelay = std::chrono::seconds(1);
constexpr auto kRebuildDelay = std::chrono::seconds(1);
constexpr auto kWatchdogPoll = std::chrono::milliseconds(10);
constexpr auto kSettleDelay = std::chrono::milliseconds(100);  // after building a connection
constexpr auto kAliveLookInterval = std::chrono::seconds(1);
constexpr int kAliveLooks = 10;
constexpr std::size_t kReadChunk = 4096;
constexpr int32_t kNoJob = -1;  // diff of a connection without a job
constexpr std::size_t kSha256Bytes = 32;

using TlsStream = asio::ssl::stream<tcp::socket>;

// Kinds of queued requests. A newer hash-rate report replaces one still waiting.
enum class RequestKind { kOther, kShare, kReport };

// SHA-256 of the certificate in DER, as raw bytes (empty on failure).
std::string CertificateSha256(X509* cert) {
  if (cert == nullptr) return {};
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  if (length <= 0) return {};
  unsigned char digest[kSha256Bytes];
  unsigned int size = 0;
  const bool ok =
      EVP_Digest(der, static_cast<std::size_t>(length), digest, &size, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!ok || size != kSha256Bytes) return {};
  return std::string(reinterpret_cast<const char*>(digest), kSha256Bytes);
}

// "AB:CD:..." as openssl's fingerprint option prints it.
std::string FingerprintText(const std::string& digest) {
  if (digest.empty()) return "unknown";
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const auto byte = static_cast<unsigned char>(digest[i]);
    if (i) text += ':';
    text += kHex[byte >> 4];
    text += kHex[byte & 0xF];
  }
  return text;
}

std::string DescribeError(const ErrorCode& ec) {
  if (ec == asio::error::eof) return "the pool closed the connection";
  if (ec == asio::error::connection_refused) return "connection refused";
  if (ec == asio::error::connection_reset) return "connection reset by the pool";
  return ec.message();
}
}  // namespace

// State shared by the handle, its watchdog and the connection in use. The connection and the
// signals are guarded by `mutex`; the request queue has its own lock so the network thread
// never waits for a facade call. Lock order: mutex, then a connection's state lock.
class JorlStratum::Core {
 public:
  Core(const char* account_key, const char* pool_password, const char* pool_host,
       const char* pool_port, Kest::ShareCounters* counters, Settings client_settings)
      : account(account_key ? account_key : ""),
        password(pool_password ? pool_password : ""),
        host(pool_host ? pool_host : ""),
        port(pool_port ? pool_port : ""),
        settings(std::move(client_settings)),
        shares(counters ? *counters : own_shares) {
    if (settings.label.empty()) settings.label = host + ":" + port;
    if (settings.tls) {
      tls_context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
      SSL_CTX_set_min_proto_version(tls_context->native_handle(), TLS1_2_VERSION);
      // A pinned certificate is checked by its fingerprint alone.
      if (settings.pin.empty()) tls_context->set_default_verify_paths();
    }
  }

  ~Core() {
    // Shares still queued when the client goes were never written to any pool.
    uint64_t unsent = 0;
    for (const auto& entry : queue_) unsent += entry.kind == RequestKind::kShare ? 1 : 0;
    shares.unsent_dropped += unsent;
  }

  const std::string account;
  const std::string password;  // kept, never sent
  const std::string host;
  const std::string port;
  Settings settings;
  std::unique_ptr<asio::ssl::context> tls_context;  // set for a TLS pool
  std::atomic<bool> tls_failure_printed{false};     // one line per client, not per attempt

 private:
  Kest::ShareCounters own_shares;  // used when the client is given none

 public:
  Kest::ShareCounters& shares;
  // Refusals and drops a pool can cause in floods are summarised, not printed one by one.
  Kest::RepeatPrinter repeats;

  std::mutex mutex;
  std::condition_variable wake;  // raised stop or corrupt
  bool stop = false;             // the client is being destroyed
  bool corrupt = false;          // the connection in use asks to be rebuilt
  std::unique_ptr<Impl> impl;

  // Called on a connection's network thread; a connection no longer installed is ignored.
  void RaiseCorrupt(const Impl* from) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (impl.get() != from) return;
      corrupt = true;
    }
    wake.notify_all();
  }

  // Waits up to `delay`; true as soon as the client is being stopped.
  template <typename Duration>
  bool WaitForStop(Duration delay) {
    std::unique_lock<std::mutex> lock(mutex);
    return wake.wait_for(lock, delay, [this] { return stop; });
  }

  // Requests waiting to be written, oldest first. A submit line (kShare) leaves the queue when
  // its write starts (TakeNext) and is then the connection's to settle: confirmed (submitted)
  // or lost (unconfirmed_lost), never written twice. Other requests stay at the front until
  // written completely, so one cut off by a broken connection goes out on the next one. A
  // hash-rate report takes the place of one still waiting (while the pool is down they would
  // otherwise pile up); the entry gets a new id, so if the older text is being written right
  // now the newer one still goes out after it. A share dropped from the queue counts as
  // dropped unsent.
  void Push(std::string line, RequestKind kind) {
    bool dropped = false;
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      if (kind == RequestKind::kReport) {
        for (auto& entry : queue_) {
          if (entry.kind != kind) continue;
          entry.line = std::move(line);
          entry.id = next_id_++;
          return;
        }
      }
      if (queue_.size() >= kMaxQueuedRequests) {
        if (queue_.front().kind == RequestKind::kShare) ++shares.unsent_dropped;
        queue_.pop_front();
        dropped = true;
      }
      queue_.push_back(Request{next_id_++, std::move(line), kind});
    }
    if (dropped) repeats.Print("Pool not taking requests: dropped the oldest unsent request");
  }

  // The next request to write. A share is taken off the queue and counted as open until its
  // connection settles it; any other request stays queued until PopFront.
  bool TakeNext(std::string& line, uint64_t& id, bool& share) {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (queue_.empty()) return false;
    id = queue_.front().id;
    share = queue_.front().kind == RequestKind::kShare;
    if (share) {
      line = std::move(queue_.front().line);
      queue_.pop_front();
      ++open_shares_;
    } else {
      line = queue_.front().line;
    }
    return true;
  }

  // The (non-share) request `id` has been written completely.
  void PopFront(uint64_t id) {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (queue_.empty() || queue_.front().id != id) return;
    queue_.pop_front();
  }

  // Open shares settled by their connection: `confirmed` heard back, `lost` with the
  // connection before that.
  void Settle(uint64_t confirmed, uint64_t lost) {
    if (confirmed == 0 && lost == 0) return;
    std::lock_guard<std::mutex> lock(queue_mutex_);
    open_shares_ -= std::min(open_shares_, confirmed + lost);
    shares.submitted += confirmed;
    shares.unconfirmed_lost += lost;
  }

  // Shares queued, plus those taken for writing and not yet settled.
  uint64_t Outstanding() {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    uint64_t queued = 0;
    for (const auto& entry : queue_) queued += entry.kind == RequestKind::kShare ? 1 : 0;
    return queued + open_shares_;
  }

  // Removes every submit line still waiting; returns how many.
  uint64_t DropShares() {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    const auto kept = std::remove_if(queue_.begin(), queue_.end(), [](const Request& entry) {
      return entry.kind == RequestKind::kShare;
    });
    const auto dropped = static_cast<uint64_t>(queue_.end() - kept);
    queue_.erase(kept, queue_.end());
    shares.unsent_dropped += dropped;
    return dropped;
  }

 private:
  struct Request {
    uint64_t id;
    std::string line;
    RequestKind kind;
  };
  std::mutex queue_mutex_;
  std::deque<Request> queue_;
  uint64_t next_id_ = 0;
  uint64_t open_shares_ = 0;  // taken for writing, not yet confirmed or lost
};

// One connection. Every socket, resolver and timer operation runs on its network thread;
// facade threads reach it only through the state lock, the alive flag and posted handlers.
class JorlStratum::Impl {
 public:
  using ErrorCallback = std::function<void(int, const std::string&, Impl&)>;

  Impl(std::shared_ptr<Core> core, ErrorCallback callback)
      : core_(std::move(core)),
        callback_(std::move(callback)),
        guard_(asio::make_work_guard(io_)),
        resolver_(io_),
        socket_(io_),
        retry_timer_(io_),
        idle_timer_(io_),
        response_timer_(io_) {
    network_thread_ = std::thread([this] { io_.run(); });
    asio::post(io_, [this] { reconnect(); });
  }

  ~Impl() {
    if (std::this_thread::get_id() == network_thread_.get_id()) {
      Kest::Print("Fatal: a Stratum connection was destroyed from its own network thread\n");
      std::abort();
    }
    io_.stop();
    if (network_thread_.joinable()) network_thread_.join();
    // The network thread has ended: a share still being written, or written and unheard of,
    // goes with this connection (a completed write whose handler never ran included).
    SettleLost();
    ErrorCode ignored;
    Socket().close(ignored);
  }

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Transport error: retry after a second, or ask for a rebuild at the fifth error.
  static void default_error_callback(int error, const std::string& message, Impl& conn) {
    ++conn.error_count_;
    conn.active_ = false;
    conn.healthy_ = false;
    ErrorCode ignored;
    conn.Socket().close(ignored);
    conn.resolver_.cancel();
    if (conn.error_count_ >= kErrorsBeforeRebuild) {
      conn.core_->RaiseCorrupt(&conn);
      return;
    }
    conn.retry_timer_.expires_after(kRetryDelay);
    conn.retry_timer_.async_wait([&conn](const ErrorCode& ec) {
      if (!ec) conn.reconnect();
    });
  }

  // ---- facade side ----

  bool IsReady() {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return diff_ != kNoJob;
  }

  bool HaveNewWork() {
    int32_t diff = 0;
    uint64_t block = 0;
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      if (!new_work_) return false;
      new_work_ = false;
      diff = diff_;
      block = block_;
    }
    Kest::Print("Received new work! Share diff: " + std::to_string(diff) +
                " | Block:" + std::to_string(block) + "\n");
    return true;
  }

  void GetWork(work* w) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    const std::size_t length = std::min(job_text_.size(), Kest::kWorkTextMax);
    std::memcpy(w->text, job_text_.data(), length);
    w->text[length] = '\0';
    w->text_len = static_cast<int32_t>(length);
    w->diff = diff_;
    w->block = block_;
  }

  bool HaveNewTemplate() {
    std::lock_guard<std::mutex> lock(state_mutex_);
    const bool was = new_template_;
    new_template_ = false;
    return was;
  }

  void GetTemplate(work_template* t) {
    std::string prefix;
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      prefix = prefix_text_;
      t->frame_id = static_cast<int32_t>(frame_id_);
      t->num_prefix = static_cast<int32_t>(num_prefix_);
    }
    if (t->prefix_text == nullptr) {
      t->prefix_text = static_cast<char*>(std::malloc(Kest::kTemplatePrefixCapacity));
      if (t->prefix_text == nullptr) return;
    }
    const std::size_t length = std::min(prefix.size(), Kest::kTemplatePrefixCapacity);
    std::memcpy(t->prefix_text, prefix.data(), length);
    if (length < Kest::kTemplatePrefixCapacity) t->prefix_text[length] = '\0';
    const std::string bytes = base64_decode(prefix);
    const std::size_t count = std::min<std::size_t>(bytes.size(), 16);
    for (std::size_t i = 0; i < count; ++i) t->prefix[i] = static_cast<uint8_t>(bytes[i]);
  }

  // Lowers the alive flag; returns whether it was raised.
  bool TakeAlive() { return alive_.exchange(false); }

  bool IsConnected() {
    if (!healthy_) return false;
    if (core_->settings.idle_timeout_ms == 0) return true;
    const auto heard = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(last_heard_.load()));
    return std::chrono::steady_clock::now() - heard < IdleLimit();
  }

  bool HasJob() { return attempt_job_; }

  bool Usable() { return IsConnected() && HasJob(); }

  std::string Problem() {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return problem_;
  }

  // New requests are queued: start writing them if the connection is idle.
  void Kick() {
    asio::post(io_, [this] { StartWrite(); });
  }

 private:
  // ---- network thread ----

  bool Current(uint64_t attempt) const { return active_ && attempt == attempt_; }

  // The TCP socket under the connection of this attempt.
  tcp::socket& Socket() { return tls_ ? tls_->next_layer() : socket_; }

  void SetProblem(std::string text) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    problem_ = std::move(text);
  }

  // `problem`, when given, says better than the error code what went wrong.
  // The attempt ends here: its open shares are lost with it.
  void ReportError(const ErrorCode& ec, std::string problem = {}) {
    SetProblem(problem.empty() ? DescribeError(ec) : std::move(problem));
    SettleLost();
    healthy_ = false;
    callback_(ec.value(), ec.message(), *this);
  }

  // The shares of this attempt that are being written or wait for a word from the pool will
  // not be confirmed: counted as lost, never written again.
  void SettleLost() {
    const uint64_t lost = unconfirmed_ + (share_in_flight_ ? 1 : 0);
    unconfirmed_ = 0;
    share_in_flight_ = false;
    core_->Settle(0, lost);
  }

  void reconnect() {
    SettleLost();  // normally done when the previous attempt ended
    ++attempt_;
    active_ = true;
    healthy_ = false;
    attempt_job_ = false;  // a job counts only for the TCP connection it came on
    subscribed_ = false;
    writing_ = false;
    response_pinged_ = false;
    framer_.Reset();
    ErrorCode ignored;
    Socket().close(ignored);
    if (core_->tls_context) {
      // A TLS stream serves one session. The old one stays until the connection object goes:
      // handlers of its cancelled operations may still be queued.
      if (tls_) retired_.push_back(std::move(tls_));
      tls_ = std::make_unique<TlsStream>(io_, *core_->tls_context);
    }
    last_read_ = std::chrono::steady_clock::now();
    pinged_ = false;
    ArmIdle();
    Resolve(tcp::resolver::address_configured);
  }

  std::chrono::milliseconds IdleLimit() const {
    return std::chrono::milliseconds(core_->settings.idle_timeout_ms);
  }

  // The idle check: a ping when half the limit has passed without a byte from the pool, the
  // connection given up when all of it has. Connecting counts as silence too.
  void ArmIdle() {
    if (core_->settings.idle_timeout_ms == 0) return;
    const uint64_t attempt = attempt_;
    const auto limit = IdleLimit();
    idle_timer_.expires_at(last_read_ + (pinged_ || !subscribed_ ? limit : limit / 2));
    idle_timer_.async_wait([this, attempt](const ErrorCode& ec) {
      if (!ec) handle_idle(attempt);
    });
  }

  std::chrono::milliseconds ResponseLimit() const {
    return std::chrono::milliseconds(core_->settings.response_timeout_ms);
  }

  // The response watch: a ping when the pool has said nothing for the response limit since the
  // oldest unconfirmed share was written, the connection given up after as long again.
  void ArmResponse() {
    if (core_->settings.response_timeout_ms == 0 || unconfirmed_ == 0) return;
    const uint64_t attempt = attempt_;
    response_timer_.expires_at(ResponseDeadline());
    response_timer_.async_wait([this, attempt](const ErrorCode& ec) {
      if (!ec) handle_response(attempt);
    });
  }

  std::chrono::steady_clock::time_point ResponseDeadline() const {
    return oldest_unconfirmed_ + ResponseLimit() * (response_pinged_ ? 2 : 1);
  }

  void handle_response(uint64_t attempt) {
    // A wait that ended just before a confirmation or a re-arm is stale.
    if (!Current(attempt) || unconfirmed_ == 0) return;
    if (std::chrono::steady_clock::now() < ResponseDeadline()) return;
    if (!response_pinged_) {
      response_pinged_ = true;
      core_->Push(Kest::PingLine(), RequestKind::kOther);
      StartWrite();
      ArmResponse();
      return;
    }
    ReportError(asio::error::timed_out,
                "no answer for " + Kest::DurationText(core_->settings.response_timeout_ms * 2) +
                    " after a share");
  }

  void handle_idle(uint64_t attempt) {
    if (!Current(attempt)) return;
    const auto silent = std::chrono::steady_clock::now() - last_read_;
    if (silent >= IdleLimit()) {
      ReportError(asio::error::timed_out,
                  "nothing received for " + Kest::DurationText(core_->settings.idle_timeout_ms));
      return;
    }
    if (!pinged_ && subscribed_ && silent >= IdleLimit() / 2) {
      pinged_ = true;
      core_->Push(Kest::PingLine(), RequestKind::kOther);
      StartWrite();
    }
    ArmIdle();
  }

  void Resolve(tcp::resolver::flags flags) {
    const uint64_t attempt = attempt_;
    resolver_.async_resolve(
        core_->host, core_->port, flags,
        [this, attempt, flags](const ErrorCode& ec, tcp::resolver::results_type endpoints) {
          handle_resolve(attempt, flags, ec, std::move(endpoints));
        });
  }

  void handle_resolve(uint64_t attempt, tcp::resolver::flags flags, const ErrorCode& ec,
                      tcp::resolver::results_type endpoints) {
    if (!Current(attempt)) return;
    if (ec && flags != tcp::resolver::flags()) {
      // A host whose only configured interface is the loopback gets no answer when the
      // lookup is limited to configured address families; ask again without the limit.
      Resolve(tcp::resolver::flags());
      return;
    }
    if (ec) {
      ReportError(ec);
      return;
    }
    asio::async_connect(Socket(), endpoints,
                        [this, attempt](const ErrorCode& error, const tcp::endpoint&) {
                          handle_connect(attempt, error);
                        });
  }

  void handle_connect(uint64_t attempt, const ErrorCode& ec) {
    if (!Current(attempt)) return;
    if (ec) {
      ReportError(ec);
      return;
    }
    ErrorCode ignored;
    Socket().set_option(tcp::no_delay(true), ignored);
    if (!tls_) {
      Write(Kest::SubscribeLine(core_->account), true, 0);
      return;
    }
    StartHandshake(attempt);
  }

  // TLS: the account key goes out only after the server passed the check.
  void StartHandshake(uint64_t attempt) {
    const Settings& settings = core_->settings;
    seen_sha256_.clear();
    verify_error_.clear();
    if (!SSL_set_tlsext_host_name(tls_->native_handle(), core_->host.c_str())) {
      ReportError(asio::error::invalid_argument, "cannot set the TLS server name");
      return;
    }
    tls_->set_verify_mode(asio::ssl::verify_peer);
    tls_->set_verify_callback([this, pinned = !settings.pin.empty(),
                               by_name = asio::ssl::host_name_verification(core_->host)](
                                  bool preverified, asio::ssl::verify_context& context) mutable {
      X509_STORE_CTX* store = context.native_handle();
      if (seen_sha256_.empty()) seen_sha256_ = CertificateSha256(X509_STORE_CTX_get0_cert(store));
      if (pinned) return true;  // the fingerprint is compared after the handshake
      if (!preverified) {
        if (verify_error_.empty()) {
          verify_error_ = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
        }
        return false;
      }
      if (!by_name(preverified, context)) {
        verify_error_ = "certificate is not for host " + core_->host;
        return false;
      }
      return true;
    });
    tls_->async_handshake(asio::ssl::stream_base::client,
                          [this, attempt](const ErrorCode& ec) { handle_handshake(attempt, ec); });
  }

  void handle_handshake(uint64_t attempt, const ErrorCode& ec) {
    if (!Current(attempt)) return;
    if (ec) {
      if (!verify_error_.empty()) {
        TlsRefused(verify_error_);
      } else {
        ReportError(ec, "TLS handshake failed: " + ec.message());
      }
      return;
    }
    if (!core_->settings.pin.empty()) {
      X509* cert = SSL_get1_peer_certificate(tls_->native_handle());
      seen_sha256_ = CertificateSha256(cert);
      X509_free(cert);
      if (seen_sha256_ != core_->settings.pin) {
        TlsRefused("certificate does not match the pinned SHA-256");
        return;
      }
    }
    Write(Kest::SubscribeLine(core_->account), true, 0);
  }

  void TlsRefused(const std::string& what) {
    const std::string problem = "TLS check failed: " + what;
    if (!core_->tls_failure_printed.exchange(true)) {
      Kest::Print("TLS check of " + core_->settings.label + " failed: " + what +
                  "; its certificate's SHA-256 is " + FingerprintText(seen_sha256_) + "\n");
    }
    ReportError(asio::error::access_denied, problem);
  }

  // Writes the next queued request unless a write is in flight or the pool has not got the
  // subscribe line yet.
  void StartWrite() {
    if (!active_ || !subscribed_ || writing_) return;
    std::string line;
    uint64_t id = 0;
    bool share = false;
    if (!core_->TakeNext(line, id, share)) return;
    share_in_flight_ = share;
    Write(std::move(line), false, id, share);
  }

  void Write(std::string line, bool subscribe, uint64_t id, bool share = false) {
    writing_ = true;
    auto text = std::make_shared<std::string>(std::move(line));
    const uint64_t attempt = attempt_;
    auto done = [this, attempt, subscribe, id, share, text](const ErrorCode& ec, std::size_t) {
      handle_write_completed(attempt, subscribe, id, share, ec);
    };
    if (tls_) {
      asio::async_write(*tls_, asio::buffer(*text), std::move(done));
    } else {
      asio::async_write(socket_, asio::buffer(*text), std::move(done));
    }
  }

  void handle_write_completed(uint64_t attempt, bool subscribe, uint64_t id, bool share,
                              const ErrorCode& ec) {
    // A line of an attempt that has ended: a share among them was settled as lost with it, any
    // other request is still queued and goes out on the next attempt.
    if (!Current(attempt)) return;
    writing_ = false;
    if (ec) {
      ReportError(ec);  // a share cut off here is lost, not written again
      return;
    }
    if (subscribe) {
      subscribed_ = true;
      last_read_ = std::chrono::steady_clock::now();  // the pool's silence counts from here
      ArmIdle();    // the ping is due at half the limit from now, not at the whole limit
      StartRead();  // the one read of this connection attempt; re-armed by its completion
    } else if (share) {
      share_in_flight_ = false;
      if (unconfirmed_++ == 0) {
        oldest_unconfirmed_ = std::chrono::steady_clock::now();
        response_pinged_ = false;
        ArmResponse();
      }
    } else {
      core_->PopFront(id);
    }
    StartWrite();
  }

  void StartRead() {
    const uint64_t attempt = attempt_;
    auto done = [this, attempt](const ErrorCode& ec, std::size_t size) {
      handle_server_msg(attempt, ec, size);
    };
    if (tls_) {
      tls_->async_read_some(asio::buffer(read_buffer_), std::move(done));
    } else {
      socket_.async_read_some(asio::buffer(read_buffer_), std::move(done));
    }
  }

  void handle_server_msg(uint64_t attempt, const ErrorCode& ec, std::size_t size) {
    if (!Current(attempt)) return;
    if (ec) {
      ReportError(ec);
      return;
    }
    last_read_ = std::chrono::steady_clock::now();
    last_heard_ = last_read_.time_since_epoch().count();
    pinged_ = false;
    healthy_ = true;
    // Bytes after a share's write completed: the pool is reading this connection.
    if (unconfirmed_ > 0) {
      core_->Settle(unconfirmed_, 0);
      unconfirmed_ = 0;
      response_pinged_ = false;
      response_timer_.cancel();
    }
    std::vector<std::string> lines;
    const bool fits = framer_.Append(read_buffer_.data(), size, lines);
    for (const auto& line : lines) Apply(reply_parser(line, &core_->repeats));
    if (!fits) {
      Kest::Print("Pool sent a line longer than " + std::to_string(Kest::kMaxLineBytes) +
                  " bytes without a line feed; reconnecting\n");
      ReportError(asio::error::message_size);
      return;
    }
    StartRead();
  }

  void Apply(const reply_parser& reply) {
    core_->repeats.Tick();
    switch (reply.type()) {
      case Kest::kReplyJob:
        StoreJob(reply);
        break;
      case Kest::kReplyTemplate:
        StoreTemplate(reply);
        break;
      case Kest::kReplyPong:
        alive_ = true;
        break;
      case Kest::kReplyMessage:
        break;
      default:
        if (reply.is_error_reply()) ++core_->shares.pool_errors;
        if (!reply.errorText().empty()) core_->repeats.Print(reply.errorText());
        break;
    }
  }

  // The parser has checked the job: its text is a whole trailer, its difficulty usable.
  void StoreJob(const reply_parser& reply) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    job_text_ = reply.root();
    diff_ = reply.diff();
    block_ = reply.block();
    new_work_ = true;
    attempt_job_ = true;
  }

  void StoreTemplate(const reply_parser& reply) {
    if (reply.base64_prefix().size() > Kest::kTemplatePrefixCapacity) {
      Kest::Print(
          "Template refused: its prefix text has " + std::to_string(reply.base64_prefix().size()) +
          " characters, the template buffer holds " +
          std::to_string(Kest::kTemplatePrefixCapacity) + "; keeping the current template\n");
      return;
    }
    std::lock_guard<std::mutex> lock(state_mutex_);
    prefix_text_ = reply.base64_prefix();
    num_prefix_ = static_cast<uint32_t>(reply.num_prefix());
    frame_id_ = static_cast<uint32_t>(reply.frame_id());
    new_template_ = true;
  }

  const std::shared_ptr<Core> core_;

  // Current job and template, written by the network thread, read by facade threads.
  std::mutex state_mutex_;
  std::string job_text_;
  std::string prefix_text_;
  uint32_t num_prefix_ = 0;
  uint32_t frame_id_ = 0;
  int32_t diff_ = kNoJob;
  uint64_t block_ = 0;
  bool new_work_ = false;
  bool new_template_ = false;
  std::string problem_;  // the last transport problem
  std::atomic<bool> alive_{false};
  std::atomic<bool> healthy_{false};      // this attempt is connected and has heard from the pool
  std::atomic<bool> attempt_job_{false};  // this attempt has received a job
  std::atomic<std::chrono::steady_clock::rep> last_heard_{0};  // the last byte's steady time

  // Network thread only.
  int32_t error_count_ = 0;  // transport errors since this connection was built
  bool active_ = false;      // an attempt is under way; completions of older ones are ignored
  uint64_t attempt_ = 0;
  bool subscribed_ = false;  // the subscribe line of this attempt has been written
  bool writing_ = false;     // one write in flight at most
  bool pinged_ = false;      // a ping went out for the current silence
  // Shares of this attempt: the one being written, those written and not yet confirmed (the
  // oldest of them written at `oldest_unconfirmed_`), and whether the response watch pinged.
  bool share_in_flight_ = false;
  uint64_t unconfirmed_ = 0;
  std::chrono::steady_clock::time_point oldest_unconfirmed_;
  bool response_pinged_ = false;
  std::chrono::steady_clock::time_point last_read_;
  std::string seen_sha256_;   // the server certificate's, during a TLS handshake
  std::string verify_error_;  // why the chain or host name check failed
  ErrorCallback callback_;
  Kest::LineFramer framer_;
  std::array<char, kReadChunk> read_buffer_{};

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  tcp::resolver resolver_;
  tcp::socket socket_;              // plain connections
  std::unique_ptr<TlsStream> tls_;  // TLS connections: the stream of this attempt
  std::vector<std::unique_ptr<TlsStream>> retired_;
  asio::steady_timer retry_timer_;
  asio::steady_timer idle_timer_;
  asio::steady_timer response_timer_;
  std::thread network_thread_;
};

void JorlStratum::InstallConnection(const std::shared_ptr<Core>& core) {
  auto fresh = std::make_unique<Impl>(core, &Impl::default_error_callback);
  {
    std::lock_guard<std::mutex> lock(core->mutex);
    if (core->stop) return;  // `fresh` is destroyed outside the lock
    core->impl = std::move(fresh);
  }
  core->WaitForStop(kSettleDelay);  // let the new connection start
}

JorlStratum::JorlStratum(const char* account, const char* password, const char* host,
                         const char* port, Kest::ShareCounters* shares)
    : JorlStratum(account, password, host, port, shares, Settings{}) {}

JorlStratum::JorlStratum(const char* account, const char* password, const char* host,
                         const char* port, Kest::ShareCounters* shares, Settings settings)
    : core_(std::make_shared<Core>(account, password, host, port, shares, std::move(settings))) {
  watchdog_ = std::thread([this] { StratumWatchDog(); });
  try {
    InstallConnection(core_);
  } catch (...) {
    // No connection object could be built (threads or sockets exhausted): stop the watchdog
    // before the exception leaves, so the caller sees the failure instead of a terminate.
    {
      std::lock_guard<std::mutex> lock(core_->mutex);
      core_->stop = true;
    }
    core_->wake.notify_all();
    watchdog_.join();
    throw;
  }
}

JorlStratum::~JorlStratum() {
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->stop = true;
  }
  core_->wake.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
  std::unique_ptr<Impl> last;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    last = std::move(core_->impl);
  }
  last.reset();  // joins the network thread; never under the lock it may need
}

void JorlStratum::StratumWatchDog() {
  const std::shared_ptr<Core> core = core_;
  std::unique_lock<std::mutex> lock(core->mutex);
  for (;;) {
    core->wake.wait_for(lock, kWatchdogPoll, [&core] { return core->stop || core->corrupt; });
    if (core->stop) return;
    if (!core->corrupt) continue;

    core->corrupt = false;
    std::unique_ptr<Impl> broken = std::move(core->impl);
    lock.unlock();
    Kest::Print(".");
    broken.reset();
    if (core->WaitForStop(kRebuildDelay)) return;
    try {
      InstallConnection(core);
    } catch (const std::exception& e) {
      Kest::Print(std::string("Cannot rebuild the pool connection: ") + e.what() + "\n");
      lock.lock();
      core->corrupt = true;  // try again after the next delay
      continue;
    }
    lock.lock();
  }
}

void JorlStratum::Send(std::string line, int kind) {
  core_->Push(std::move(line), static_cast<RequestKind>(kind));
  std::lock_guard<std::mutex> lock(core_->mutex);
  if (core_->impl) core_->impl->Kick();
}

bool JorlStratum::IsReady() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->impl && core_->impl->IsReady();
}

bool JorlStratum::HaveNewWork() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->impl && core_->impl->HaveNewWork();
}

void JorlStratum::GetWork(work* w) {
  if (w == nullptr) return;
  std::lock_guard<std::mutex> lock(core_->mutex);
  if (core_->impl) core_->impl->GetWork(w);
}

bool JorlStratum::HaveNewTemplate() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->impl && core_->impl->HaveNewTemplate();
}

void JorlStratum::GetTemplate(work_template* t) {
  if (t == nullptr) return;
  std::lock_guard<std::mutex> lock(core_->mutex);
  if (core_->impl) core_->impl->GetTemplate(t);
}

void JorlStratum::RequestNewTemplate() {
  Send(Kest::TemplateRequestLine(), static_cast<int>(RequestKind::kOther));
}

void JorlStratum::SubmitWork(work* w) {
  if (w == nullptr) return;
  Send(Kest::SubmitLine(w->decoded + sizeof(HostOutput::phash)),
       static_cast<int>(RequestKind::kShare));
}

void JorlStratum::UpdateHR(work* w) {
  if (w == nullptr) return;
  Send(Kest::HashRateLine(w->hr), static_cast<int>(RequestKind::kReport));
}

bool JorlStratum::CheckAlive() {
  const auto take_alive = [this] {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->impl && core_->impl->TakeAlive();
  };
  Send(Kest::PingLine(), static_cast<int>(RequestKind::kOther));
  if (take_alive()) return true;
  for (int look = 1; look <= kAliveLooks; ++look) {
    if (core_->WaitForStop(kAliveLookInterval)) return false;
    // A pong seen only at the last look is too late: the flag stays raised.
    if (look < kAliveLooks && take_alive()) return true;
  }
  return false;
}

bool JorlStratum::IsConnected() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->impl && core_->impl->IsConnected();
}

bool JorlStratum::HasJob() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->impl && core_->impl->HasJob();
}

bool JorlStratum::IsUsable() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->impl && core_->impl->Usable();
}

std::string JorlStratum::Problem() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  if (!core_->impl) return "connection being rebuilt";
  if (core_->impl->IsConnected() && !core_->impl->HasJob()) return "no job received";
  std::string problem = core_->impl->Problem();
  if (problem.empty()) problem = core_->impl->HasJob() ? "connection lost" : "no job received";
  return problem;
}

uint64_t JorlStratum::DropQueuedShares() {
  return core_->DropShares();
}

uint64_t JorlStratum::OutstandingShares() {
  return core_->Outstanding();
}

JorlStratum* JorlStratumFactory(const char* account, const char* password, const char* host,
                                const char* port) {
  return new JorlStratum(account, password, host, port);
}
