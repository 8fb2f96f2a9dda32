// Nighthash: a data-dependent hash. A pass of single-precision arithmetic over the input
// (fp_operation) and eight rounds of whole-buffer byte operations (bitbyte_transform) feed a
// running selector, whose low three bits then pick one of eight hash variants.
#pragma once

#include <cstdint>
#include <cstring>

#include "pow/blake2b.h"
#include "pow/byteorder.h"
#include "pow/fp.h"
#include "pow/hd.h"
#include "pow/keccak.h"
#include "pow/md2.h"
#include "pow/md5.h"
#include "pow/sha1.h"
#include "pow/sha256.h"

// Host builds on x86-64 batch the floating-point pass with SSE2 (see fp_groups_x4).
#if defined(__SSE2__) && !defined(__CUDA_ARCH__)
#include <emmintrin.h>
#define KEST_FP_SSE2 1
#endif

// Algorithm types: the selector value modulo 8.
constexpr uint32_t NIGHTHASH_BLAKE2B_KEY0 = 0;  // BLAKE2b keyed with 32 bytes of 0x00
constexpr uint32_t NIGHTHASH_BLAKE2B_KEY1 = 1;  // BLAKE2b keyed with 64 bytes of 0x01
constexpr uint32_t NIGHTHASH_SHA1 = 2;
constexpr uint32_t NIGHTHASH_SHA256 = 3;
constexpr uint32_t NIGHTHASH_SHA3 = 4;    // SHA3-256 (SHA-3 padding)
constexpr uint32_t NIGHTHASH_KECCAK = 5;  // Keccak-256 (pre-standard padding)
constexpr uint32_t NIGHTHASH_MD2 = 6;
constexpr uint32_t NIGHTHASH_MD5 = 7;
constexpr uint32_t NIGHTHASH_TYPE_COUNT = 8;

struct nighthash_ctx_t {
  uint32_t digestlen;  // output length in bytes (32 or 64)
  uint32_t algo_type;  // 0..7, see above
  blake2b_ctx_t blake2b;
  SHA1_CTX sha1;
  SHA256_CTX sha256;
  keccak_ctx_t sha3;
  keccak_ctx_t keccak;
  MD2_CTX md2;
  MD5_CTX md5;
};

