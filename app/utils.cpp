#include "app/utils.h"

#include "app/records.h"

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
  // One stdio call holds the stream's lock for the whole text.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
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
