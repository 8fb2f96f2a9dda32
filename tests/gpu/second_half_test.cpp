// Second halves derived from the candidate index.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "gpu/second_half.h"
#include "pow/haiku.h"

namespace {

std::vector<uint8_t> Half(uint32_t index) {
  std::vector<uint8_t> h(16);
  cuda_second_half(index, h.data());
  return h;
}

TEST(SecondHalf, FirstAndLastIndex) {
  EXPECT_EQ(Half(0),
            (std::vector<uint8_t>{18, 12, 82, 214, 1, 214, 18, 3, 1, 5, 61, 129, 0, 0, 0, 0}));
  EXPECT_EQ(Half(4294967295u),
            (std::vector<uint8_t>{33, 15, 253, 229, 1, 229, 33, 3, 1, 5, 128, 193, 0, 0, 0, 0}));
}

TEST(SecondHalf, EveryTableEntryCarriesItsSlotFlag) {
  struct Table {
    const char* name;
    const uint8_t* words;
    int entries;
    uint32_t flags;
  };
  namespace g = Kest::gpu;
  const Table tables[] = {
      {"Z_ING", g::kZIng, g::kZIngEntries, F_ING},
      {"Z_PREP", g::kZPrep, g::kZPrepEntries, F_PREP},
      {"Z_TIME", g::kZTime, g::kZTimeEntries, F_TIME},
      {"Z_MASS", g::kZMass, g::kZMassEntries, F_MASS},
      {"Z_ADJ", g::kZAdj, g::kZAdjEntries, F_ADJ},
      {"Z_NS", g::kZNs, g::kZNsEntries, F_NS},
  };
  for (const Table& t : tables) {
    for (int i = 0; i < t.entries; ++i) {
      EXPECT_NE(Dict[t.words[i]].fe & t.flags, 0u)
          << t.name << "[" << i << "] = " << int{t.words[i]};
    }
  }
}

TEST(SecondHalf, SampledIndicesPassTheFrameCheck) {
  std::mt19937 rng(11);
  std::vector<uint32_t> indices;
  for (int i = 0; i < 100000; ++i) indices.push_back(static_cast<uint32_t>(rng()));
  for (int b = 0; b < 32; ++b) {
    indices.push_back(1u << b);
    indices.push_back(~(1u << b));
  }
  for (const uint32_t index : indices) {
    const std::vector<uint8_t> h = Half(index);
    ASSERT_EQ(fast_trigg_syntax(h.data()), 1) << "index " << index;
  }
}

// Each bit field selects a different word of its table for every value it can take, whatever
// the other bits are; together with random sampling this shows distinct indices give distinct
// halves.
TEST(SecondHalf, DistinctIndicesGiveDistinctHalves) {
  struct Field {
    int shift;
    int bits;
  };
  const Field fields[] = {{0, 4}, {4, 2}, {6, 3}, {9, 4}, {13, 4}, {17, 4}, {21, 6}, {27, 5}};
  std::mt19937 rng(5);
  for (const Field& f : fields) {
    for (int trial = 0; trial < 8; ++trial) {
      const uint32_t mask = ((1u << f.bits) - 1) << f.shift;
      const uint32_t base = static_cast<uint32_t>(rng()) & ~mask;
      std::set<std::vector<uint8_t>> halves;
      for (uint32_t v = 0; v < (1u << f.bits); ++v) halves.insert(Half(base | (v << f.shift)));
      EXPECT_EQ(halves.size(), std::size_t{1} << f.bits) << "field at bit " << f.shift;
    }
  }

  std::set<uint32_t> indices;
  std::set<std::vector<uint8_t>> halves;
  for (int i = 0; i < 100000; ++i) {
    const uint32_t index = static_cast<uint32_t>(rng());
    indices.insert(index);
    halves.insert(Half(index));
  }
  EXPECT_EQ(halves.size(), indices.size());
}

}  // namespace
