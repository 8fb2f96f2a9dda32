#include "pool/getwork.h"

#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/utils.h"
#include "pool/getwork_answer.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr int32_t kNotReadyDiff = -1;  // no answer to a work poll yet
constexpr int32_t kNoWorkDiff = 0;     // the pool said it has no work
constexpr float kNoHashRate = -1.0f;   // UpdateHR not called yet

constexpr std::chrono::seconds kPollInterval{3};
constexpr std::chrono::seconds kHashRateInterval{60};
constexpr std::chrono::seconds kHashRateWaitStep{1};
// Whole exchange: name lookup, connect, TLS handshake, request and the complete answer.
constexpr std::chrono::seconds kRequestTimeout{30};
constexpr std::size_t kMaxAnswerHeader = 16 * 1024;
constexpr std::size_t kMaxPrintedAnswer = 512;  // of a refused share's answer
constexpr std::size_t kMaxQuotedAddress = 200;
constexpr unsigned kStatusOk = 200;

constexpr std::size_t kNonceOffset = 32;  // in work.decoded of a submission envelope
constexpr uint32_t kNonceBytes = 32;

const char kPollBody[] = "{\"r\" : \"mining\"}";
const char kAcceptedAnswer[] = "{\"error\" : 0}";
const char kContentType[] = "application/x-www-form-urlencoded";
const char kUserAgent[] = "kest-plo";

std::string OrEmpty(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

// Where the requests go, taken apart once from the pool URL.
struct PoolAddress {
  bool tls = false;
  bool ip_literal = false;
  std::string host;         // without the brackets of an IPv6 literal
  unsigned short port = 0;  // the scheme's default unless the URL names one
  std::string host_header;  // value of the Host header
  std::string target;       // path and query, at least "/"
};

bool HostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

// Reads "http://" or "https://" (any case), an optional user part (ignored), a host name, an
// IPv4 or a bracketed IPv6 address, an optional port, then path and query. A fragment is not
// sent. False, with the reason in `error`, for anything else.
bool ParsePoolAddress(const std::string& url, PoolAddress* out, std::string* error) {
  const std::string quoted = Kest::GetworkPrintable(url, kMaxQuotedAddress);
  const std::size_t scheme_end = url.find("://");
  const std::string scheme =
      Kest::ToLower(scheme_end == std::string::npos ? "" : url.substr(0, scheme_end));
  if (scheme != "http" && scheme != "https") {
    *error = "not an http:// or https:// address: " + quoted;
    return false;
  }
  PoolAddress a;
  a.tls = scheme == "https";
  a.port = a.tls ? 443 : 80;

  const std::string rest = url.substr(scheme_end + 3);
  const std::size_t authority_end = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, authority_end);
  std::string tail = authority_end == std::string::npos ? "" : rest.substr(authority_end);
  const std::size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);

  std::string port_text;
  bool has_port = false;
  bool host_ok = true;
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    host_ok = close != std::string::npos;
    if (host_ok) {
      a.host = authority.substr(1, close - 1);
      const std::string after = authority.substr(close + 1);
      host_ok = after.empty() || after[0] == ':';
      has_port = !after.empty();
      if (has_port) port_text = after.substr(1);
      error_code ec;
      if (host_ok) asio::ip::make_address_v6(a.host, ec);
      host_ok = host_ok && !ec;
    }
    a.ip_literal = true;
  } else {
    const std::size_t colon = authority.find(':');
    a.host = authority.substr(0, colon);
    has_port = colon != std::string::npos;
    if (has_port) port_text = authority.substr(colon + 1);
    host_ok = std::all_of(a.host.begin(), a.host.end(), HostChar);
    error_code ec;
    asio::ip::make_address_v4(a.host, ec);
    a.ip_literal = !ec;
  }
  if (!host_ok || a.host.empty()) {
    *error = "no usable host in the address " + quoted;
    return false;
  }
  if (!port_text.empty()) {
    unsigned long port = 0;
    const bool digits =
        port_text.size() <= 5 && std::all_of(port_text.begin(), port_text.end(),
                                             [](unsigned char c) { return std::isdigit(c) != 0; });
    if (digits) port = std::stoul(port_text);
    if (!digits || port == 0 || port > 65535) {
      *error = "no usable port in the address " + quoted;
      return false;
    }
    a.port = static_cast<unsigned short>(port);
  }
  a.host_header = a.host.find(':') != std::string::npos ? "[" + a.host + "]" : a.host;
  if (!port_text.empty()) a.host_header += ":" + std::to_string(a.port);

  tail = tail.substr(0, tail.find('#'));
  if (tail.empty() || tail[0] == '?') tail.insert(0, "/");
  const bool sendable =
      std::all_of(tail.begin(), tail.end(), [](unsigned char c) { return c > 0x20 && c < 0x7F; });
  if (!sendable) {
    *error = "the address has characters that cannot be sent (escape them as %XX): " + quoted;
    return false;
  }
  a.target = std::move(tail);
  *out = std::move(a);
  return true;
}

