#include "tools/testpool/stratum_pool.h"

#include "tools/testpool/tls_front.h"

#include "app/records.h"
#include "app/utils.h"
#include "pow/peach.h"

#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif
#include <boost/asio.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cerrno>
#include <functional>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <vector>

namespace testpool {
namespace {
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

constexpr std::size_t kMaxClientLine = 64 * 1024;  // a longer client line ends its connection
constexpr auto kSplitPause = std::chrono::milliseconds(100);
constexpr std::size_t kNonceBytes = sizeof(BTRAILER::nonce);
constexpr std::size_t kPrefixBytes = 16;
constexpr uint32_t kFrameCount = 10;
constexpr int kTemplatePrefixWords = 4;
constexpr std::size_t kShownLineChars = 120;  // of a bad line, in the event line

// Error codes of the pool's "error" answers.
constexpr int kErrorNotJson = 1;
constexpr int kErrorUnknownMethod = 2;
constexpr int kErrorBadNonce = 21;
constexpr int kErrorDuplicate = 22;
constexpr int kErrorNotSolution = 23;

void Event(const std::string& text) {
  Kest::Print(text + "\n");
}

std::string Base64(const void* bytes, std::size_t size) {
  return base64_encode(static_cast<const unsigned char*>(bytes), static_cast<uint32_t>(size));
}

std::string ErrorLine(int code, const std::string& why) {
  return "{\"error\":" + std::to_string(code) + ",\"des\":\"" + Kest::JsonEscape(why) + "\"}\n";
}

std::string Shown(const std::string& line) {
  if (line.size() <= kShownLineChars) return line;
  return line.substr(0, kShownLineChars) + "... (" + std::to_string(line.size()) + " bytes)";
}

// Jobs, templates and the share check; independent of the wire protocol.
class JobBook {
 public:
  explicit JobBook(const StratumPoolOptions& options)
      : options_(options), random_(options.seed != 0 ? options.seed : std::random_device{}()) {
    MakeJob(options_.block, true);
  }

  // Replaces the current job by the next one; returns its line.
  std::string Refresh() {
    const bool new_block = options_.refresh_new_block;
    MakeJob(new_block ? block_ + 1 : options_.refresh_block, new_block);
    return JobLine();
  }

  std::string JobLine() const {
    return "{\"method\":\"mining.notify\",\"root\":\"" + text_ +
           "\",\"diff\":" + std::to_string(options_.diff) + ",\"block\":" + std::to_string(block_) +
           "}\n";
  }

  std::string JobSummary() const {
    return "job " + std::to_string(job_id_) + " (diff " + std::to_string(options_.diff) +
           ", block " + std::to_string(block_) + ")";
  }

  std::string TemplateLine() {
    uint8_t prefix[kPrefixBytes];
    for (auto& byte : prefix) byte = static_cast<uint8_t>(random_());
    const uint32_t frame = static_cast<uint32_t>(random_() % kFrameCount);
    return "{\"method\":\"mining.template\",\"base64_prefix\":\"" + Base64(prefix, kPrefixBytes) +
           "\",\"num_prefix\":" + std::to_string(kTemplatePrefixWords) +
           ",\"frame_id\":" + std::to_string(frame) + "}\n";
  }

  // Checks a submitted nonce against the current job. Returns true when accepted; otherwise
  // sets the error code and the reason.
  bool CheckShare(const std::string& nonce_text, int& code, std::string& reason) {
    const std::string nonce = base64_decode(nonce_text);
    if (nonce.size() != kNonceBytes || Base64(nonce.data(), nonce.size()) != nonce_text) {
      code = kErrorBadNonce;
      reason = "bad nonce: not the base64 text of 32 bytes";
    } else if (accepted_nonces_.count(nonce) != 0) {
      code = kErrorDuplicate;
      reason = "duplicate share";
    } else {
      BTRAILER candidate = trailer_;
      std::memcpy(candidate.nonce, nonce.data(), kNonceBytes);
      if (peach(&candidate, static_cast<uint32_t>(options_.diff), nullptr) == 0) {
        accepted_nonces_.insert(nonce);
        ++accepted_;
        return true;
      }
      code = kErrorNotSolution;
      reason = "not a solution at difficulty " + std::to_string(options_.diff);
    }
    ++rejected_;
    return false;
  }

  void RecordHashRate(const std::string& rate) { last_rate_ = rate; }