namespace kest_pow {

constexpr uint32_t kFpGroup = 4;
constexpr uint32_t kBitbyteRounds = 8;
constexpr uint32_t kBlake2bKey0Length = 32;
constexpr uint8_t kBlake2bKey0Byte = 0x00;
constexpr uint32_t kBlake2bKey1Length = 64;
constexpr uint8_t kBlake2bKey1Byte = 0x01;

// Byte selectors of fp_operation, by s = p0 mod 8, packed two bits per s (bits 2s..2s+1):
//   s         0  1  2  3  4  5  6  7
//   c +=      p1 p3 p0 p0 p3 p2 p1 p2
//   operand   p2 p1 p2 p1 p0 p0 p1 p1
//   sign of   p3 p2 p3 p2 p1 p1 p3 p3
constexpr uint32_t kFpAddSelect = 0x9b0d;
constexpr uint32_t kFpOperandSelect = 0x5066;
constexpr uint32_t kFpSignSelect = 0xf5bb;

KEST_HD KEST_FORCEINLINE uint32_t fp_pick_byte(uint32_t group, uint32_t table, uint32_t s) {
  const uint32_t which = (table >> (2 * s)) & 3u;
  return (group >> (8 * which)) & 0xffu;
}

KEST_HD KEST_FORCEINLINE float fp_apply(uint32_t c, float x, float operand) {
  switch (c & 3u) {
    case 0:
      return fadd_rn(x, operand);
    case 1:
      return fsub_rn(x, operand);
    case 2:
      return fmul_rn(x, operand);
    default:
      return fdiv_rn(x, operand);
  }
}

// fp_groups_scalar over groups that may be read and written a word at a time (Aligned) or not.
template <bool Aligned>
KEST_HD KEST_FORCEINLINE uint32_t fp_groups_loop(const uint8_t* src, uint8_t* dst, uint32_t len,
                                                 uint32_t index, uint32_t c) {
  const uint32_t whole = len & ~(kFpGroup - 1);
  for (uint32_t i = 0; i < whole; i += kFpGroup) {
    const uint32_t group = Aligned ? load32_le_word(src + i) : load32_le(src + i);
    const uint32_t s = group & 7u;
    c += fp_pick_byte(group, kFpAddSelect, s);
    const uint32_t operand_byte = fp_pick_byte(group, kFpOperandSelect, s);
    const uint32_t sign = fp_pick_byte(group, kFpSignSelect, s) & 1u;
    const float operand = i2f_rn(static_cast<int32_t>(operand_byte | (sign << 31)));
    const float x = f32_bits_is_nan(group) ? u2f_rn(index) : f32_from_bits(group);
    uint32_t r = f32_bits(fp_apply(c, x, operand));
    if (f32_bits_is_nan(r)) r = f32_bits(u2f_rn(index));
    if (dst != nullptr) {
      if (Aligned) {
        store32_le_word(dst + i, r);
      } else {
        store32_le(dst + i, r);
      }
    }
    c += (r & 0xffu) + ((r >> 8) & 0xffu) + ((r >> 16) & 0xffu) + (r >> 24);
  }
  return c;
}

// fp_operation over `len` bytes of `src`, starting from selector `c`; writes each result group
// to `dst` when it is not null (dst may equal src). Returns the final selector.
KEST_HD inline uint32_t fp_groups_scalar(const uint8_t* src, uint8_t* dst, uint32_t len,
                                         uint32_t index, uint32_t c) {
  if (word_aligned(src) && (dst == nullptr || word_aligned(dst))) {
    return fp_groups_loop<true>(src, dst, len, index, c);
  }
  return fp_groups_loop<false>(src, dst, len, index, c);
}

#if defined(KEST_FP_SSE2)
// NaN encodings replaced by `substitute`, in each of four lanes.
KEST_FORCEINLINE __m128i fp_replace_nan_x4(__m128i bits, __m128i substitute) {
  const __m128i magnitude = _mm_and_si128(bits, _mm_set1_epi32(0x7fffffff));
  const __m128i nan =
      _mm_cmpgt_epi32(magnitude, _mm_set1_epi32(static_cast<int32_t>(kF32ExponentMask)));
  return _mm_or_si128(_mm_and_si128(nan, substitute), _mm_andnot_si128(nan, bits));
}

// Sum of the four bytes of each lane.
KEST_FORCEINLINE __m128i fp_byte_sums_x4(__m128i r) {
  const __m128i low = _mm_set1_epi32(0x00ff00ff);
  const __m128i pairs =
      _mm_add_epi32(_mm_and_si128(r, low), _mm_and_si128(_mm_srli_epi32(r, 8), low));
  return _mm_add_epi32(_mm_and_si128(pairs, _mm_set1_epi32(0xffff)), _mm_srli_epi32(pairs, 16));
}

// Host form of fp_groups, four groups at a time. Which operation a group gets depends on the
// selector left by the group before, so the scalar loop mispredicts that branch most of the
// time; here all four candidates (sum, difference, product, quotient) of four groups come
// from packed SSE arithmetic, which rounds exactly like the scalar operations (same MXCSR:
// round to nearest even, subnormals kept), and only the selector chain stays scalar.
inline uint32_t fp_groups_x4(const uint8_t* src, uint8_t* dst, uint32_t len, uint32_t index,
                             uint32_t c) {
  constexpr uint32_t kLanes = 4;
  constexpr uint32_t kOps = 4;
  const uint32_t batched = len & ~(kFpGroup * kLanes - 1);
  const __m128i substitute = _mm_set1_epi32(static_cast<int32_t>(f32_bits(u2f_rn(index))));
  uint32_t i = 0;
  for (; i < batched; i += kFpGroup * kLanes) {
    uint32_t add[kLanes];
    alignas(16) int32_t operand_int[kLanes];
    for (uint32_t lane = 0; lane < kLanes; ++lane) {
      const uint32_t group = load32_le(src + i + kFpGroup * lane);
      const uint32_t s = group & 7u;
      add[lane] = fp_pick_byte(group, kFpAddSelect, s);
      const uint32_t sign = fp_pick_byte(group, kFpSignSelect, s) & 1u;
      operand_int[lane] =
          static_cast<int32_t>(fp_pick_byte(group, kFpOperandSelect, s) | (sign << 31));
    }
    // All four groups are read before any is written (dst may equal src).
    const __m128 operand =
        _mm_cvtepi32_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(operand_int)));
    const __m128i groups = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128 x = _mm_castsi128_ps(fp_replace_nan_x4(groups, substitute));
    const __m128 candidates[kOps] = {_mm_add_ps(x, operand), _mm_sub_ps(x, operand),
                                     _mm_mul_ps(x, operand), _mm_div_ps(x, operand)};
    alignas(16) uint32_t result[kOps][kLanes];
    alignas(16) uint32_t sum[kOps][kLanes];
    for (uint32_t k = 0; k < kOps; ++k) {
      const __m128i r = fp_replace_nan_x4(_mm_castps_si128(candidates[k]), substitute);
      _mm_store_si128(reinterpret_cast<__m128i*>(result[k]), r);
      _mm_store_si128(reinterpret_cast<__m128i*>(sum[k]), fp_byte_sums_x4(r));
    }
    for (uint32_t lane = 0; lane < kLanes; ++lane) {
      c += add[lane];
      const uint32_t k = c & 3u;
      if (dst != nullptr) store32_le(dst + i + kFpGroup * lane, result[k][lane]);
      c += sum[k][lane];
    }
  }
  return fp_groups_scalar(src + i, dst == nullptr ? nullptr : dst + i, len - i, index, c);
}
#endif

