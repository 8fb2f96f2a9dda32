// Peach: the reference tile, the reference walk, the recorded walks, and the map and jump
// contracts.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "pow/haiku.h"
#include "pow/peach.h"
#include "tests/pow/test_util.h"

#ifndef KEST_POW_TEST_DATA
#error "KEST_POW_TEST_DATA must name the test data folder"
#endif

namespace {

using powtest::Hex;
using powtest::Unhex;

const uint8_t kFrame3Haiku[16] = {13, 83, 1, 5, 129, 1, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// Bytes 0..91 zero, both nonce halves the frame-3 haiku.
BTRAILER ReferenceTrailer() {
  BTRAILER bt;
  std::memset(&bt, 0, sizeof bt);
  std::memcpy(bt.nonce, kFrame3Haiku, 16);
  std::memcpy(bt.nonce + 16, kFrame3Haiku, 16);
  return bt;
}

std::vector<uint8_t> Tile(uint32_t index, const uint8_t* phash) {
  std::vector<uint8_t> tile(PEACH_TILE_LENGTH);
  kest_pow::build_tile(tile.data(), index, phash, nullptr);
  return tile;
}

// --- Reference tile -----------------------------------------------------------------------

TEST(ReferenceTile, ZeroHashTileZero) {
  const uint8_t phash[32] = {};
  uint8_t tile[PEACH_TILE_LENGTH];
  uint8_t algos[PEACH_SEGMENTS];
  kest_pow::build_tile(tile, 0, phash, algos);

  const std::vector<uint8_t> want_algos = {7, 4, 6, 1, 0, 6, 6, 4, 3, 6, 2, 6, 7, 6, 7, 6,
                                           5, 3, 6, 7, 4, 6, 6, 1, 2, 6, 0, 5, 2, 2, 3, 2};
  EXPECT_EQ(std::vector<uint8_t>(algos, algos + PEACH_SEGMENTS), want_algos);
  EXPECT_EQ(Hex(tile, 48),
            "a3b04d5ea3b04d5ea3b04d5ea3b04d5ed7e1ec109b69d03ec3d0e1356ef8ca5e"
            "02760773408990938055844e7e7a044d");
  EXPECT_EQ(Hex(tile + PEACH_TILE_LENGTH - 12, 12), std::string(24, '0'))
      << "the last segment comes from SHA-1";
  uint8_t digest[32];
  sha256(tile, PEACH_TILE_LENGTH, digest);
  EXPECT_EQ(Hex(digest, 32), "76e7cc6c0cbbf7b1bbe1ac3166ad95cae0e7a7589182878fb7b271862d14107a");
}

// --- generate_tile contract ---------------------------------------------------------------

TEST(GenerateTile, WritesOnlyItsSlotOfTheMap) {
  BTRAILER bt = ReferenceTrailer();
  bt.phash[0] = 0x42;
  constexpr int32_t kIndex = 3;
  std::vector<uint8_t> map(5 * PEACH_TILE_LENGTH, 0xcd);
  uint8_t* where = nullptr;
  generate_tile(&where, kIndex, &bt, map.data());
  EXPECT_EQ(where, map.data() + kIndex * PEACH_TILE_LENGTH);
  const std::vector<uint8_t> want = Tile(kIndex, bt.phash);
  EXPECT_EQ(std::vector<uint8_t>(where, where + PEACH_TILE_LENGTH), want);
  for (size_t i = 0; i < map.size(); ++i) {
    if (i / PEACH_TILE_LENGTH == static_cast<size_t>(kIndex)) continue;
    ASSERT_EQ(map[i], 0xcd) << "byte " << i << " outside the tile changed";
  }
}

TEST(GenerateTile, WithoutAMapWritesTheCallersBuffer) {
  const BTRAILER bt = ReferenceTrailer();
  std::vector<uint8_t> buffer(PEACH_TILE_LENGTH + 16, 0xcd);
  uint8_t* tile = buffer.data();
  generate_tile(&tile, 0, &bt, nullptr);
  EXPECT_EQ(tile, buffer.data());
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + PEACH_TILE_LENGTH),
            Tile(0, bt.phash));
  EXPECT_EQ(buffer[PEACH_TILE_LENGTH], 0xcd);
}

