// Divergence model of the GPU search, from real walks computed with the CPU proof-of-work code.
//
// Every jump of a walk hashes 1060 bytes (nonce || tile index || tile) with the algorithm the
// floating-point pass over those bytes picks. A warp runs each algorithm present among its 32
// lanes one after the other, with the other lanes idle. The model samples walks of 32
// consecutive candidate indices (a warp of the per-candidate kernel), records the algorithm of
// every jump, and compares two schedules:
//   classic  the warp's 32 consecutive candidates; a warp-jump costs the sum of the costs of
//            the distinct algorithms among its lanes;
//   staged   candidates grouped by algorithm before each jump's hashing; every warp runs one
//            algorithm, and each algorithm's list ends in a partly filled warp.
// Family costs are this thread's CPU time per 1060-byte nighthash of each type, measured in the
// same run. It is a model: the GPU's own relative costs, memory traffic and the classify stage's
// launches are not in it.
#include "tools/bench/divergence_model.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "app/records.h"
#include "gpu/second_half.h"
#include "miner/seed.h"
#include "pow/byteorder.h"
#include "pow/nighthash.h"
#include "pow/peach.h"
#include "pow/sha256.h"

namespace Kest {
namespace bench {
namespace {

constexpr uint32_t kWarp = 32;
constexpr uint32_t kTypes = NIGHTHASH_TYPE_COUNT;
constexpr uint32_t kJumpBytes = PEACH_NONCE_LENGTH + kest_pow::kIndexLength + PEACH_TILE_LENGTH;
constexpr uint32_t kSampleSeed = 20261208;
constexpr uint32_t kDefaultTrailers = 8;
constexpr uint32_t kDefaultWarpsPerTrailer = 4;
constexpr double kLargeBatch = 1 << 20;  // candidates per batch of the staged search on a big GPU
constexpr double kMinTimedSeconds = 0.02;

const char* const kTypeNames[kTypes] = {
    "BLAKE2b key 32x00", "BLAKE2b key 64x01", "SHA-1", "SHA-256",
    "SHA3-256",          "Keccak-256",        "MD2",   "MD5"};

// Algorithm type of the jump from tile `index`: the selector of the floating-point pass over
// nonce || index || tile, as next_index computes it before hashing.
uint32_t JumpType(uint32_t index, const uint8_t* tile, const uint8_t* nonce) {
  uint8_t index_le[kest_pow::kIndexLength];
  kest_pow::store32_le(index_le, index);
  uint32_t op = kest_pow::fp_groups(nonce, nullptr, PEACH_NONCE_LENGTH, index, 0);
  op = kest_pow::fp_groups(index_le, nullptr, kest_pow::kIndexLength, index, op);
  op = kest_pow::fp_groups(tile, nullptr, PEACH_TILE_LENGTH, index, op);
  return op % kTypes;
}

// next_index with the hash type forced: equal to next_index exactly when `type` is the one
// the data picks (the cross-check of JumpType).
uint32_t NextIndexOfType(uint32_t type, uint32_t index, const uint8_t* tile, const uint8_t* nonce) {
  uint8_t index_le[kest_pow::kIndexLength];
  kest_pow::store32_le(index_le, index);
  nighthash_ctx_t nh;
  nighthash_init(&nh, type, PEACH_HASH_BITS);
  nighthash_update(&nh, nonce, PEACH_NONCE_LENGTH);
  nighthash_update(&nh, index_le, kest_pow::kIndexLength);
  nighthash_update(&nh, tile, PEACH_TILE_LENGTH);
  uint8_t hash[PEACH_HASH_LENGTH];
  nighthash_final(&nh, hash);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < PEACH_HASH_LENGTH; i += 4) sum += kest_pow::load32_le(hash + i);
  return sum & PEACH_TILE_INDEX_MASK;
}

// CPU time of this thread: the family costs stay comparable when other processes share the
// cores.
double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// CPU seconds per call of fn, the best of three timed runs of at least kMinTimedSeconds each.
template <class Fn>
double SecondsPerCall(Fn&& fn) {
  double best = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    uint64_t calls = 0;
    const double start = ThreadSeconds();
    double elapsed = 0;
    do {
      for (int k = 0; k < 8; ++k) fn();
      calls += 8;
      elapsed = ThreadSeconds() - start;
    } while (elapsed < kMinTimedSeconds);
    best = std::min(best, elapsed / static_cast<double>(calls));
  }
  return best;
}

struct Sample {
  // types[w][j][lane]: algorithm of jump j of lane `lane` in sampled warp w.
  std::vector<std::array<std::array<uint8_t, kWarp>, PEACH_JUMPS>> types;
  uint32_t start_tile_zero = 0;  // walks starting at tile 0
  uint32_t checked_jumps = 0;
  uint32_t mismatches = 0;
};

// Walks of `warps_per_trailer` warps of 32 consecutive candidates for each of `trailers` random
// jobs (random previous-block hash and header, a first half from the syntax frames).
Sample Walk(uint32_t trailers, uint32_t warps_per_trailer) {
  Sample sample;
  std::mt19937 rng(kSampleSeed);
  auto draws = VarnRand::FromSeed(kSampleSeed);
  std::vector<uint8_t> tile(PEACH_TILE_LENGTH);
  for (uint32_t t = 0; t < trailers; ++t) {
    BTRAILER bt{};
    auto* bytes = reinterpret_cast<uint8_t*>(&bt);
    for (size_t i = 0; i < sizeof bt; ++i) bytes[i] = static_cast<uint8_t>(rng());
    trigg_gen(bt.nonce, *draws);
    for (uint32_t w = 0; w < warps_per_trailer; ++w) {
      const uint32_t first = static_cast<uint32_t>(rng()) & ~(kWarp - 1);
      auto& warp = sample.types.emplace_back();
      for (uint32_t lane = 0; lane < kWarp; ++lane) {
        cuda_second_half(first + lane, bt.nonce + PEACH_NONCE_LENGTH / 2);
        uint8_t first_hash[PEACH_HASH_LENGTH];
        sha256(&bt, static_cast<int32_t>(PEACH_HASHED_PREFIX), first_hash);
        uint32_t index = kest_pow::start_index(first_hash);
        if (index == 0) ++sample.start_tile_zero;
        kest_pow::build_tile(tile.data(), index, bt.phash, nullptr);
        for (uint32_t j = 0; j < PEACH_JUMPS; ++j) {
          const uint32_t type = JumpType(index, tile.data(), bt.nonce);
          warp[j][lane] = static_cast<uint8_t>(type);
          const uint32_t next = next_index(index, tile.data(), bt.nonce);
          if (lane == 0) {  // one lane per warp: the type really is the one next_index hashes
            ++sample.checked_jumps;
            if (NextIndexOfType(type, index, tile.data(), bt.nonce) != next) ++sample.mismatches;
          }
          index = next;
          kest_pow::build_tile(tile.data(), index, bt.phash, nullptr);
        }
      }
    }
  }
  return sample;
}

}  // namespace

