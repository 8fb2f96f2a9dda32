#include "app/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "app/process_exit.h"

namespace Kest {

namespace {

// A line that never ends is written once it is this long, so what is kept stays bounded.
constexpr std::size_t kLongestPartialLine = 64 * 1024;

std::string ErrorText(int err) {
  char buf[256];
  // The GNU strerror_r returns its text, which may or may not be `buf`.
  return std::string(strerror_r(err, buf, sizeof(buf)));
}

}  // namespace

std::string LogTimestamp(std::chrono::system_clock::time_point t) {
  const auto ms_total =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  // Floor division: a time before 1970 keeps milliseconds 0..999 of its own second.
  int64_t seconds = ms_total / 1000;
  int64_t ms = ms_total % 1000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  const std::time_t tt = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&tt, &local);
  const long offset_s = local.tm_gmtoff;
  const long offset_min = (offset_s < 0 ? -offset_s : offset_s) / 60;
  char out[64];
  std::snprintf(out, sizeof(out), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(ms), offset_s < 0 ? '-' : '+', offset_min / 60,
                offset_min % 60);
  return out;
}

LogFile::LogFile(std::string path, uint64_t max_bytes, Reporter report)
    : path_(std::move(path)), max_bytes_(max_bytes), report_(std::move(report)) {}

LogFile::~LogFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

bool LogFile::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ >= 0 || OpenLocked(nullptr);
}

bool LogFile::OpenLocked(std::string* error) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ >= 0) return true;
  const int err = errno;
  if (error != nullptr) *error = ErrorText(err);
  FailLocked("cannot open it", err);
  return false;
}

void LogFile::CloseLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void LogFile::FailLocked(const char* what, int err) {
  if (failing_) return;
  failing_ = true;
  if (report_) {
    report_("Log file " + path_ + ": " + what + " (" + ErrorText(err) +
            "); its lines are dropped until it works again\n");
  }
}

bool LogFile::Reopen(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ >= 0) {
    failing_ = false;
    return true;
  }
  const int err = errno;
  if (error != nullptr) *error = ErrorText(err);
  failing_ = true;  // the caller reports it
  return false;
}

void LogFile::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  partial_ += text;
  const std::size_t last_end = partial_.rfind('\n');
  if (last_end == std::string::npos && partial_.size() < kLongestPartialLine) return;
  const std::size_t complete =
      last_end == std::string::npos ? partial_.size() : last_end + 1;  // bytes of whole lines
  const std::string stamp = LogTimestamp(std::chrono::system_clock::now()) + " ";
  std::string lines;
  lines.reserve(complete + 8 * stamp.size());
  for (std::size_t start = 0; start < complete;) {
    std::size_t end = partial_.find('\n', start);
    if (end == std::string::npos || end >= complete) end = complete;  // an overlong line
    lines += stamp;
    lines.append(partial_, start, end - start);
    lines += '\n';
    start = end + 1;
  }
  partial_.erase(0, complete);
  WriteLocked(lines);
}

void LogFile::FlushPartialLine() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (partial_.empty()) return;
  std::string line = LogTimestamp(std::chrono::system_clock::now()) + " " + partial_ + "\n";
  partial_.clear();
  WriteLocked(line);
}

void LogFile::WriteLocked(const std::string& lines) {
  if (fd_ < 0 && !OpenLocked(nullptr)) return;
  if (max_bytes_ > 0) {
    // The size on disk, not a count of our own: another program may have truncated the file.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) + lines.size() > max_bytes_) {
      CloseLocked();
      const std::string older = path_ + ".1";
      if (std::rename(path_.c_str(), older.c_str()) != 0) {
        // Writing on would take the file past its limit: the lines are dropped instead.
        FailLocked("cannot rename it to its .1 file", errno);
        return;
      }
      if (!OpenLocked(nullptr)) return;
    }
  }
  const char* p = lines.data();
  std::size_t left = lines.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      // Opened afresh by the next write: the file may have gone with a removed disk.
      CloseLocked();
      FailLocked("cannot write it", err);
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  failing_ = false;
}

namespace {

// Set once by StartLogFile, never freed: threads may print up to the last moment.
std::atomic<LogFile*> g_log_file{nullptr};

void ReportOnConsole(const std::string& line) {
  // Called inside Kest::Print's lock: straight to standard output, never to the file.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

void StartLogFile(const std::string& path, uint64_t max_bytes) {
  auto* file = new LogFile(path, max_bytes, ReportOnConsole);
  file->Open();
  g_log_file.store(file);
  AddExitHook([file] { file->FlushPartialLine(); });
}

bool HaveLogFile() {
  return g_log_file.load() != nullptr;
}

std::string LogFilePath() {
  LogFile* file = g_log_file.load();
  return file != nullptr ? file->path() : std::string();
}

bool ReopenLogFile(std::string* error) {
  LogFile* file = g_log_file.load();
  if (file == nullptr) {
    if (error != nullptr) *error = "no log file";
    return false;
  }
  return file->Reopen(error);
}

void WriteToLogFile(const std::string& text) {
  LogFile* file = g_log_file.load();
  if (file != nullptr) file->Write(text);
}

}  // namespace Kest
