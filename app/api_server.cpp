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

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// An answer, possibly still to be completed (see Session).
struct Outcome {
  Response res;
  // Set: the answer waits, at most `wait`, until this holds, then `finish` completes it.
  std::function<bool()> ready;
  std::function<void(Response&)> finish;
  std::chrono::milliseconds wait{0};
  std::function<void()> after;  // runs once the answer has been written
};

// The request target without its query.
std::string PathOf(const Request& req) {
  std::string path(req.target());
  if (const auto q = path.find('?'); q != std::string::npos) path.resize(q);
  return path;
}

// --- Remote control ---

constexpr const char kDevicesPrefix[] = "/api/v1/devices/";
constexpr const char kSwitchPath[] = "/api/v1/pool/switch";
constexpr const char kQuitPath[] = "/api/v1/quit";
// How long a control answer waits for the miner to reach the state asked for, at most (and
// never more than half the connection's time limit), looking this often.
constexpr std::chrono::milliseconds kControlWait{2000};
constexpr std::chrono::milliseconds kControlPoll{25};
constexpr std::size_t kShownTextLimit = 32;  // of a client's text quoted in an error

struct ControlRoute {
  enum class Kind { kPause, kResume, kSwitch, kQuit } kind = Kind::kQuit;
  std::string id;  // of a device action, as written
};

// Whether `path` is one of the control endpoints (any device id text).
bool ParseControlPath(const std::string& path, ControlRoute* route) {
  if (path == kSwitchPath) {
    route->kind = ControlRoute::Kind::kSwitch;
    return true;
  }
  if (path == kQuitPath) {
    route->kind = ControlRoute::Kind::kQuit;
    return true;
  }
  const std::string prefix = kDevicesPrefix;
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = path.substr(prefix.size());
  const auto slash = rest.find('/');
  if (slash == std::string::npos) return false;
  const std::string action = rest.substr(slash + 1);
  if (action != "pause" && action != "resume") return false;
  route->kind = action == "pause" ? ControlRoute::Kind::kPause : ControlRoute::Kind::kResume;
  route->id = rest.substr(0, slash);
  return true;
}

// A JSON error whose message may hold any text.
std::string ErrorJsonText(const std::string& message) {
  std::string out = "{\"error\":";
  AppendString(out, message);
  return out + "}";
}

// A client's text for an error message: cut to a few characters.
std::string Shown(const std::string& text) {
  return text.size() <= kShownTextLimit ? text : text.substr(0, kShownTextLimit) + "...";
}

// A whole number of one to nine digits, nothing else.
bool ReadSmallNumber(const std::string& text, int64_t* value) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  *value = std::stoll(text);
  return true;
}

// Reads exactly {"index": N}: one member, white space between the tokens, N a JSON integer.
// False, with what is wrong in *problem.
bool ParseIndexBody(const std::string& body, int64_t* index, std::string* problem) {
  std::size_t i = 0;
  const auto skip = [&] {
    while (i < body.size() &&
           (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n')) {
      ++i;
    }
  };
  const auto at = [&](char c) { return i < body.size() && body[i] == c; };
  skip();
  if (!at('{')) {
    *problem = "the body must be the JSON object {\"index\": N}";
    return false;
  }
  ++i;
  skip();
  if (at('}')) {
    *problem = "the member \"index\" is missing";
    return false;
  }
  if (!at('"')) {
    *problem = "a member name must be a JSON string";
    return false;
  }
  const auto close = body.find('"', i + 1);
  if (close == std::string::npos) {
    *problem = "a member name is not closed";
    return false;
  }
  const std::string name = body.substr(i + 1, close - i - 1);
  if (name != "index") {
    *problem = "unknown member \"" + Shown(name) + "\": the only member is \"index\"";
    return false;
  }
  i = close + 1;
  skip();
  if (!at(':')) {
    *problem = "\"index\" must be followed by ':' and its value";
    return false;
  }
  ++i;
  skip();
  const std::size_t start = i;
  if (at('-')) ++i;
  while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) ++i;
  const std::string digits = body.substr(start, i - start);
  const std::string magnitude = !digits.empty() && digits[0] == '-' ? digits.substr(1) : digits;
  const bool json_integer = !magnitude.empty() && (magnitude == "0" || magnitude[0] != '0');
  if (!json_integer || at('.') || at('e') || at('E')) {
    *problem = "\"index\" must be a whole number";
    return false;
  }
  if (magnitude.size() > 9) {
    *problem = "\"index\" is out of range";
    return false;
  }
  *index = std::stoll(digits);
  skip();
  if (at(',')) {
    *problem = "only one member is allowed: \"index\"";
    return false;
  }
  if (!at('}')) {
    *problem = "the object is not closed after \"index\"";
    return false;
  }
  ++i;
  skip();
  if (i != body.size()) {
    *problem = "nothing may follow the object";
    return false;
  }
  return true;
}

}  // namespace

