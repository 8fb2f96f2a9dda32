// MD5 (RFC 1321), incremental. Length and output words are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/byteorder.h"
#include "pow/hd.h"

constexpr uint32_t MD5_BLOCK_SIZE = 64;
constexpr uint32_t MD5_DIGEST_SIZE = 16;

struct MD5_CTX {
  uint8_t data[64];   // block buffer
  uint32_t datalen;   // fill count of the buffer
  uint64_t bitlen;    // bits compressed so far
  uint32_t state[4];  // chaining state
};

namespace kest_pow {

KEST_HD KEST_FORCEINLINE uint32_t md5_step(uint32_t f, uint32_t a, uint32_t b, uint32_t m,
                                           uint32_t t, unsigned r) {
  return b + rotl32(a + f + m + t, r);
}

// Compresses one 64-byte block into `st` (RFC 1321, 3.4; T[i] = floor(2^32 |sin(i)|)).
template <bool Aligned>
KEST_HD KEST_BLOCKFN void md5_block(uint32_t st[4], const uint8_t* block) {
  uint32_t m[16];
  load_words_le<16, Aligned>(m, block);
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
#define KEST_MD5_F(x, y, z) (((x) & (y)) | (~(x) & (z)))
#define KEST_MD5_G(x, y, z) (((x) & (z)) | ((y) & ~(z)))
#define KEST_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define KEST_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define KEST_MD5_STEP(fn, a, b, c, d, k, t, r) a = md5_step(fn(b, c, d), a, b, m[k], t, r)
  KEST_MD5_STEP(KEST_MD5_F, a, b, c, d, 0, 0xd76aa478u, 7);
  KEST_MD5_STEP(KEST_MD5_F, d, a, b, c, 1, 0xe8c7b756u, 12);
  KEST_MD5_STEP(KEST_MD5_F, c, d, a, b, 2, 0x242070dbu, 17);
  KEST_MD5_STEP(KEST_MD5_F, b, c, d, a, 3, 0xc1bdceeeu, 22);
  KEST_MD5_STEP(KEST_MD5_F, a, b, c, d, 4, 0xf57c0fafu, 7);
  KEST_MD5_STEP(KEST_MD5_F, d, a, b, c, 5, 0x4787c62au, 12);
  KEST_MD5_STEP(KEST_MD5_F, c, d, a, b, 6, 0xa8304613u, 17);
  KEST_MD5_STEP(KEST_MD5_F, b, c, d, a, 7, 0xfd469501u, 22);
  KEST_MD5_STEP(KEST_MD5_F, a, b, c, d, 8, 0x698098d8u, 7);
  KEST_MD5_STEP(KEST_MD5_F, d, a, b, c, 9, 0x8b44f7afu, 12);
  KEST_MD5_STEP(KEST_MD5_F, c, d, a, b, 10, 0xffff5bb1u, 17);
  KEST_MD5_STEP(KEST_MD5_F, b, c, d, a, 11, 0x895cd7beu, 22);
  KEST_MD5_STEP(KEST_MD5_F, a, b, c, d, 12, 0x6b901122u, 7);
  KEST_MD5_STEP(KEST_MD5_F, d, a, b, c, 13, 0xfd987193u, 12);
  KEST_MD5_STEP(KEST_MD5_F, c, d, a, b, 14, 0xa679438eu, 17);
  KEST_MD5_STEP(KEST_MD5_F, b, c, d, a, 15, 0x49b40821u, 22);

  KEST_MD5_STEP(KEST_MD5_G, a, b, c, d, 1, 0xf61e2562u, 5);
  KEST_MD5_STEP(KEST_MD5_G, d, a, b, c, 6, 0xc040b340u, 9);
  KEST_MD5_STEP(KEST_MD5_G, c, d, a, b, 11, 0x265e5a51u, 14);
  KEST_MD5_STEP(KEST_MD5_G, b, c, d, a, 0, 0xe9b6c7aau, 20);
  KEST_MD5_STEP(KEST_MD5_G, a, b, c, d, 5, 0xd62f105du, 5);
  KEST_MD5_STEP(KEST_MD5_G, d, a, b, c, 10, 0x02441453u, 9);
  KEST_MD5_STEP(KEST_MD5_G, c, d, a, b, 15, 0xd8a1e681u, 14);
  KEST_MD5_STEP(KEST_MD5_G, b, c, d, a, 4, 0xe7d3fbc8u, 20);
  KEST_MD5_STEP(KEST_MD5_G, a, b, c, d, 9, 0x21e1cde6u, 5);
  KEST_MD5_STEP(KEST_MD5_G, d, a, b, c, 14, 0xc33707d6u, 9);
  KEST_MD5_STEP(KEST_MD5_G, c, d, a, b, 3, 0xf4d50d87u, 14);
  KEST_MD5_STEP(KEST_MD5_G, b, c, d, a, 8, 0x455a14edu, 20);
  KEST_MD5_STEP(KEST_MD5_G, a, b, c, d, 13, 0xa9e3e905u, 5);
  KEST_MD5_STEP(KEST_MD5_G, d, a, b, c, 2, 0xfcefa3f8u, 9);
  KEST_MD5_STEP(KEST_MD5_G, c, d, a, b, 7, 0x676f02d9u, 14);
  KEST_MD5_STEP(KEST_MD5_G, b, c, d, a, 12, 0x8d2a4c8au, 20);

  KEST_MD5_STEP(KEST_MD5_H, a, b, c, d, 5, 0xfffa3942u, 4);
  KEST_MD5_STEP(KEST_MD5_H, d, a, b, c, 8, 0x8771f681u, 11);
  KEST_MD5_STEP(KEST_MD5_H, c, d, a, b, 11, 0x6d9d6122u, 16);
  KEST_MD5_STEP(KEST_MD5_H, b, c, d, a, 14, 0xfde5380cu, 23);
  KEST_MD5_STEP(KEST_MD5_H, a, b, c, d, 1, 0xa4beea44u, 4);
  KEST_MD5_STEP(KEST_MD5_H, d, a, b, c, 4, 0x4bdecfa9u, 11);
  KEST_MD5_STEP(KEST_MD5_H, c, d, a, b, 7, 0xf6bb4b60u, 16);
  KEST_MD5_STEP(KEST_MD5_H, b, c, d, a, 10, 0xbebfbc70u, 23);
  KEST_MD5_STEP(KEST_MD5_H, a, b, c, d, 13, 0x289b7ec6u, 4);
  KEST_MD5_STEP(KEST_MD5_H, d, a, b, c, 0, 0xeaa127fau, 11);
  KEST_MD5_STEP(KEST_MD5_H, c, d, a, b, 3, 0xd4ef3085u, 16);
  KEST_MD5_STEP(KEST_MD5_H, b, c, d, a, 6, 0x04881d05u, 23);
  KEST_MD5_STEP(KEST_MD5_H, a, b, c, d, 9, 0xd9d4d039u, 4);
  KEST_MD5_STEP(KEST_MD5_H, d, a, b, c, 12, 0xe6db99e5u, 11);
  KEST_MD5_STEP(KEST_MD5_H, c, d, a, b, 15, 0x1fa27cf8u, 16);
  KEST_MD5_STEP(KEST_MD5_H, b, c, d, a, 2, 0xc4ac5665u, 23);

  KEST_MD5_STEP(KEST_MD5_I, a, b, c, d, 0, 0xf4292244u, 6);
  KEST_MD5_STEP(KEST_MD5_I, d, a, b, c, 7, 0x432aff97u, 10);
  KEST_MD5_STEP(KEST_MD5_I, c, d, a, b, 14, 0xab9423a7u, 15);
  KEST_MD5_STEP(KEST_MD5_I, b, c, d, a, 5, 0xfc93a039u, 21);
  KEST_MD5_STEP(KEST_MD5_I, a, b, c, d, 12, 0x655b59c3u, 6);
  KEST_MD5_STEP(KEST_MD5_I, d, a, b, c, 3, 0x8f0ccc92u, 10);
  KEST_MD5_STEP(KEST_MD5_I, c, d, a, b, 10, 0xffeff47du, 15);
  KEST_MD5_STEP(KEST_MD5_I, b, c, d, a, 1, 0x85845dd1u, 21);
  KEST_MD5_STEP(KEST_MD5_I, a, b, c, d, 8, 0x6fa87e4fu, 6);
  KEST_MD5_STEP(KEST_MD5_I, d, a, b, c, 15, 0xfe2ce6e0u, 10);
  KEST_MD5_STEP(KEST_MD5_I, c, d, a, b, 6, 0xa3014314u, 15);
  KEST_MD5_STEP(KEST_MD5_I, b, c, d, a, 13, 0x4e0811a1u, 21);
  KEST_MD5_STEP(KEST_MD5_I, a, b, c, d, 4, 0xf7537e82u, 6);
  KEST_MD5_STEP(KEST_MD5_I, d, a, b, c, 11, 0xbd3af235u, 10);
  KEST_MD5_STEP(KEST_MD5_I, c, d, a, b, 2, 0x2ad7d2bbu, 15);
  KEST_MD5_STEP(KEST_MD5_I, b, c, d, a, 9, 0xeb86d391u, 21);
#undef KEST_MD5_STEP
#undef KEST_MD5_I
#undef KEST_MD5_H
#undef KEST_MD5_G
#undef KEST_MD5_F
  st[0] += a;
  st[1] += b;
  st[2] += c;
  st[3] += d;
}

// md5_block for a block at any address: word loads where it is word-aligned.
KEST_HD KEST_FORCEINLINE void md5_transform(uint32_t st[4], const uint8_t* block) {
  if (word_aligned(block)) {
    md5_block<true>(st, block);
  } else {
    md5_block<false>(st, block);
  }
}

}  // namespace kest_pow

