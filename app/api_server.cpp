#include "app/api_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

#include "app/metrics.h"
#include "app/utils.h"

namespace Kest {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t kBodyLimit = 1024;  // GET requests carry no body
constexpr const char kSummaryPath[] = "/api/v1/summary";
constexpr const char kMetricsPath[] = "/metrics";
constexpr std::chrono::milliseconds kAcceptRetryMin{100};
constexpr std::chrono::milliseconds kAcceptRetryMax{1000};

void AppendString(std::string& out, const std::string& text) {
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04x", u);
      out += esc;
    }
  }
  out += '"';
}

void AppendNumber(std::string& out, double value) {
  if (!std::isfinite(value)) value = 0.0;
  char text[64];
  std::snprintf(text, sizeof(text), "%.3f", value);
  out += text;
}

template <class T>
void AppendOptional(std::string& out, const std::optional<T>& value) {
  if (!value) {
    out += "null";
    return;
  }
  if constexpr (std::is_same_v<T, std::string>) {
    AppendString(out, *value);
  } else {
    AppendNumber(out, *value);
  }
}

// Compares the SHA-256 digests of both in constant time: neither the position of the first
// difference nor the length of the token shows in the time taken.
bool SameToken(const std::string& a, const std::string& b) {
  unsigned char da[SHA256_DIGEST_LENGTH];
  unsigned char db[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(a.data()), a.size(), da);
  SHA256(reinterpret_cast<const unsigned char*>(b.data()), b.size(), db);
  return CRYPTO_memcmp(da, db, sizeof(da)) == 0;
}

// The credentials of "Authorization: Bearer TOKEN": the scheme in any case, then one or more
// spaces. Empty when the header has another form.
std::string BearerToken(const std::string& header) {
  constexpr std::size_t kScheme = 6;  // "bearer"
  if (header.size() <= kScheme || ToLower(header.substr(0, kScheme)) != "bearer" ||
      header[kScheme] != ' ') {
    return std::string();
  }
  const auto start = header.find_first_not_of(' ', kScheme);
  return start == std::string::npos ? std::string() : header.substr(start);
}

// Splits a Host header value into host (brackets of an IPv6 address removed, lower case) and
// port text (empty when none). False for a value that is not HOST[:PORT].
bool SplitHostHeader(const std::string& value, std::string* host, std::string* port) {
  std::string rest;
  if (!value.empty() && value[0] == '[') {
    const auto close = value.find(']');
    if (close == std::string::npos) return false;
    *host = value.substr(1, close - 1);
    rest = value.substr(close + 1);
  } else {
    const auto colon = value.find(':');
    *host = value.substr(0, colon);
    rest = colon == std::string::npos ? std::string() : value.substr(colon);
  }
  if (!rest.empty() && (rest[0] != ':' || rest.size() == 1)) return false;
  *port = rest.empty() ? std::string() : rest.substr(1);
  *host = ToLower(*host);
  return !host->empty();
}

std::string ErrorJson(const char* message) {
  return std::string("{\"error\":\"") + message + "\"}";
}

}  // namespace

std::string SummaryJson(const ApiSummary& s) {
  std::string out = "{\"version\":";
  AppendString(out, s.version);
  out += ",\"uptime_s\":" + std::to_string(s.uptime_s);
  out += ",\"pool\":{\"url\":";
  AppendString(out, s.pool.url);
  out += std::string(",\"connected\":") + (s.pool.connected ? "true" : "false");
  out += std::string(",\"has_job\":") + (s.pool.has_job ? "true" : "false");
  out += std::string(",\"usable\":") + (s.pool.usable ? "true" : "false");
  out += std::string(",\"tls\":") + (s.pool.tls ? "true" : "false");
  out += ",\"switches\":" + std::to_string(s.pool.switches) + "}";
  out += ",\"job\":{\"block\":" + std::to_string(s.job.block) +
         ",\"difficulty\":" + std::to_string(s.job.difficulty) + "}";
  out += ",\"shares\":{\"submitted\":" + std::to_string(s.shares.submitted) +
         ",\"unconfirmed_lost\":" + std::to_string(s.shares.unconfirmed_lost) +
         ",\"cpu_failed\":" + std::to_string(s.shares.cpu_failed) +
         ",\"stale_dropped\":" + std::to_string(s.shares.stale_dropped) +
         ",\"unsent_dropped\":" + std::to_string(s.shares.unsent_dropped) +
         ",\"pool_errors\":" + std::to_string(s.shares.pool_errors) + "}";
  out += ",\"hashrate\":{\"now\":";
  AppendNumber(out, s.hashrate.now);
  out += ",\"avg_60s\":";
  AppendNumber(out, s.hashrate.avg_60s);
  out += ",\"avg_15m\":";
  AppendNumber(out, s.hashrate.avg_15m);
  out += "},\"devices\":[";
  for (std::size_t i = 0; i < s.devices.size(); ++i) {
    const ApiDevice& d = s.devices[i];
    if (i > 0) out += ',';
    out += "{\"id\":" + std::to_string(d.id) + ",\"name\":";
    AppendString(out, d.name);
    out += ",\"pci_bus_id\":";
    AppendOptional(out, d.pci_bus_id);
    out += ",\"hashrate\":";
    AppendNumber(out, d.hashrate);
    out += ",\"solutions\":" + std::to_string(d.solutions);
    out += ",\"lost_solutions\":" + std::to_string(d.lost_solutions);
    out += ",\"temperature_c\":";
    AppendOptional(out, d.temperature_c);
    out += ",\"power_w\":";
    AppendOptional(out, d.power_w);
    out += ",\"fan_pct\":";
    AppendOptional(out, d.fan_pct);
    out += ",\"state\":";
    AppendString(out, d.state);
    out += ",\"state_reason\":";
    AppendOptional(out, d.state_reason);
    out += ",\"intensity\":" + std::to_string(d.intensity);
    out += '}';
  }
  out += "]}";
  return out;
}

