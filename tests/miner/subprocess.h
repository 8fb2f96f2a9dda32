// A child process for end-to-end tests: standard input through a pipe, standard output and
// error collected by a reader thread so tests can wait for a line while the child runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class Subprocess {
 public:
  // Starts `argv[0]` with `argv` in directory `cwd`, with `env` added to the environment.
  Subprocess(const std::vector<std::string>& argv, const std::string& cwd,
             const std::map<std::string, std::string>& env = {});
  ~Subprocess();  // kills the child if it still runs

  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Writes to the child's standard input.
  void Write(const std::string& text);
  // Everything the child has printed so far.
  std::string Output();
  // Waits until the output contains `needle` at least `count` times; false on timeout or when
  // the child ended without printing it.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout, int count = 1);
  // Waits for the child to end; returns its exit status, or -1 on timeout (child still runs).
  int Wait(std::chrono::milliseconds timeout);
  // Sends a signal to the child.
  void Signal(int sig);

 private:
  void ReadLoop();

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  bool eof_ = false;
  int status_ = -1;
  bool reaped_ = false;
};

// Counts the occurrences of `needle` in `text`.
int Count(const std::string& text, const std::string& needle);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort();

// A fresh empty directory under the system's temporary directory, removed on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  void WriteFile(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

// Starts the test pool at `pool_path` on a free port with `args`, in `dir`; returns the port, or
// an empty string when the pool did not say where it listens.
std::string StartTestPool(std::unique_ptr<Subprocess>& pool, const ScratchDir& dir,
                          const char* pool_path, std::vector<std::string> args);

}  // namespace e2e
