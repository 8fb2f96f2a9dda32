#include "tools/testpool/http_pool.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>
#include <sstream>
#include <stdexcept>

#include "app/utils.h"
#include "pow/peach.h"

namespace testpool {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr int kStatusOk = 200;
constexpr std::size_t kNonceBytes = 32;

const char kAnswerAccepted[] = "{\"error\" : 0}";
const char kAnswerBadShare[] = "{\"error\" : 1}";
const char kAnswerNoWork[] = "{\"error\" : 2}";
const char kAnswerBadRequest[] = "{\"error\" : 3}";
const char kServerName[] = "kest-testpool";
const char kLoopback[] = "127.0.0.1";

}  // namespace

// The listener and the connections, all on one I/O thread.
class HttpPool::Server {
 public:
  Server(HttpPool* pool, uint16_t port)
      : pool_(pool), acceptor_(ioc_, tcp::endpoint(asio::ip::make_address(kLoopback), port)) {
    port_ = acceptor_.local_endpoint().port();
  }

  ~Server() { Stop(); }

  void Start() {
    Accept();
    thread_ = std::make_unique<std::thread>([this] { ioc_.run(); });
  }

  void Stop() {
    ioc_.stop();
    if (thread_ && thread_->joinable()) thread_->join();
    thread_.reset();
  }

  uint16_t port() const { return port_; }

 private:
  class Session : public std::enable_shared_from_this<Session> {
   public:
    Session(tcp::socket socket, HttpPool* pool)
        : stream_(std::move(socket)), timer_(stream_.get_executor()), pool_(pool) {}

    void Read() {
      request_ = {};
      http::async_read(
          stream_, buffer_, request_,
          [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

   private:
    void OnRead(beast::error_code ec) {
      if (ec) return Close();
      HttpPoolRequest seen;
      seen.method = std::string(request_.method_string());
      seen.target = std::string(request_.target());
      seen.content_type = std::string(request_[http::field::content_type]);
      seen.user_agent = std::string(request_[http::field::user_agent]);
      seen.body = request_.body();
      seen.received = std::chrono::steady_clock::now();
      pool_->Record(seen);
      int status = kStatusOk;
      answer_ = pool_->Answer(seen, &status);
      status_ = status;
      const auto delay = pool_->answer_delay();
      if (delay.count() > 0) {
        timer_.expires_after(delay);
        timer_.async_wait([self = shared_from_this()](beast::error_code wait_ec) {
          if (!wait_ec) self->Write();
        });
      } else {
        Write();
      }
    }

    void Write() {
      response_ = std::make_shared<http::response<http::string_body>>(
          static_cast<http::status>(status_), request_.version());
      response_->set(http::field::server, kServerName);
      if (status_ == kStatusOk) {
        response_->set(http::field::content_type, "application/json");
        response_->body() = answer_;
      }
      response_->keep_alive(request_.keep_alive());
      response_->prepare_payload();
      http::async_write(stream_, *response_,
                        [self = shared_from_this()](beast::error_code ec, std::size_t) {
                          if (ec || !self->response_->keep_alive()) return self->Close();
                          self->Read();
                        });
    }

    void Close() {
      beast::error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
      stream_.socket().close(ignored);
    }

    beast::tcp_stream stream_;
    asio::steady_timer timer_;
    HttpPool* pool_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    std::shared_ptr<http::response<http::string_body>> response_;
    std::string answer_;
    int status_ = kStatusOk;
  };

  void Accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;  // the listener was closed
      std::make_shared<Session>(std::move(socket), pool_)->Read();
      Accept();
    });
  }

  HttpPool* pool_;
  asio::io_context ioc_;  // before the acceptor: outlives every socket
  tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::unique_ptr<std::thread> thread_;
};

HttpPool::HttpPool(const HttpPoolOptions& options) : options_(options) {
  NewJob();
}

HttpPool::~HttpPool() {
  Stop();
}

uint16_t HttpPool::Start() {
  uint16_t port;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    port = options_.port;
  }
  auto server = std::make_unique<Server>(this, port);
  server->Start();
  server_ = std::move(server);
  return server_->port();
}

void HttpPool::Stop() {
  if (server_) server_->Stop();
  server_.reset();
}

uint16_t HttpPool::port() const {
  return server_ ? server_->port() : 0;
}

void HttpPool::SetStatus(int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.status = status;
}

void HttpPool::SetNoWork(bool no_work) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.no_work = no_work;
}

void HttpPool::NewJob() {
  std::random_device seed;
  std::mt19937 rng(seed());
  std::uniform_int_distribution<int> byte(0, 255);
  std::lock_guard<std::mutex> lock(mutex_);
  auto* bytes = reinterpret_cast<uint8_t*>(&trailer_);
  for (std::size_t i = 0; i < sizeof(trailer_); ++i) bytes[i] = static_cast<uint8_t>(byte(rng));
}

void HttpPool::SetJob(const BTRAILER& trailer, int32_t diff, uint64_t block) {
  std::lock_guard<std::mutex> lock(mutex_);
  trailer_ = trailer;
  options_.diff = diff;
  options_.block = block;
}

