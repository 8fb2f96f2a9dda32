// Byte-order helpers for the hash families: unaligned loads and stores through memcpy (never
// pointer casts) and rotates. Little-endian is the native order of every supported target, so
// the LE forms are plain copies and the BE forms swap bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include "pow/hd.h"

namespace kest_pow {

KEST_HD KEST_FORCEINLINE uint32_t bswap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000ff00u) | ((v << 8) & 0x00ff0000u) | (v << 24);
}

KEST_HD KEST_FORCEINLINE uint64_t bswap64(uint64_t v) {
  return (static_cast<uint64_t>(bswap32(static_cast<uint32_t>(v))) << 32) |
         bswap32(static_cast<uint32_t>(v >> 32));
}

KEST_HD KEST_FORCEINLINE uint32_t load32_le(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

KEST_HD KEST_FORCEINLINE uint64_t load64_le(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

KEST_HD KEST_FORCEINLINE uint32_t load32_be(const uint8_t* p) {
  return bswap32(load32_le(p));
}

KEST_HD KEST_FORCEINLINE void store32_le(uint8_t* p, uint32_t v) {
  memcpy(p, &v, sizeof v);
}

KEST_HD KEST_FORCEINLINE void store64_le(uint8_t* p, uint64_t v) {
  memcpy(p, &v, sizeof v);
}

KEST_HD KEST_FORCEINLINE void store32_be(uint8_t* p, uint32_t v) {
  store32_le(p, bswap32(v));
}

KEST_HD KEST_FORCEINLINE void store64_be(uint8_t* p, uint64_t v) {
  store64_le(p, bswap64(v));
}

// Rotates by a count in 0..31 (0..63); compilers turn these into single instructions.
KEST_HD KEST_FORCEINLINE uint32_t rotl32(uint32_t x, unsigned n) {
  return (x << (n & 31u)) | (x >> ((32u - n) & 31u));
}

KEST_HD KEST_FORCEINLINE uint32_t rotr32(uint32_t x, unsigned n) {
  return (x >> (n & 31u)) | (x << ((32u - n) & 31u));
}

KEST_HD KEST_FORCEINLINE uint64_t rotl64(uint64_t x, unsigned n) {
  return (x << (n & 63u)) | (x >> ((64u - n) & 63u));
}

KEST_HD KEST_FORCEINLINE uint64_t rotr64(uint64_t x, unsigned n) {
  return (x >> (n & 63u)) | (x << ((64u - n) & 63u));
}

}  // namespace kest_pow
