// Argument readers shared by the command-line tools: a block trailer as hex digits and a plain
// decimal number within bounds.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/records.h"

namespace Kest::tools {

constexpr std::size_t kTrailerHexDigits = 2 * sizeof(BTRAILER);

inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly kTrailerHexDigits hex digits (either case) into `bt`; false otherwise.
inline bool ParseTrailer(const char* text, BTRAILER* bt) {
  if (std::strlen(text) != kTrailerHexDigits) return false;
  uint8_t* out = reinterpret_cast<uint8_t*>(bt);
  for (std::size_t i = 0; i < sizeof(BTRAILER); ++i) {
    const int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

// A decimal number min..max and nothing else (no sign, no spaces).
inline bool ParseNumber(const char* text, uint64_t min, uint64_t max, uint64_t* value) {
  if (text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *value = v;
  return true;
}

}  // namespace Kest::tools
