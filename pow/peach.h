// Peach: the proof of work. A trailer is a solution for difficulty d when a walk of nine tiles
// through a 2^20-tile map, seeded by the trailer, ends in a final SHA-256 with at least d
// leading zero bits. Every tile is a pure function of its index and the previous-block hash,
// so the CPU check regenerates only the nine tiles a walk touches.
//
// Tile generation, the jump and the final test are shared with the device code (KEST_HD);
// `peach`, `varn_peach` and `peach_walk` are host-only (they need the haiku tables).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/records.h"
#include "pow/byteorder.h"
#include "pow/hd.h"
#include "pow/nighthash.h"
#include "pow/sha256.h"

constexpr uint32_t PEACH_TILE_LENGTH = 1024;
constexpr uint32_t PEACH_SEGMENT_LENGTH = 32;
constexpr uint32_t PEACH_SEGMENTS = PEACH_TILE_LENGTH / PEACH_SEGMENT_LENGTH;  // 32
constexpr uint32_t PEACH_TILE_COUNT = 1u << 20;
constexpr uint32_t PEACH_TILE_INDEX_MASK = PEACH_TILE_COUNT - 1;
constexpr uint64_t PEACH_MAP_SIZE = static_cast<uint64_t>(PEACH_TILE_COUNT) * PEACH_TILE_LENGTH;
#if defined(KEST_GPUSIM) && defined(KEST_GPUSIM_JUMPS)
// The cycle-level simulator's harness may walk fewer jumps over the same code, to fit its time.
constexpr uint32_t PEACH_JUMPS = KEST_GPUSIM_JUMPS;
#else
constexpr uint32_t PEACH_JUMPS = 8;
#endif
constexpr uint32_t PEACH_WALK_TILES = PEACH_JUMPS + 1;
constexpr uint32_t PEACH_HASH_BITS = 256;
constexpr uint32_t PEACH_HASH_LENGTH = 32;
constexpr uint32_t PEACH_PHASH_LENGTH = 32;
constexpr uint32_t PEACH_NONCE_LENGTH = 32;
constexpr uint32_t PEACH_HASHED_PREFIX = 124;  // trailer bytes 0..123 enter the first hash

namespace kest_pow {

constexpr uint32_t kIndexLength = 4;
constexpr uint32_t kTileSeedLength = kIndexLength + PEACH_PHASH_LENGTH;  // 36

// Builds tile `index` from the 32-byte previous-block hash into tile[0..1023]. When `algos` is
// not null, the algorithm type of each of the 32 nighthashes (seed, then segments 0..30) is
// recorded there.
KEST_HD KEST_SIM_INLINE void build_tile(uint8_t* tile, uint32_t index, const uint8_t* phash,
                                        uint8_t* algos) {
  uint8_t index_le[kIndexLength];
  store32_le(index_le, index);

  // Segment 0: nighthash of the transformed seed (index || previous-block hash).
  uint8_t seed[kTileSeedLength];
  memcpy(seed, index_le, kIndexLength);
  memcpy(seed + kIndexLength, phash, PEACH_PHASH_LENGTH);
  uint32_t algo = transform_select(seed, kTileSeedLength, index);
  if (algos != nullptr) algos[0] = static_cast<uint8_t>(algo);
  nighthash256_typed(algo, seed, kTileSeedLength, nullptr, 0, nullptr, 0, tile);

  // Segment k + 1: nighthash of segment k (rewritten in place) followed by the index.
  for (uint32_t k = 0; k + 1 < PEACH_SEGMENTS; ++k) {
    uint8_t* segment = tile + k * PEACH_SEGMENT_LENGTH;
    algo = transform_select(segment, PEACH_SEGMENT_LENGTH, index);
    if (algos != nullptr) algos[k + 1] = static_cast<uint8_t>(algo);
    nighthash256_typed(algo, segment, PEACH_SEGMENT_LENGTH, index_le, kIndexLength, nullptr, 0,
                       segment + PEACH_SEGMENT_LENGTH);
  }
}

// Start tile of a walk: the product of the 32 bytes of the first hash, low 20 bits.
KEST_HD inline uint32_t start_index(const uint8_t* first_hash) {
  uint32_t product = 1;
  for (uint32_t i = 0; i < PEACH_HASH_LENGTH; ++i) product *= first_hash[i];
  return product & PEACH_TILE_INDEX_MASK;
}

// F = SHA-256(first hash || last tile).
KEST_HD inline void final_hash(const uint8_t* first_hash, const uint8_t* tile, uint8_t* out) {
  SHA256_CTX ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, first_hash, PEACH_HASH_LENGTH);
  sha256_update(&ctx, tile, PEACH_TILE_LENGTH);
  sha256_final(&ctx, out);
}

