// MD2 (RFC 1319), incremental.
//
// MD2 is the slow family: each 16-byte block costs 18 x 48 dependent S-table look-ups, so the
// compression loop keeps exactly one load and one XOR on that dependency chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pow/byteorder.h"
#include "pow/hd.h"
#include "pow/tables.h"

constexpr uint32_t MD2_BLOCK_SIZE = 16;
constexpr uint32_t MD2_DIGEST_SIZE = 16;

struct MD2_CTX {
  uint8_t data[16];      // block buffer
  uint8_t state[48];     // X: the 48-byte state
  uint8_t checksum[16];  // running checksum C
  int32_t len;           // fill count of the buffer
};

namespace kest_pow {

constexpr uint32_t kMd2Rounds = 18;
constexpr uint32_t kMd2StateSize = 48;

// Mixes one block into the 48-byte state (RFC 1319, 3.4). The state is held as six 64-bit
// words so that each step's old byte is extracted ahead of time and the dependency chain is
// just the S-table load and one XOR; the new bytes are gathered off that chain.
KEST_HD KEST_BLOCKFN void md2_compress(uint8_t state[48], const uint8_t* block) {
  constexpr uint32_t kWords = kMd2StateSize / 8;
  uint8_t x[kMd2StateSize];
  KEST_UNROLL for (uint32_t j = 0; j < MD2_BLOCK_SIZE; ++j) {
    x[j] = state[j];
    x[MD2_BLOCK_SIZE + j] = block[j];
    x[2 * MD2_BLOCK_SIZE + j] = static_cast<uint8_t>(block[j] ^ state[j]);
  }
  uint64_t w[kWords];
  KEST_UNROLL for (uint32_t g = 0; g < kWords; ++g) w[g] = load64_le(x + 8 * g);
  uint32_t t = 0;
  for (uint32_t round = 0; round < kMd2Rounds; ++round) {
    KEST_UNROLL for (uint32_t g = 0; g < kWords; ++g) {
      const uint64_t old = w[g];
      uint64_t fresh = 0;
      KEST_UNROLL for (uint32_t b = 0; b < 8; ++b) {
        t = KEST_MD2_S[t] ^ static_cast<uint32_t>((old >> (8 * b)) & 0xffu);  // X[k] ^= S[t]
        fresh |= static_cast<uint64_t>(t) << (8 * b);
      }
      w[g] = fresh;
    }
    t = (t + round) & 0xffu;
  }
  KEST_UNROLL for (uint32_t g = 0; g < kWords; ++g) store64_le(state + 8 * g, w[g]);
}

// Folds one block into the checksum (RFC 1319, 3.2, with the published erratum: C[j] is
// XORed with the S-table value, not overwritten). L carries over as the previous C[15].
KEST_HD inline void md2_checksum(uint8_t checksum[16], const uint8_t* block) {
  uint32_t l = checksum[MD2_BLOCK_SIZE - 1];
  KEST_UNROLL for (uint32_t j = 0; j < MD2_BLOCK_SIZE; ++j) {
    l = checksum[j] ^ KEST_MD2_S[block[j] ^ l];
    checksum[j] = static_cast<uint8_t>(l);
  }
}

KEST_HD inline void md2_transform(MD2_CTX* ctx, const uint8_t* block) {
  md2_checksum(ctx->checksum, block);
  md2_compress(ctx->state, block);
}

}  // namespace kest_pow

KEST_HD inline void md2_init(MD2_CTX* ctx) {
  memset(ctx->state, 0, sizeof ctx->state);
  memset(ctx->checksum, 0, sizeof ctx->checksum);
  ctx->len = 0;
}

KEST_HD inline void md2_update(MD2_CTX* ctx, const void* data, size_t len) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  if (ctx->len > 0) {
    const size_t room = MD2_BLOCK_SIZE - static_cast<uint32_t>(ctx->len);
    const size_t take = len < room ? len : room;
    memcpy(ctx->data + ctx->len, in, take);
    ctx->len += static_cast<int32_t>(take);
    in += take;
    len -= take;
    if (ctx->len < static_cast<int32_t>(MD2_BLOCK_SIZE)) return;
    kest_pow::md2_transform(ctx, ctx->data);
    ctx->len = 0;
  }
  while (len >= MD2_BLOCK_SIZE) {
    kest_pow::md2_transform(ctx, in);
    in += MD2_BLOCK_SIZE;
    len -= MD2_BLOCK_SIZE;
  }
  if (len > 0) {
    memcpy(ctx->data, in, len);
    ctx->len = static_cast<int32_t>(len);
  }
}

