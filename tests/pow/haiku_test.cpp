// Haiku frames and dictionary.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pow/haiku.h"

namespace {

std::vector<uint8_t> Frame3Haiku() {
  // in, morning, newline, a, traveller, newline, arriving, NIL
  return {13, 83, 1, 5, 129, 1, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

TEST(FrameCheck, ListedCases) {
  std::vector<uint8_t> h = Frame3Haiku();
  EXPECT_EQ(fast_trigg_syntax(h.data()), 1);

  h[7] = 7;  // "of" where the frame ends
  EXPECT_EQ(fast_trigg_syntax(h.data()), 0);

  h = Frame3Haiku();
  for (int j = 8; j < 16; ++j) h[j] = static_cast<uint8_t>(200 + j);  // after NIL: not read
  EXPECT_EQ(fast_trigg_syntax(h.data()), 1);

  h = Frame3Haiku();
  h[6] = 48;  // "wait" is F_INF; frame 3 wants F_ING
  EXPECT_EQ(fast_trigg_syntax(h.data()), 0);

  const std::vector<uint8_t> zeros(16, 0);
  EXPECT_EQ(fast_trigg_syntax(zeros.data()), 0);

  h = Frame3Haiku();
  h[3] = 6;  // "the" has the flags of "a" but is not the literal
  EXPECT_EQ(Dict[6].fe, Dict[5].fe);
  EXPECT_EQ(fast_trigg_syntax(h.data()), 0);

  EXPECT_EQ(fast_trigg_syntax(nullptr), 0);
}

// Picks, for each slot of frame f, the first dictionary word that satisfies it.
std::vector<uint8_t> FirstFit(uint32_t f) {
  std::vector<uint8_t> h(HAIKU_LENGTH, WORD_NIL);
  for (uint32_t j = 0; j < FRAME_SLOTS && Frame[f][j] != 0; ++j) {
    const uint32_t slot = Frame[f][j];
    if (slot & F_LITERAL) {
      h[j] = static_cast<uint8_t>(slot & 0xff);
      continue;
    }
    for (uint32_t code = 1; code < DICT_SIZE; ++code) {
      if (Dict[code].fe & slot) {
        h[j] = static_cast<uint8_t>(code);
        break;
      }
    }
  }
  return h;
}

TEST(FrameCheck, EveryFrameHasItsSlotCountAndCanBeFilled) {
  const uint32_t slot_counts[FRAME_COUNT] = {7, 7, 7, 7, 10, 7, 8, 13, 12, 9};
  for (uint32_t f = 0; f < FRAME_COUNT; ++f) {
    uint32_t n = 0;
    while (n < FRAME_SLOTS && Frame[f][n] != 0) ++n;
    EXPECT_EQ(n, slot_counts[f]) << "frame " << f;
    for (uint32_t j = n; j < FRAME_SLOTS; ++j) EXPECT_EQ(Frame[f][j], 0u);

    std::vector<uint8_t> h = FirstFit(f);
    EXPECT_EQ(fast_trigg_syntax(h.data()), 1) << "frame " << f;
    if (n < HAIKU_LENGTH) {
      h[n] = 1;  // a word instead of the terminating NIL
      EXPECT_EQ(fast_trigg_syntax(h.data()), 0) << "frame " << f;
    }
  }
}

TEST(Dictionary, TokensAndFlags) {
  for (uint32_t code = 0; code < DICT_SIZE; ++code) {
    EXPECT_EQ(Dict[code].fe == 0, code == 0) << "only NIL has no flags: " << code;
    EXPECT_EQ(Dict[code].fe & F_LITERAL, 0u);
    EXPECT_LE(strnlen(Dict[code].tok, DICT_TOKEN_SIZE), DICT_TOKEN_SIZE - 1u) << code;
  }
  EXPECT_STREQ(Dict[1].tok, "\n");
  EXPECT_STREQ(Dict[2].tok, "\b:");
  EXPECT_STREQ(Dict[3].tok, "\b--");
  EXPECT_STREQ(Dict[9].tok, "\bs");
  EXPECT_STREQ(Dict[5].tok, "a");
  EXPECT_STREQ(Dict[18].tok, "arriving");
  EXPECT_STREQ(Dict[83].tok, "morning");
  EXPECT_STREQ(Dict[129].tok, "traveller");
  EXPECT_STREQ(Dict[198].tok, "bon fire");
  EXPECT_STREQ(Dict[199].tok, "straw mat");
  EXPECT_STREQ(Dict[255].tok, "noon");
  EXPECT_EQ(Dict[159].fe, 0x0A10u);  // trees
  EXPECT_EQ(Dict[228].fe, 0x0A60u);  // twilight
  EXPECT_EQ(Dict[254].fe, 0x0108u);  // equinox
  EXPECT_EQ(Dict[77].fe, 0x2040u);   // quiet
  // F_TIME is a mask, never a flag of its own.
  EXPECT_EQ(F_TIME, F_TIMED | F_SEASON);
}

}  // namespace
