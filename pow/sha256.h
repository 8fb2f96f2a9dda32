// SHA-256 (FIPS 180-4): incremental context and one-shot form.
//
// The context doubles as a host-to-device format: the miner hashes trailer bytes 0..107 on the
// host and copies the whole 112-byte record into device constant memory, where the search
// kernel continues from it. Its layout is therefore fixed (see the static_asserts below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/byteorder.h"
#include "pow/hd.h"
#include "pow/tables.h"

constexpr uint32_t SHA256_BLOCK_SIZE = 64;
constexpr uint32_t SHA256_DIGEST_SIZE = 32;

struct SHA256_CTX {
  uint8_t data[64];   // block buffer; bytes past `datalen` are don't-care
  uint32_t datalen;   // fill count of the buffer
  uint64_t bitlen;    // bits compressed so far (advanced by 512 per block)
  uint32_t state[8];  // chaining state
};

static_assert(sizeof(SHA256_CTX) == 112, "the SHA-256 context image is 112 bytes");
static_assert(offsetof(SHA256_CTX, data) == 0, "block buffer at 0");
static_assert(offsetof(SHA256_CTX, datalen) == 64, "fill count at 64");
static_assert(offsetof(SHA256_CTX, bitlen) == 72, "bit count at 72");
static_assert(offsetof(SHA256_CTX, state) == 80, "state at 80");

namespace kest_pow {

KEST_HD KEST_FORCEINLINE uint32_t sha256_ch(uint32_t x, uint32_t y, uint32_t z) {
  return (x & y) ^ (~x & z);
}
KEST_HD KEST_FORCEINLINE uint32_t sha256_maj(uint32_t x, uint32_t y, uint32_t z) {
  return (x & y) ^ (x & z) ^ (y & z);
}
KEST_HD KEST_FORCEINLINE uint32_t sha256_ep0(uint32_t x) {
  return rotr32(x, 2) ^ rotr32(x, 13) ^ rotr32(x, 22);
}
KEST_HD KEST_FORCEINLINE uint32_t sha256_ep1(uint32_t x) {
  return rotr32(x, 6) ^ rotr32(x, 11) ^ rotr32(x, 25);
}
KEST_HD KEST_FORCEINLINE uint32_t sha256_sig0(uint32_t x) {
  return rotr32(x, 7) ^ rotr32(x, 18) ^ (x >> 3);
}
KEST_HD KEST_FORCEINLINE uint32_t sha256_sig1(uint32_t x) {
  return rotr32(x, 17) ^ rotr32(x, 19) ^ (x >> 10);
}

// Compresses one 64-byte block into `state`.
template <bool Aligned>
KEST_HD KEST_BLOCKFN void sha256_block(uint32_t state[8], const uint8_t* block) {
  uint32_t m[64];
  load_words_be<16, Aligned>(m, block);
  KEST_UNROLL for (int i = 16; i < 64; ++i) {
    m[i] = sha256_sig1(m[i - 2]) + m[i - 7] + sha256_sig0(m[i - 15]) + m[i - 16];
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  KEST_UNROLL for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + sha256_ep1(e) + sha256_ch(e, f, g) + KEST_SHA256_K[i] + m[i];
    const uint32_t t2 = sha256_ep0(a) + sha256_maj(a, b, c);
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

// sha256_block for a block at any address: word loads where it is word-aligned.
KEST_HD KEST_FORCEINLINE void sha256_transform(uint32_t state[8], const uint8_t* block) {
  if (word_aligned(block)) {
    sha256_block<true>(state, block);
  } else {
    sha256_block<false>(state, block);
  }
}

}  // namespace kest_pow

KEST_HD inline void sha256_init(SHA256_CTX* ctx) {
  memset(ctx, 0, sizeof *ctx);  // also clears the alignment gap, so the image is deterministic
  ctx->state[0] = 0x6a09e667u;
  ctx->state[1] = 0xbb67ae85u;
  ctx->state[2] = 0x3c6ef372u;
  ctx->state[3] = 0xa54ff53au;
  ctx->state[4] = 0x510e527fu;
  ctx->state[5] = 0x9b05688cu;
  ctx->state[6] = 0x1f83d9abu;
  ctx->state[7] = 0x5be0cd19u;
}

// Feeds `len` bytes. Whole blocks are compressed straight from the input when the buffer is
// empty; everything else goes through the context's own block buffer.
KEST_HD inline void sha256_update(SHA256_CTX* ctx, const void* data, size_t len) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  if (ctx->datalen > 0) {
    const size_t room = SHA256_BLOCK_SIZE - ctx->datalen;
    const size_t take = len < room ? len : room;
    memcpy(ctx->data + ctx->datalen, in, take);
    ctx->datalen += static_cast<uint32_t>(take);
    in += take;
    len -= take;
    if (ctx->datalen < SHA256_BLOCK_SIZE) return;
    kest_pow::sha256_transform(ctx->state, ctx->data);
    ctx->bitlen += 8 * SHA256_BLOCK_SIZE;
    ctx->datalen = 0;
  }
  while (len >= SHA256_BLOCK_SIZE) {
    kest_pow::sha256_transform(ctx->state, in);
    ctx->bitlen += 8 * SHA256_BLOCK_SIZE;
    in += SHA256_BLOCK_SIZE;
    len -= SHA256_BLOCK_SIZE;
  }
  if (len > 0) {
    memcpy(ctx->data, in, len);
    ctx->datalen = static_cast<uint32_t>(len);
  }
}

// Pads, compresses the last block(s) and writes the 32-byte digest.
KEST_HD inline void sha256_final(SHA256_CTX* ctx, void* digest) {
  constexpr uint32_t kLengthOffset = SHA256_BLOCK_SIZE - 8;
  const uint64_t total_bits = ctx->bitlen + 8ull * ctx->datalen;
  uint32_t n = ctx->datalen;
  ctx->data[n++] = 0x80;
  if (n > kLengthOffset) {
    memset(ctx->data + n, 0, SHA256_BLOCK_SIZE - n);
    kest_pow::sha256_transform(ctx->state, ctx->data);
    n = 0;
  }
  memset(ctx->data + n, 0, kLengthOffset - n);
  kest_pow::store64_be(ctx->data + kLengthOffset, total_bits);
  kest_pow::sha256_transform(ctx->state, ctx->data);
  uint8_t* out = static_cast<uint8_t*>(digest);
  for (int i = 0; i < 8; ++i) kest_pow::store32_be(out + 4 * i, ctx->state[i]);
}

// One-shot SHA-256 of `inlen` bytes; a negative length hashes nothing (the empty message).
KEST_HD inline void sha256(const void* in, int32_t inlen, void* out) {
  SHA256_CTX ctx;
  sha256_init(&ctx);
  if (inlen > 0) sha256_update(&ctx, in, static_cast<size_t>(inlen));
  sha256_final(&ctx, out);
}