class ApiServer::Impl {
 public:
  Impl(Options options, Source source) : opts_(std::move(options)), source_(std::move(source)) {}

  ~Impl() { Stop(); }

  bool Start(std::string* error) {
    try {
      boost::system::error_code ec;
      asio::ip::address address = asio::ip::make_address(opts_.host, ec);
      if (ec) {
        tcp::resolver resolver(ioc_);
        const auto results = resolver.resolve(opts_.host, std::to_string(opts_.port));
        if (results.empty()) throw std::runtime_error("host not found");
        address = results.begin()->endpoint().address();
      }
      const tcp::endpoint endpoint(address, opts_.port);
      acceptor_.open(endpoint.protocol());
      acceptor_.set_option(asio::socket_base::reuse_address(true));
      acceptor_.bind(endpoint);
      acceptor_.listen(asio::socket_base::max_listen_connections);
      bound_ = acceptor_.local_endpoint();
    } catch (const std::exception& e) {
      *error = e.what();
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      return false;
    }
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) == 0) host_name_ = ToLower(name);
    bound_host_ = ToLower(bound_.address().to_string());
    if (!bound_.address().is_loopback() && !opts_.token) {
      Printf("Warning: the API on %s answers anyone who can reach it: set --api-token-file\n",
             Url().c_str());
    }
    Accept();
    thread_ = std::thread([this] { ioc_.run(); });
    return true;
  }

  void Stop() {
    if (!thread_.joinable()) return;
    asio::post(ioc_, [this] {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      accept_timer_.cancel();
      ioc_.stop();
    });
    thread_.join();
  }

  uint16_t Port() const { return bound_.port(); }

  std::string Url() const {
    const std::string host = bound_.address().to_string();
    const bool v6 = bound_.address().is_v6();
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound_.port());
  }

 private:
  class Session;

  void Accept();

  http::response<http::string_body> Answer(const http::request<http::string_body>& req) {
    http::response<http::string_body> res;
    res.version(11);
    res.set(http::field::server, "plominer");
    res.set(http::field::cache_control, "no-store");
    res.keep_alive(false);
    auto json = [&res](http::status status, std::string body) {
      res.result(status);
      res.set(http::field::content_type, "application/json");
      res.body() = std::move(body);
    };
    const auto host = req.find(http::field::host);
    if (host == req.end() || !HostAllowed(std::string(host->value()))) {
      json(http::status::misdirected_request, ErrorJson("unknown host name"));
      res.prepare_payload();
      return res;
    }
    if (opts_.token) {
      const auto it = req.find(http::field::authorization);
      const std::string given =
          it == req.end() ? std::string() : BearerToken(std::string(it->value()));
      if (given.empty() || !SameToken(given, *opts_.token)) {
        res.set(http::field::www_authenticate, "Bearer");
        json(http::status::unauthorized, ErrorJson("unauthorized"));
        res.prepare_payload();
        return res;
      }
    }
    std::string path(req.target());
    if (const auto q = path.find('?'); q != std::string::npos) path.resize(q);
    if (req.method() != http::verb::get) {
      res.set(http::field::allow, "GET");
      json(http::status::method_not_allowed, ErrorJson("method not allowed"));
    } else if (path == "/") {
      res.result(http::status::ok);
      res.set(http::field::content_type, "text/html; charset=utf-8");
      res.body() = DashboardHtml();
    } else if (path == kSummaryPath) {
      std::string body;
      try {
        body = SummaryJson(source_());
      } catch (const std::exception&) {
        json(http::status::internal_server_error, ErrorJson("summary unavailable"));
        res.prepare_payload();
        return res;
      }
      json(http::status::ok, std::move(body));
    } else if (path == kMetricsPath) {
      try {
        res.body() = MetricsText(source_());
        res.result(http::status::ok);
        res.set(http::field::content_type, kMetricsContentType);
      } catch (const std::exception&) {
        json(http::status::internal_server_error, ErrorJson("summary unavailable"));
      }
    } else {
      json(http::status::not_found, ErrorJson("not found"));
    }
    res.prepare_payload();
    return res;
  }

  // The names a request may use for this server: the bound address, localhost and this
  // machine's name, with the bound port or none; any IP address when bound to a wildcard.
  bool HostAllowed(const std::string& value) const {
    std::string host, port;
    if (!SplitHostHeader(value, &host, &port)) return false;
    if (!port.empty() && port != std::to_string(bound_.port())) return false;
    if (host == bound_host_ || host == "localhost" || (!host_name_.empty() && host == host_name_)) {
      return true;
    }
    boost::system::error_code ec;
    asio::ip::make_address(host, ec);
    return !ec && bound_.address().is_unspecified();
  }

  Options opts_;
  Source source_;
  std::string bound_host_;  // the bound address as text, lower case (set by Start)
  std::string host_name_;   // gethostname, lower case
  std::size_t active_ = 0;  // open sessions; server thread only
  // Wait before the next accept after a failed one (out of file descriptors): grows from
  // kAcceptRetryMin to kAcceptRetryMax, back to the minimum after an accept succeeds.
  std::chrono::milliseconds accept_retry_{kAcceptRetryMin};
  asio::io_context ioc_{1};
  tcp::acceptor acceptor_{ioc_};
  asio::steady_timer accept_timer_{ioc_};
  tcp::endpoint bound_;
  std::thread thread_;
};