void HttpPool::SetPollAnswers(std::vector<std::string> bodies) {
  std::lock_guard<std::mutex> lock(mutex_);
  poll_answers_ = std::move(bodies);
  next_poll_answer_ = 0;
}

std::string HttpPool::JobBody(const std::string& broot, int32_t diff, uint64_t block) {
  return "{\"broot\":\"" + broot + "\", \"diff\":" + std::to_string(diff) +
         ", \"nblock\":" + std::to_string(block) + "}";
}

void HttpPool::SetAnswerDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_delay_ = delay;
}

std::chrono::milliseconds HttpPool::answer_delay() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answer_delay_;
}

std::vector<HttpPoolRequest> HttpPool::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool HttpPool::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::string HttpPool::JobText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return base64_encode(reinterpret_cast<const unsigned char*>(&trailer_), sizeof(trailer_));
}

int HttpPool::accepted_shares() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

int HttpPool::rejected_shares() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rejected_;
}

void HttpPool::Record(const HttpPoolRequest& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    if (options_.verbose) {
      std::printf("%s %s %s\n", request.method.c_str(), request.target.c_str(),
                  request.body.c_str());
      std::fflush(stdout);
    }
  }
  arrived_.notify_all();
}

std::string HttpPool::Answer(const HttpPoolRequest& request, int* status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    *status = options_.status;
  }
  if (*status != kStatusOk) return std::string();

  boost::property_tree::ptree body;
  try {
    std::istringstream in(request.body);
    boost::property_tree::read_json(in, body);
  } catch (const std::exception&) {
    return kAnswerBadRequest;
  }
  const std::string kind = body.get<std::string>("r", "");
  if (kind == "mining") {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!poll_answers_.empty()) {
      const std::string& answer = poll_answers_[next_poll_answer_];
      if (next_poll_answer_ + 1 < poll_answers_.size()) ++next_poll_answer_;
      return answer;
    }
    if (options_.no_work) return kAnswerNoWork;
    return JobBody(
        base64_encode(reinterpret_cast<const unsigned char*>(&trailer_), sizeof(trailer_)),
        options_.diff, options_.block);
  }
  if (kind == "res") return SubmissionAnswer(body.get<std::string>("v1", ""));
  if (kind == "hr") return kAnswerAccepted;
  return kAnswerBadRequest;
}

std::string HttpPool::SubmissionAnswer(const std::string& nonce_text) {
  const std::string nonce = base64_decode(nonce_text);
  if (nonce.size() != kNonceBytes) return kAnswerBadRequest;
  BTRAILER candidate;
  uint32_t diff;
  bool no_work;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    candidate = trailer_;
    diff = static_cast<uint32_t>(options_.diff);
    no_work = options_.no_work;
  }
  std::memcpy(candidate.nonce, nonce.data(), kNonceBytes);
  const bool good = !no_work && peach(&candidate, diff, nullptr) == 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (good) {
    ++accepted_;
  } else {
    ++rejected_;
  }
  if (options_.verbose) {
    std::printf("share %s\n", good ? "accepted" : "rejected");
    std::fflush(stdout);
  }
  return good ? kAnswerAccepted : kAnswerBadShare;
}

namespace {

void PrintUsage() {
  std::fprintf(stderr,
               "usage: plo-testpool --http [--port N] [--diff N] [--block N] [--status N] "
               "[--no-work]\n");
}

// Parses a whole decimal option value; false when it is not one.
bool ParseNumber(const char* text, unsigned long long max, unsigned long long* value) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

}  // namespace

int RunHttpPool(int argc, char** argv) {
  constexpr unsigned long long kMaxPort = 65535;
  constexpr unsigned long long kMaxDiff = 255;
  constexpr unsigned long long kMaxBlock = 0x7fffffffULL;  // the client reads a 32-bit value
  constexpr unsigned long long kMaxStatus = 999;
  constexpr int kUsageError = 2;

  testpool::HttpPoolOptions options;
  options.verbose = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long long number = 0;
    if (arg == "--http") continue;
    if (arg == "--help") {
      PrintUsage();
      return 0;
    }
    if (arg == "--no-work") {
      options.no_work = true;
      continue;
    }
    if (arg == "--port" && ParseNumber(value, kMaxPort, &number)) {
      options.port = static_cast<uint16_t>(number);
    } else if (arg == "--diff" && ParseNumber(value, kMaxDiff, &number)) {
      options.diff = static_cast<int32_t>(number);
    } else if (arg == "--block" && ParseNumber(value, kMaxBlock, &number)) {
      options.block = number;
    } else if (arg == "--status" && ParseNumber(value, kMaxStatus, &number) && number >= 100) {
      options.status = static_cast<int>(number);
    } else {
      PrintUsage();
      return kUsageError;
    }
    ++i;
  }

  // The stop signals are blocked in this thread and in the server thread it starts; this one
  // waits for them. The caller's mask is restored on return.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
  int result = 0;
  try {
    testpool::HttpPool pool(options);
    const uint16_t port = pool.Start();
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(port));
    std::fflush(stdout);
    int received = 0;
    sigwait(&stop_signals, &received);
    pool.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "http pool: %s\n", e.what());
    result = kUsageError;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return result;
}

}  // namespace testpool
