// First-half haiku generation on the host and the per-device random source.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "pow/haiku.h"

namespace Kest {

// Bounds of the uniform draw: [1, 2^30].
constexpr int32_t kDrawMin = 1;
constexpr int32_t kDrawMax = 1 << 30;
// Engine outputs from 3 * 2^30 on are redrawn, so that r / 3 is uniform over [0, 2^30).
constexpr uint64_t kDrawReject = 3ull << 30;
constexpr uint32_t kDrawDivisor = 3;

// The uniform draw over [1, 2^30] from a 32-bit engine, written out so that every standard
// library gives the same sequence: outputs of 3221225472 and above are discarded, otherwise
// the draw is output / 3 + 1.
template <class Engine>
int32_t DrawFrom(Engine& engine) {
  uint64_t r = engine();
  while (r >= kDrawReject) r = engine();
  return static_cast<int32_t>(r / kDrawDivisor) + kDrawMin;
}

// Per-worker random source: MT19937 seeded from the device ordinal, the host name and the time.
class VarnRand {
 public:
  // Seeds from device ordinal `device`, the computer name and the calendar clock.
  explicit VarnRand(int32_t device);
  // Seeds the engine with `seed` directly (tests, tools).
  static std::unique_ptr<VarnRand> FromSeed(uint32_t seed);

  // Uniform draw in [1, 1073741824] (DrawFrom on the engine).
  int32_t Draw();

  // Kept with its bounds [1, 2^30] as the record of the draw's range; the values come from
  // Draw, never from this distribution, whose algorithm differs between libraries.
  std::unique_ptr<std::uniform_int_distribution<int32_t>> dist;
  std::unique_ptr<std::mt19937> engine;

 private:
  VarnRand() = default;
};

// seed = 7*S + t2 + 1000*(device + t1) mod 2^32, S = sum of the name's characters as int8,
// t1 and t2 two readings of the calendar clock in seconds.
uint32_t VarnSeed(int32_t device, const std::string& computer_name, int64_t t1, int64_t t2);

// Fills out[0..15] from frame draw() mod 10: end slots give 0, literal slots their word (no
// draw), other slots the first draw() mod 256 whose dictionary flags meet the slot's mask.
template <class Draw>
uint8_t* FillFirstHalf(uint8_t* out, Draw&& draw) {
  const uint32_t* frame = Frame[static_cast<uint32_t>(draw()) % FRAME_COUNT];
  for (uint32_t k = 0; k < HAIKU_LENGTH; ++k) {
    const uint32_t slot = frame[k];
    if (slot == 0) {
      out[k] = WORD_NIL;
    } else if ((slot & F_LITERAL) != 0) {
      out[k] = static_cast<uint8_t>(slot & 0xffu);
    } else {
      uint32_t word;
      do {
        word = static_cast<uint32_t>(draw()) % DICT_SIZE;
      } while ((Dict[word].fe & slot) == 0);
      out[k] = static_cast<uint8_t>(word);
    }
  }
  return out;
}

// Writes a new 16-byte first half drawn from the syntax frames into out[0..15]; returns out.
uint8_t* trigg_gen(uint8_t* out, VarnRand& rng);

}  // namespace Kest

// One announcement from a device worker: the first half in force and the counter after the launch.
struct HaikuRes {
  uint8_t haiku[16];
  uint32_t found_count;
};
