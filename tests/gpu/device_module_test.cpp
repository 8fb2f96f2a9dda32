// The device module on the software device: map tiles against the CPU tile generation, the
// search kernel against the CPU proof of work, the solution counter and the result ring, the
// launch geometry and launch errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "gpu/peach_kernels.h"
#include "gpu/runtime.h"
#include "gpu/second_half.h"
#include "pow/peach.h"
#include "pow/sha256.h"
#include "tests/gpu/device_test_util.h"
#include "tests/gpu/swdev_fixture.h"

namespace {

using devtest::Hex;
using Kest::BuildMapGeometry;
using Kest::FindPeachGeometry;
using Kest::LaunchBuildMap;
using Kest::LaunchFindPeach;
using Kest::UploadJobConstants;
using swdev_test::DeviceAlloc;
using swdev_test::DeviceMemory;
using swdev_test::PinnedAlloc;
using swdev_test::PinnedMemory;
using swdev_test::Stream;

constexpr std::size_t kTile = PEACH_TILE_LENGTH;
constexpr std::size_t kGuardBytes = 4096;  // past the last tile, must never be written
constexpr uint8_t kSentinel = 0xa5;
constexpr uint32_t kLastTile = Kest::kMapTiles - 1;

class DeviceModuleTest : public swdev_test::SoftDeviceTest {
 protected:
  void SetUp() override {
    SoftDeviceTest::SetUp();
    map_mem_ = DeviceAlloc(Kest::kMapBytes + kGuardBytes);
    counter_mem_ = DeviceAlloc(sizeof(uint32_t));
    ring_mem_ = PinnedAlloc(Kest::kResultRingBytes);
    map_ = static_cast<uint8_t*>(map_mem_.get());
    counter_ = static_cast<uint32_t*>(counter_mem_.get());
    ring_ = static_cast<uint8_t*>(ring_mem_.get());
    ASSERT_NE(map_, nullptr);
    cudaMemset(counter_, 0, sizeof(uint32_t));
    cudaMemset(ring_, 0, Kest::kResultRingBytes);
    cudaMemset(map_ + Kest::kMapBytes, kSentinel, kGuardBytes);
  }

  void UploadJob(const BTRAILER& bt, uint8_t difficulty) {
    SHA256_CTX midstate;
    sha256_init(&midstate);
    sha256_update(&midstate, &bt, Kest::kSecondHalfOffset);
    UploadJobConstants(stream_, difficulty, reinterpret_cast<const uint8_t*>(&bt), midstate);
    ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  }

  std::vector<uint8_t> DeviceTile(uint32_t index) {
    std::vector<uint8_t> tile(kTile);
    EXPECT_EQ(
        cudaMemcpy(tile.data(), map_ + std::size_t{index} * kTile, kTile, cudaMemcpyDeviceToHost),
        cudaSuccess);
    return tile;
  }

  void PutTile(uint32_t index, const std::vector<uint8_t>& tile) {
    ASSERT_EQ(
        cudaMemcpy(map_ + std::size_t{index} * kTile, tile.data(), kTile, cudaMemcpyHostToDevice),
        cudaSuccess);
  }

  void MarkTile(uint32_t index) { cudaMemset(map_ + std::size_t{index} * kTile, kSentinel, kTile); }

  bool TileUntouched(uint32_t index) {
    const std::vector<uint8_t> tile = DeviceTile(index);
    return std::all_of(tile.begin(), tile.end(), [](uint8_t b) { return b == kSentinel; });
  }

  bool GuardUntouched() {
    std::vector<uint8_t> guard(kGuardBytes);
    cudaMemcpy(guard.data(), map_ + Kest::kMapBytes, kGuardBytes, cudaMemcpyDeviceToHost);
    return std::all_of(guard.begin(), guard.end(), [](uint8_t b) { return b == kSentinel; });
  }

  uint32_t Counter() {
    uint32_t c = 0;
    cudaMemcpy(&c, counter_, sizeof c, cudaMemcpyDeviceToHost);
    return c;
  }

  void SetCounter(uint32_t c) { cudaMemcpy(counter_, &c, sizeof c, cudaMemcpyHostToDevice); }

