// HTTP getwork test pool: a small HTTP/1.1 server on 127.0.0.1 that answers the getwork
// client's work polls, share submissions and hash-rate reports. Used as the HTTP mode of the
// test pool tool and, in-process, by the pool client tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/records.h"

namespace testpool {

// Entry point of the HTTP mode. Options:
//   --port N     port on 127.0.0.1 (0: a free port); the first output line is
//                "listening on 127.0.0.1:PORT"
//   --diff N     share difficulty of the jobs (leading zero bits)
//   --block N    block number of the jobs
//   --status N   answer every request with this HTTP status (no body) instead of 200
//   --no-work    answer every work poll with "{\"error\" : 2}"
//   --http       accepted and ignored (mode selector of the tool)
// Runs until SIGINT or SIGTERM; returns 0, or 2 for bad options or a port that cannot be bound.
int RunHttpPool(int argc, char** argv);

struct HttpPoolOptions {
  uint16_t port = 0;
  int32_t diff = 8;
  uint64_t block = 1;
  int status = 200;
  bool no_work = false;
  bool verbose = false;  // one console line per request
};

// One request as it reached the server.
struct HttpPoolRequest {
  std::string method;
  std::string target;
  std::string content_type;
  std::string user_agent;
  std::string body;
  std::chrono::steady_clock::time_point received;
};

class HttpPool {
 public:
  explicit HttpPool(const HttpPoolOptions& options);
  ~HttpPool();  // stops the server

  HttpPool(const HttpPool&) = delete;
  HttpPool& operator=(const HttpPool&) = delete;

  // Binds 127.0.0.1 at the configured port and serves on a thread of its own. Returns the
  // port in use; throws std::exception when the port cannot be bound.
  uint16_t Start();
  // Closes the listener and every connection and joins the server thread.
  void Stop();
  uint16_t port() const;

  // Behaviour, changeable while serving.
  void SetStatus(int status);
  void SetNoWork(bool no_work);
  // Draws a fresh random trailer for the job; keeps difficulty and block.
  void NewJob();
  void SetJob(const BTRAILER& trailer, int32_t diff, uint64_t block);
  // Answers the following work polls with exactly these bodies, one per poll, repeating the
  // last one; an empty list goes back to the job or no-work answer.
  void SetPollAnswers(std::vector<std::string> bodies);
  // The body of a job answer.
  static std::string JobBody(const std::string& broot, int32_t diff, uint64_t block);
  // Holds back every answer for `delay`.
  void SetAnswerDelay(std::chrono::milliseconds delay);

  // What the server has seen.
  std::vector<HttpPoolRequest> Requests() const;
  // Waits until at least `count` requests have arrived; false on time-out.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  std::string JobText() const;  // base64 of the current trailer
  int accepted_shares() const;
  int rejected_shares() const;

  class Server;

 private:
  friend class Server;

  // Builds the answer body for one request; sets *status. Called on the server thread.
  std::string Answer(const HttpPoolRequest& request, int* status);
  std::string SubmissionAnswer(const std::string& nonce_text);
  std::chrono::milliseconds answer_delay() const;
  void Record(const HttpPoolRequest& request);

  mutable std::mutex mutex_;  // guards the state below
  mutable std::condition_variable arrived_;
  HttpPoolOptions options_;
  BTRAILER trailer_{};
  std::vector<std::string> poll_answers_;  // scripted answers, next first
  std::size_t next_poll_answer_ = 0;
  std::chrono::milliseconds answer_delay_{0};
  std::vector<HttpPoolRequest> requests_;
  int accepted_ = 0;
  int rejected_ = 0;

  std::unique_ptr<Server> server_;
};

}  // namespace testpool
