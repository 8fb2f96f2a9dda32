// Per-worker random source and first-half generation.
#include "miner/seed.h"

#include <ctime>

#include "app/utils.h"

namespace Kest {

namespace {

constexpr uint32_t kNameWeight = 7;
constexpr uint32_t kStartWeight = 1000;

int64_t CalendarSeconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

uint32_t VarnSeed(int32_t device, const std::string& computer_name, int64_t t1, int64_t t2) {
  // Everything is reduced modulo 2^32; unsigned arithmetic wraps where the signed sums would.
  uint32_t name_sum = 0;
  for (const char c : computer_name) {
    name_sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  }
  const uint32_t start = static_cast<uint32_t>(device) + static_cast<uint32_t>(t1);
  return kNameWeight * name_sum + static_cast<uint32_t>(t2) + kStartWeight * start;
}

VarnRand::VarnRand(int32_t device) {
  const int64_t t1 = CalendarSeconds();
  dist = std::make_unique<std::uniform_int_distribution<int32_t>>(kDrawMin, kDrawMax);
  const std::string name = GetComputerName();
  const int64_t t2 = CalendarSeconds();
  engine = std::make_unique<std::mt19937>(VarnSeed(device, name, t1, t2));
}

std::unique_ptr<VarnRand> VarnRand::FromSeed(uint32_t seed) {
  std::unique_ptr<VarnRand> rng(new VarnRand());
  rng->dist = std::make_unique<std::uniform_int_distribution<int32_t>>(kDrawMin, kDrawMax);
  rng->engine = std::make_unique<std::mt19937>(seed);
  return rng;
}

int32_t VarnRand::Draw() {
  return DrawFrom(*engine);
}

uint8_t* trigg_gen(uint8_t* out, VarnRand& rng) {
  if (out == nullptr) return out;
  return FillFirstHalf(out, [&rng] { return rng.Draw(); });
}

}  // namespace Kest
