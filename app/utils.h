// Small text and file helpers shared by the shell and the pool clients, and the base64 codec.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <streambuf>
#include <string>
#include <vector>

// RFC 4648 base64 with padding. Decoding stops at the first '=' or at the first character
// outside the alphabet; a final group of 2 or 3 characters yields 1 or 2 bytes.
std::string base64_encode(const unsigned char* bytes, uint32_t len);
std::string base64_decode(const std::string& text);

namespace Kest {
// Strict decode: true only when `text` is base64 of exactly `size` bytes (alphabet characters,
// then the "=" padding that completes the last group, or none); the bytes go to `out`.
bool DecodeBase64Exact(const std::string& text, std::size_t size, std::string& out);
}  // namespace Kest

namespace Kest {

// Appends the non-empty pieces of `text` between any of the `delims` characters to `out`.
void SplitString(const std::string& text, const char* delims, std::vector<std::string>& out);

// Removes the first occurrence of `part` from `text`, if any.
void eraseSubStr(std::string& text, const std::string& part);

// True when `path` can be opened for reading.
bool is_file_exist(const char* path);

// First white-space-separated token of /etc/hostname, "" for an empty file, "null" without one.
std::string GetComputerName();
std::string GetComputerName(const char* hostname_path);

// Escapes `text` for use as the content of a JSON string (quotes, backslashes, control
// characters); any other byte is copied unchanged.
std::string JsonEscape(const std::string& text);

// Formats like printf and writes the whole text to standard output in one write, then flushes,
// so lines printed by different threads never interleave mid-line.
void Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes `text` to standard output in one write and flushes; with a log file (app/log_file.h)
// the same text goes there too, under the same lock.
void Print(const std::string& text);

// Text from outside (a pool's messages) made safe to print: C0 control characters, DEL, C1
// control characters and bytes that are not well-formed UTF-8 are shown as "\x" and two hex
// digits (ESC as \x1b, CR as \x0d); printable ASCII and well-formed UTF-8 stay as they are.
std::string Printable(const std::string& text);

// `text` with ASCII letters in lower case (scheme and host names compare without case).
std::string ToLower(std::string text);

// A duration in milliseconds for console lines: "30 s" for whole seconds, else "1500 ms".
std::string DurationText(uint32_t ms);

// A hash rate in H/s as text: "812.4 H/s", "5.57 kH/s", "1.20 MH/s".
std::string RateText(double hps);

// Prints lines, summarising runs of one repeated line: the first is printed, the repeats are
// counted, and a line with the count is printed once `every` repeats or `interval` have gone
// by (and before the next different line). Safe to use from several threads.
class RepeatPrinter {
 public:
  explicit RepeatPrinter(uint64_t every = 1000,
                         std::chrono::steady_clock::duration interval = std::chrono::seconds(10))
      : every_(every), interval_(interval) {}
  ~RepeatPrinter();

  RepeatPrinter(const RepeatPrinter&) = delete;
  RepeatPrinter& operator=(const RepeatPrinter&) = delete;

  // `line` without its line end.
  void Print(const std::string& line);
  // Reports the repeats counted so far if `interval` has gone by since the last report, so a
  // run that has ended is not left unreported until the next line.
  void Tick();

 private:
  void FlushLocked(std::string& out);

  const uint64_t every_;
  const std::chrono::steady_clock::duration interval_;
  std::mutex mutex_;  // guards everything below
  bool has_last_ = false;
  std::string last_;
  uint64_t repeats_ = 0;  // repeats of `last_` not yet reported
  std::chrono::steady_clock::time_point since_;
};

// Suspends the calling thread for `ms` milliseconds in one high-resolution sleep request.
void mySleep(uint32_t ms);

}  // namespace Kest

// Input stream buffer over an open C FILE that delivers one character per refill.
class cfilebuf : public std::streambuf {
 public:
  explicit cfilebuf(FILE* file) : file_(file) {}

 protected:
  int_type underflow() override;

 private:
  FILE* file_;
  char ch_ = 0;
};