// Leading zero bits of a 32-byte hash (256 for an all-zero hash).
KEST_HD inline uint32_t leading_zero_bits(const uint8_t* hash) {
  uint32_t zeros = 0;
  for (uint32_t i = 0; i < PEACH_HASH_LENGTH; ++i) {
    uint32_t b = hash[i];
    if (b == 0) {
      zeros += 8;
      continue;
    }
    while ((b & 0x80u) == 0) {
      ++zeros;
      b <<= 1;
    }
    break;
  }
  return zeros;
}

}  // namespace kest_pow

// Generates tile `index` (0..2^20-1) for the previous-block hash in bytes 0..31 of `bt`.
// With a null `map` the tile goes into the 1024-byte buffer *tile points at; otherwise it goes
// to map + index * 1024 and *tile (when `tile` is not null) is pointed there. An index out of
// range, a null trailer or no destination writes nothing.
KEST_HD inline void generate_tile(uint8_t** tile, int32_t index, const BTRAILER* bt, uint8_t* map) {
  if (bt == nullptr || index < 0 || static_cast<uint32_t>(index) >= PEACH_TILE_COUNT) return;
  uint8_t* dst;
  if (map != nullptr) {
    dst = map + static_cast<size_t>(index) * PEACH_TILE_LENGTH;
    if (tile != nullptr) *tile = dst;
  } else {
    if (tile == nullptr || *tile == nullptr) return;
    dst = *tile;
  }
  kest_pow::build_tile(dst, static_cast<uint32_t>(index), bt->phash, nullptr);
}

namespace kest_pow {

// The nighthash type of a jump from tile `index` with contents `tile` and the 32-byte `nonce`:
// the floating-point pass (seed mode: the data is not rewritten) over nonce || index || tile.
// The three parts are all whole 4-byte groups, so running the pass over them one after the
// other equals running it over the 1060-byte concatenation.
KEST_HD inline uint32_t jump_type(uint32_t index, const uint8_t* tile, const uint8_t* nonce) {
  uint8_t index_le[kIndexLength];
  store32_le(index_le, index);
  uint32_t op = fp_groups(nonce, nullptr, PEACH_NONCE_LENGTH, index, 0);
  op = fp_groups(index_le, nullptr, kIndexLength, index, op);
  op = fp_groups(tile, nullptr, PEACH_TILE_LENGTH, index, op);
  return op % NIGHTHASH_TYPE_COUNT;
}

// The target of a jump of type `Algo` (see jump_type): the nighthash of nonce || index || tile,
// its eight little-endian words summed, low 20 bits.
template <uint32_t Algo>
KEST_HD inline uint32_t jump_target(uint32_t index, const uint8_t* tile, const uint8_t* nonce) {
  uint8_t index_le[kIndexLength];
  store32_le(index_le, index);
  uint8_t hash[PEACH_HASH_LENGTH];
  nighthash256<Algo>(nonce, PEACH_NONCE_LENGTH, index_le, kIndexLength, tile, PEACH_TILE_LENGTH,
                     hash);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < PEACH_HASH_LENGTH; i += 4) sum += load32_le(hash + i);
  return sum & PEACH_TILE_INDEX_MASK;
}

}  // namespace kest_pow