TEST(GenerateTile, RefusesBadArgumentsWithoutWriting) {
  const BTRAILER bt = ReferenceTrailer();
  std::vector<uint8_t> small(PEACH_TILE_LENGTH, 0xcd);
  uint8_t* tile = small.data();
  // Out-of-range indices would address past a real map: nothing is written or pointed at.
  for (int32_t index : {-1, static_cast<int32_t>(PEACH_TILE_COUNT), INT32_MAX}) {
    uint8_t* where = nullptr;
    generate_tile(&where, index, &bt, small.data());
    EXPECT_EQ(where, nullptr) << index;
    generate_tile(&tile, index, &bt, nullptr);
  }
  generate_tile(&tile, 0, nullptr, nullptr);
  uint8_t* null_tile = nullptr;
  generate_tile(&null_tile, 0, &bt, nullptr);
  generate_tile(nullptr, 0, &bt, nullptr);
  EXPECT_EQ(small, std::vector<uint8_t>(PEACH_TILE_LENGTH, 0xcd));
}

TEST(GenerateTile, DependsOnlyOnIndexAndPreviousHash) {
  BTRAILER bt = ReferenceTrailer();
  const std::vector<uint8_t> base = Tile(77, bt.phash);
  uint8_t tile[PEACH_TILE_LENGTH];
  uint8_t* p = tile;
  for (size_t offset : {32u, 91u, 92u, 123u, 124u, 159u}) {
    BTRAILER changed = bt;
    reinterpret_cast<uint8_t*>(&changed)[offset] ^= 0xff;
    generate_tile(&p, 77, &changed, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(tile, tile + PEACH_TILE_LENGTH), base) << offset;
  }
  bt.phash[31] ^= 1;
  EXPECT_NE(Tile(77, bt.phash), base);
  EXPECT_NE(Tile(78, ReferenceTrailer().phash), base);
}

// --- next_index and the final test --------------------------------------------------------

TEST(NextIndex, StaysInRangeAndEqualsTheSeedModeNighthashOfTheConcatenation) {
  std::mt19937 rng(99);
  for (int trial = 0; trial < 64; ++trial) {
    const std::vector<uint8_t> tile = powtest::Random(rng, PEACH_TILE_LENGTH);
    const std::vector<uint8_t> nonce = powtest::Random(rng, 32);
    const uint32_t index = trial < 4 ? 0xfffffu - trial : rng() & 0xfffff;
    const uint32_t next = next_index(index, tile.data(), nonce.data());
    EXPECT_LE(next, 1048575u);

    // The 1060-byte jump seed, hashed in one piece through the public nighthash calls.
    std::vector<uint8_t> seed(nonce);
    for (int i = 0; i < 4; ++i) seed.push_back(static_cast<uint8_t>(index >> (8 * i)));
    seed.insert(seed.end(), tile.begin(), tile.end());
    nighthash_ctx_t nh;
    ASSERT_EQ(nighthash_seed_init(&nh, seed.data(), 1060, index, 256), 0);
    nighthash_update(&nh, seed.data(), 1060);
    uint8_t hash[32];
    nighthash_final(&nh, hash);
    uint32_t sum = 0;
    for (int w = 0; w < 8; ++w) {
      sum += hash[4 * w] | hash[4 * w + 1] << 8 | hash[4 * w + 2] << 16 |
             static_cast<uint32_t>(hash[4 * w + 3]) << 24;
    }
    EXPECT_EQ(next, sum & 0xfffff);
  }
}

