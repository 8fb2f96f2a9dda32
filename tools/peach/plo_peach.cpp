// plo-peach: shows why a block trailer is or is not a proof-of-work solution.
//
//   plo-peach <trailer as 320 hex digits> <difficulty>
//
// prints the frame check of both haikus, the first hash, the nine tiles of the walk, the final
// hash, its leading zero bits and the verdict of `peach` for the difficulty. The walk is shown
// even when a haiku fails the frame check (then `peach` itself hashes nothing and says 1).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/records.h"
#include "pow/haiku.h"
#include "pow/peach.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr size_t kTrailerHexDigits = 2 * sizeof(BTRAILER);

int Usage() {
  std::fprintf(stderr, "usage: plo-peach <trailer as %zu hex digits> <difficulty 0..4294967295>\n",
               kTrailerHexDigits);
  return kUsageStatus;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseTrailer(const char* text, BTRAILER* bt) {
  if (std::strlen(text) != kTrailerHexDigits) return false;
  uint8_t* out = reinterpret_cast<uint8_t*>(bt);
  for (size_t i = 0; i < sizeof(BTRAILER); ++i) {
    const int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

// A decimal number 0..2^32-1 and nothing else (no sign, no spaces).
bool ParseDifficulty(const char* text, uint32_t* difficulty) {
  if (text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) return false;
  *difficulty = static_cast<uint32_t>(value);
  return true;
}

void PrintHex(const char* label, const uint8_t* bytes, size_t n) {
  std::printf("%s ", label);
  for (size_t i = 0; i < n; ++i) std::printf("%02x", bytes[i]);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  BTRAILER bt;
  uint32_t difficulty = 0;
  if (argc != 3 || !ParseTrailer(argv[1], &bt) || !ParseDifficulty(argv[2], &difficulty)) {
    return Usage();
  }

  PeachWalk walk;
  peach_walk(&bt, &walk);

  std::printf("syntax %d %d\n", fast_trigg_syntax(bt.nonce),
              fast_trigg_syntax(bt.nonce + HAIKU_LENGTH));
  PrintHex("H", walk.first_hash, sizeof walk.first_hash);
  std::printf("tiles");
  for (uint32_t t : walk.tiles) std::printf(" %u", t);
  std::printf("\n");
  PrintHex("F", walk.final_hash, sizeof walk.final_hash);
  std::printf("zeros %u\n", walk.zeros);
  std::printf("result %d\n", peach(&bt, difficulty, nullptr));
  return 0;
}