std::string PoolJson(const ApiSummary& s) {
  std::string out = "{\"url\":";
  AppendString(out, s.pool.url);
  out += std::string(",\"connected\":") + (s.pool.connected ? "true" : "false");
  out += std::string(",\"has_job\":") + (s.pool.has_job ? "true" : "false");
  out += std::string(",\"usable\":") + (s.pool.usable ? "true" : "false");
  out += std::string(",\"tls\":") + (s.pool.tls ? "true" : "false");
  out += ",\"switches\":" + std::to_string(s.pool.switches);
  out += ",\"index\":" + std::to_string(s.pool.index) + "}";
  return out;
}

// The summary's own writer over a summary of this one device, so that the object is the same
// as in the summary, field for field.
std::string DeviceJson(const ApiDevice& device) {
  ApiSummary one;
  one.devices.push_back(device);
  const std::string all = SummaryJson(one);
  static const std::string kList = "\"devices\":[";
  const auto at = all.find(kList) + kList.size();
  return all.substr(at, all.size() - at - 2);  // without the closing "]}"
}

std::string SummaryJson(const ApiSummary& s) {
  std::string out = "{\"version\":";
  AppendString(out, s.version);
  out += ",\"uptime_s\":" + std::to_string(s.uptime_s);
  out += ",\"pool\":" + PoolJson(s);
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
  Impl(Options options, Source source, ApiControl control)
      : opts_(std::move(options)), source_(std::move(source)), control_(std::move(control)) {}

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

  // The answer to `req`, sent from `from` (the client's address): the control endpoints, or
  // Answer for every other request.
  Outcome Handle(const Request& req, const std::string& from) {
    ControlRoute route;
    const auto host = req.find(http::field::host);
    if (ParseControlPath(PathOf(req), &route) && host != req.end() &&
        HostAllowed(std::string(host->value()))) {
      return Control(req, route, from);
    }
    Outcome out;
    out.res = Answer(req);
    return out;
  }

  // Whether the request carries the token, or none is needed.
  bool Authorized(const Request& req) const {
    if (!opts_.token) return true;
    const auto it = req.find(http::field::authorization);
    const std::string given =
        it == req.end() ? std::string() : BearerToken(std::string(it->value()));
    return !given.empty() && SameToken(given, *opts_.token);
  }

  Outcome Control(const Request& req, const ControlRoute& route, const std::string& from);

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
    const std::string path = PathOf(req);
    // The page holds nothing secret: it asks for the token itself.
    if (path != "/" && !Authorized(req)) {
      res.set(http::field::www_authenticate, "Bearer");
      json(http::status::unauthorized, ErrorJson("unauthorized"));
      res.prepare_payload();
      return res;
    }
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
  ApiControl control_;
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
    beast::error_code peer_ec;
    const auto peer = stream_.socket().remote_endpoint(peer_ec);
    outcome_ = server_->Handle(parser_.get(), peer_ec ? "?" : peer.address().to_string());
    if (!outcome_.ready) return Reply(std::move(outcome_.res));
    wait_until_ = std::chrono::steady_clock::now() + outcome_.wait;
    Poll();
  }

  // Completes a waiting answer once the miner is in the state asked for, or at its limit.
  void Poll() {
    if (!outcome_.ready() && std::chrono::steady_clock::now() < wait_until_) {
      timer_.expires_after(kControlPoll);
      timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (!ec) self->Poll();
      });
      return;
    }
    outcome_.finish(outcome_.res);
    Reply(std::move(outcome_.res));
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
    res_.prepare_payload();
    http::async_write(stream_, res_, [self = shared_from_this()](beast::error_code, std::size_t) {
      self->Close();
      if (self->outcome_.after) self->outcome_.after();
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
  Outcome outcome_;
  asio::steady_timer timer_{stream_.get_executor()};
  std::chrono::steady_clock::time_point wait_until_;
};

Outcome ApiServer::Impl::Control(const Request& req, const ControlRoute& route,
                                 const std::string& from) {
  Outcome out;
  Response& res = out.res;
  res.version(11);
  res.set(http::field::server, "plominer");
  res.set(http::field::cache_control, "no-store");
  res.set(http::field::content_type, "application/json");
  res.keep_alive(false);
  const auto error = [&res](http::status status, const std::string& message) {
    res.result(status);
    res.body() = ErrorJsonText(message);
  };
  using Kind = ControlRoute::Kind;
  const bool available = route.kind == Kind::kSwitch ? control_.switch_pool && control_.switch_made
                         : route.kind == Kind::kQuit ? static_cast<bool>(control_.quit)
                                                     : static_cast<bool>(control_.pause_device);
  if (!opts_.token || !available) {
    error(http::status::forbidden,
          "remote control is off: start the miner with --api-token-file (or --api-token)");
    return out;
  }
  if (!Authorized(req)) {
    res.set(http::field::www_authenticate, "Bearer");
    error(http::status::unauthorized, "unauthorized");
    return out;
  }
  if (req.method() != http::verb::post) {
    res.set(http::field::allow, "POST");
    error(http::status::method_not_allowed, "method not allowed: use POST");
    return out;
  }
  const auto wait = std::min(kControlWait, opts_.time_limit / 2);
  switch (route.kind) {
    case Kind::kPause:
    case Kind::kResume: {
      const bool pause = route.kind == Kind::kPause;
      int64_t id = 0;
      if (!ReadSmallNumber(route.id, &id)) {
        error(http::status::bad_request,
              "the device id must be a CUDA device number, not '" + Shown(route.id) + "'");
        return out;
      }
      if (!control_.pause_device(static_cast<int32_t>(id), pause)) {
        error(http::status::not_found, "no device #" + std::to_string(id));
        return out;
      }
      Printf("API: device #%lld %s by %s\n", static_cast<long long>(id),
             pause ? "paused" : "resumed", from.c_str());
      // The device as the summary shows it, once its worker is in the state asked for.
      struct Seen {
        std::optional<ApiDevice> device;
        bool failed = false;  // the summary could not be had
      };
      auto seen = std::make_shared<Seen>();
      out.ready = [this, seen, id, pause] {
        seen->device.reset();
        try {
          for (const ApiDevice& d : source_().devices) {
            if (d.id == id) seen->device = d;
          }
        } catch (const std::exception&) {
          seen->failed = true;
          return true;
        }
        if (!seen->device) return true;
        const bool paused = seen->device->state == "paused";
        if (pause) return paused || seen->device->state == "stopped";
        return !paused || seen->device->state_reason != std::optional<std::string>("remote");
      };
      out.finish = [seen, id](Response& r) {
        if (seen->failed || !seen->device) {
          r.result(seen->failed ? http::status::internal_server_error : http::status::not_found);
          r.body() = seen->failed ? ErrorJson("summary unavailable")
                                  : ErrorJsonText("no device #" + std::to_string(id));
          return;
        }
        r.result(http::status::ok);
        r.body() = DeviceJson(*seen->device);
      };
      out.wait = wait;
      return out;
    }
    case Kind::kSwitch: {
      if (req.find(http::field::content_length) == req.end()) {
        error(http::status::length_required, "the body needs a Content-Length");
        return out;
      }
      int64_t index = 0;
      std::string problem;
      if (!ParseIndexBody(req.body(), &index, &problem)) {
        error(http::status::bad_request, problem);
        return out;
      }
      problem = control_.switch_pool(index);
      if (!problem.empty()) {
        error(http::status::bad_request, problem);
        return out;
      }
      Printf("API: pool switch to #%lld requested by %s\n", static_cast<long long>(index),
             from.c_str());
      out.ready = control_.switch_made;
      out.finish = [this](Response& r) {
        // 202 while the watcher has not made the move yet (it is still connecting to its
        // first pool): it makes it when it starts.
        try {
          r.body() = PoolJson(source_());
          r.result(control_.switch_made() ? http::status::ok : http::status::accepted);
        } catch (const std::exception&) {
          r.result(http::status::internal_server_error);
          r.body() = ErrorJson("summary unavailable");
        }
      };
      out.wait = wait;
      return out;
    }
    case Kind::kQuit:
      Printf("API: quit requested by %s\n", from.c_str());
      res.result(http::status::ok);
      res.body() = "{\"quitting\":true}";
      out.after = control_.quit;
      return out;
  }
  return out;
}

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
    : ApiServer(std::move(options), std::move(source), ApiControl{}) {}
ApiServer::ApiServer(Options options, Source source, ApiControl control)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(source), std::move(control))) {}
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