// The request bytes. Header names, their order and spacing are what pools have always seen
// from this client.
std::string BuildRequest(const PoolAddress& address, const std::string& body) {
  std::string request = "POST " + address.target + " HTTP/1.1\r\n";
  request += "Host: " + address.host_header + "\r\n";
  request += "Content-Length:" + std::to_string(body.size()) + "\r\n";
  request += std::string("Content-Type:") + kContentType + "\r\n";
  request += std::string("User-Agent:") + kUserAgent + "\r\n";
  request += "Connection: Keep-Alive\r\n\r\n";
  request += body;
  return request;
}

struct ExchangeResult {
  enum Outcome { kAnswer, kBadStatus, kFailed, kCancelled };
  Outcome outcome = kFailed;
  std::string body;   // kAnswer: the whole answer body
  std::string error;  // kFailed: what went wrong, one line
};

// One HTTP exchange driven by an I/O context that the caller runs: look the host up, connect,
// shake hands (https), send the request, read the status line and headers, then, for status
// 200, the body. The context runs out of work when the exchange is over, successful or not.
class HttpExchange {
 public:
  HttpExchange(asio::io_context& ioc, const PoolAddress& address, ssl::context* tls,
               std::string request)
      : address_(address),
        where_(address.host_header),
        resolver_(ioc),
        socket_(ioc),
        request_(std::move(request)) {
    if (address_.tls && tls != nullptr) {
      tls_ = std::make_unique<ssl::stream<tcp::socket&>>(socket_, *tls);
    }
    parser_.header_limit(kMaxAnswerHeader);
    parser_.body_limit(Kest::kGetworkMaxAnswer);
  }

  void Start() {
    if (address_.ip_literal) {
      error_code ec;
      const asio::ip::address ip = asio::ip::make_address(address_.host, ec);
      if (ec) return Fail("bad address " + address_.host + ": " + ec.message());
      endpoints_.emplace_back(ip, address_.port);
      return Connect();
    }
    resolver_.async_resolve(
        address_.host, std::to_string(address_.port),
        [this](const error_code& ec, tcp::resolver::results_type found) {
          if (ec) {
            return Fail("cannot look up " + address_.host + ": " + ec.message());
          }
          for (const auto& entry : found) endpoints_.push_back(entry);
          Connect();
        });
  }

  bool done() const { return done_; }
  ExchangeResult& result() { return result_; }

 private:
  void Connect() {
    asio::async_connect(socket_, endpoints_, [this](const error_code& ec, const tcp::endpoint&) {
      if (ec) return Fail("cannot connect to " + where_ + ": " + ec.message());
      if (tls_) return Handshake();
      Send();
    });
  }

  void Handshake() {
    if (!address_.ip_literal) {
      // Server name indication, for hosts that serve several names.
      SSL_set_tlsext_host_name(tls_->native_handle(), address_.host.c_str());
    }
    tls_->set_verify_mode(ssl::verify_peer);
    tls_->set_verify_callback(ssl::host_name_verification(address_.host));
    tls_->async_handshake(ssl::stream_base::client, [this](const error_code& ec) {
      if (ec) return Fail("TLS handshake with " + where_ + " failed: " + ec.message());
      Send();
    });
  }

  // Runs `step` on the stream the exchange speaks through: TLS or the plain socket.
  template <typename Step>
  void OnStream(Step step) {
    if (tls_) {
      step(*tls_);
    } else {
      step(socket_);
    }
  }

  void Send() {
    OnStream([this](auto& stream) {
      asio::async_write(stream, asio::buffer(request_), [this](const error_code& ec, std::size_t) {
        if (ec) return Fail("sending to " + where_ + " failed: " + ec.message());
        ReadHeader();
      });
    });
  }

  void ReadHeader() {
    OnStream([this](auto& stream) {
      http::async_read_header(stream, buffer_, parser_, [this](const error_code& ec, std::size_t) {
        if (ec) return FailRead(ec);
        if (parser_.get().result_int() != kStatusOk) return Finish(ExchangeResult::kBadStatus);
        ReadBody();
      });
    });
  }

