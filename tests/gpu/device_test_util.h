// Helpers of the device module tests: hex conversion and a job trailer.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/records.h"
#include "gpu/second_half.h"
#include "miner/seed.h"
#include "pow/peach.h"

namespace devtest {

inline std::string Hex(const uint8_t* p, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

inline std::string Hex(const std::vector<uint8_t>& v) {
  return Hex(v.data(), v.size());
}

inline std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

inline std::vector<uint8_t> RandomBytes(std::mt19937& rng, std::size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// A trailer with random bytes everywhere except the nonce, whose first half is drawn from the
// frames (seeded) and whose second half is left zero.
inline BTRAILER MakeTrailer(uint32_t seed) {
  std::mt19937 rng(seed);
  BTRAILER bt;
  const std::vector<uint8_t> bytes = RandomBytes(rng, sizeof bt);
  std::memcpy(&bt, bytes.data(), sizeof bt);
  auto draws = Kest::VarnRand::FromSeed(seed);
  Kest::trigg_gen(bt.nonce, *draws);
  std::memset(bt.nonce + Kest::gpu::kHalfLength, 0, Kest::gpu::kHalfLength);
  return bt;
}

// The trailer of candidate `index`: the job trailer with the index's second half.
inline BTRAILER WithSecondHalf(const BTRAILER& job, uint32_t index) {
  BTRAILER bt = job;
  cuda_second_half(index, bt.nonce + Kest::gpu::kHalfLength);
  return bt;
}

// Tile `index` of the map for the trailer's previous-block hash, built by the CPU code.
inline std::vector<uint8_t> CpuTile(const BTRAILER& bt, uint32_t index) {
  std::vector<uint8_t> tile(PEACH_TILE_LENGTH);
  uint8_t* p = tile.data();
  generate_tile(&p, static_cast<int32_t>(index), &bt, nullptr);
  return tile;
}

// The second half the search derives from candidate `index`.
inline std::vector<uint8_t> HalfOf(uint32_t index) {
  std::vector<uint8_t> h(Kest::gpu::kHalfLength);
  cuda_second_half(index, h.data());
  return h;
}

}  // namespace devtest