  std::string Summary() const {
    return "summary: accepted " + std::to_string(accepted_) + ", rejected " +
           std::to_string(rejected_) + ", last hash rate " + last_rate_;
  }

 private:
  void MakeJob(uint64_t block, bool new_previous_hash) {
    BTRAILER next{};
    if (!options_.zero_trailer) {
      auto* bytes = reinterpret_cast<uint8_t*>(&next);
      for (std::size_t i = 0; i < sizeof(next); ++i) bytes[i] = static_cast<uint8_t>(random_());
      if (!new_previous_hash) std::memcpy(next.phash, trailer_.phash, sizeof(next.phash));
    }
    trailer_ = next;
    block_ = block;
    text_ = Base64(&trailer_, sizeof(trailer_));
    ++job_id_;
    accepted_nonces_.clear();
  }

  const StratumPoolOptions& options_;
  std::mt19937_64 random_;
  BTRAILER trailer_{};
  uint64_t block_ = 0;
  uint64_t job_id_ = 0;
  std::string text_;
  std::set<std::string> accepted_nonces_;  // of the current job
  int accepted_ = 0;
  int rejected_ = 0;
  std::string last_rate_ = "none";
};

class Server;

// One client connection. Everything runs on the pool's single I/O thread.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, int number, Server& server)
      : socket_(std::move(socket)),
        pause_(socket_.get_executor()),
        number_(number),
        server_(server) {}

  void Start() { Read(); }
  bool subscribed() const { return subscribed_; }
  bool open() const { return !closed_; }

  // Queues one or more lines as one write (two with --split-lines).
  void Send(const std::string& text);
  void Close(const std::string& why);

 private:
  struct Chunk {
    std::string bytes;
    bool pause_before;
  };

  void Read();
  void OnLine(const std::string& line);
  void OnSubscribe(const boost::property_tree::ptree& request);
  void OnSubmit(const boost::property_tree::ptree& request);
  void WriteNext();
  void Event(const std::string& text) {
    testpool::Event("connection " + std::to_string(number_) + ": " + text);
  }

  tcp::socket socket_;
  asio::steady_timer pause_;
  asio::streambuf input_{kMaxClientLine};
  std::deque<Chunk> outbox_;
  bool writing_ = false;
  bool close_when_sent_ = false;
  bool closed_ = false;
  bool subscribed_ = false;
  unsigned lines_ = 0;
  int number_;
  Server& server_;
};

// Listener, timers and the set of connections.
class Server {
 public:
  Server(asio::io_context& io, const StratumPoolOptions& options)
      : io_(io),
        options_(options),
        book_(options),
        acceptor_(io),
        listen_timer_(io),
        job_timer_(io),
        template_timer_(io) {}

  // Binds 127.0.0.1 at the configured port and returns the port; throws when it cannot.
  uint16_t Bind() {
    Open(options_.port);
    port_ = acceptor_.local_endpoint().port();
    if (options_.refuse_s > 0) acceptor_.close();  // reopened once the refusal ends
    return port_;
  }

  void Start() {
    if (options_.refuse_s > 0) {
      testpool::Event("refusing connections for " + std::to_string(options_.refuse_s) + " s");
      listen_timer_.expires_after(std::chrono::seconds(options_.refuse_s));
      listen_timer_.async_wait([this](const ErrorCode& ec) {
        if (ec) return;
        try {
          Open(port_);
        } catch (const std::exception& e) {
          testpool::Event(std::string("cannot listen again: ") + e.what());
          io_.stop();
          return;
        }
        testpool::Event("accepting connections");
        Accept();
      });
    } else {
      Accept();
    }
    Repeat(job_timer_, options_.job_every_s, [this] { NewJob(); });
    Repeat(template_timer_, options_.template_every_s, [this] { NewTemplate(); });
  }

  // Sends every connection a refreshed job.
  void NewJob() {
    const std::string line = book_.Refresh();
    testpool::Event("new " + book_.JobSummary());
    Broadcast(line);
  }

  // Sends every connection a template.
  void NewTemplate() {
    testpool::Event("new template");
    Broadcast(book_.TemplateLine());
  }

  JobBook& book() { return book_; }
  const StratumPoolOptions& options() const { return options_; }

 private:
  void Open(uint16_t port) {
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
  }

