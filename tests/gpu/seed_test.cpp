// First halves on the host: the uniform draw, the seeding formula, the frame filling.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ctime>
#include <deque>
#include <set>
#include <vector>

#include "app/utils.h"
#include "miner/seed.h"
#include "pow/haiku.h"

namespace {

// An engine that replays scripted outputs and counts how many were taken.
struct ScriptedEngine {
  std::deque<uint64_t> outputs;
  int taken = 0;
  uint64_t operator()() {
    EXPECT_FALSE(outputs.empty()) << "the draw took more engine outputs than scripted";
    if (outputs.empty()) return 0;
    const uint64_t r = outputs.front();
    outputs.pop_front();
    ++taken;
    return r;
  }
};

// The engine output that makes the draw give `v` (1 <= v <= 2^30).
uint64_t OutputFor(uint32_t v) {
  return 3ull * (v - 1);
}

// The word code a draw selects in a word slot, as an engine output.
uint64_t WordOutput(uint32_t code) {
  return OutputFor(code == 0 ? 256 : code);
}

uint32_t SlotCount(uint32_t frame) {
  uint32_t n = 0;
  while (n < FRAME_SLOTS && Frame[frame][n] != 0) ++n;
  return n;
}

TEST(UniformDraw, TopOfTheRangeAndRejectedOutputs) {
  ScriptedEngine top{{3221225471u}};
  EXPECT_EQ(Kest::DrawFrom(top), 1073741824);
  EXPECT_EQ(top.taken, 1);

  // 3 * 2^30 and everything above is discarded until an acceptable output comes.
  ScriptedEngine rejecting{{3221225472u, 4294967295u, 3500000000u, 3221225471u}};
  EXPECT_EQ(Kest::DrawFrom(rejecting), 1073741824);
  EXPECT_EQ(rejecting.taken, 4);

  ScriptedEngine low{{0, 2, 3, 5, 6}};
  EXPECT_EQ(Kest::DrawFrom(low), 1);
  EXPECT_EQ(Kest::DrawFrom(low), 1);
  EXPECT_EQ(Kest::DrawFrom(low), 2);
  EXPECT_EQ(Kest::DrawFrom(low), 2);
  EXPECT_EQ(Kest::DrawFrom(low), 3);
}

TEST(UniformDraw, VarnRandDrawsFromItsMersenneTwister) {
  // The 10000th output of MT19937 seeded with 5489 is 4123659995 (the standard's check value);
  // it is above the rejection bound, so the draw that meets it takes the next output instead.
  auto rng = Kest::VarnRand::FromSeed(5489);
  std::mt19937 reference(5489);
  for (int i = 0; i < 9999; ++i) (*rng->engine)(), reference();
  EXPECT_EQ((*rng->engine)(), 4123659995u);
  reference();
  uint64_t next = reference();
  while (next >= 3221225472u) next = reference();
  EXPECT_EQ(rng->Draw(), static_cast<int32_t>(next / 3 + 1));

  EXPECT_EQ(rng->dist->a(), 1);
  EXPECT_EQ(rng->dist->b(), 1 << 30);
}

TEST(Seeding, Formula) {
  EXPECT_EQ(Kest::VarnSeed(0, "", 0, 0), 0u);
  // S = 'a' + 'b' = 195; 7 * 195 + 101 + 1000 * (2 + 100).
  EXPECT_EQ(Kest::VarnSeed(2, "ab", 100, 101), 1365u + 101u + 102000u);
  // Characters count as signed bytes: 0xFF is -1.
  EXPECT_EQ(Kest::VarnSeed(0, "\xff", 0, 0), static_cast<uint32_t>(-7));
  EXPECT_EQ(Kest::VarnSeed(0,
                           "\xff"
                           "a",
                           0, 0),
            7u * 96u);
  // Everything is reduced modulo 2^32.
  const int64_t wrap = int64_t{1} << 32;
  EXPECT_EQ(Kest::VarnSeed(1, "host", wrap + 5, wrap + 6), Kest::VarnSeed(1, "host", 5, 6));
  EXPECT_EQ(Kest::VarnSeed(-1, "", 1, 0), 0u);
}

TEST(Seeding, WorkersStartedTogetherDifferByTheirOrdinals) {
  const int64_t now = 1717171717;
  for (int32_t d = 1; d < 8; ++d) {
    EXPECT_EQ(Kest::VarnSeed(d, "rig-7", now, now) - Kest::VarnSeed(0, "rig-7", now, now),
              1000u * static_cast<uint32_t>(d));
  }
}

TEST(Seeding, ConstructorUsesOrdinalComputerNameAndClock) {
  const int32_t device = 3;
  const std::string name = Kest::GetComputerName();
  const int64_t before = std::time(nullptr);
  Kest::VarnRand rng(device);
  const int64_t after = std::time(nullptr);
  const uint64_t first = (*rng.engine)();

  bool matched = false;
  for (int64_t t1 = before; t1 <= after && !matched; ++t1) {
    for (int64_t t2 = t1; t2 <= after && !matched; ++t2) {
      std::mt19937 candidate(Kest::VarnSeed(device, name, t1, t2));
      matched = candidate() == first;
    }
  }
  EXPECT_TRUE(matched) << "no seed from the clock readings explains the first output";
}

TEST(FirstHalf, FrameFourFromTheTopDrawWithLiteralsTakingNoDraw) {
  // 3221225471 gives v = 2^30: frame 2^30 mod 10 = 4, and as a word draw code 0 (NIL, no
  // flags), which is refused. Frame 4: F_TIME; F_AMB; L 1; F_PREP; L 5; F_ADJ; F_NS; L 3; L 1;
  // F_ING | F_ADJ; end.
  ScriptedEngine engine{{
      3221225471u,      // frame 4
      3221225471u,      // F_TIME: NIL refused
      WordOutput(61),   // F_TIME: "arid" (F_ADJ only) refused
      WordOutput(82),   // F_TIME: "evening"
      WordOutput(77),   // F_AMB: "quiet"
      WordOutput(12),   // F_PREP: "at"
      WordOutput(97),   // F_ADJ: "soft"
      WordOutput(18),   // F_NS: "arriving" refused
      WordOutput(129),  // F_NS: "traveller"
      WordOutput(18),   // F_ING | F_ADJ: "arriving"
  }};
  uint8_t out[16];
  std::memset(out, 0xee, sizeof out);
  Kest::FillFirstHalf(out, [&engine] { return Kest::DrawFrom(engine); });
  const std::array<uint8_t, 16> expected = {82, 77, 1, 12, 5, 97, 129, 3, 1, 18, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 16),
            std::vector<uint8_t>(expected.begin(), expected.end()));
  EXPECT_EQ(engine.taken, 10);
  EXPECT_TRUE(engine.outputs.empty());
  EXPECT_EQ(fast_trigg_syntax(out), 1);
}

