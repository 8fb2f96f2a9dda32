#include "subprocess.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace e2e {

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::string& cwd,
                       const std::map<std::string, std::string>& env) {
  int in_pipe[2];
  int out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(out_pipe[1], STDERR_FILENO);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  stdout_fd_ = out_pipe[0];
  reader_ = std::thread(&Subprocess::ReadLoop, this);
}

Subprocess::~Subprocess() {
  if (Wait(std::chrono::milliseconds(0)) == -1) {
    Signal(SIGKILL);
    Wait(std::chrono::milliseconds(5000));
  }
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (reader_.joinable()) reader_.join();
  close(stdout_fd_);
}

void Subprocess::ReadLoop() {
  char buf[4096];
  while (true) {
    const ssize_t n = read(stdout_fd_, buf, sizeof(buf));
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(buf, static_cast<size_t>(n));
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  eof_ = true;
  changed_.notify_all();
}

void Subprocess::Write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(stdin_fd_, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string Subprocess::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool Subprocess::WaitFor(const std::string& needle, std::chrono::milliseconds timeout, int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return Count(output_, needle) >= count || eof_;
  }) && Count(output_, needle) >= count;
}

int Subprocess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (reaped_) return status_;
    }
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      std::unique_lock<std::mutex> lock(mutex_);
      reaped_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      // Everything the child wrote is in the pipe: let the reader take it all in.
      changed_.wait_for(lock, std::chrono::seconds(5), [this] { return eof_; });
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Subprocess::Signal(int sig) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!reaped_) kill(pid_, sig);
}

int Count(const std::string& text, const std::string& needle) {
  if (needle.empty()) return 0;
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/plominer-e2e.XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = dir;
}

ScratchDir::~ScratchDir() {
  const std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
    // Leftovers in /tmp are harmless.
  }
}

void ScratchDir::WriteFile(const std::string& name, const std::string& text) const {
  std::ofstream f(path_ + "/" + name, std::ios::binary);
  f << text;
}

std::string StartTestPool(std::unique_ptr<Subprocess>& pool, const ScratchDir& dir,
                          const char* pool_path, std::vector<std::string> args) {
  args.insert(args.begin(), {pool_path, "--port", "0"});
  pool = std::make_unique<Subprocess>(args, dir.path());
  EXPECT_TRUE(pool->WaitFor("listening on 127.0.0.1:", std::chrono::seconds(10)));
  std::smatch m;
  const std::string out = pool->Output();
  if (!std::regex_search(out, m, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)"))) return "";
  return m[1];
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  socklen_t len = sizeof(a);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

}  // namespace e2e