// fp_operation over `len` bytes of `src` (see fp_groups_scalar).
KEST_HD KEST_FORCEINLINE uint32_t fp_groups(const uint8_t* src, uint8_t* dst, uint32_t len,
                                            uint32_t index, uint32_t c) {
#if defined(KEST_FP_SSE2)
  return fp_groups_x4(src, dst, len, index, c);
#else
  return fp_groups_scalar(src, dst, len, index, c);
#endif
}

// Host builds print the invalid-type message; device code has no console.
#if defined(__CUDA_ARCH__)
KEST_HD KEST_FORCEINLINE void nighthash_invalid_type(uint32_t) {}
#else
void nighthash_report_invalid_type(uint32_t type);  // nighthash.cpp
KEST_HD KEST_FORCEINLINE void nighthash_invalid_type(uint32_t type) {
  nighthash_report_invalid_type(type);
}
#endif

}  // namespace kest_pow

// Runs the floating-point pass over the whole 4-byte groups of data[0..len). The selector *op
// is read and updated; with `transform` non-zero each group is replaced by its result.
KEST_HD inline void fp_operation(uint8_t* data, uint32_t len, uint32_t index, uint32_t* op,
                                 uint8_t transform) {
  *op = kest_pow::fp_groups(data, transform ? data : nullptr, len, index, *op);
}

namespace kest_pow {

// Applies byte operation `selector` mod 8 of round `round` to data[0..len).
KEST_HD inline void bitbyte_round(uint8_t* data, uint32_t len, uint32_t round, uint32_t selector) {
  const uint32_t half = len / 2;
  switch (selector & 7u) {
    case 0:
      for (uint32_t j = 0; j < len; ++j) data[j] ^= 0x81u;
      break;
    case 1:  // swap halves; with an odd length the last byte stays
      for (uint32_t j = 0; j < half; ++j) {
        const uint8_t t = data[j];
        data[j] = data[half + j];
        data[half + j] = t;
      }
      break;
    case 2:
      for (uint32_t j = 0; j < len; ++j) data[j] = static_cast<uint8_t>(~data[j]);
      break;
    case 3:  // +1 at even indices, -1 at odd ones
      for (uint32_t j = 0; j < len; ++j) {
        data[j] = static_cast<uint8_t>(data[j] + ((j & 1u) ? 0xffu : 1u));
      }
      break;
    case 4:  // +round at odd indices, -round at even ones
      for (uint32_t j = 0; j < len; ++j) {
        data[j] = static_cast<uint8_t>((j & 1u) ? data[j] + round : data[j] - round);
      }
      break;
    case 5:  // 'h' -> 'H'
      for (uint32_t j = 0; j < len; ++j) {
        if (data[j] == 0x68u) data[j] = 0x48u;
      }
      break;
    case 6:  // pairwise exchange so that the first half keeps the smaller byte
      for (uint32_t j = 0; j < half; ++j) {
        const uint8_t lo = data[j], hi = data[half + j];
        data[j] = hi < lo ? hi : lo;
        data[half + j] = hi < lo ? lo : hi;
      }
      break;
    default:  // running XOR
      for (uint32_t j = 1; j < len; ++j) data[j] ^= data[j - 1];
      break;
  }
}

}  // namespace kest_pow

