// SHA-1 (FIPS 180-4), incremental.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/byteorder.h"
#include "pow/hd.h"

constexpr uint32_t SHA1_BLOCK_SIZE = 64;
constexpr uint32_t SHA1_DIGEST_SIZE = 20;

struct SHA1_CTX {
  uint8_t data[64];   // block buffer
  uint32_t datalen;   // fill count of the buffer
  uint64_t bitlen;    // bits compressed so far
  uint32_t state[5];  // chaining state
  uint32_t k[4];      // round constants, set by sha1_init and read by the block function
};

namespace kest_pow {

// Compresses one 64-byte block into the context's state.
template <bool Aligned>
KEST_HD KEST_BLOCKFN void sha1_block(SHA1_CTX* ctx, const uint8_t* block) {
  uint32_t m[80];
  load_words_be<16, Aligned>(m, block);
  KEST_UNROLL for (int i = 16; i < 80; ++i) {
    m[i] = rotl32(m[i - 3] ^ m[i - 8] ^ m[i - 14] ^ m[i - 16], 1);
  }
  uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2];
  uint32_t d = ctx->state[3], e = ctx->state[4];
  const uint32_t k0 = ctx->k[0], k1 = ctx->k[1], k2 = ctx->k[2], k3 = ctx->k[3];
  KEST_UNROLL for (int i = 0; i < 20; ++i) {
    const uint32_t t = rotl32(a, 5) + ((b & c) ^ (~b & d)) + e + k0 + m[i];
    e = d;
    d = c;
    c = rotl32(b, 30);
    b = a;
    a = t;
  }
  KEST_UNROLL for (int i = 20; i < 40; ++i) {
    const uint32_t t = rotl32(a, 5) + (b ^ c ^ d) + e + k1 + m[i];
    e = d;
    d = c;
    c = rotl32(b, 30);
    b = a;
    a = t;
  }
  KEST_UNROLL for (int i = 40; i < 60; ++i) {
    const uint32_t t = rotl32(a, 5) + ((b & c) ^ (b & d) ^ (c & d)) + e + k2 + m[i];
    e = d;
    d = c;
    c = rotl32(b, 30);
    b = a;
    a = t;
  }
  KEST_UNROLL for (int i = 60; i < 80; ++i) {
    const uint32_t t = rotl32(a, 5) + (b ^ c ^ d) + e + k3 + m[i];
    e = d;
    d = c;
    c = rotl32(b, 30);
    b = a;
    a = t;
  }
  ctx->state[0] += a;
  ctx->state[1] += b;
  ctx->state[2] += c;
  ctx->state[3] += d;
  ctx->state[4] += e;
}

// sha1_block for a block at any address: word loads where it is word-aligned.
KEST_HD KEST_FORCEINLINE void sha1_transform(SHA1_CTX* ctx, const uint8_t* block) {
  if (word_aligned(block)) {
    sha1_block<true>(ctx, block);
  } else {
    sha1_block<false>(ctx, block);
  }
}

}  // namespace kest_pow

KEST_HD inline void sha1_init(SHA1_CTX* ctx) {
  ctx->datalen = 0;
  ctx->bitlen = 0;
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xefcdab89u;
  ctx->state[2] = 0x98badcfeu;
  ctx->state[3] = 0x10325476u;
  ctx->state[4] = 0xc3d2e1f0u;
  ctx->k[0] = 0x5a827999u;
  ctx->k[1] = 0x6ed9eba1u;
  ctx->k[2] = 0x8f1bbcdcu;
  ctx->k[3] = 0xca62c1d6u;
}

KEST_HD inline void sha1_update(SHA1_CTX* ctx, const void* data, size_t len) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  if (ctx->datalen > 0) {
    const size_t room = SHA1_BLOCK_SIZE - ctx->datalen;
    const size_t take = len < room ? len : room;
    memcpy(ctx->data + ctx->datalen, in, take);
    ctx->datalen += static_cast<uint32_t>(take);
    in += take;
    len -= take;
    if (ctx->datalen < SHA1_BLOCK_SIZE) return;
    kest_pow::sha1_transform(ctx, ctx->data);
    ctx->bitlen += 8 * SHA1_BLOCK_SIZE;
    ctx->datalen = 0;
  }
  while (len >= SHA1_BLOCK_SIZE) {
    kest_pow::sha1_transform(ctx, in);
    ctx->bitlen += 8 * SHA1_BLOCK_SIZE;
    in += SHA1_BLOCK_SIZE;
    len -= SHA1_BLOCK_SIZE;
  }
  if (len > 0) {
    memcpy(ctx->data, in, len);
    ctx->datalen = static_cast<uint32_t>(len);
  }
}

// Pads and writes the 20-byte digest.
KEST_HD inline void sha1_final(SHA1_CTX* ctx, void* digest) {
  constexpr uint32_t kLengthOffset = SHA1_BLOCK_SIZE - 8;
  const uint64_t total_bits = ctx->bitlen + 8ull * ctx->datalen;
  uint32_t n = ctx->datalen;
  ctx->data[n++] = 0x80;
  if (n > kLengthOffset) {
    memset(ctx->data + n, 0, SHA1_BLOCK_SIZE - n);
    kest_pow::sha1_transform(ctx, ctx->data);
    n = 0;
  }
  memset(ctx->data + n, 0, kLengthOffset - n);
  kest_pow::store64_be(ctx->data + kLengthOffset, total_bits);
  kest_pow::sha1_transform(ctx, ctx->data);
  uint8_t* out = static_cast<uint8_t*>(digest);
  for (int i = 0; i < 5; ++i) kest_pow::store32_be(out + 4 * i, ctx->state[i]);
}