  std::vector<uint8_t> Slot(uint32_t slot) {
    const uint8_t* p = ring_ + std::size_t{slot} * Kest::kResultSlotBytes;
    return std::vector<uint8_t>(p, p + Kest::kResultSlotBytes);
  }

  void Search(uint32_t offset, unsigned blocks, unsigned threads) {
    LaunchFindPeach(blocks, threads, stream_, offset, map_, counter_, ring_);
    ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  }

  Stream stream_;
  DeviceMemory map_mem_;
  DeviceMemory counter_mem_;
  PinnedMemory ring_mem_;
  uint8_t* map_ = nullptr;
  uint32_t* counter_ = nullptr;
  uint8_t* ring_ = nullptr;
};

using devtest::CpuTile;
using devtest::HalfOf;

// ---------------------------------------------------------------------------------------------
// Map build
// ---------------------------------------------------------------------------------------------

TEST_F(DeviceModuleTest, ReferenceTileZeroFromAZeroPreviousHash) {
  BTRAILER bt{};
  UploadJob(bt, 0);
  LaunchBuildMap(1, stream_, 0, map_);
  ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<uint8_t> tile = DeviceTile(0);
  uint8_t digest[32];
  sha256(tile.data(), static_cast<int32_t>(tile.size()), digest);
  EXPECT_EQ(Hex(digest, 32), "76e7cc6c0cbbf7b1bbe1ac3166ad95cae0e7a7589182878fb7b271862d14107a");
  EXPECT_EQ(Hex(tile.data(), 32),
            "a3b04d5ea3b04d5ea3b04d5ea3b04d5ed7e1ec109b69d03ec3d0e1356ef8ca5e");
}

TEST_F(DeviceModuleTest, BuiltTilesEqualGenerateTileAtSampledOffsets) {
  const BTRAILER bt = devtest::MakeTrailer(101);
  UploadJob(bt, 0);
  std::mt19937 rng(3);
  // 256 tiles per one-block launch: the first and the last block of the map and two random
  // ones. Tiles just outside each launch must stay as they were.
  const uint32_t block = Kest::kBuildMapBlockThreads;
  std::vector<uint32_t> offsets = {0, Kest::kMapTiles - block};
  for (int i = 0; i < 2; ++i) offsets.push_back(1 + rng() % (Kest::kMapTiles - 2 * block));
  for (const uint32_t offset : offsets) {
    if (offset > 0) MarkTile(offset - 1);
    if (offset + block <= kLastTile) MarkTile(offset + block);
    LaunchBuildMap(1, stream_, offset, map_);
    ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (uint32_t i = offset; i < offset + block; ++i) {
      ASSERT_EQ(DeviceTile(i), CpuTile(bt, i)) << "tile " << i;
    }
    if (offset > 0) {
      EXPECT_TRUE(TileUntouched(offset - 1)) << "below offset " << offset;
    }
    if (offset + block <= kLastTile) {
      EXPECT_TRUE(TileUntouched(offset + block)) << "above offset " << offset;
    }
  }
  EXPECT_TRUE(GuardUntouched());
}

TEST_F(DeviceModuleTest, GridReachingPastTheLastTileWritesOnlyTheMap) {
  const BTRAILER bt = devtest::MakeTrailer(202);
  UploadJob(bt, 0);
  // Two blocks from the last tile: one real tile, 511 threads above 1048575.
  MarkTile(kLastTile - 1);
  LaunchBuildMap(2, stream_, kLastTile, map_);
  ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(DeviceTile(kLastTile), CpuTile(bt, kLastTile));
  EXPECT_TRUE(TileUntouched(kLastTile - 1));
  EXPECT_TRUE(GuardUntouched());

  // A launch entirely above the map writes nothing.
  MarkTile(kLastTile);
  LaunchBuildMap(1, stream_, Kest::kMapTiles, map_);
  ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  EXPECT_TRUE(TileUntouched(kLastTile));
  EXPECT_TRUE(GuardUntouched());
}

TEST_F(DeviceModuleTest, TilesDependOnlyOnThePreviousHash) {
  BTRAILER bt = devtest::MakeTrailer(303);
  UploadJob(bt, 0);
  LaunchBuildMap(1, stream_, 4096, map_);
  const std::vector<uint8_t> before = DeviceTile(4096 + 17);
  std::memset(bt.header, 0x5c, sizeof bt.header);  // trailer bytes 32..91 change
  UploadJob(bt, 9);
  LaunchBuildMap(1, stream_, 4096, map_);
  EXPECT_EQ(DeviceTile(4096 + 17), before);
  bt.phash[31] ^= 1;
  UploadJob(bt, 9);
  LaunchBuildMap(1, stream_, 4096, map_);
  ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  EXPECT_NE(DeviceTile(4096 + 17), before);
  EXPECT_EQ(DeviceTile(4096 + 17), CpuTile(bt, 4096 + 17));
}

// ---------------------------------------------------------------------------------------------
// Search
// ---------------------------------------------------------------------------------------------

struct Candidate {
  uint32_t index;
  uint32_t zeros;  // leading zero bits of the final hash, from the CPU walk
};

// Walks every candidate on the CPU and puts every tile the walks touch into the map.
std::vector<Candidate> PrepareWalks(const BTRAILER& job, const std::vector<uint32_t>& indices,
                                    std::set<uint32_t>* tiles) {
  std::vector<Candidate> out;
  for (const uint32_t index : indices) {
    const BTRAILER bt = devtest::WithSecondHalf(job, index);
    PeachWalk walk;
    peach_walk(&bt, &walk);
    tiles->insert(walk.tiles, walk.tiles + PEACH_WALK_TILES);
    out.push_back({index, walk.zeros});
  }
  return out;
}

TEST_F(DeviceModuleTest, SearchReportsExactlyTheCpuSolutions) {
  const BTRAILER job = devtest::MakeTrailer(404);
  // Three disjoint ranges: low indices, high indices (second-half noun from the upper half of
  // its table), and a range that wraps through 2^32 to 0.
  struct Range {
    uint32_t offset;
    unsigned blocks;
    unsigned threads;
  };
  const Range ranges[] = {{4096, 2, 128}, {0xf7ffff80u, 1, 192}, {0xffffffc0u, 1, 128}};
  std::vector<uint32_t> indices;
  for (const Range& r : ranges) {
    for (uint32_t k = 0; k < r.blocks * r.threads; ++k) indices.push_back(r.offset + k);
  }
  std::set<uint32_t> tiles;
  const std::vector<Candidate> candidates = PrepareWalks(job, indices, &tiles);
  for (const uint32_t t : tiles) PutTile(t, CpuTile(job, t));

  std::map<std::vector<uint8_t>, uint32_t> index_of_half;
  for (const uint32_t index : indices) index_of_half[HalfOf(index)] = index;

  for (const uint8_t difficulty : {uint8_t{2}, uint8_t{4}}) {
    std::set<uint32_t> expected;
    int exactly_at_difficulty = 0;
    for (const Candidate& c : candidates) {
      if (c.zeros >= difficulty) expected.insert(c.index);
      if (c.zeros == difficulty) ++exactly_at_difficulty;
    }
    ASSERT_GT(exactly_at_difficulty, 0) << "no candidate sits exactly at the difficulty";
    ASSERT_LT(expected.size(), std::size_t{Kest::kResultSlots});

    UploadJob(job, difficulty);
    const uint32_t before = Counter();
    for (const Range& r : ranges) Search(r.offset, r.blocks, r.threads);
    const uint32_t after = Counter();
    ASSERT_EQ(after - before, expected.size()) << "difficulty " << int{difficulty};

    std::set<uint32_t> reported;
    for (uint32_t n = before; n != after; ++n) {
      const auto it = index_of_half.find(Slot(n % Kest::kResultSlots));
      ASSERT_NE(it, index_of_half.end()) << "slot " << n % Kest::kResultSlots;
      reported.insert(it->second);
    }
    EXPECT_EQ(reported, expected) << "difficulty " << int{difficulty};

    // What the mining manager does with a reported half: the CPU check accepts it.
    for (const uint32_t index : reported) {
      const BTRAILER bt = devtest::WithSecondHalf(job, index);
      EXPECT_EQ(peach(&bt, difficulty, nullptr), 0) << "index " << index;
    }
  }
}

TEST_F(DeviceModuleTest, SequenceNumberWrapsIntoTheFirstSlot) {
  const BTRAILER job = devtest::MakeTrailer(505);
  UploadJob(job, 0);  // difficulty 0: every candidate is a solution
  SetCounter(Kest::kResultSlots - 1);
  Search(1000, 1, 1);
  EXPECT_EQ(Counter(), Kest::kResultSlots);
  EXPECT_EQ(Slot(Kest::kResultSlots - 1), HalfOf(1000));
  Search(77777, 1, 1);  // sequence number 1024
  EXPECT_EQ(Counter(), Kest::kResultSlots + 1);
  EXPECT_EQ(Slot(0), HalfOf(77777));
  // The 96 bytes after the ring are never written.
  const uint8_t* tail = ring_ + std::size_t{Kest::kResultSlots} * Kest::kResultSlotBytes;
  const uint8_t* end = ring_ + Kest::kResultRingBytes;
  EXPECT_TRUE(std::all_of(tail, end, [](uint8_t b) { return b == 0; }));
}

TEST_F(DeviceModuleTest, DifficultyZeroFillsTheRingAcrossTheWrap) {
  const BTRAILER job = devtest::MakeTrailer(606);
  UploadJob(job, 0);
  const uint32_t start = 768;
  SetCounter(start);
  Search(5000, 2, 256);    // sequence numbers 768..1279: slots 768..1023, then 0..255
  Search(900000, 4, 128);  // 1280..1791: slots 256..767
  EXPECT_EQ(Counter(), start + 1024);

  std::set<std::vector<uint8_t>> expected;
  for (uint32_t k = 0; k < 512; ++k) {
    expected.insert(HalfOf(5000 + k));
    expected.insert(HalfOf(900000 + k));
  }
  std::set<std::vector<uint8_t>> in_ring;
  for (uint32_t slot = 0; slot < Kest::kResultSlots; ++slot) in_ring.insert(Slot(slot));
  EXPECT_EQ(in_ring, expected);
}

// ---------------------------------------------------------------------------------------------
// Geometry, launches, errors
// ---------------------------------------------------------------------------------------------

TEST_F(DeviceModuleTest, GeometryFollowsTheOccupancyAnswers) {
  int sms = 0;
  int max_threads_per_sm = 0;
  ASSERT_EQ(cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, 0), cudaSuccess);
  ASSERT_EQ(cudaDeviceGetAttribute(&max_threads_per_sm, cudaDevAttrMaxThreadsPerMultiProcessor, 0),
            cudaSuccess);
  int blocks = 0;
  int threads = 0;
  ASSERT_EQ(FindPeachGeometry(&blocks, &threads), cudaSuccess);
  EXPECT_EQ(threads, Kest::swdev::tuning::kKernelMaxThreadsPerBlock);
  EXPECT_EQ(blocks, max_threads_per_sm / threads * sms);
  int map_blocks = 0;
  ASSERT_EQ(BuildMapGeometry(&map_blocks), cudaSuccess);
  EXPECT_EQ(map_blocks, blocks);