  void Accept() {
    acceptor_.async_accept([this](const ErrorCode& ec, tcp::socket socket) {
      if (ec) return;
      ErrorCode peer_error;
      const auto peer = socket.remote_endpoint(peer_error);
      const int number = ++connections_;
      testpool::Event("connection " + std::to_string(number) + " from " +
                      (peer_error
                           ? std::string("?")
                           : peer.address().to_string() + ":" + std::to_string(peer.port())));
      auto session = std::make_shared<Session>(std::move(socket), number, *this);
      sessions_.push_back(session);
      session->Start();
      Accept();
    });
  }

  void Broadcast(const std::string& line) {
    std::vector<std::weak_ptr<Session>> alive;
    for (auto& weak : sessions_) {
      auto session = weak.lock();
      if (!session || !session->open()) continue;
      if (session->subscribed()) session->Send(line);
      alive.push_back(weak);
    }
    sessions_.swap(alive);
  }

  void Repeat(asio::steady_timer& timer, unsigned seconds, std::function<void()> action) {
    if (seconds == 0) return;
    timer.expires_after(std::chrono::seconds(seconds));
    timer.async_wait([this, &timer, seconds, action](const ErrorCode& ec) {
      if (ec) return;
      action();
      Repeat(timer, seconds, action);
    });
  }

  asio::io_context& io_;
  const StratumPoolOptions& options_;
  JobBook book_;
  tcp::acceptor acceptor_;
  asio::steady_timer listen_timer_;
  asio::steady_timer job_timer_;
  asio::steady_timer template_timer_;
  uint16_t port_ = 0;
  int connections_ = 0;
  std::vector<std::weak_ptr<Session>> sessions_;
};

void Session::Send(const std::string& text) {
  if (closed_) return;
  if (server_.options().split_lines && text.size() > 1) {
    const std::size_t half = text.size() / 2;
    outbox_.push_back({text.substr(0, half), false});
    outbox_.push_back({text.substr(half), true});
  } else {
    outbox_.push_back({text, false});
  }
  if (!writing_) WriteNext();
}

void Session::Close(const std::string& why) {
  if (closed_) return;
  closed_ = true;
  ErrorCode ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  pause_.cancel();
  Event("closed (" + why + ")");
}

void Session::Read() {
  auto self = shared_from_this();
  asio::async_read_until(socket_, input_, '\n', [this, self](const ErrorCode& ec, std::size_t) {
    if (closed_) return;
    if (ec == asio::error::not_found) {
      Close("line longer than " + std::to_string(kMaxClientLine) + " bytes");
      return;
    }
    if (ec) {
      Close(ec == asio::error::eof ? "by the client" : ec.message());
      return;
    }
    std::istream in(&input_);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) OnLine(line);
    if (!closed_) Read();
  });
}

void Session::OnLine(const std::string& line) {
  ++lines_;
  boost::property_tree::ptree request;
  bool parsed = true;
  try {
    std::istringstream in(line);
    boost::property_tree::read_json(in, request);
  } catch (const std::exception&) {
    parsed = false;
  }
  const std::string method = parsed ? request.get("method", "") : "";
  if (!parsed) {
    Event("not JSON: " + Shown(line));
    Send(ErrorLine(kErrorNotJson, "not JSON"));
  } else if (method == "subscribe") {
    OnSubscribe(request);
  } else if (method == "ping") {
    Event("ping");
    Send("{\"method\":\"pong\"}\n");
  } else if (method == "submit") {
    OnSubmit(request);
  } else if (method == "mining.update_hr") {
    const std::string rate = request.get("hr", "");
    server_.book().RecordHashRate(rate);
    Event("hash rate " + rate);
  } else if (method == "mining.xtemplate") {
    Event("template requested");
    Send(server_.book().TemplateLine());
  } else {
    Event("unknown request: " + Shown(line));
    Send(ErrorLine(kErrorUnknownMethod, "unknown method"));
  }

  const unsigned close_after = server_.options().close_after;
  if (close_after > 0 && lines_ >= close_after && !closed_) {
    close_when_sent_ = true;
    if (!writing_ && outbox_.empty()) Close("after " + std::to_string(lines_) + " lines");
  }
}

