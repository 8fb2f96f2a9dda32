// The staged search against the classic kernel and the CPU proof of work on the software
// device: solution sets over ranges that wrap 2^32 and batches that are not whole blocks or
// that run in pieces, a batch whose candidates all take one nighthash type at a jump (the
// other seven lists empty), a ring overrun, and recorded walks of an independent
// implementation.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gpu/peach_kernels.h"
#include "gpu/runtime.h"
#include "gpu/second_half.h"
#include "pow/peach.h"
#include "pow/sha256.h"
#include "tests/gpu/device_test_util.h"
#include "tests/gpu/swdev_fixture.h"

#ifndef KEST_POW_TEST_DATA
#error "KEST_POW_TEST_DATA must name the proof-of-work test data folder"
#endif

namespace {

using Kest::SearchPath;
using swdev_test::DeviceAlloc;
using swdev_test::DeviceMemory;
using swdev_test::PinnedAlloc;
using swdev_test::PinnedMemory;
using swdev_test::Stream;

constexpr std::size_t kTile = PEACH_TILE_LENGTH;

using devtest::CpuTile;
using devtest::HalfOf;

// One search path's counter and ring.
struct Sink {
  DeviceMemory counter_mem = DeviceAlloc(sizeof(uint32_t));
  PinnedMemory ring_mem = PinnedAlloc(Kest::kResultRingBytes);
  uint32_t* counter() const { return static_cast<uint32_t*>(counter_mem.get()); }
  uint8_t* ring() const { return static_cast<uint8_t*>(ring_mem.get()); }
  Sink() {
    cudaMemset(counter(), 0, sizeof(uint32_t));
    std::memset(ring(), 0, Kest::kResultRingBytes);
  }
  uint32_t Count() const {
    uint32_t c = 0;
    cudaMemcpy(&c, counter(), sizeof c, cudaMemcpyDeviceToHost);
    return c;
  }
  std::vector<uint8_t> Slot(uint32_t n) const {
    const uint8_t* p = ring() + std::size_t{n % Kest::kResultSlots} * Kest::kResultSlotBytes;
    return std::vector<uint8_t>(p, p + Kest::kResultSlotBytes);
  }
};

class StagedSearchTest : public swdev_test::SoftDeviceTest {
 protected:
  void SetUp() override {
    SoftDeviceTest::SetUp();
    map_mem_ = DeviceAlloc(Kest::kMapBytes);
    map_ = static_cast<uint8_t*>(map_mem_.get());
    ASSERT_NE(map_, nullptr);
  }

  void UploadJob(const BTRAILER& bt, uint8_t difficulty) {
    SHA256_CTX midstate;
    sha256_init(&midstate);
    sha256_update(&midstate, &bt, Kest::kSecondHalfOffset);
    Kest::UploadJobConstants(stream_, difficulty, reinterpret_cast<const uint8_t*>(&bt), midstate);
    ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  }

  // Walks candidates on the CPU, puts every tile they touch into the map, returns the walks.
  std::map<uint32_t, PeachWalk> PrepareWalks(const BTRAILER& job,
                                             const std::vector<uint32_t>& indices) {
    std::map<uint32_t, PeachWalk> walks;
    std::set<uint32_t> tiles;
    for (const uint32_t index : indices) {
      const BTRAILER bt = devtest::WithSecondHalf(job, index);
      peach_walk(&bt, &walks[index]);
      tiles.insert(walks[index].tiles, walks[index].tiles + PEACH_WALK_TILES);
    }
    for (const uint32_t t : tiles) {
      const std::vector<uint8_t> tile = CpuTile(job, t);
      EXPECT_EQ(
          cudaMemcpy(map_ + std::size_t{t} * kTile, tile.data(), kTile, cudaMemcpyHostToDevice),
          cudaSuccess);
    }
    return walks;
  }

