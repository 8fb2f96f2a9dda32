// Host side of the proof of work: the full walk and the solution check.
//
// The working tile lives on the stack: 1 KiB is small next to the nighthash context the tile
// code already keeps there, and it leaves the check without an allocation that could fail.
#include "pow/peach.h"

#include "pow/haiku.h"

namespace {

bool haikus_pass(const BTRAILER* bt) {
  return fast_trigg_syntax(bt->nonce) == 1 && fast_trigg_syntax(bt->nonce + HAIKU_LENGTH) == 1;
}

// Computes H and walks the nine tiles; leaves the last tile in `tile`.
void walk_tiles(const BTRAILER* bt, uint8_t* first_hash, uint32_t* tiles, uint8_t* tile) {
  sha256(bt, static_cast<int32_t>(PEACH_HASHED_PREFIX), first_hash);
  uint32_t index = kest_pow::start_index(first_hash);
  const uint8_t* phash = bt->phash;
  kest_pow::build_tile(tile, index, phash, nullptr);
  if (tiles != nullptr) tiles[0] = index;
  for (uint32_t jump = 1; jump <= PEACH_JUMPS; ++jump) {
    index = next_index(index, tile, bt->nonce);
    kest_pow::build_tile(tile, index, phash, nullptr);
    if (tiles != nullptr) tiles[jump] = index;
  }
}

uint32_t walk_zeros(const BTRAILER* bt) {
  uint8_t first_hash[PEACH_HASH_LENGTH];
  uint8_t tile[PEACH_TILE_LENGTH];
  walk_tiles(bt, first_hash, nullptr, tile);
  uint8_t f[PEACH_HASH_LENGTH];
  kest_pow::final_hash(first_hash, tile, f);
  return kest_pow::leading_zero_bits(f);
}

constexpr uint32_t kDifficultyMask = 0xff;

}  // namespace

void peach_walk(const BTRAILER* bt, PeachWalk* walk) {
  if (bt == nullptr || walk == nullptr) return;
  uint8_t tile[PEACH_TILE_LENGTH];
  walk_tiles(bt, walk->first_hash, walk->tiles, tile);
  kest_pow::final_hash(walk->first_hash, tile, walk->final_hash);
  walk->zeros = kest_pow::leading_zero_bits(walk->final_hash);
}

int peach(const BTRAILER* bt, uint32_t difficulty, void* /*unused*/) {
  if (bt == nullptr || !haikus_pass(bt)) return 1;
  uint8_t first_hash[PEACH_HASH_LENGTH];
  uint8_t tile[PEACH_TILE_LENGTH];
  walk_tiles(bt, first_hash, nullptr, tile);
  const uint8_t d = static_cast<uint8_t>(difficulty & kDifficultyMask);
  return is_solution(d, tile, first_hash) ? 0 : 1;
}

int varn_peach(const BTRAILER* bt, uint32_t d1, uint32_t d2) {
  if (bt == nullptr || !haikus_pass(bt)) return 0;
  // One walk serves both difficulties: the verdicts depend only on its zero count.
  const uint32_t zeros = walk_zeros(bt);
  if (zeros < (d1 & kDifficultyMask)) return 0;
  if (zeros < (d2 & kDifficultyMask)) return 1;
  return 2;
}
