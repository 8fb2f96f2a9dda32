// Keccak-f[1600] sponge: SHA3-256 and friends (FIPS 202) and the pre-standard Keccak padding.
// The two differ only in the first padding byte: 0x06 for SHA-3 (domain bits 01, then pad10*1),
// 0x01 for plain Keccak (pad10*1 alone).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/byteorder.h"
#include "pow/hd.h"
#include "pow/tables.h"

constexpr uint32_t KECCAK_STATE_LANES = 25;
constexpr uint32_t KECCAK_QUEUE_SIZE = 192;
constexpr uint32_t KECCAK_MIN_DIGEST_BITS = 32;   // keeps the rate within the 192-byte queue
constexpr uint32_t KECCAK_MAX_DIGEST_BITS = 512;  // keeps the digest within one squeeze

struct keccak_ctx_t {
  uint8_t sha3_flag;       // 1: SHA-3 domain padding, 0: plain Keccak
  uint32_t digestbitlen;   // digest length in bits
  uint64_t rate_bits;      // 1600 - 2 * digest bits
  uint64_t rate_bytes;     // rate_bits / 8
  uint64_t absorb_round;   // rate_bits / 64: whole lanes per block
  uint64_t state[25];      // the 5 x 5 lanes, lane (x, y) at x + 5y
  uint8_t q[192];          // partial block
  uint64_t bits_in_queue;  // fill of q, in bits (always a multiple of 8)
};

namespace kest_pow {

constexpr uint32_t kKeccakWidthBits = 1600;
constexpr uint8_t kKeccakPad = 0x01;
constexpr uint8_t kSha3Pad = 0x06;
constexpr uint8_t kKeccakPadLast = 0x80;

// Keccak-f[1600] (FIPS 202, 3.3 and 3.4): 24 rounds of theta, rho, pi, chi and iota.
KEST_HD KEST_BLOCKFN void keccak_permutations(uint64_t* a) {
  uint64_t b[25];
  for (int round = 0; round < kKeccakRounds; ++round) {
    const uint64_t c0 = a[0] ^ a[5] ^ a[10] ^ a[15] ^ a[20];
    const uint64_t c1 = a[1] ^ a[6] ^ a[11] ^ a[16] ^ a[21];
    const uint64_t c2 = a[2] ^ a[7] ^ a[12] ^ a[17] ^ a[22];
    const uint64_t c3 = a[3] ^ a[8] ^ a[13] ^ a[18] ^ a[23];
    const uint64_t c4 = a[4] ^ a[9] ^ a[14] ^ a[19] ^ a[24];
    const uint64_t d0 = c4 ^ rotl64(c1, 1);
    const uint64_t d1 = c0 ^ rotl64(c2, 1);
    const uint64_t d2 = c1 ^ rotl64(c3, 1);
    const uint64_t d3 = c2 ^ rotl64(c4, 1);
    const uint64_t d4 = c3 ^ rotl64(c0, 1);
    // theta applied, then rho (rotation) and pi (lane permutation) into b
    b[0] = a[0] ^ d0;
    b[1] = rotl64(a[6] ^ d1, 44);
    b[2] = rotl64(a[12] ^ d2, 43);
    b[3] = rotl64(a[18] ^ d3, 21);
    b[4] = rotl64(a[24] ^ d4, 14);
    b[5] = rotl64(a[3] ^ d3, 28);
    b[6] = rotl64(a[9] ^ d4, 20);
    b[7] = rotl64(a[10] ^ d0, 3);
    b[8] = rotl64(a[16] ^ d1, 45);
    b[9] = rotl64(a[22] ^ d2, 61);
    b[10] = rotl64(a[1] ^ d1, 1);
    b[11] = rotl64(a[7] ^ d2, 6);
    b[12] = rotl64(a[13] ^ d3, 25);
    b[13] = rotl64(a[19] ^ d4, 8);
    b[14] = rotl64(a[20] ^ d0, 18);
    b[15] = rotl64(a[4] ^ d4, 27);
    b[16] = rotl64(a[5] ^ d0, 36);
    b[17] = rotl64(a[11] ^ d1, 10);
    b[18] = rotl64(a[17] ^ d2, 15);
    b[19] = rotl64(a[23] ^ d3, 56);
    b[20] = rotl64(a[2] ^ d2, 62);
    b[21] = rotl64(a[8] ^ d3, 55);
    b[22] = rotl64(a[14] ^ d4, 39);
    b[23] = rotl64(a[15] ^ d0, 41);
    b[24] = rotl64(a[21] ^ d1, 2);
    // chi
    KEST_UNROLL for (int y = 0; y < 25; y += 5) {
      a[y + 0] = b[y + 0] ^ (~b[y + 1] & b[y + 2]);
      a[y + 1] = b[y + 1] ^ (~b[y + 2] & b[y + 3]);
      a[y + 2] = b[y + 2] ^ (~b[y + 3] & b[y + 4]);
      a[y + 3] = b[y + 3] ^ (~b[y + 4] & b[y + 0]);
      a[y + 4] = b[y + 4] ^ (~b[y + 0] & b[y + 1]);
    }
    // iota
    a[0] ^= KEST_KECCAK_RC[round];
  }
}

// XORs one rate-sized block into the state and permutes.
KEST_HD inline void keccak_absorb(keccak_ctx_t* ctx, const uint8_t* block) {
  const uint32_t lanes = static_cast<uint32_t>(ctx->absorb_round);
  for (uint32_t i = 0; i < lanes; ++i) ctx->state[i] ^= load64_le(block + 8 * i);
  // A rate that is not a whole number of lanes (never for the standard digest sizes).
  for (uint32_t j = 8 * lanes; j < ctx->rate_bytes; ++j) {
    ctx->state[j / 8] ^= static_cast<uint64_t>(block[j]) << (8 * (j % 8));
  }
  keccak_permutations(ctx->state);
}

// Applies the padding to the queued partial block and absorbs it.
KEST_HD inline void keccak_pad(keccak_ctx_t* ctx) {
  const uint32_t rate = static_cast<uint32_t>(ctx->rate_bytes);
  const uint32_t n = static_cast<uint32_t>(ctx->bits_in_queue / 8);
  memset(ctx->q + n, 0, rate - n);
  ctx->q[n] = ctx->sha3_flag ? kSha3Pad : kKeccakPad;
  ctx->q[rate - 1] |= kKeccakPadLast;
  keccak_absorb(ctx, ctx->q);
  ctx->bits_in_queue = 0;
}

// Writes the first `len` bytes of the state (little-endian lanes); len never exceeds the rate.
KEST_HD inline void keccak_extract(const keccak_ctx_t* ctx, uint8_t* out, uint32_t len) {
  uint8_t word[8];
  for (uint32_t i = 0; i < len; i += 8) {
    store64_le(word, ctx->state[i / 8]);
    const uint32_t n = len - i < 8 ? len - i : 8;
    memcpy(out + i, word, n);
  }
}

KEST_HD inline void keccak_setup(keccak_ctx_t* ctx, uint32_t digestbitlen, uint8_t sha3_flag) {
  if (digestbitlen < KECCAK_MIN_DIGEST_BITS) digestbitlen = KECCAK_MIN_DIGEST_BITS;
  if (digestbitlen > KECCAK_MAX_DIGEST_BITS) digestbitlen = KECCAK_MAX_DIGEST_BITS;
  ctx->sha3_flag = sha3_flag;
  ctx->digestbitlen = digestbitlen;
  ctx->rate_bits = kKeccakWidthBits - 2 * digestbitlen;
  ctx->rate_bytes = ctx->rate_bits / 8;
  ctx->absorb_round = ctx->rate_bits / 64;
  memset(ctx->state, 0, sizeof ctx->state);
  ctx->bits_in_queue = 0;
}

}  // namespace kest_pow