void Session::OnSubscribe(const boost::property_tree::ptree& request) {
  const auto& options = server_.options();
  Event("subscribe account=" + request.get("account", ""));
  const bool first = !subscribed_;
  subscribed_ = true;
  if (first && options.bad_line) Send("this line is not JSON\n");
  if (first && options.oversized > 0) Send(std::string(options.oversized, 'x') + "\n");
  std::string reply = server_.book().JobLine();
  if (first && options.pair_lines) reply += server_.book().TemplateLine();
  Send(reply);
  Event("sent " + server_.book().JobSummary() +
        (first && options.pair_lines ? " and a template" : ""));
}

void Session::OnSubmit(const boost::property_tree::ptree& request) {
  int code = 0;
  std::string reason;
  if (server_.book().CheckShare(request.get("nonce", ""), code, reason)) {
    Event("share accepted");
    Send("{\"method\":\"message\",\"value\":\"share accepted\"}\n");
  } else {
    Event("share rejected: " + reason);
    Send(ErrorLine(code, reason));
  }
}

void Session::WriteNext() {
  if (closed_) return;
  if (outbox_.empty()) {
    writing_ = false;
    if (close_when_sent_) Close("after " + std::to_string(lines_) + " lines");
    return;
  }
  writing_ = true;
  auto self = shared_from_this();
  auto write = [this, self] {
    if (closed_) return;
    asio::async_write(socket_, asio::buffer(outbox_.front().bytes),
                      [this, self](const ErrorCode& ec, std::size_t) {
                        if (closed_) return;
                        if (ec) {
                          Close(ec.message());
                          return;
                        }
                        outbox_.pop_front();
                        WriteNext();
                      });
  };
  if (outbox_.front().pause_before) {
    pause_.expires_after(kSplitPause);
    pause_.async_wait([write](const ErrorCode& ec) {
      if (!ec) write();
    });
  } else {
    write();
  }
}

// Decimal option value; false unless the whole text is a number that fits.
bool ParseNumber(const char* text, uint64_t max, uint64_t& value) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

}  // namespace

std::string StratumPoolUsage() {
  return "usage: plo-testpool [options]\n"
         "  --port N              port on 127.0.0.1 (default 0: a free one)\n"
         "  --diff N              share difficulty (default 8)\n"
         "  --block N             block number of the first job (default 1)\n"
         "  --job-every S         issue a new job every S seconds\n"
         "  --refresh-block N     block number of refreshed jobs (default 0: no map rebuild)\n"
         "  --refresh-new-block   refreshed jobs start a new block (new previous hash)\n"
         "  --template-every S    send a template every S seconds\n"
         "  --duration S          end after S seconds (default: at SIGINT/SIGTERM)\n"
         "  --zero-trailer        jobs carry an all-zero trailer\n"
         "  --seed N              random seed\n"
         "fault injection:\n"
         "  --refuse-for S        do not listen during the first S seconds\n"
         "  --close-after N       close a connection after answering its N-th line\n"
         "  --split-lines         send every line in two writes\n"
         "  --pair-lines          send the first job and a template in one write\n"
         "  --bad-line            send a non-JSON line before the first job\n"
         "  --oversized BYTES     send a line of BYTES bytes before the first job\n"
         "TLS:\n"
         "  --tls                 serve TLS with a certificate made at start (fingerprint "
         "printed)\n"
         "  --cert FILE --key FILE  serve TLS with this PEM certificate chain and key\n"
         "signals: SIGUSR1 sends a new job now, SIGUSR2 a template now; SIGINT/SIGTERM stop\n";
}