  void ReadBody() {
    OnStream([this](auto& stream) {
      http::async_read(stream, buffer_, parser_, [this](const error_code& ec, std::size_t) {
        if (ec == ssl::error::stream_truncated && !parser_.is_done()) {
          // A TLS peer that closes without a close-notify ends a body delimited by the end of
          // the connection the same way a plain one does.
          error_code eof_ec;
          parser_.put_eof(eof_ec);
          if (eof_ec) return FailRead(eof_ec);
        } else if (ec) {
          return FailRead(ec);
        }
        result_.body = std::move(parser_.get().body());
        Finish(ExchangeResult::kAnswer);
      });
    });
  }

  void FailRead(const error_code& ec) {
    if (ec == http::error::body_limit) {
      return Fail("the answer from " + where_ + " is larger than " +
                  std::to_string(Kest::kGetworkMaxAnswer) + " bytes");
    }
    if (ec == http::error::header_limit) {
      return Fail("the answer headers from " + where_ + " are larger than " +
                  std::to_string(kMaxAnswerHeader) + " bytes");
    }
    if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
        ec == asio::error::eof) {
      return Fail(where_ + " closed the connection before answering in full");
    }
    if (ec.category() == http::make_error_code(http::error::bad_version).category()) {
      return Fail("malformed HTTP answer from " + where_ + ": " + ec.message());
    }
    Fail("reading the answer from " + where_ + " failed: " + ec.message());
  }

  void Fail(const std::string& why) {
    result_.error = why;
    Finish(ExchangeResult::kFailed);
  }

  void Finish(ExchangeResult::Outcome outcome) {
    result_.outcome = outcome;
    done_ = true;
    error_code ignored;
    socket_.close(ignored);
  }

  const PoolAddress& address_;
  const std::string where_;  // host and port as shown in messages
  tcp::resolver resolver_;
  tcp::socket socket_;
  std::unique_ptr<ssl::stream<tcp::socket&>> tls_;
  std::vector<tcp::endpoint> endpoints_;
  std::string request_;
  beast::flat_buffer buffer_;
  http::response_parser<http::string_body> parser_;
  bool done_ = false;
  ExchangeResult result_;
};

}  // namespace

