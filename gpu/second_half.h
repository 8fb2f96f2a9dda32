// Second-half haiku of a candidate index: every search thread derives the last 16 bytes of its
// nonce from its 32-bit index by table look-ups into six small word tables. The bit fields of
// the index (4+2+3+4+4+4+6+5 bits) cover all 32 bits, so distinct indices give distinct
// halves, and every table entry carries the flag its slot of frame 8 demands, so every half
// passes the frame check.
//
// The word tables (gpu/word_tables.h) exist twice with the same values: as the device constant
// symbols Z_ING, Z_PREP, Z_TIME, Z_MASS, Z_ADJ and Z_NS of the device module, and as host
// arrays. Like the hash tables of pow/tables.h they are reached through accessor macros: device
// code reads a shared-memory copy of the symbols, host code (tests, the CPU side, kernels on the
// software device) the host arrays. The device module defines the symbols and the shared copy
// before it includes this header.
#pragma once

#include <cstdint>

#include "gpu/word_tables.h"
#include "pow/hd.h"

#ifdef __CUDA_ARCH__
// Device code reads the block's shared-memory copy of the six tables, laid out back to back
// (kest_shared_words, filled by each kernel before use; offsets in gpu/word_tables.h): every
// lane indexes them with bits of its own candidate index.
#define KEST_Z_ING (::kest_shared_words + ::Kest::gpu::kZIngOffset)
#define KEST_Z_PREP (::kest_shared_words + ::Kest::gpu::kZPrepOffset)
#define KEST_Z_TIME (::kest_shared_words + ::Kest::gpu::kZTimeOffset)
#define KEST_Z_MASS (::kest_shared_words + ::Kest::gpu::kZMassOffset)
#define KEST_Z_ADJ (::kest_shared_words + ::Kest::gpu::kZAdjOffset)
#define KEST_Z_NS (::kest_shared_words + ::Kest::gpu::kZNsOffset)
#else
#define KEST_Z_ING (::Kest::gpu::kZIng)
#define KEST_Z_PREP (::Kest::gpu::kZPrep)
#define KEST_Z_TIME (::Kest::gpu::kZTime)
#define KEST_Z_MASS (::Kest::gpu::kZMass)
#define KEST_Z_ADJ (::Kest::gpu::kZAdj)
#define KEST_Z_NS (::Kest::gpu::kZNs)
#endif

// Writes the 16-byte second half of candidate `index` to h[0..15]: frame 8 (-ing verb,
// preposition, time, mass noun, newline, mass noun, -ing verb, "--", newline, "a", adjective,
// singular noun, end) with the variable words chosen by bit fields of the index.
KEST_HD inline void cuda_second_half(uint32_t index, uint8_t* h) {
  h[0] = KEST_Z_ING[index & 15u];
  h[1] = KEST_Z_PREP[(index >> 4) & 3u];
  h[2] = KEST_Z_TIME[(index >> 6) & 7u];
  h[3] = KEST_Z_MASS[(index >> 9) & 15u];
  h[4] = ::Kest::gpu::kWordNewline;
  h[5] = KEST_Z_MASS[(index >> 13) & 15u];
  h[6] = KEST_Z_ING[(index >> 17) & 15u];
  h[7] = ::Kest::gpu::kWordHyphens;
  h[8] = ::Kest::gpu::kWordNewline;
  h[9] = ::Kest::gpu::kWordA;
  h[10] = KEST_Z_ADJ[(index >> 21) & 63u];
  h[11] = KEST_Z_NS[index >> 27];
  h[12] = 0;
  h[13] = 0;
  h[14] = 0;
  h[15] = 0;
}