// Eight rounds of whole-buffer byte operations chosen by the selector *op, which round i first
// advances by data[i] (as left by the earlier rounds). Buffers shorter than 8 bytes are left
// alone, and *op with them.
KEST_HD inline void bitbyte_transform(uint8_t* data, uint32_t len, uint32_t* op) {
  if (len < kest_pow::kBitbyteRounds) return;
  uint32_t c = *op;
  for (uint32_t round = 0; round < kest_pow::kBitbyteRounds; ++round) {
    c += data[round];
    kest_pow::bitbyte_round(data, len, round, c);
  }
  *op = c;
}

// Zeroes the record and sets up algorithm `algo_type` for a digest of `digestbitlen` bits.
// Returns 0, or -1 for digest bits other than 256/512 (context untouched) or a type above 7.
KEST_HD inline int nighthash_init(nighthash_ctx_t* ctx, uint32_t algo_type, uint32_t digestbitlen) {
  if (digestbitlen != 256 && digestbitlen != 512) return -1;
  if (algo_type >= NIGHTHASH_TYPE_COUNT) {
    kest_pow::nighthash_invalid_type(algo_type);
    return -1;
  }
  memset(ctx, 0, sizeof *ctx);
  switch (algo_type) {
    case NIGHTHASH_BLAKE2B_KEY0: {
      uint8_t key[kest_pow::kBlake2bKey0Length];
      memset(key, kest_pow::kBlake2bKey0Byte, sizeof key);
      blake2b_init(&ctx->blake2b, key, sizeof key, digestbitlen);
      break;
    }
    case NIGHTHASH_BLAKE2B_KEY1: {
      uint8_t key[kest_pow::kBlake2bKey1Length];
      memset(key, kest_pow::kBlake2bKey1Byte, sizeof key);
      blake2b_init(&ctx->blake2b, key, sizeof key, digestbitlen);
      break;
    }
    case NIGHTHASH_SHA1:
      sha1_init(&ctx->sha1);
      break;
    case NIGHTHASH_SHA256:
      sha256_init(&ctx->sha256);
      break;
    case NIGHTHASH_SHA3:
      keccak_sha3_init(&ctx->sha3, digestbitlen);
      break;
    case NIGHTHASH_KECCAK:
      keccak_init(&ctx->keccak, digestbitlen);
      break;
    case NIGHTHASH_MD2:
      md2_init(&ctx->md2);
      break;
    default:
      md5_init(&ctx->md5);
      break;
  }
  ctx->digestlen = digestbitlen / 8;
  ctx->algo_type = algo_type;
  return 0;
}

// fp_operation (no rewrite) over the data, then nighthash_init with the resulting type; the
// caller then hashes the unchanged data.
KEST_HD inline int nighthash_seed_init(nighthash_ctx_t* ctx, const void* data, uint32_t len,
                                       uint32_t index, uint32_t digestbitlen) {
  const uint32_t op =
      kest_pow::fp_groups(static_cast<const uint8_t*>(data), nullptr, len, index, 0);
  return nighthash_init(ctx, op % NIGHTHASH_TYPE_COUNT, digestbitlen);
}

// fp_operation and bitbyte_transform rewrite the data in place, then nighthash_init with the
// resulting type; the caller then hashes the rewritten data.
KEST_HD inline int nighthash_transform_init(nighthash_ctx_t* ctx, uint8_t* data, uint32_t len,
                                            uint32_t index, uint32_t digestbitlen) {
  uint32_t op = 0;
  fp_operation(data, len, index, &op, 1);
  bitbyte_transform(data, len, &op);
  return nighthash_init(ctx, op % NIGHTHASH_TYPE_COUNT, digestbitlen);
}

// Feeds `len` bytes to the selected algorithm. Returns 0, or -1 for an invalid type.
KEST_HD inline int nighthash_update(nighthash_ctx_t* ctx, const void* data, uint32_t len) {
  switch (ctx->algo_type) {
    case NIGHTHASH_BLAKE2B_KEY0:
    case NIGHTHASH_BLAKE2B_KEY1:
      blake2b_update(&ctx->blake2b, data, len);
      return 0;
    case NIGHTHASH_SHA1:
      sha1_update(&ctx->sha1, data, len);
      return 0;
    case NIGHTHASH_SHA256:
      sha256_update(&ctx->sha256, data, len);
      return 0;
    case NIGHTHASH_SHA3:
      keccak_update(&ctx->sha3, data, len);
      return 0;
    case NIGHTHASH_KECCAK:
      keccak_update(&ctx->keccak, data, len);
      return 0;
    case NIGHTHASH_MD2:
      md2_update(&ctx->md2, data, len);
      return 0;
    case NIGHTHASH_MD5:
      md5_update(&ctx->md5, data, len);
      return 0;
    default:
      kest_pow::nighthash_invalid_type(ctx->algo_type);
      return -1;
  }
}

