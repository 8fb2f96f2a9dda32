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
