// The log file (--log-file): a copy of every console line, each prefixed with its local time,
// appended to a file, rotated by size (--log-max-mb) and reopened on request (SIGHUP).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace Kest {

// ISO 8601 local time with milliseconds and the UTC offset in force at `t`, e.g.
// "2026-12-09T07:12:03.481+01:00". Milliseconds are truncated, never rounded up.
std::string LogTimestamp(std::chrono::system_clock::time_point t);

// Console text appended to one file, line by line: every line gets the timestamp of the moment
// it was completed and a space in front. Text without a line end is kept until its line ends.
// Each write is one write(2) of whole lines, so nothing waits in a buffer. A file that cannot be
// opened, rotated or written is reported once through `report` (one line, with the reason);
// the next report comes only after the file worked again. Lines that could not be written are
// dropped. Safe to use from several threads.
class LogFile {
 public:
  using Reporter = std::function<void(const std::string& line)>;

  // `max_bytes` 0: no limit. Otherwise a write that would take the file past it first renames
  // the file to PATH.1 (replacing an older one) and starts a new one; a single write larger
  // than the limit still goes into the fresh file whole. `report` gets lines with their line
  // end; it is called with the file's lock held and must not write to this file.
  LogFile(std::string path, uint64_t max_bytes, Reporter report);
  ~LogFile();

  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens the file for appending (created with mode 0644 when missing). False, reported,
  // when it cannot be opened; writes try again.
  bool Open();
  // Appends `text` (any number of lines, or a piece of one).
  void Write(const std::string& text);
  // Closes the file and opens the path again, for a file that was moved away (log rotation
  // by another program). False with the reason in `error` when it cannot be opened; that
  // counts as reported, and writes try again.
  bool Reopen(std::string* error);
  // Writes the unfinished line kept so far as a line of its own (at exit).
  void FlushPartialLine();

  const std::string& path() const { return path_; }

 private:
  // All with mutex_ held.
  bool OpenLocked(std::string* error);
  void CloseLocked();
  void WriteLocked(const std::string& lines);
  void FailLocked(const char* what, int err);

  const std::string path_;
  const uint64_t max_bytes_;
  const Reporter report_;
  std::mutex mutex_;  // guards everything below
  int fd_ = -1;
  bool failing_ = false;  // a failure was reported and nothing has worked since
  std::string partial_;   // the line begun but not yet ended
};

// The process-wide log file. From StartLogFile on, the text of every Kest::Print and
// Kest::Printf also goes to PATH; the file's own failures are reported on the console only.
// Call it once, early in main, before other threads print; an unfinished line kept at exit is
// written when the process ends through EndProcess.
void StartLogFile(const std::string& path, uint64_t max_bytes);
// Whether StartLogFile was called.
bool HaveLogFile();
// The process-wide file's path ("" without one).
std::string LogFilePath();
// Reopens the process-wide log file; false with the reason in `error` when it cannot be (or
// when there is none).
bool ReopenLogFile(std::string* error);
// Appends console text to the process-wide log file, if there is one (Kest::Print does this).
void WriteToLogFile(const std::string& text);

}  // namespace Kest