int RunDivergenceModel(int argc, char** argv) {
  uint32_t trailers = kDefaultTrailers;
  uint32_t warps = kDefaultWarpsPerTrailer;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--divergence-model") == 0) continue;
    unsigned value = 0;
    if (std::sscanf(argv[i], "--trailers=%u", &value) == 1 && value > 0 && value <= 1024) {
      trailers = value;
    } else if (std::sscanf(argv[i], "--warps=%u", &value) == 1 && value > 0 && value <= 1024) {
      warps = value;
    } else {
      std::fprintf(stderr,
                   "usage: plo-bench --divergence-model [--trailers=N] [--warps=N per trailer]\n");
      return 2;
    }
  }

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();

  // Family costs: one 1060-byte nighthash of each type, on this CPU, now.
  std::mt19937 rng(kSampleSeed + 1);
  std::vector<uint8_t> message(kJumpBytes);
  for (auto& b : message) b = static_cast<uint8_t>(rng());
  double cost[kTypes];
  for (uint32_t type = 0; type < kTypes; ++type) {
    uint8_t out[PEACH_HASH_LENGTH];
    cost[type] = SecondsPerCall([&] {
      nighthash_ctx_t nh;
      nighthash_init(&nh, type, PEACH_HASH_BITS);
      nighthash_update(&nh, message.data(), kJumpBytes);
      nighthash_final(&nh, out);
      message[0] ^= out[0];
      benchmark::DoNotOptimize(out);
    });
  }
  // The floating-point pass over the same bytes, scalar as on the device: every lane runs it
  // in both schedules.
  uint32_t sink = 0;
  const double fp_cost = SecondsPerCall([&] {
    sink += kest_pow::fp_groups_scalar(message.data(), nullptr, kJumpBytes, sink, 0);
    benchmark::DoNotOptimize(sink);
  });

  const Sample sample = Walk(trailers, warps);
  const double walk_seconds = std::chrono::duration<double>(Clock::now() - start).count();

  // Classic: per warp-jump, the distinct types and the sum of their costs.
  const uint32_t warp_count = static_cast<uint32_t>(sample.types.size());
  const uint32_t candidates = warp_count * kWarp;
  double distinct_sum = 0, distinct_sq = 0, classic_cost = 0;
  double distinct_by_jump[PEACH_JUMPS] = {};
  uint32_t with_md2 = 0;
  uint64_t type_count[kTypes] = {};
  // Staged: per jump, the list of each type over the whole sample batch.
  double staged_cost = 0, staged_warps = 0;
  for (uint32_t j = 0; j < PEACH_JUMPS; ++j) {
    uint32_t list[kTypes] = {};
    for (const auto& warp : sample.types) {
      bool present[kTypes] = {};
      for (uint32_t lane = 0; lane < kWarp; ++lane) {
        present[warp[j][lane]] = true;
        ++list[warp[j][lane]];
        ++type_count[warp[j][lane]];
      }
      uint32_t distinct = 0;
      for (uint32_t type = 0; type < kTypes; ++type) {
        if (!present[type]) continue;
        ++distinct;
        classic_cost += cost[type];
      }
      distinct_sum += distinct;
      distinct_by_jump[j] += distinct;
      distinct_sq += static_cast<double>(distinct) * distinct;
      if (present[NIGHTHASH_MD2]) ++with_md2;
    }
    for (uint32_t type = 0; type < kTypes; ++type) {
      const double type_warps = std::ceil(list[type] / static_cast<double>(kWarp));
      staged_warps += type_warps;
      staged_cost += type_warps * cost[type];
    }
  }
  const double warp_jumps = static_cast<double>(warp_count) * PEACH_JUMPS;
  const double distinct_mean = distinct_sum / warp_jumps;
  const double distinct_sd =
      std::sqrt(std::max(0.0, distinct_sq / warp_jumps - distinct_mean * distinct_mean));
  const double fp_warps = warp_jumps * fp_cost;  // the same in both schedules, per warp-jump

  // A large batch: lists of kLargeBatch * p(type) candidates, tails of at most one warp each.
  const double total_types = static_cast<double>(candidates) * PEACH_JUMPS;
  double large_cost = 0, large_warps = 0;
  for (uint32_t type = 0; type < kTypes; ++type) {
    const double w = std::ceil(kLargeBatch * type_count[type] / total_types / kWarp);
    large_warps += w;
    large_cost += w * cost[type];
  }
  const double large_scale = (kLargeBatch / kWarp) / large_warps;  // warps of 32 per warp run
  // Per jump and per 32 candidates, in seconds of one lane's work.
  const double classic_per_warp = classic_cost / warp_jumps;
  const double staged_per_warp = staged_cost / warp_jumps;
  const double large_per_warp = large_cost / (kLargeBatch / kWarp);
  const double fp_per_warp = fp_warps / warp_jumps;

  std::printf("Divergence model of the GPU search (a model: CPU costs, no GPU measured)\n");
  std::printf(
      "sample: %u jobs x %u warps x 32 consecutive candidates = %u walks, %u jumps each; "
      "seed %u; %.1f s\n",
      trailers, warps, candidates, PEACH_JUMPS, kSampleSeed, walk_seconds);
  std::printf("jump type check against next_index: %u of %u jumps agree\n\n",
              sample.checked_jumps - sample.mismatches, sample.checked_jumps);

  std::printf("%-18s %9s %14s %10s\n", "family", "share", "us per 1060 B", "x cheapest");
  const double cheapest = *std::min_element(cost, cost + kTypes);
  for (uint32_t type = 0; type < kTypes; ++type) {
    std::printf("%u %-16s %8.1f%% %14.2f %10.1f\n", type, kTypeNames[type],
                100.0 * type_count[type] / total_types, cost[type] * 1e6, cost[type] / cheapest);
  }
  std::printf("  %-16s %9s %14.2f %10.1f\n\n", "fp pass (scalar)", "all", fp_cost * 1e6,
              fp_cost / cheapest);

  std::printf("distinct algorithms per 32-lane warp and jump\n");
  std::printf(
      "  classic (32 consecutive candidates): %.2f (sd %.2f, %.0f warp-jumps; "
      "MD2 present in %.1f%%)\n",
      distinct_mean, distinct_sd, warp_jumps, 100.0 * with_md2 / warp_jumps);
  std::printf("    by jump:");
  for (uint32_t j = 0; j < PEACH_JUMPS; ++j) {
    std::printf(" %.2f", distinct_by_jump[j] / warp_count);
  }
  std::printf(
      "\n    (%.1f%% of the walks start at tile 0: the product of the first hash's bytes "
      "rarely keeps a set bit\n    below bit 20, so at the first jump a warp's lanes differ "
      "only in their nonces)\n",
      100.0 * sample.start_tile_zero / candidates);
  std::printf(
      "  staged (grouped by algorithm):       1.00 (lanes busy: %.1f%% at this sample's "
      "%u-candidate batch, %.1f%% at 2^20)\n\n",
      100.0 * warp_jumps / staged_warps, candidates, 100.0 * large_scale);

  std::printf("modelled speed, staged / classic (hash cost per jump and 32 candidates)\n");
  std::printf("  %-34s %12s %12s %8s\n", "", "classic us", "staged us", "ratio");
  std::printf("  %-34s %12.1f %12.1f %7.2fx\n", "hashing, this sample's batch",
              classic_per_warp * 1e6, staged_per_warp * 1e6, classic_per_warp / staged_per_warp);
  std::printf("  %-34s %12.1f %12.1f %7.2fx\n", "hashing, 2^20-candidate batch",
              classic_per_warp * 1e6, large_per_warp * 1e6, classic_per_warp / large_per_warp);
  std::printf("  %-34s %12.1f %12.1f %7.2fx\n", "hashing + fp pass, 2^20 batch",
              (classic_per_warp + fp_per_warp) * 1e6, (large_per_warp + fp_per_warp) * 1e6,
              (classic_per_warp + fp_per_warp) / (large_per_warp + fp_per_warp));
  std::printf(
      "(tile reads, the classify stage's list appends, launches and the first and final "
      "SHA-256 are not modelled)\n");
  return sample.mismatches == 0 ? 0 : 1;
}

}  // namespace bench
}  // namespace Kest