// One connection: one request, one answer, then closed. The deadline covers the whole
// connection, so a client that trickles its request in is cut off all the same.
class ApiServer::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl* server, tcp::socket socket)
      : server_(server),
        stream_(std::move(socket)),
        buffer_(server->opts_.header_limit + kBodyLimit) {
    ++server_->active_;
  }
  ~Session() { --server_->active_; }

  void Begin() {
    stream_.expires_after(server_->opts_.time_limit);
    parser_.header_limit(static_cast<std::uint32_t>(server_->opts_.header_limit));
    parser_.body_limit(kBodyLimit);
    http::async_read(
        stream_, buffer_, parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }

 private:
  void OnRead(beast::error_code ec) {
    if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::connection_reset || ec == asio::error::operation_aborted) {
      return Close();
    }
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      return Reply(Plain(http::status::request_header_fields_too_large));
    }
    if (ec == http::error::body_limit) return Reply(Plain(http::status::payload_too_large));
    if (ec) return Reply(Plain(http::status::bad_request));
    Reply(server_->Answer(parser_.get()));
  }

  static http::response<http::string_body> Plain(http::status status) {
    http::response<http::string_body> res{status, 11};
    res.set(http::field::server, "plominer");
    res.set(http::field::content_type, "application/json");
    res.keep_alive(false);
    res.body() = ErrorJson(status == http::status::bad_request ? "bad request" : "too large");
    res.prepare_payload();
    return res;
  }

  void Reply(http::response<http::string_body> res) {
    res_ = std::move(res);
    http::async_write(stream_, res_, [self = shared_from_this()](beast::error_code, std::size_t) {
      self->Close();
    });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  Impl* server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
  http::response<http::string_body> res_;
};

void ApiServer::Impl::Accept() {
  acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (ec) {
      // Out of file descriptors (or another failure): the pending connection stays queued and
      // the next accept would fail at once. Wait instead of spinning on it.
      accept_timer_.expires_after(accept_retry_);
      accept_retry_ = std::min(accept_retry_ * 2, kAcceptRetryMax);
      accept_timer_.async_wait([this](boost::system::error_code wait_ec) {
        if (!wait_ec && acceptor_.is_open()) Accept();
      });
      return;
    }
    accept_retry_ = kAcceptRetryMin;
    if (active_ >= opts_.max_connections) {
      boost::system::error_code ignored;
      socket.close(ignored);  // too many at once: this one gets nothing
    } else {
      std::make_shared<Session>(this, std::move(socket))->Begin();
    }
    Accept();
  });
}

ApiServer::ApiServer(Options options, Source source)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(source))) {}
ApiServer::~ApiServer() = default;
bool ApiServer::Start(std::string* error) {
  return impl_->Start(error);
}
uint16_t ApiServer::Port() const {
  return impl_->Port();
}
std::string ApiServer::Url() const {
  return impl_->Url();
}
void ApiServer::Stop() {
  impl_->Stop();
}

}  // namespace Kest
