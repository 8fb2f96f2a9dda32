// Helpers of the Stratum client tests: a scriptable pool on 127.0.0.1 and a capture of
// standard output that can be read while it is still being written.
#pragma once

#include <boost/asio.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace stratum_test {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Polls `done` every few milliseconds until it is true or `timeout` has passed.
bool WaitUntil(const std::function<bool()>& done, Millis timeout);

// Milliseconds from `start` to now.
long ElapsedMs(Clock::time_point start);

// A "mining.notify" line for the given values.
std::string JobLine(const std::string& root, int diff, uint64_t block);

// A "mining.template" line for the given values.
std::string TemplateLine(const std::string& prefix, int num_prefix, int frame_id);

// One line received by the test pool, and the connection (1, 2, ...) it came on.
struct ReceivedLine {
  int connection;
  std::string text;  // without its line feed
};

// A real TCP server on 127.0.0.1 run by a thread of its own. Tests drive it by hand: send
// bytes to the newest connection, close connections, read what arrived.
class TestPool {
 public:
  explicit TestPool(uint16_t port = 0);  // 0: any free port
  ~TestPool();

  TestPool(const TestPool&) = delete;
  TestPool& operator=(const TestPool&) = delete;

  uint16_t port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }

  // Text written to a connection as soon as a subscribe line arrives on it (empty: none).
  void SetSubscribeReply(const std::string& text);
  // Text written to a connection each time a submit line arrives on it (empty: none, the
  // default: a pool that reads shares and never answers them).
  void SetSubmitReply(const std::string& text);
  // Accept connections and close them at once.
  void SetCloseOnAccept(bool close);

  // Writes `bytes` to the newest open connection in one write; false without one.
  bool Send(const std::string& bytes);
  // Closes every open connection.
  void CloseConnections();

  int connections();
  std::vector<Clock::time_point> accept_times();
  std::vector<ReceivedLine> lines();
  std::string raw(int connection);  // every byte received on one connection

  bool WaitForConnections(int count, Millis timeout);
  bool WaitForLines(std::size_t count, Millis timeout);

 private:
  struct Session;
  void Accept();
  void Read(const std::shared_ptr<Session>& session);
  template <typename F>
  void RunOnServer(F&& task);

  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::thread thread_;

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Session>> sessions_;
  std::vector<Clock::time_point> accept_times_;
  std::vector<ReceivedLine> lines_;
  std::vector<std::string> raw_;
  std::string subscribe_reply_;
  std::string submit_reply_;
  bool close_on_accept_ = false;
};

// Redirects standard output (file descriptor 1) into a temporary file while it lives.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();

  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string Text();  // everything written so far
  bool WaitFor(const std::string& needle, Millis timeout);

 private:
  int saved_fd_ = -1;
  std::FILE* file_ = nullptr;
};

// Number of times `needle` occurs in `text`.
std::size_t Count(const std::string& text, const std::string& needle);

}  // namespace stratum_test