bool ParseStratumPoolOptions(int argc, char** argv, StratumPoolOptions& options,
                             std::string& error) {
  const uint64_t kMaxSeconds = 24 * 3600;
  const uint64_t kMaxLine = 64ull * 1024 * 1024;
  const std::map<std::string, bool*> flags = {
      {"--refresh-new-block", &options.refresh_new_block},
      {"--zero-trailer", &options.zero_trailer},
      {"--split-lines", &options.split_lines},
      {"--pair-lines", &options.pair_lines},
      {"--bad-line", &options.bad_line},
  };
  const std::map<std::string, std::function<void(uint64_t)>> setters = {
      {"--port", [&](uint64_t v) { options.port = static_cast<uint16_t>(v); }},
      {"--diff", [&](uint64_t v) { options.diff = static_cast<int32_t>(v); }},
      {"--block", [&](uint64_t v) { options.block = v; }},
      {"--refresh-block", [&](uint64_t v) { options.refresh_block = v; }},
      {"--job-every", [&](uint64_t v) { options.job_every_s = static_cast<unsigned>(v); }},
      {"--template-every",
       [&](uint64_t v) { options.template_every_s = static_cast<unsigned>(v); }},
      {"--duration", [&](uint64_t v) { options.duration_s = static_cast<unsigned>(v); }},
      {"--seed", [&](uint64_t v) { options.seed = v; }},
      {"--refuse-for", [&](uint64_t v) { options.refuse_s = static_cast<unsigned>(v); }},
      {"--close-after", [&](uint64_t v) { options.close_after = static_cast<unsigned>(v); }},
      {"--oversized", [&](uint64_t v) { options.oversized = static_cast<std::size_t>(v); }},
  };
  const std::map<std::string, uint64_t> limits = {
      {"--port", 65535},
      {"--diff", 255},
      {"--block", UINT64_MAX},
      {"--refresh-block", UINT64_MAX},
      {"--job-every", kMaxSeconds},
      {"--template-every", kMaxSeconds},
      {"--duration", kMaxSeconds},
      {"--seed", UINT64_MAX},
      {"--refuse-for", kMaxSeconds},
      {"--close-after", UINT32_MAX},
      {"--oversized", kMaxLine},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--tls") {
      options.tls = true;
      continue;
    }
    if (name == "--cert" || name == "--key") {
      if (i + 1 >= argc) {
        error = "option " + name + " needs a file";
        return false;
      }
      (name == "--cert" ? options.cert_file : options.key_file) = argv[++i];
      options.tls = true;
      continue;
    }
    const auto flag = flags.find(name);
    if (flag != flags.end()) {
      *flag->second = true;
      continue;
    }
    const auto setter = setters.find(name);
    if (setter == setters.end()) {
      error = "unknown option " + name;
      return false;
    }
    uint64_t value = 0;
    if (i + 1 >= argc || !ParseNumber(argv[i + 1], limits.at(name), value)) {
      error = "option " + name + " needs a number up to " + std::to_string(limits.at(name));
      return false;
    }
    setter->second(value);
    ++i;
  }
  if (options.cert_file.empty() != options.key_file.empty()) {
    error = "--cert and --key go together";
    return false;
  }
  return true;
}

int RunStratumPool(int argc, char** argv) {
  StratumPoolOptions options;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help") {
      Kest::Print(StratumPoolUsage());
      return 0;
    }
  }
  if (!ParseStratumPoolOptions(argc, argv, options, error)) {
    Kest::Print(error + "\n" + StratumPoolUsage());
    return 2;
  }

  asio::io_context io;
  // With TLS the pool itself listens on a free port and the TLS front on the one asked for.
  StratumPoolOptions plain = options;
  if (options.tls) plain.port = 0;
  Server server(io, plain);
  std::unique_ptr<TlsFront> tls;
  uint16_t port = 0;
  try {
    port = server.Bind();
    if (options.tls) {
      tls = options.cert_file.empty()
                ? std::make_unique<TlsFront>(io, options.port, port)
                : std::make_unique<TlsFront>(io, options.port, port, options.cert_file,
                                             options.key_file);
      port = tls->port();
      Event("TLS certificate SHA-256 " + tls->fingerprint());
      tls->Start();
    }
  } catch (const std::exception& e) {
    Event("cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + e.what());
    return 2;
  }
  Event("listening on 127.0.0.1:" + std::to_string(port));

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](const ErrorCode& ec, int signal) {
    if (ec) return;
    Event(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    io.stop();
  });
  asio::steady_timer end(io);
  if (options.duration_s > 0) {
    end.expires_after(std::chrono::seconds(options.duration_s));
    end.async_wait([&io](const ErrorCode& ec) {
      if (ec) return;
      Event("duration over");
      io.stop();
    });
  }

  // SIGUSR1 sends a new job now, SIGUSR2 a template now (for tests and demonstrations).
  asio::signal_set on_demand(io, SIGUSR1, SIGUSR2);
  std::function<void()> wait_on_demand = [&] {
    on_demand.async_wait([&](const ErrorCode& ec, int signal) {
      if (ec) return;
      if (signal == SIGUSR1) {
        server.NewJob();
      } else {
        server.NewTemplate();
      }
      wait_on_demand();
    });
  };
  wait_on_demand();

  server.Start();
  io.run();
  Event(server.book().Summary());
  return 0;
}

}  // namespace testpool