// The interleaved MD2 of several candidates (the software device's MD2 stage) equals one
// candidate at a time, for jumps and for part lengths that end on a block boundary.
TEST(NextIndex, InterleavedMd2EqualsOneStreamAtATime) {
  std::mt19937 rng(7);
  const uint8_t* tiles[4];
  const uint8_t* nonces[4];
  uint32_t indices[4], next[4];
  std::vector<std::vector<uint8_t>> data;
  for (int k = 0; k < 4; ++k) {
    data.push_back(powtest::Random(rng, PEACH_TILE_LENGTH));
    data.push_back(powtest::Random(rng, 32));
  }
  for (int k = 0; k < 4; ++k) {
    tiles[k] = data[2 * k].data();
    nonces[k] = data[2 * k + 1].data();
    indices[k] = rng() & 0xfffff;
  }
  kest_pow::md2_jump_targets<4>(indices, tiles, nonces, next);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(next[k], kest_pow::jump_target<NIGHTHASH_MD2>(indices[k], tiles[k], nonces[k]));
  }
  uint8_t digest[3][16];
  uint8_t* digests[3] = {digest[0], digest[1], digest[2]};
  kest_pow::md2_streams<3>(tiles, 16, nonces, 0, tiles, 32, digests);
  for (int k = 0; k < 3; ++k) {
    MD2_CTX ctx;
    md2_init(&ctx);
    md2_update(&ctx, tiles[k], 16);
    md2_update(&ctx, tiles[k], 32);
    uint8_t want[16];
    md2_final(&ctx, want);
    EXPECT_EQ(Hex(digest[k], 16), Hex(want, 16)) << k;
  }
}

TEST(SolutionTest, LeadingZeroBitsOfTheFinalHash) {
  uint8_t h[32] = {};
  EXPECT_EQ(kest_pow::leading_zero_bits(h), 256u);
  const std::pair<uint8_t, uint32_t> first_nonzero[] = {
      {1, 7},  {2, 6},  {3, 6},  {4, 5},  {7, 5},   {8, 4},   {15, 4}, {16, 3},
      {31, 3}, {32, 2}, {63, 2}, {64, 1}, {127, 1}, {128, 0}, {255, 0}};
  for (const auto& [byte, zeros] : first_nonzero) {
    std::memset(h, 0, sizeof h);
    h[2] = byte;
    h[3] = 0xff;  // bytes after the first non-zero one do not count
    EXPECT_EQ(kest_pow::leading_zero_bits(h), 16 + zeros) << int(byte);
  }
}

TEST(SolutionTest, FinalHashStartsWithTheFirstDigest) {
  const BTRAILER bt = ReferenceTrailer();
  PeachWalk walk;
  peach_walk(&bt, &walk);
  const std::vector<uint8_t> last = Tile(walk.tiles[PEACH_JUMPS], bt.phash);
  std::vector<uint8_t> input(walk.first_hash, walk.first_hash + 32);
  input.insert(input.end(), last.begin(), last.end());
  EXPECT_EQ(Hex(powtest::OsslDigest("SHA256", input)), Hex(walk.final_hash, 32));
  // Exactly at the zero count is a solution; one more is not.
  EXPECT_EQ(is_solution(static_cast<uint8_t>(walk.zeros), last.data(), walk.first_hash), 1);
  EXPECT_EQ(is_solution(static_cast<uint8_t>(walk.zeros + 1), last.data(), walk.first_hash), 0);
}

// --- Reference walk -----------------------------------------------------------------------

TEST(ReferenceWalk, FirstHashTilesFinalHashAndVerdicts) {
  const BTRAILER bt = ReferenceTrailer();
  PeachWalk walk;
  peach_walk(&bt, &walk);
  EXPECT_EQ(Hex(walk.first_hash, 32),
            "5edc2be5d1c32a07e0a3699702280e23ded4a6d2a0d9026b5f5826c5f64b6955");
  const std::vector<uint32_t> tiles(walk.tiles, walk.tiles + PEACH_WALK_TILES);
  EXPECT_EQ(tiles, (std::vector<uint32_t>{0, 643906, 624383, 1017427, 563642, 238667, 289630,
                                          609999, 365284}));
  EXPECT_EQ(kest_pow::start_index(walk.first_hash), 0u);
  EXPECT_EQ(Hex(walk.final_hash, 32),
            "2384d2a2c67d96ba36c65443f648aadf77328fb38f9e2c10d70cc527699b4588");
  EXPECT_EQ(walk.zeros, 2u);

  for (uint32_t d = 0; d <= 2; ++d) EXPECT_EQ(peach(&bt, d, nullptr), 0) << d;
  for (uint32_t d : {3u, 4u, 255u}) EXPECT_EQ(peach(&bt, d, nullptr), 1) << d;
  // Only the low 8 bits of the difficulty count.
  EXPECT_EQ(peach(&bt, 256, nullptr), 0);
  EXPECT_EQ(peach(&bt, 258, nullptr), 0);
  EXPECT_EQ(peach(&bt, 259, nullptr), 1);
}

