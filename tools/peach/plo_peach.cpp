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
#include "tools/tool_args.h"

namespace {

constexpr int kUsageStatus = 2;
using Kest::tools::kTrailerHexDigits;
using Kest::tools::ParseTrailer;

int Usage() {
  std::fprintf(stderr, "usage: plo-peach <trailer as %zu hex digits> <difficulty 0..4294967295>\n",
               kTrailerHexDigits);
  return kUsageStatus;
}

// A decimal number 0..2^32-1 and nothing else (no sign, no spaces).
bool ParseDifficulty(const char* text, uint32_t* difficulty) {
  uint64_t value = 0;
  if (!Kest::tools::ParseNumber(text, 0, UINT32_MAX, &value)) return false;
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