class JorlGetWork::Impl {
 public:
  Impl(const char* key, const char* url) : url_(OrEmpty(url)), key_(OrEmpty(key)) {
    address_ok_ = ParsePoolAddress(url_, &address_, &address_error_);
    if (address_ok_ && address_.tls) {
      try {
        tls_ = std::make_unique<ssl::context>(ssl::context::tls_client);
        tls_->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                          ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                          ssl::context::no_tlsv1_1);
        tls_->set_default_verify_paths();
      } catch (const std::exception& e) {
        address_ok_ = false;
        address_error_ = std::string("TLS set-up failed: ") + e.what();
      }
    }
  }
  ~Impl() { Stop(); }

  void Start() {
    work_thread_ = std::make_shared<std::thread>([this] { WorkLoop(); });
    hr_thread_ = std::make_shared<std::thread>([this] { HashRateLoop(); });
  }

  // Raises the stop flag, wakes both threads from their pauses, cancels every exchange in
  // flight and waits for the threads.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      for (asio::io_context* exchange : in_flight_) exchange->stop();
    }
    wake_.notify_all();
    for (auto* thread : {&work_thread_, &hr_thread_}) {
      if (*thread && (*thread)->joinable()) (*thread)->join();
      thread->reset();
    }
  }

  void GetWork(work* w) {
    if (w == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t len = std::min(job_text_.size(), Kest::kWorkTextMax);
    w->diff = diff_;
    w->text_len = static_cast<int32_t>(len);
    w->block = block_;
    std::memcpy(w->text, job_text_.data(), len);
    w->text[len] = '\0';
  }

  bool IsReady() {
    std::lock_guard<std::mutex> lock(mutex_);
    return diff_ != kNotReadyDiff;
  }

  bool HaveNewWork() {
    bool was_new;
    int32_t diff;
    uint64_t block;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      was_new = new_work_;
      diff = diff_;
      block = block_;
      new_work_ = false;
    }
    if (was_new && diff != kNoWorkDiff) {
      Kest::Printf("Received new work! Share diff: %d | Block:%llu\n", diff,
                   static_cast<unsigned long long>(block));
    }
    return was_new;
  }

  void UpdateHR(float rate) {
    std::lock_guard<std::mutex> lock(mutex_);
    hash_rate_ = rate;
  }

  bool SubmitWork(const work* w) {
    if (w == nullptr) return false;
    const std::string nonce = base64_encode(w->decoded + kNonceOffset, kNonceBytes);
    const std::string body =
        "{\"r\":\"res\", \"v0\":\"" + Kest::JsonEscape(key_) + "\", \"v1\":\"" + nonce + "\"}";
    try {
      const ExchangeResult result = Exchange(body);
      if (result.outcome != ExchangeResult::kAnswer) {
        if (result.outcome != ExchangeResult::kCancelled) Kest::Print(".");
      } else if (result.body == kAcceptedAnswer) {
        Kest::Print("Pool accepted share!\n");
        return true;
      } else {
        Kest::Print(Kest::GetworkPrintable(result.body, kMaxPrintedAnswer) + "Failed share!\n");
      }
    } catch (...) {
      Kest::Print(".");
    }
    return false;
  }

 private:
  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }

  // Pauses for `period`, waking at once when the client stops. True when stopping.
  bool PauseFor(std::chrono::seconds period) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, period, [this] { return stop_; });
  }

  // Keeps an exchange's I/O context in the in-flight set while it exists, so Stop can end it.
  class InFlight {
   public:
    InFlight(Impl* impl, asio::io_context* ioc) : impl_(impl), ioc_(ioc) {
      std::lock_guard<std::mutex> lock(impl_->mutex_);
      admitted_ = !impl_->stop_;
      if (admitted_) impl_->in_flight_.insert(ioc_);
    }
    ~InFlight() {
      std::lock_guard<std::mutex> lock(impl_->mutex_);
      impl_->in_flight_.erase(ioc_);
    }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    bool admitted() const { return admitted_; }

   private:
    Impl* impl_;
    asio::io_context* ioc_;
    bool admitted_ = false;
  };

  // One POST exchange on a connection of its own, on the calling thread, limited to
  // kRequestTimeout and ended at once by Stop.
  ExchangeResult Exchange(const std::string& body) {
    ExchangeResult result;
    if (!address_ok_) {
      result.error = address_error_;
      return result;
    }
    asio::io_context ioc;
    InFlight in_flight(this, &ioc);  // declared after ioc: leaves the set before it goes
    if (!in_flight.admitted()) {
      result.outcome = ExchangeResult::kCancelled;
      return result;
    }
    HttpExchange exchange(ioc, address_, tls_.get(), BuildRequest(address_, body));
    exchange.Start();
    ioc.run_for(kRequestTimeout);
    if (Stopping()) {
      result.outcome = ExchangeResult::kCancelled;
    } else if (!exchange.done()) {
      result.error = "no complete answer from " + address_.host_header + " within " +
                     std::to_string(kRequestTimeout.count()) + " s";
    } else {
      result = std::move(exchange.result());
    }
    return result;
  }

  void WorkLoop() {
    while (!Stopping()) {
      PollOnce();
      if (PauseFor(kPollInterval)) return;
    }
  }

  void PollOnce() {
    try {
      const ExchangeResult result = Exchange(kPollBody);
      switch (result.outcome) {
        case ExchangeResult::kCancelled:
          return;
        case ExchangeResult::kBadStatus:
          Kest::Print(".");
          return;
        case ExchangeResult::kFailed:
          Kest::Print("Work poll failed: " + result.error + "\n");
          return;
        case ExchangeResult::kAnswer:
          break;
      }
      TakeAnswer(Kest::ParseGetworkAnswer(result.body));
    } catch (const std::exception& e) {
      if (!Stopping()) Kest::Print(std::string("Work poll failed: ") + e.what() + "\n");
    } catch (...) {
      if (!Stopping()) Kest::Print("Work poll failed\n");
    }
  }

  void TakeAnswer(Kest::GetworkAnswer answer) {
    if (answer.kind == Kest::GetworkAnswer::kRefused) {
      Kest::Print("Work answer refused: " + answer.reason + "\n");
      return;
    }
    if (answer.kind == Kest::GetworkAnswer::kNoWork) {
      bool announce;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        announce = diff_ != kNoWorkDiff;
        if (announce) new_work_ = true;
        diff_ = kNoWorkDiff;
        block_ = 0;
      }
      if (announce) Kest::Print("... \n");
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (answer.broot != job_text_) {
      job_text_ = std::move(answer.broot);
      diff_ = answer.diff;
      block_ = static_cast<uint64_t>(static_cast<int64_t>(answer.nblock));
      new_work_ = true;
    }
  }

  void HashRateLoop() {
    float rate;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stop_ && hash_rate_ == kNoHashRate) {
        wake_.wait_for(lock, kHashRateWaitStep, [this] { return stop_; });
      }
      if (stop_) return;
      rate = hash_rate_;
    }
    for (;;) {
      ReportHashRate(rate);
      if (PauseFor(kHashRateInterval)) return;
      std::lock_guard<std::mutex> lock(mutex_);
      rate = hash_rate_;
    }
  }

  // The answer and its status are ignored; only a failed exchange is reported, with a dot.
  void ReportHashRate(float rate) {
    char value[64];
    std::snprintf(value, sizeof(value), "%f", static_cast<double>(rate));
    const std::string body =
        "{\"r\":\"hr\", \"v0\":\"" + Kest::JsonEscape(key_) + "\", \"v1\":" + value + "}";
    try {
      if (Exchange(body).outcome == ExchangeResult::kFailed) Kest::Print(".");
    } catch (...) {
      if (!Stopping()) Kest::Print(".");
    }
  }

  const std::string url_;
  const std::string key_;
  PoolAddress address_;  // fixed after construction, like the TLS context
  bool address_ok_ = false;
  std::string address_error_;
  std::unique_ptr<ssl::context> tls_;

  std::mutex mutex_;  // guards every field below except the thread handles
  std::condition_variable wake_;
  int32_t diff_ = kNotReadyDiff;
  uint64_t block_ = 0;
  std::string job_text_;
  bool new_work_ = false;
  bool stop_ = false;
  float hash_rate_ = kNoHashRate;
  std::set<asio::io_context*> in_flight_;  // exchanges Stop must end

  std::shared_ptr<std::thread> work_thread_;  // touched only by Start and Stop
  std::shared_ptr<std::thread> hr_thread_;
};