// Finishes into `digest` (digestlen bytes): digests shorter than digestlen are zero-filled.
// Returns 0, or -1 for an invalid type.
KEST_HD inline int nighthash_final(nighthash_ctx_t* ctx, void* digest) {
  uint8_t* out = static_cast<uint8_t*>(digest);
  const uint32_t want =
      ctx->digestlen <= BLAKE2B_MAX_DIGEST_SIZE ? ctx->digestlen : BLAKE2B_MAX_DIGEST_SIZE;
  uint32_t produced = 0;
  switch (ctx->algo_type) {
    case NIGHTHASH_BLAKE2B_KEY0:
    case NIGHTHASH_BLAKE2B_KEY1:
      blake2b_final(&ctx->blake2b, out);
      produced = ctx->blake2b.digestlen;
      break;
    case NIGHTHASH_SHA1:
      sha1_final(&ctx->sha1, out);
      produced = SHA1_DIGEST_SIZE;
      break;
    case NIGHTHASH_SHA256:
      sha256_final(&ctx->sha256, out);
      produced = SHA256_DIGEST_SIZE;
      break;
    case NIGHTHASH_SHA3:
      keccak_final(&ctx->sha3, out);
      produced = ctx->sha3.digestbitlen / 8;
      break;
    case NIGHTHASH_KECCAK:
      keccak_final(&ctx->keccak, out);
      produced = ctx->keccak.digestbitlen / 8;
      break;
    case NIGHTHASH_MD2:
      md2_final(&ctx->md2, out);
      produced = MD2_DIGEST_SIZE;
      break;
    case NIGHTHASH_MD5:
      md5_final(&ctx->md5, out);
      produced = MD5_DIGEST_SIZE;
      break;
    default:
      kest_pow::nighthash_invalid_type(ctx->algo_type);
      return -1;
  }
  if (produced < want) memset(out + produced, 0, want - produced);
  return 0;
}