TEST(ReferenceWalk, SyntaxFailureOfEitherHalfRejectsEvenAtDifficultyZero) {
  BTRAILER second_bad = ReferenceTrailer();
  second_bad.nonce[16 + 7] = 7;  // "of" where the frame needs NIL
  EXPECT_EQ(peach(&second_bad, 0, nullptr), 1);
  BTRAILER first_bad = ReferenceTrailer();
  first_bad.nonce[6] = 48;  // an F_INF verb where frame 3 wants F_ING
  EXPECT_EQ(peach(&first_bad, 0, nullptr), 1);
  EXPECT_EQ(peach(nullptr, 0, nullptr), 1);
}

TEST(ReferenceWalk, VarnPeachOutcomes) {
  const BTRAILER bt = ReferenceTrailer();  // final hash has 2 leading zero bits
  EXPECT_EQ(varn_peach(&bt, 1, 2), 2);
  EXPECT_EQ(varn_peach(&bt, 0, 256), 2);
  EXPECT_EQ(varn_peach(&bt, 2, 3), 1);
  EXPECT_EQ(varn_peach(&bt, 0, 200), 1);
  EXPECT_EQ(varn_peach(&bt, 3, 0), 0);
  BTRAILER bad = bt;
  bad.nonce[0] = 0;
  EXPECT_EQ(varn_peach(&bad, 0, 0), 0);
  EXPECT_EQ(varn_peach(nullptr, 0, 0), 0);
}

// --- Recorded walks from an independent implementation ------------------------------------

struct RecordedWalk {
  std::string trailer, h, f;
  std::vector<uint32_t> tiles;
  uint32_t zeros = 0;
};

std::string StringField(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\": \"";
  const size_t at = line.find(tag);
  if (at == std::string::npos) return "";
  const size_t start = at + tag.size();
  return line.substr(start, line.find('"', start) - start);
}

std::vector<RecordedWalk> LoadWalks() {
  std::vector<RecordedWalk> walks;
  std::ifstream in(std::string(KEST_POW_TEST_DATA) + "/walks.jsonl");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    RecordedWalk w;
    w.trailer = StringField(line, "trailer");
    w.h = StringField(line, "H");
    w.f = StringField(line, "F");
    const size_t tiles = line.find('[', line.find("\"tiles\""));
    std::string list = line.substr(tiles + 1, line.find(']', tiles) - tiles - 1);
    for (size_t pos = 0; pos < list.size();) {
      size_t used = 0;
      w.tiles.push_back(static_cast<uint32_t>(std::stoul(list.substr(pos), &used)));
      pos += used + 1;
    }
    w.zeros = static_cast<uint32_t>(std::stoul(line.substr(line.find("\"zeros\": ") + 9)));
    walks.push_back(w);
  }
  return walks;
}

TEST(RecordedWalks, EveryVectorMatches) {
  const std::vector<RecordedWalk> walks = LoadWalks();
  ASSERT_GE(walks.size(), 8u) << "walks.jsonl missing or short";
  for (const RecordedWalk& w : walks) {
    SCOPED_TRACE(w.trailer.substr(0, 16));
    const std::vector<uint8_t> raw = Unhex(w.trailer);
    ASSERT_EQ(raw.size(), sizeof(BTRAILER));
    BTRAILER bt;
    std::memcpy(&bt, raw.data(), sizeof bt);
    EXPECT_EQ(fast_trigg_syntax(bt.nonce), 1);
    EXPECT_EQ(fast_trigg_syntax(bt.nonce + 16), 1);

    PeachWalk walk;
    peach_walk(&bt, &walk);
    EXPECT_EQ(Hex(walk.first_hash, 32), w.h);
    EXPECT_EQ(std::vector<uint32_t>(walk.tiles, walk.tiles + PEACH_WALK_TILES), w.tiles);
    EXPECT_EQ(Hex(walk.final_hash, 32), w.f);
    EXPECT_EQ(walk.zeros, w.zeros);
    EXPECT_EQ(peach(&bt, 0, nullptr), 0) << "difficulty 0 accepts a valid nonce";
    EXPECT_EQ(peach(&bt, w.zeros, nullptr), 0);
    EXPECT_EQ(peach(&bt, w.zeros + 1, nullptr), 1);
  }
}

}  // namespace