  void Search(SearchPath path, const Sink& sink, uint32_t offset, unsigned blocks,
              unsigned threads) {
    ASSERT_EQ(Kest::LaunchSearch(path, staged_, blocks, threads, stream_, offset, map_,
                                 sink.counter(), sink.ring()),
              cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  }

  // The candidate indices whose halves sit in sequence numbers [from, to) of the ring.
  static std::set<uint32_t> Reported(const Sink& sink, uint32_t from, uint32_t to,
                                     const std::vector<uint32_t>& indices) {
    std::map<std::vector<uint8_t>, uint32_t> index_of_half;
    for (const uint32_t index : indices) index_of_half[HalfOf(index)] = index;
    std::set<uint32_t> reported;
    for (uint32_t n = from; n != to; ++n) {
      const auto it = index_of_half.find(sink.Slot(n));
      EXPECT_NE(it, index_of_half.end()) << "sequence " << n << " holds no candidate's half";
      if (it != index_of_half.end()) reported.insert(it->second);
    }
    return reported;
  }

  // Last tile of candidate slot `c` of the last staged batch (piece).
  uint32_t StagedTile(uint32_t c) {
    uint32_t t = 0;
    cudaMemcpy(&t, staged_.tiles + c, sizeof t, cudaMemcpyDeviceToHost);
    return t;
  }

  Stream stream_;
  DeviceMemory map_mem_;
  uint8_t* map_ = nullptr;
  Kest::StagedSearchBuffers staged_;
};

TEST_F(StagedSearchTest, StagedClassicAndCpuReportTheSameSolutions) {
  const BTRAILER job = devtest::MakeTrailer(1401);
  // A batch of 3 x 100 candidates through 2^32 (not whole 256-thread stage blocks, and larger
  // than the buffers: it runs as pieces of 256 and 44), and one of 2 x 256 high indices.
  struct Range {
    uint32_t offset;
    unsigned blocks;
    unsigned threads;
  };
  const Range ranges[] = {{0xffffff60u, 3, 100}, {0xf7ffff00u, 2, 256}};
  ASSERT_EQ(staged_.Allocate(256), cudaSuccess);
  std::vector<uint32_t> indices;
  for (const Range& r : ranges) {
    for (uint32_t k = 0; k < r.blocks * r.threads; ++k) indices.push_back(r.offset + k);
  }
  const std::map<uint32_t, PeachWalk> walks = PrepareWalks(job, indices);

  Sink classic, staged;
  for (const uint8_t difficulty : {uint8_t{2}, uint8_t{3}, uint8_t{4}}) {
    SCOPED_TRACE(int{difficulty});
    std::set<uint32_t> expected;
    for (const auto& [index, walk] : walks) {
      if (walk.zeros >= difficulty) expected.insert(index);
    }
    ASSERT_FALSE(expected.empty());
    UploadJob(job, difficulty);
    const uint32_t classic_before = classic.Count(), staged_before = staged.Count();
    for (const Range& r : ranges) {
      Search(SearchPath::kClassic, classic, r.offset, r.blocks, r.threads);
      Search(SearchPath::kStaged, staged, r.offset, r.blocks, r.threads);
    }
    EXPECT_EQ(staged.Count() - staged_before, expected.size());
    EXPECT_EQ(Reported(staged, staged_before, staged.Count(), indices), expected);
    EXPECT_EQ(Reported(classic, classic_before, classic.Count(), indices), expected);
  }
}

TEST_F(StagedSearchTest, BatchWhereEveryCandidateTakesOneTypeAtTheFirstJump) {
  const BTRAILER job = devtest::MakeTrailer(1402);
  // Find four consecutive candidates whose first jump has one type (about 1 in 512 places).
  constexpr uint32_t kRun = 4;
  std::map<uint32_t, std::vector<uint8_t>> tile_cache;
  uint32_t first = 0, run = 0, run_type = NIGHTHASH_TYPE_COUNT;
  for (uint32_t index = 7000; run < kRun && index < 7000 + 60000; ++index) {
    const BTRAILER bt = devtest::WithSecondHalf(job, index);
    uint8_t h[PEACH_HASH_LENGTH];
    sha256(&bt, PEACH_HASHED_PREFIX, h);
    const uint32_t start = kest_pow::start_index(h);
    auto it = tile_cache.find(start);
    if (it == tile_cache.end()) it = tile_cache.emplace(start, CpuTile(job, start)).first;
    const uint32_t type = kest_pow::jump_type(start, it->second.data(), bt.nonce);
    if (type == run_type) {
      ++run;
    } else {
      first = index;
      run = 1;
      run_type = type;
    }
  }
  ASSERT_EQ(run, kRun) << "no run of " << kRun << " found";
  std::vector<uint32_t> indices;
  for (uint32_t k = 0; k < kRun; ++k) indices.push_back(first + k);
  const std::map<uint32_t, PeachWalk> walks = PrepareWalks(job, indices);

  // Buffers exactly as large as the batch: type run_type's list is full, the others empty.
  ASSERT_EQ(staged_.Allocate(kRun), cudaSuccess);
  Sink classic, staged;
  UploadJob(job, 1);
  Search(SearchPath::kStaged, staged, first, 1, kRun);
  Search(SearchPath::kClassic, classic, first, 1, kRun);
  std::set<uint32_t> expected;
  for (uint32_t k = 0; k < kRun; ++k) {
    const PeachWalk& walk = walks.at(first + k);
    EXPECT_EQ(StagedTile(k), walk.tiles[PEACH_JUMPS]) << "candidate " << first + k;
    if (walk.zeros >= 1) expected.insert(first + k);
  }
  EXPECT_EQ(Reported(staged, 0, staged.Count(), indices), expected);
  EXPECT_EQ(Reported(classic, 0, classic.Count(), indices), expected);
}

// Hash-stage grids far smaller than the lists: every thread strides over many entries (and the
// MD2 stage over many groups of entries). The map is noise, so that every jump matters.
TEST_F(StagedSearchTest, HashStagesStridingOverLongListsMatchClassic) {
  const BTRAILER job = devtest::MakeTrailer(1404);
  UploadJob(job, 4);
  std::vector<uint64_t> noise(std::size_t{1} << 23);  // 64 MiB, copied 16 times with changes
  uint64_t x = 88172645463325252ull;
  for (std::size_t piece = 0; piece < Kest::kMapBytes / (noise.size() * 8); ++piece) {
    for (uint64_t& w : noise) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    ASSERT_EQ(cudaMemcpy(map_ + piece * noise.size() * 8, noise.data(), noise.size() * 8,
                         cudaMemcpyHostToDevice),
              cudaSuccess);
  }
  constexpr uint32_t kCount = 48 * 256;
  ASSERT_EQ(staged_.Allocate(kCount), cudaSuccess);
  // One 256-thread block per hash stage: lists of about 1536 entries, more than even the MD2
  // stage's block takes in one step on the software device (four entries per thread).
  staged_.hash_share = kCount;
  Sink classic, staged;
  Search(SearchPath::kClassic, classic, 0x7fffff00u, 48, 256);
  Search(SearchPath::kStaged, staged, 0x7fffff00u, 48, 256);
  std::vector<uint32_t> indices;
  for (uint32_t k = 0; k < kCount; ++k) indices.push_back(0x7fffff00u + k);
  const std::set<uint32_t> expected = Reported(classic, 0, classic.Count(), indices);
  EXPECT_GT(expected.size(), 256u);
  EXPECT_EQ(Reported(staged, 0, staged.Count(), indices), expected);
}

TEST_F(StagedSearchTest, MoreSolutionsThanRingSlotsWrapTheRingAsClassicDoes) {
  const BTRAILER job = devtest::MakeTrailer(1403);
  UploadJob(job, 0);  // every candidate is a solution, whatever the (unwritten) tiles hold
  ASSERT_EQ(staged_.Allocate(2048), cudaSuccess);
  Sink sink;
  const uint32_t start = 1000;
  cudaMemcpy(sink.counter(), &start, sizeof start, cudaMemcpyHostToDevice);
  const uint32_t offset = 0xfffffd00u;  // 1300 candidates through 2^32
  Search(SearchPath::kStaged, sink, offset, 5, 260);
  ASSERT_EQ(sink.Count(), start + 1300);
  // Every slot holds a different candidate of the batch (the last writer of each slot wins).
  std::vector<uint32_t> indices;
  for (uint32_t k = 0; k < 1300; ++k) indices.push_back(offset + k);
  EXPECT_EQ(Reported(sink, 0, Kest::kResultSlots, indices).size(), Kest::kResultSlots);
  const uint8_t* tail = sink.ring() + std::size_t{Kest::kResultSlots} * Kest::kResultSlotBytes;
  const uint8_t* end = sink.ring() + Kest::kResultRingBytes;
  EXPECT_TRUE(std::all_of(tail, end, [](uint8_t b) { return b == 0; }));
}

TEST_F(StagedSearchTest, RecordedWalksEndOnTheirLastTileAndPassAtTheirZeros) {
  std::ifstream in(std::string(KEST_POW_TEST_DATA) + "/walks.jsonl");
  std::string line;
  int checked = 0;
  ASSERT_EQ(staged_.Allocate(1), cudaSuccess);
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const auto field = [&line](const std::string& key) {
      return line.substr(line.find("\"" + key + "\": ") + key.size() + 4);
    };
    const std::string hex = field("trailer").substr(1, 2 * sizeof(BTRAILER));
    BTRAILER job;
    for (std::size_t i = 0; i < sizeof job; ++i) {
      reinterpret_cast<uint8_t*>(&job)[i] =
          static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    const uint32_t index = static_cast<uint32_t>(std::stoul(field("second_index")));
    const uint32_t zeros = static_cast<uint32_t>(std::stoul(field("zeros")));
    const std::string tiles = field("tiles");
    const uint32_t last_tile =
        static_cast<uint32_t>(std::stoul(tiles.substr(tiles.rfind(',', tiles.find(']')) + 1)));
    SCOPED_TRACE(index);
    ASSERT_EQ(HalfOf(index), std::vector<uint8_t>(job.nonce + 16, job.nonce + 32));
    PrepareWalks(job, {index});
    Sink sink;
    UploadJob(job, static_cast<uint8_t>(zeros));
    Search(SearchPath::kStaged, sink, index, 1, 1);
    EXPECT_EQ(StagedTile(0), last_tile);
    EXPECT_EQ(sink.Count(), 1u);
    UploadJob(job, static_cast<uint8_t>(zeros + 1));
    Search(SearchPath::kStaged, sink, index, 1, 1);
    EXPECT_EQ(sink.Count(), 1u);
    ++checked;
  }
  EXPECT_GE(checked, 8);
}

TEST_F(StagedSearchTest, UnallocatedBuffersLaunchNothing) {
  Sink sink;
  EXPECT_EQ(Kest::LaunchStagedSearch(staged_, 1, 32, stream_, 0, map_, sink.counter(), sink.ring()),
            cudaErrorInvalidValue);
  int blocks = 0, threads = 0, sms = 0, per_sm = 0;
  ASSERT_EQ(Kest::SearchGeometry(SearchPath::kStaged, &blocks, &threads), cudaSuccess);
  cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, 0);
  cudaDeviceGetAttribute(&per_sm, cudaDevAttrMaxThreadsPerMultiProcessor, 0);
  EXPECT_EQ(threads, static_cast<int>(Kest::kStagedBlockThreads));
  EXPECT_EQ(blocks * threads, sms * per_sm * Kest::kStagedBatchWaves);
}

}  // namespace