KEST_HD inline void md5_init(MD5_CTX* ctx) {
  ctx->datalen = 0;
  ctx->bitlen = 0;
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xefcdab89u;
  ctx->state[2] = 0x98badcfeu;
  ctx->state[3] = 0x10325476u;
}

KEST_HD inline void md5_update(MD5_CTX* ctx, const void* data, size_t len) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  if (ctx->datalen > 0) {
    const size_t room = MD5_BLOCK_SIZE - ctx->datalen;
    const size_t take = len < room ? len : room;
    memcpy(ctx->data + ctx->datalen, in, take);
    ctx->datalen += static_cast<uint32_t>(take);
    in += take;
    len -= take;
    if (ctx->datalen < MD5_BLOCK_SIZE) return;
    kest_pow::md5_transform(ctx->state, ctx->data);
    ctx->bitlen += 8 * MD5_BLOCK_SIZE;
    ctx->datalen = 0;
  }
  while (len >= MD5_BLOCK_SIZE) {
    kest_pow::md5_transform(ctx->state, in);
    ctx->bitlen += 8 * MD5_BLOCK_SIZE;
    in += MD5_BLOCK_SIZE;
    len -= MD5_BLOCK_SIZE;
  }
  if (len > 0) {
    memcpy(ctx->data, in, len);
    ctx->datalen = static_cast<uint32_t>(len);
  }
}

// Pads and writes the 16-byte digest.
KEST_HD inline void md5_final(MD5_CTX* ctx, void* digest) {
  constexpr uint32_t kLengthOffset = MD5_BLOCK_SIZE - 8;
  const uint64_t total_bits = ctx->bitlen + 8ull * ctx->datalen;
  uint32_t n = ctx->datalen;
  ctx->data[n++] = 0x80;
  if (n > kLengthOffset) {
    memset(ctx->data + n, 0, MD5_BLOCK_SIZE - n);
    kest_pow::md5_transform(ctx->state, ctx->data);
    n = 0;
  }
  memset(ctx->data + n, 0, kLengthOffset - n);
  kest_pow::store64_le(ctx->data + kLengthOffset, total_bits);
  kest_pow::md5_transform(ctx->state, ctx->data);
  uint8_t* out = static_cast<uint8_t*>(digest);
  for (int i = 0; i < 4; ++i) kest_pow::store32_le(out + 4 * i, ctx->state[i]);
}