// Plain Keccak with a `digestbitlen`-bit digest (clamped to 32..512; 256 gives Keccak-256).
KEST_HD inline void keccak_init(keccak_ctx_t* ctx, uint32_t digestbitlen) {
  kest_pow::keccak_setup(ctx, digestbitlen, 0);
}

// SHA-3 with a `digestbitlen`-bit digest (clamped to 32..512; 256 gives SHA3-256).
KEST_HD inline void keccak_sha3_init(keccak_ctx_t* ctx, uint32_t digestbitlen) {
  kest_pow::keccak_setup(ctx, digestbitlen, 1);
}

KEST_HD inline void keccak_update(keccak_ctx_t* ctx, const void* data, size_t len) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  const size_t rate = static_cast<size_t>(ctx->rate_bytes);
  size_t queued = static_cast<size_t>(ctx->bits_in_queue / 8);
  if (queued > 0) {
    const size_t take = len < rate - queued ? len : rate - queued;
    memcpy(ctx->q + queued, in, take);
    queued += take;
    in += take;
    len -= take;
    if (queued < rate) {
      ctx->bits_in_queue = 8 * queued;
      return;
    }
    kest_pow::keccak_absorb(ctx, ctx->q);
    queued = 0;
  }
  while (len >= rate) {
    kest_pow::keccak_absorb(ctx, in);
    in += rate;
    len -= rate;
  }
  if (len > 0) memcpy(ctx->q, in, len);
  ctx->bits_in_queue = 8 * len;
}

// Pads and writes digestbitlen / 8 bytes.
KEST_HD inline void keccak_final(keccak_ctx_t* ctx, void* digest) {
  kest_pow::keccak_pad(ctx);
  kest_pow::keccak_extract(ctx, static_cast<uint8_t*>(digest), ctx->digestbitlen / 8);
}
