// BLAKE2b (RFC 7693), keyed mode, incremental.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/byteorder.h"
#include "pow/hd.h"
#include "pow/tables.h"

constexpr uint32_t BLAKE2B_BLOCK_SIZE = 128;
constexpr uint32_t BLAKE2B_MAX_KEY_SIZE = 64;
constexpr uint32_t BLAKE2B_MAX_DIGEST_SIZE = 64;

struct blake2b_ctx_t {
  uint32_t digestlen;  // digest length in bytes
  const uint8_t* key;  // key bytes; set only while blake2b_init runs, null afterwards
  uint32_t keylen;     // key length in bytes
  uint8_t buff[128];   // block buffer
  uint64_t chain[8];   // chaining value h
  uint64_t state[16];  // working vector v (kept for the record layout; see blake2b_compress)
  uint32_t pos;        // fill count of the buffer
  uint64_t t0;         // byte counter, low word
  uint64_t t1;         // byte counter, high word
  uint64_t f0;         // final-block flag: all ones when finishing
};

namespace kest_pow {

KEST_HD KEST_FORCEINLINE void blake2b_g(uint64_t v[16], int a, int b, int c, int d, uint64_t x,
                                        uint64_t y) {
  v[a] = v[a] + v[b] + x;
  v[d] = rotr64(v[d] ^ v[a], 32);
  v[c] = v[c] + v[d];
  v[b] = rotr64(v[b] ^ v[c], 24);
  v[a] = v[a] + v[b] + y;
  v[d] = rotr64(v[d] ^ v[a], 16);
  v[c] = v[c] + v[d];
  v[b] = rotr64(v[b] ^ v[c], 63);
}

// Compresses the buffered block into the chaining value (RFC 7693, 3.2). The working vector
// lives in locals (registers), not in the context.
KEST_HD KEST_BLOCKFN void blake2b_compress(blake2b_ctx_t* ctx) {
  uint64_t m[16];
  uint64_t v[16];
  KEST_UNROLL for (int i = 0; i < 16; ++i) m[i] = load64_le(ctx->buff + 8 * i);
  KEST_UNROLL for (int i = 0; i < 8; ++i) {
    v[i] = ctx->chain[i];
    v[i + 8] = KEST_BLAKE2B_IV[i];
  }
  v[12] ^= ctx->t0;
  v[13] ^= ctx->t1;
  v[14] ^= ctx->f0;
  KEST_UNROLL for (int r = 0; r < kBlake2bRounds; ++r) {
    blake2b_g(v, 0, 4, 8, 12, m[KEST_BLAKE2B_SIGMA[r][0]], m[KEST_BLAKE2B_SIGMA[r][1]]);
    blake2b_g(v, 1, 5, 9, 13, m[KEST_BLAKE2B_SIGMA[r][2]], m[KEST_BLAKE2B_SIGMA[r][3]]);
    blake2b_g(v, 2, 6, 10, 14, m[KEST_BLAKE2B_SIGMA[r][4]], m[KEST_BLAKE2B_SIGMA[r][5]]);
    blake2b_g(v, 3, 7, 11, 15, m[KEST_BLAKE2B_SIGMA[r][6]], m[KEST_BLAKE2B_SIGMA[r][7]]);
    blake2b_g(v, 0, 5, 10, 15, m[KEST_BLAKE2B_SIGMA[r][8]], m[KEST_BLAKE2B_SIGMA[r][9]]);
    blake2b_g(v, 1, 6, 11, 12, m[KEST_BLAKE2B_SIGMA[r][10]], m[KEST_BLAKE2B_SIGMA[r][11]]);
    blake2b_g(v, 2, 7, 8, 13, m[KEST_BLAKE2B_SIGMA[r][12]], m[KEST_BLAKE2B_SIGMA[r][13]]);
    blake2b_g(v, 3, 4, 9, 14, m[KEST_BLAKE2B_SIGMA[r][14]], m[KEST_BLAKE2B_SIGMA[r][15]]);
  }
  KEST_UNROLL for (int i = 0; i < 8; ++i) ctx->chain[i] ^= v[i] ^ v[i + 8];
}

KEST_HD KEST_FORCEINLINE void blake2b_count(blake2b_ctx_t* ctx, uint64_t bytes) {
  ctx->t0 += bytes;
  if (ctx->t0 < bytes) ++ctx->t1;
}

}  // namespace kest_pow

// Starts a BLAKE2b of `digestbitlen` / 8 bytes (clamped to 1..64) keyed with `keylen` bytes of
// `key` (clamped to 64). The key, zero-padded to a full block, becomes the first buffered
// block. A zero key length or a null key gives unkeyed BLAKE2b.
KEST_HD inline void blake2b_init(blake2b_ctx_t* ctx, const void* key, uint32_t keylen,
                                 uint32_t digestbitlen) {
  uint32_t outlen = digestbitlen / 8;
  if (outlen < 1) outlen = 1;
  if (outlen > BLAKE2B_MAX_DIGEST_SIZE) outlen = BLAKE2B_MAX_DIGEST_SIZE;
  if (key == nullptr) keylen = 0;
  if (keylen > BLAKE2B_MAX_KEY_SIZE) keylen = BLAKE2B_MAX_KEY_SIZE;

  ctx->digestlen = outlen;
  ctx->key = static_cast<const uint8_t*>(key);
  ctx->keylen = keylen;
  for (int i = 0; i < 8; ++i) ctx->chain[i] = KEST_BLAKE2B_IV[i];
  // Parameter block word 0: digest length, key length, fanout 1, depth 1.
  ctx->chain[0] ^= outlen | (keylen << 8) | (1u << 16) | (1u << 24);
  ctx->t0 = 0;
  ctx->t1 = 0;
  ctx->f0 = 0;
  memset(ctx->buff, 0, sizeof ctx->buff);
  ctx->pos = 0;
  if (keylen > 0) {
    memcpy(ctx->buff, ctx->key, keylen);
    ctx->pos = BLAKE2B_BLOCK_SIZE;
  }
  ctx->key = nullptr;
}

// Feeds `len` bytes. The last block, even a full one, stays buffered for blake2b_final.
KEST_HD inline void blake2b_update(blake2b_ctx_t* ctx, const void* data, size_t len) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  while (len > 0) {
    if (ctx->pos == BLAKE2B_BLOCK_SIZE) {
      kest_pow::blake2b_count(ctx, BLAKE2B_BLOCK_SIZE);
      kest_pow::blake2b_compress(ctx);
      ctx->pos = 0;
    }
    const size_t room = BLAKE2B_BLOCK_SIZE - ctx->pos;
    const size_t take = len < room ? len : room;
    memcpy(ctx->buff + ctx->pos, in, take);
    ctx->pos += static_cast<uint32_t>(take);
    in += take;
    len -= take;
  }
}

// Finishes the hash and writes `digestlen` bytes.
KEST_HD inline void blake2b_final(blake2b_ctx_t* ctx, void* digest) {
  kest_pow::blake2b_count(ctx, ctx->pos);
  memset(ctx->buff + ctx->pos, 0, BLAKE2B_BLOCK_SIZE - ctx->pos);
  ctx->f0 = ~0ull;
  kest_pow::blake2b_compress(ctx);
  uint8_t word[8];
  uint8_t* out = static_cast<uint8_t*>(digest);
  for (uint32_t i = 0; i < ctx->digestlen; i += 8) {
    kest_pow::store64_le(word, ctx->chain[i / 8]);
    const uint32_t n = ctx->digestlen - i < 8 ? ctx->digestlen - i : 8;
    memcpy(out + i, word, n);
  }
}