// Next tile of the walk from tile `index` with contents `tile` and the 32-byte `nonce`: the
// nighthash (seed mode) of nonce || index || tile, its eight little-endian words summed, low 20
// bits.
KEST_HD KEST_SIM_INLINE uint32_t next_index(uint32_t index, const uint8_t* tile,
                                            const uint8_t* nonce) {
  using kest_pow::jump_target;
  switch (kest_pow::jump_type(index, tile, nonce)) {
    case NIGHTHASH_BLAKE2B_KEY0:
      return jump_target<NIGHTHASH_BLAKE2B_KEY0>(index, tile, nonce);
    case NIGHTHASH_BLAKE2B_KEY1:
      return jump_target<NIGHTHASH_BLAKE2B_KEY1>(index, tile, nonce);
    case NIGHTHASH_SHA1:
      return jump_target<NIGHTHASH_SHA1>(index, tile, nonce);
    case NIGHTHASH_SHA256:
      return jump_target<NIGHTHASH_SHA256>(index, tile, nonce);
    case NIGHTHASH_SHA3:
      return jump_target<NIGHTHASH_SHA3>(index, tile, nonce);
    case NIGHTHASH_KECCAK:
      return jump_target<NIGHTHASH_KECCAK>(index, tile, nonce);
    case NIGHTHASH_MD2:
      return jump_target<NIGHTHASH_MD2>(index, tile, nonce);
    default:
      return jump_target<NIGHTHASH_MD5>(index, tile, nonce);
  }
}

// 1 when SHA-256(first_hash || tile) has at least `difficulty` leading zero bits, else 0.
KEST_HD inline int is_solution(uint8_t difficulty, const uint8_t* tile, const uint8_t* first_hash) {
  uint8_t f[PEACH_HASH_LENGTH];
  kest_pow::final_hash(first_hash, tile, f);
  return kest_pow::leading_zero_bits(f) >= difficulty ? 1 : 0;
}

// Everything a walk computes, for inspection (plo-peach) and for tests.
struct PeachWalk {
  uint8_t first_hash[PEACH_HASH_LENGTH];  // H = SHA-256 of trailer bytes 0..123
  uint32_t tiles[PEACH_WALK_TILES];       // start tile, then the 8 jump targets
  uint8_t final_hash[PEACH_HASH_LENGTH];  // F = SHA-256(H || last tile)
  uint32_t zeros;                         // leading zero bits of F
};

// Runs the walk of `bt` without the haiku syntax check.
void peach_walk(const BTRAILER* bt, PeachWalk* walk);

// 0 when `bt` is a solution for difficulty (low 8 bits of) `difficulty`, 1 when it is not or
// when either haiku of its nonce fails the syntax check (then nothing is hashed). The third
// argument is ignored.
int peach(const BTRAILER* bt, uint32_t difficulty, void* unused);

// 0: not a solution for d1; 1: a solution for d1 but not for d2; 2: a solution for both.
int varn_peach(const BTRAILER* bt, uint32_t d1, uint32_t d2);

namespace kest_pow {

// jump_target<NIGHTHASH_MD2> for K candidates at once (md2_streams): next[k] is the target of
// the jump from tile index[k] with contents tile[k] and nonce nonce[k].
template <uint32_t K>
KEST_HD inline void md2_jump_targets(const uint32_t* index, const uint8_t* const* tile,
                                     const uint8_t* const* nonce, uint32_t* next) {
  uint8_t index_le[K][kIndexLength];
  uint8_t hash[K][MD2_DIGEST_SIZE];
  const uint8_t* index_parts[K];
  uint8_t* digests[K];
  for (uint32_t k = 0; k < K; ++k) {
    store32_le(index_le[k], index[k]);
    index_parts[k] = index_le[k];
    digests[k] = hash[k];
  }
  md2_streams<K>(nonce, PEACH_NONCE_LENGTH, index_parts, kIndexLength, tile, PEACH_TILE_LENGTH,
                 digests);
  // The nighthash digest is the MD2 digest zero-filled to 32 bytes: its upper words add 0.
  for (uint32_t k = 0; k < K; ++k) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < MD2_DIGEST_SIZE; i += 4) sum += load32_le(hash[k] + i);
    next[k] = sum & PEACH_TILE_INDEX_MASK;
  }
}

}  // namespace kest_pow
