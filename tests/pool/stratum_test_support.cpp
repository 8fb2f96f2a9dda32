#include "tests/pool/stratum_test_support.h"

#include <unistd.h>

#include <array>
#include <future>
#include <stdexcept>

namespace stratum_test {
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {
constexpr Millis kPollStep{5};
constexpr std::size_t kReadChunk = 4096;
}  // namespace

bool WaitUntil(const std::function<bool()>& done, Millis timeout) {
  const auto end = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

long ElapsedMs(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<Millis>(Clock::now() - start).count());
}

std::string JobLine(const std::string& root, int diff, uint64_t block) {
  return "{\"method\":\"mining.notify\",\"root\":\"" + root +
         "\",\"diff\":" + std::to_string(diff) + ",\"block\":" + std::to_string(block) + "}\n";
}

std::string TemplateLine(const std::string& prefix, int num_prefix, int frame_id) {
  return "{\"method\":\"mining.template\",\"base64_prefix\":\"" + prefix +
         "\",\"num_prefix\":" + std::to_string(num_prefix) +
         ",\"frame_id\":" + std::to_string(frame_id) + "}\n";
}

struct TestPool::Session {
  explicit Session(asio::io_context& io) : socket(io) {}
  tcp::socket socket;
  int number = 0;
  std::string partial;
  std::array<char, kReadChunk> buffer{};
};

TestPool::TestPool(uint16_t port) : acceptor_(io_) {
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  port_ = acceptor_.local_endpoint().port();
  Accept();
  thread_ = std::thread([this] { io_.run(); });
}

TestPool::~TestPool() {
  io_.stop();
  thread_.join();
}

template <typename F>
void TestPool::RunOnServer(F&& task) {
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  asio::post(io_, [done, task = std::forward<F>(task)]() mutable {
    task();
    done->set_value();
  });
  finished.get();
}

void TestPool::SetSubscribeReply(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribe_reply_ = text;
}

void TestPool::SetSubmitReply(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  submit_reply_ = text;
}

void TestPool::SetCloseOnAccept(bool close) {
  std::lock_guard<std::mutex> lock(mutex_);
  close_on_accept_ = close;
}

void TestPool::Accept() {
  auto session = std::make_shared<Session>(io_);
  acceptor_.async_accept(session->socket, [this, session](const boost::system::error_code& ec) {
    if (ec) return;
    bool close_now = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      accept_times_.push_back(Clock::now());
      raw_.emplace_back();
      session->number = static_cast<int>(raw_.size());
      close_now = close_on_accept_;
      if (!close_now) sessions_.push_back(session);
    }
    changed_.notify_all();
    if (close_now) {
      boost::system::error_code ignored;
      session->socket.close(ignored);
    } else {
      Read(session);
    }
    Accept();
  });
}

void TestPool::Read(const std::shared_ptr<Session>& session) {
  session->socket.async_read_some(
      asio::buffer(session->buffer),
      [this, session](const boost::system::error_code& ec, std::size_t size) {
        if (ec) return;
        std::string reply;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          raw_[session->number - 1].append(session->buffer.data(), size);
          session->partial.append(session->buffer.data(), size);
          for (auto feed = session->partial.find('\n'); feed != std::string::npos;
               feed = session->partial.find('\n')) {
            std::string line = session->partial.substr(0, feed);
            session->partial.erase(0, feed + 1);
            if (line.find("\"subscribe\"") != std::string::npos) reply += subscribe_reply_;
            if (line.find("\"submit\"") != std::string::npos) reply += submit_reply_;
            lines_.push_back({session->number, std::move(line)});
          }
        }
        changed_.notify_all();
        if (!reply.empty()) asio::write(session->socket, asio::buffer(reply));
        Read(session);
      });
}

bool TestPool::Send(const std::string& bytes) {
  bool sent = false;
  RunOnServer([this, &bytes, &sent] {
    std::shared_ptr<Session> newest;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!sessions_.empty()) newest = sessions_.back();
    }
    if (!newest || !newest->socket.is_open()) return;
    boost::system::error_code ec;
    asio::write(newest->socket, asio::buffer(bytes), ec);
    sent = !ec;
  });
  return sent;
}

void TestPool::CloseConnections() {
  RunOnServer([this] {
    std::vector<std::shared_ptr<Session>> open;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open.swap(sessions_);
    }
    for (auto& session : open) {
      boost::system::error_code ignored;
      session->socket.shutdown(tcp::socket::shutdown_both, ignored);
      session->socket.close(ignored);
    }
  });
}

int TestPool::connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(accept_times_.size());
}

std::vector<Clock::time_point> TestPool::accept_times() {
  std::lock_guard<std::mutex> lock(mutex_);
  return accept_times_;
}

std::vector<ReceivedLine> TestPool::lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::string TestPool::raw(int connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connection < 1 || connection > static_cast<int>(raw_.size())) return {};
  return raw_[connection - 1];
}

bool TestPool::WaitForConnections(int count, Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return static_cast<int>(accept_times_.size()) >= count; });
}

bool TestPool::WaitForLines(std::size_t count, Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  file_ = std::tmpfile();
  if (file_ == nullptr) throw std::runtime_error("no temporary file for the output capture");
  saved_fd_ = dup(STDOUT_FILENO);
  dup2(fileno(file_), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  std::fflush(stdout);
  dup2(saved_fd_, STDOUT_FILENO);
  close(saved_fd_);
  std::fclose(file_);
}

std::string StdoutCapture::Text() {
  std::fflush(stdout);
  std::string text;
  std::array<char, kReadChunk> chunk{};
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(fileno(file_), chunk.data(), chunk.size(), offset);
    if (got <= 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(got));
    offset += got;
  }
  return text;
}

bool StdoutCapture::WaitFor(const std::string& needle, Millis timeout) {
  return WaitUntil([&] { return Text().find(needle) != std::string::npos; }, timeout);
}

std::size_t Count(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace stratum_test