namespace kest_pow {

// Device code keeps each fixed-type nighthash out of line, so a caller that dispatches on the
// type holds only the selected algorithm's context in its frame (at most the largest one), not
// all seven side by side.
#if defined(__CUDACC__) && defined(KEST_GPUSIM)  // see KEST_BLOCKFN in pow/hd.h
#define KEST_NIGHTHASH_FN __forceinline__
#elif defined(__CUDACC__)
#define KEST_NIGHTHASH_FN inline __noinline__
#else
#define KEST_NIGHTHASH_FN inline
#endif

// Nighthash with a 256-bit digest of type `Algo`, known at compile time, over a || b || c
// (empty parts are skipped). Equals nighthash_init(Algo, 256), the updates and nighthash_final.
template <uint32_t Algo>
KEST_HD KEST_NIGHTHASH_FN void nighthash256(const uint8_t* a, uint32_t alen, const uint8_t* b,
                                            uint32_t blen, const uint8_t* c, uint32_t clen,
                                            uint8_t out[32]) {
  static_assert(Algo < NIGHTHASH_TYPE_COUNT, "nighthash type");
  constexpr uint32_t kBits = 256;
  constexpr uint32_t kBytes = kBits / 8;
  if constexpr (Algo == NIGHTHASH_BLAKE2B_KEY0 || Algo == NIGHTHASH_BLAKE2B_KEY1) {
    constexpr bool kKey0 = Algo == NIGHTHASH_BLAKE2B_KEY0;
    constexpr uint32_t kKeyLength = kKey0 ? kBlake2bKey0Length : kBlake2bKey1Length;
    uint8_t key[kKeyLength];
    memset(key, kKey0 ? kBlake2bKey0Byte : kBlake2bKey1Byte, sizeof key);
    blake2b_ctx_t ctx;
    blake2b_init(&ctx, key, kKeyLength, kBits);
    if (alen > 0) blake2b_update(&ctx, a, alen);
    if (blen > 0) blake2b_update(&ctx, b, blen);
    if (clen > 0) blake2b_update(&ctx, c, clen);
    blake2b_final(&ctx, out);
  } else if constexpr (Algo == NIGHTHASH_SHA1) {
    SHA1_CTX ctx;
    sha1_init(&ctx);
    if (alen > 0) sha1_update(&ctx, a, alen);
    if (blen > 0) sha1_update(&ctx, b, blen);
    if (clen > 0) sha1_update(&ctx, c, clen);
    sha1_final(&ctx, out);
    memset(out + SHA1_DIGEST_SIZE, 0, kBytes - SHA1_DIGEST_SIZE);
  } else if constexpr (Algo == NIGHTHASH_SHA256) {
    SHA256_CTX ctx;
    sha256_init(&ctx);
    if (alen > 0) sha256_update(&ctx, a, alen);
    if (blen > 0) sha256_update(&ctx, b, blen);
    if (clen > 0) sha256_update(&ctx, c, clen);
    sha256_final(&ctx, out);
  } else if constexpr (Algo == NIGHTHASH_SHA3 || Algo == NIGHTHASH_KECCAK) {
    keccak_ctx_t ctx;
    if constexpr (Algo == NIGHTHASH_SHA3) {
      keccak_sha3_init(&ctx, kBits);
    } else {
      keccak_init(&ctx, kBits);
    }
    if (alen > 0) keccak_update(&ctx, a, alen);
    if (blen > 0) keccak_update(&ctx, b, blen);
    if (clen > 0) keccak_update(&ctx, c, clen);
    keccak_final(&ctx, out);
  } else if constexpr (Algo == NIGHTHASH_MD2) {
    MD2_CTX ctx;
    md2_init(&ctx);
    if (alen > 0) md2_update(&ctx, a, alen);
    if (blen > 0) md2_update(&ctx, b, blen);
    if (clen > 0) md2_update(&ctx, c, clen);
    md2_final(&ctx, out);
    memset(out + MD2_DIGEST_SIZE, 0, kBytes - MD2_DIGEST_SIZE);
  } else {
    MD5_CTX ctx;
    md5_init(&ctx);
    if (alen > 0) md5_update(&ctx, a, alen);
    if (blen > 0) md5_update(&ctx, b, blen);
    if (clen > 0) md5_update(&ctx, c, clen);
    md5_final(&ctx, out);
    memset(out + MD5_DIGEST_SIZE, 0, kBytes - MD5_DIGEST_SIZE);
  }
}

// nighthash256 of the type `algo` (0..7; only its low three bits are used).
KEST_HD KEST_SIM_INLINE void nighthash256_typed(uint32_t algo, const uint8_t* a, uint32_t alen,
                                                const uint8_t* b, uint32_t blen, const uint8_t* c,
                                                uint32_t clen, uint8_t out[32]) {
  switch (algo & (NIGHTHASH_TYPE_COUNT - 1)) {
    case NIGHTHASH_BLAKE2B_KEY0:
      return nighthash256<NIGHTHASH_BLAKE2B_KEY0>(a, alen, b, blen, c, clen, out);
    case NIGHTHASH_BLAKE2B_KEY1:
      return nighthash256<NIGHTHASH_BLAKE2B_KEY1>(a, alen, b, blen, c, clen, out);
    case NIGHTHASH_SHA1:
      return nighthash256<NIGHTHASH_SHA1>(a, alen, b, blen, c, clen, out);
    case NIGHTHASH_SHA256:
      return nighthash256<NIGHTHASH_SHA256>(a, alen, b, blen, c, clen, out);
    case NIGHTHASH_SHA3:
      return nighthash256<NIGHTHASH_SHA3>(a, alen, b, blen, c, clen, out);
    case NIGHTHASH_KECCAK:
      return nighthash256<NIGHTHASH_KECCAK>(a, alen, b, blen, c, clen, out);
    case NIGHTHASH_MD2:
      return nighthash256<NIGHTHASH_MD2>(a, alen, b, blen, c, clen, out);
    default:
      return nighthash256<NIGHTHASH_MD5>(a, alen, b, blen, c, clen, out);
  }
}

// The type nighthash_transform_init would select for data[0..len), after rewriting the data
// in place exactly as it does (floating-point pass, then the byte operations).
KEST_HD inline uint32_t transform_select(uint8_t* data, uint32_t len, uint32_t index) {
  uint32_t op = 0;
  fp_operation(data, len, index, &op, 1);
  bitbyte_transform(data, len, &op);
  return op % NIGHTHASH_TYPE_COUNT;
}

}  // namespace kest_pow