  EXPECT_EQ(FindPeachGeometry(nullptr, &threads), cudaErrorInvalidValue);
  EXPECT_EQ(BuildMapGeometry(nullptr), cudaErrorInvalidValue);
}

TEST_F(DeviceModuleTest, FailingDeviceQueryIsReturned) {
  Kest::swdev::Fault fault;
  fault.kind = Kest::swdev::Fault::Kind::kAttributes;
  fault.device = 0;
  Kest::swdev::InjectFault(fault);
  int blocks = 0;
  int threads = 0;
  EXPECT_NE(FindPeachGeometry(&blocks, &threads), cudaSuccess);
  int map_blocks = 0;
  EXPECT_NE(BuildMapGeometry(&map_blocks), cudaSuccess);
  cudaGetLastError();
}

TEST_F(DeviceModuleTest, LaunchErrorsSurfaceThroughTheLastError) {
  const BTRAILER job = devtest::MakeTrailer(707);
  UploadJob(job, 255);
  Kest::swdev::Fault fault;
  fault.kind = Kest::swdev::Fault::Kind::kLaunch;
  fault.nth = 1;
  Kest::swdev::InjectFault(fault);
  LaunchFindPeach(1, 32, stream_, 0, map_, counter_, ring_);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);

  // A block larger than the kernel allows is refused without running.
  LaunchFindPeach(1, 2048, stream_, 0, map_, counter_, ring_);
  EXPECT_NE(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(Counter(), 0u);
}

}  // namespace