JorlGetWork::JorlGetWork(const char* key, const char* password, const char* url)
    : impl_(std::make_unique<Impl>(key, url)) {
  impl_->Start();
}

JorlGetWork::~JorlGetWork() {
  impl_->Stop();
}

void JorlGetWork::GetWork(work* w) {
  impl_->GetWork(w);
}
bool JorlGetWork::IsReady() {
  return impl_->IsReady();
}
bool JorlGetWork::CheckAlive() {
  return true;
}
bool JorlGetWork::HaveNewWork() {
  return impl_->HaveNewWork();
}

void JorlGetWork::UpdateHR(work* w) {
  if (w != nullptr) impl_->UpdateHR(w->hr);
}

bool JorlGetWork::SubmitWork(work* w) {
  return impl_->SubmitWork(w);
}

std::unique_ptr<JorlGetWork> JorlGetWorkFactory(const char* key, const char* password,
                                                const char* url) {
  return std::make_unique<JorlGetWork>(key, password, url);
}

namespace {
JorlGetWork* AsClient(void* client) {
  return static_cast<JorlGetWork*>(client);
}
work* AsWork(uint8_t* record) {
  return reinterpret_cast<work*>(record);
}
}  // namespace

extern "C" {

void* C_JorlGetWorkFactory(const char* key, const char* password, const char* url) {
  try {
    return JorlGetWorkFactory(key, password, url).release();
  } catch (...) {
    return nullptr;
  }
}

void C_DestroyGetWork(void* client) {
  delete AsClient(client);
}

void C_GetWork(void* client, uint8_t* work_record) {
  if (client != nullptr) AsClient(client)->GetWork(AsWork(work_record));
}

int C_IsReady(void* client) {
  return client != nullptr && AsClient(client)->IsReady() ? 1 : 0;
}

int C_CheckAlive(void* /*client*/) {
  return 1;
}

int C_HaveNewWork(void* client) {
  return client != nullptr && AsClient(client)->HaveNewWork() ? 1 : 0;
}

void C_UpdateHR(void* client, uint8_t* work_record) {
  if (client != nullptr) AsClient(client)->UpdateHR(AsWork(work_record));
}

void C_SubmitWork(void* client, uint8_t* work_record) {
  if (client != nullptr) AsClient(client)->SubmitWork(AsWork(work_record));
}

void C_Decode64(uint8_t* work_record) {
  if (work_record != nullptr) Kest::DecodeJob(work_record);
}

}  // extern "C"
