// Byte-order helpers for the hash families: unaligned loads and stores through memcpy (pointer
// casts only for the word-aligned device forms below) and rotates. Little-endian is the native
// order of every supported target, so the LE forms are plain copies and the BE forms swap bytes.
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

// Device code cannot assume any alignment of a byte pointer, so the loads above read four
// bytes one by one there. Tiles are 1024-byte aligned, and the blocks a hash takes straight
// from a tile, or from its own buffer, start at multiples of 4: word_aligned tells, and the
// block loads below then read a word with one 4-byte load. On the host memcpy already is one
// load, and word_aligned is false.
KEST_HD KEST_FORCEINLINE bool word_aligned(const void* p) {
#if defined(__CUDA_ARCH__)
  return (reinterpret_cast<uintptr_t>(p) & 3u) == 0;
#else
  static_cast<void>(p);
  return false;
#endif
}

// A word at a word-aligned p. Device code reads and writes it with one access through a word
// pointer (tiles and hash buffers are otherwise accessed as bytes, which alias every type); the
// host copies.
KEST_HD KEST_FORCEINLINE uint32_t load32_le_word(const uint8_t* p) {
#if defined(__CUDA_ARCH__)
  return *reinterpret_cast<const uint32_t*>(p);
#else
  return load32_le(p);
#endif
}

KEST_HD KEST_FORCEINLINE void store32_le_word(uint8_t* p, uint32_t v) {
#if defined(__CUDA_ARCH__)
  *reinterpret_cast<uint32_t*>(p) = v;
#else
  store32_le(p, v);
#endif
}

// N little-endian (load_words_le) or big-endian (load_words_be) words from p, word-aligned
// when Aligned. A block function takes its block through these and is instantiated for both,
// and its callers pick with word_aligned(block); a test inside one body would not do, since
// the compiler then merges both load sequences into the bytewise one.
template <int N, bool Aligned>
KEST_HD KEST_FORCEINLINE void load_words_le(uint32_t* w, const uint8_t* p) {
  KEST_UNROLL for (int i = 0; i < N; ++i) {
    w[i] = Aligned ? load32_le_word(p + 4 * i) : load32_le(p + 4 * i);
  }
}

template <int N, bool Aligned>
KEST_HD KEST_FORCEINLINE void load_words_be(uint32_t* w, const uint8_t* p) {
  load_words_le<N, Aligned>(w, p);
  KEST_UNROLL for (int i = 0; i < N; ++i) w[i] = bswap32(w[i]);
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
