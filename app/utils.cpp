#include "app/utils.h"

#include "app/log_file.h"
#include "app/records.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fstream>
#include <istream>

namespace {
const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a base64 character, or -1 for anything outside the alphabet.
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string base64_encode(const unsigned char* bytes, uint32_t len) {
  std::string out;
  out.reserve((static_cast<size_t>(len) + 2) / 3 * 4);
  uint32_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  const uint32_t rest = len - i;
  if (rest == 1) {
    const uint32_t v = bytes[i] << 16;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    const uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string base64_decode(const std::string& text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t group = 0;
  int have = 0;
  for (unsigned char c : text) {
    const int v = Base64Value(c);
    if (v < 0) break;  // '=' or a character outside the alphabet ends the text
    group = (group << 6) | static_cast<uint32_t>(v);
    if (++have == 4) {
      out += static_cast<char>((group >> 16) & 0xFF);
      out += static_cast<char>((group >> 8) & 0xFF);
      out += static_cast<char>(group & 0xFF);
      group = 0;
      have = 0;
    }
  }
  if (have == 2) {
    out += static_cast<char>((group >> 4) & 0xFF);
  } else if (have == 3) {
    out += static_cast<char>((group >> 10) & 0xFF);
    out += static_cast<char>((group >> 2) & 0xFF);
  }
  return out;
}

namespace Kest {

bool DecodeBase64Exact(const std::string& text, std::size_t size, std::string& out) {
  const std::size_t data = text.find('=') == std::string::npos ? text.size() : text.find('=');
  for (std::size_t i = 0; i < data; ++i) {
    if (Base64Value(static_cast<unsigned char>(text[i])) < 0) return false;
  }
  const std::size_t padding = text.size() - data;
  if (text.find_first_not_of('=', data) != std::string::npos) return false;
  if (padding > 2 || (padding > 0 && text.size() % 4 != 0)) return false;
  const std::size_t rest = data % 4;
  if (rest == 1) return false;
  if (data / 4 * 3 + (rest == 0 ? 0 : rest - 1) != size) return false;
  out = base64_decode(text);
  return out.size() == size;
}

namespace {
// Length of the well-formed UTF-8 sequence at `p` (of `left` bytes) that encodes a printable
// character; 0 when the bytes are not one, or encode a C1 control character.
std::size_t Utf8Printable(const unsigned char* p, std::size_t left) {
  std::size_t length = 0;
  uint32_t code = 0;
  uint32_t least = 0;
  if (p[0] >= 0xC2 && p[0] <= 0xDF) {
    length = 2;
    code = p[0] & 0x1Fu;
    least = 0xA0;  // U+0080..U+009F are the C1 controls
  } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
    length = 3;
    code = p[0] & 0x0Fu;
    least = 0x800;
  } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
    length = 4;
    code = p[0] & 0x07u;
    least = 0x10000;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (p[i] & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}
}  // namespace

std::string ToLower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string RateText(double hps) {
  char text[32];
  if (hps >= 1e6) {
    std::snprintf(text, sizeof(text), "%.2f MH/s", hps / 1e6);
  } else if (hps >= 1e3) {
    std::snprintf(text, sizeof(text), "%.2f kH/s", hps / 1e3);
  } else {
    std::snprintf(text, sizeof(text), "%.1f H/s", hps);
  }
  return text;
}

std::string DurationText(uint32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = bytes[i];
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const std::size_t length = c >= 0x80 ? Utf8Printable(bytes + i, text.size() - i) : 0;
    if (length > 0) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
    out += escaped;
    ++i;
  }
  return out;
}

RepeatPrinter::~RepeatPrinter() {
  std::string out;
  FlushLocked(out);
  if (!out.empty()) Kest::Print(out);
}

void RepeatPrinter::FlushLocked(std::string& out) {
  if (repeats_ == 0) return;
  out +=
      last_ + " (repeated " + std::to_string(repeats_) + (repeats_ == 1 ? " time)\n" : " times)\n");
  repeats_ = 0;
}

void RepeatPrinter::Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  std::string out;
  if (!has_last_ || line != last_) {
    FlushLocked(out);
    out += line + "\n";
    last_ = line;
    has_last_ = true;
    since_ = now;
  } else if (++repeats_ >= every_ || now - since_ >= interval_) {
    FlushLocked(out);
    since_ = now;
  }
  // Printed under the lock, so the summary of a run never follows a later line.
  if (!out.empty()) Kest::Print(out);
}

void RepeatPrinter::Tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (repeats_ == 0 || now - since_ < interval_) return;
  std::string out;
  FlushLocked(out);
  since_ = now;
  Kest::Print(out);
}

void SplitString(const std::string& text, const char* delims, std::vector<std::string>& out) {
  std::string::size_type start = 0;
  while (start < text.size()) {
    const auto end = text.find_first_of(delims, start);
    const auto stop = (end == std::string::npos) ? text.size() : end;
    if (stop > start) out.emplace_back(text, start, stop - start);
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

void eraseSubStr(std::string& text, const std::string& part) {
  if (part.empty()) return;
  const auto pos = text.find(part);
  if (pos != std::string::npos) text.erase(pos, part.size());
}

bool is_file_exist(const char* path) {
  std::ifstream f(path);
  return f.good();
}

std::string GetComputerName(const char* hostname_path) {
  if (!is_file_exist(hostname_path)) return "null";
  FILE* f = std::fopen(hostname_path, "r");
  if (f == nullptr) return "null";
  cfilebuf buf(f);
  std::istream in(&buf);
  std::string name;
  in >> name;
  std::fclose(f);
  return name;
}

std::string GetComputerName() {
  return GetComputerName("/etc/hostname");
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof(esc), "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

void Printf(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int len = std::vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  if (len < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(len) < sizeof(small)) {
    va_end(copy);
    Print(std::string(small, static_cast<size_t>(len)));
    return;
  }
  std::string big(static_cast<size_t>(len) + 1, '\0');
  std::vsnprintf(&big[0], big.size(), format, copy);
  va_end(copy);
  big.resize(static_cast<size_t>(len));
  Print(big);
}

void Print(const std::string& text) {
  // One lock over the console and the log file, so the file holds the lines in the console's
  // order. Never destroyed: threads may print while the process ends.
  static std::mutex* const console_mutex = new std::mutex;
  std::lock_guard<std::mutex> lock(*console_mutex);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  WriteToLogFile(text);
}

void mySleep(uint32_t ms) {
  if (ms == 0) return;
  timespec req{};
  req.tv_sec = ms / 1000;
  req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  nanosleep(&req, nullptr);  // an interrupted sleep is not resumed
}

std::size_t DecodeJob(uint8_t* work_record) {
  auto* w = reinterpret_cast<work*>(work_record);
  int32_t len = w->text_len;
  if (len < 0) len = 0;
  if (static_cast<std::size_t>(len) > kWorkTextMax) len = static_cast<int32_t>(kWorkTextMax);
  const std::size_t n = strnlen(w->text, static_cast<std::size_t>(len));
  const std::string bytes = base64_decode(std::string(w->text, n));
  const std::size_t count = bytes.size() < sizeof(w->decoded) ? bytes.size() : sizeof(w->decoded);
  std::memcpy(w->decoded, bytes.data(), count);
  return count;
}

}  // namespace Kest

cfilebuf::int_type cfilebuf::underflow() {
  const int c = std::fgetc(file_);
  if (c == EOF) return traits_type::eof();
  ch_ = static_cast<char>(c);
  setg(&ch_, &ch_, &ch_ + 1);
  return traits_type::to_int_type(ch_);
}