// Pads with n bytes of value n (1..16), mixes in the checksum block and writes 16 bytes.
KEST_HD inline void md2_final(MD2_CTX* ctx, void* digest) {
  const uint32_t pad = MD2_BLOCK_SIZE - static_cast<uint32_t>(ctx->len);
  memset(ctx->data + ctx->len, static_cast<int>(pad), pad);
  kest_pow::md2_transform(ctx, ctx->data);
  kest_pow::md2_compress(ctx->state, ctx->checksum);
  memcpy(digest, ctx->state, MD2_DIGEST_SIZE);
}

namespace kest_pow {

// K independent compressions in one loop, interleaved byte by byte: one compression is a single
// chain of dependent table look-ups, and a CPU overlaps K of them. Equals md2_compress on each
// (state[k], block[k]).
template <uint32_t K>
KEST_HD inline void md2_compress_streams(uint8_t* const* state, const uint8_t* const* block) {
  constexpr uint32_t kWords = kMd2StateSize / 8;
  uint64_t w[K][kWords];
  uint32_t t[K];
  for (uint32_t k = 0; k < K; ++k) {
    uint8_t x[kMd2StateSize];
    for (uint32_t j = 0; j < MD2_BLOCK_SIZE; ++j) {
      x[j] = state[k][j];
      x[MD2_BLOCK_SIZE + j] = block[k][j];
      x[2 * MD2_BLOCK_SIZE + j] = static_cast<uint8_t>(block[k][j] ^ state[k][j]);
    }
    for (uint32_t g = 0; g < kWords; ++g) w[k][g] = load64_le(x + 8 * g);
    t[k] = 0;
  }
  for (uint32_t round = 0; round < kMd2Rounds; ++round) {
    KEST_UNROLL for (uint32_t g = 0; g < kWords; ++g) {
      uint64_t fresh[K] = {};
      KEST_UNROLL for (uint32_t b = 0; b < 8; ++b) {
        KEST_UNROLL for (uint32_t k = 0; k < K; ++k) {
          t[k] = KEST_MD2_S[t[k]] ^ static_cast<uint32_t>((w[k][g] >> (8 * b)) & 0xffu);
          fresh[k] |= static_cast<uint64_t>(t[k]) << (8 * b);
        }
      }
      for (uint32_t k = 0; k < K; ++k) w[k][g] = fresh[k];
    }
    for (uint32_t k = 0; k < K; ++k) t[k] = (t[k] + round) & 0xffu;
  }
  for (uint32_t k = 0; k < K; ++k) {
    for (uint32_t g = 0; g < kWords; ++g) store64_le(state[k] + 8 * g, w[k][g]);
  }
}

// MD2 of a[k] || b[k] || c[k] for K streams whose parts have the same lengths in every stream
// (so their blocks line up), 16 bytes into digest[k]. Equals md2_init, the three md2_updates
// and md2_final on each stream.
template <uint32_t K>
KEST_HD inline void md2_streams(const uint8_t* const* a, uint32_t alen, const uint8_t* const* b,
                                uint32_t blen, const uint8_t* const* c, uint32_t clen,
                                uint8_t* const* digest) {
  uint8_t state[K][kMd2StateSize] = {};
  uint8_t checksum[K][MD2_BLOCK_SIZE] = {};
  uint8_t buffer[K][MD2_BLOCK_SIZE];
  uint8_t* states[K];
  const uint8_t* blocks[K];
  for (uint32_t k = 0; k < K; ++k) states[k] = state[k];
  const uint32_t total = alen + blen + clen;
  const uint8_t pad = static_cast<uint8_t>(MD2_BLOCK_SIZE - total % MD2_BLOCK_SIZE);
  const uint32_t count = total / MD2_BLOCK_SIZE + 1;  // the last block holds the padding
  for (uint32_t j = 0; j < count; ++j) {
    const uint32_t begin = j * MD2_BLOCK_SIZE;
    const uint32_t end = begin + MD2_BLOCK_SIZE;
    for (uint32_t k = 0; k < K; ++k) {
      if (end <= alen) {
        blocks[k] = a[k] + begin;
      } else if (begin >= alen && end <= alen + blen) {
        blocks[k] = b[k] + (begin - alen);
      } else if (begin >= alen + blen && end <= total) {
        blocks[k] = c[k] + (begin - alen - blen);
      } else {
        for (uint32_t i = 0; i < MD2_BLOCK_SIZE; ++i) {
          const uint32_t at = begin + i;
          buffer[k][i] = at < alen          ? a[k][at]
                         : at < alen + blen ? b[k][at - alen]
                         : at < total       ? c[k][at - alen - blen]
                                            : pad;
        }
        blocks[k] = buffer[k];
      }
      md2_checksum(checksum[k], blocks[k]);
    }
    md2_compress_streams<K>(states, blocks);
  }
  for (uint32_t k = 0; k < K; ++k) blocks[k] = checksum[k];
  md2_compress_streams<K>(states, blocks);
  for (uint32_t k = 0; k < K; ++k) memcpy(digest[k], state[k], MD2_DIGEST_SIZE);
}

}  // namespace kest_pow