TEST(FirstHalf, ManyDrawsFitTheirFramesAndEveryFrameOccurs) {
  auto rng = Kest::VarnRand::FromSeed(77);
  std::array<int, FRAME_COUNT> per_frame{};
  for (int n = 0; n < 20000; ++n) {
    bool first = true;
    uint32_t frame = 0;
    uint8_t out[16];
    Kest::FillFirstHalf(out, [&] {
      const int32_t v = rng->Draw();
      if (first) frame = static_cast<uint32_t>(v) % FRAME_COUNT;
      first = false;
      return v;
    });
    ++per_frame[frame];
    ASSERT_EQ(fast_trigg_syntax(out), 1) << "draw " << n;
    // The frame's words, then NIL to the end.
    const uint32_t slots = SlotCount(frame);
    for (uint32_t k = 0; k < 16; ++k) {
      if (k < slots) {
        ASSERT_NE(out[k], 0) << "draw " << n << " position " << k;
      } else {
        ASSERT_EQ(out[k], 0) << "draw " << n << " position " << k;
      }
    }
  }
  for (uint32_t f = 0; f < FRAME_COUNT; ++f) {
    EXPECT_GT(per_frame[f], 1500) << "frame " << f;
  }
}

TEST(FirstHalf, TriggGenMatchesTheFillOverTheSameDraws) {
  auto a = Kest::VarnRand::FromSeed(4242);
  auto b = Kest::VarnRand::FromSeed(4242);
  std::set<std::vector<uint8_t>> distinct;
  for (int n = 0; n < 200; ++n) {
    uint8_t x[16];
    uint8_t y[16];
    EXPECT_EQ(Kest::trigg_gen(x, *a), x);
    Kest::FillFirstHalf(y, [&b] { return b->Draw(); });
    ASSERT_EQ(std::vector<uint8_t>(x, x + 16), std::vector<uint8_t>(y, y + 16));
    distinct.insert(std::vector<uint8_t>(x, x + 16));
  }
  EXPECT_GT(distinct.size(), 190u);
  EXPECT_EQ(Kest::trigg_gen(nullptr, *a), nullptr);
}

}  // namespace
