// Reading a getwork pool's answer to a work poll. Kept apart from the HTTP client so it can be
// tested and fuzzed on its own: pool input is untrusted, and every refusal comes with a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Kest {

// Largest answer body the getwork client reads; a longer one is refused unread.
constexpr std::size_t kGetworkMaxAnswer = 64 * 1024;

struct GetworkAnswer {
  enum Kind { kNoWork, kJob, kRefused };
  Kind kind = kRefused;
  // kJob: the job text and the two numbers as the pool sent them.
  std::string broot;
  int32_t diff = 0;
  int32_t nblock = 0;
  // kRefused: why, as one printable line (no control characters, bounded length).
  std::string reason;
};

// The answer body "{\"error\" : 2}" (byte for byte) means the pool has no work. Any other body
// must be a JSON object (RFC 8259) whose members "broot" is a string and "diff" and "nblock" are
// integers within the signed 32-bit range; other members are ignored, and of a repeated member
// the last one counts. Anything else is refused.
GetworkAnswer ParseGetworkAnswer(const std::string& body);

// Pool-supplied text made safe to print with Kest::Printable (control characters made visible);
// text longer than `max_bytes` is cut there and "..." appended.
std::string GetworkPrintable(const std::string& text, std::size_t max_bytes);

}  // namespace Kest
