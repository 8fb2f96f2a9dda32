// Runs the device module's kernels on inputs prepared on the host and checks every result
// against the host code of the same functions before anything is reported. Built only by
// scripts/gpusim.sh, for a cycle-level GPU simulator (CUDA 11.8, PTX for compute 8.0), which
// prints the per-launch figures; this program prints one "CHECK" line per experiment and exits
// non-zero when a result differs.
//
// Tiles are built on the host on demand and uploaded one by one: an experiment touches a few
// thousand tiles of the 1 GiB map, and the simulated memory holds only the pages written.
//
//   harness map-build TILES              cuda_build_map over TILES tiles (blocks of up to 256)
//   harness stage TYPE ENTRIES           one hash stage (type 0..7) over ENTRIES list entries
//   harness classify CANDIDATES          the classify stage of jump 0 (tiles as in a later jump)
//   harness final CANDIDATES             the final stage (difficulty 1: about half are found)
//   harness md2 LENGTH COUNT             the batch MD2 kernel over COUNT inputs of LENGTH bytes
//   harness search PATH CANDIDATES       classic or staged over CANDIDATES candidates
//                                        (difficulty 1); the ring must hold what the host finds
#include "gpu/device_module.cu"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Tile = std::array<uint8_t, PEACH_TILE_LENGTH>;

#define SIM_CHECK(call)                                                                           \
  do {                                                                                            \
    const cudaError_t e_ = (call);                                                                \
    if (e_ != cudaSuccess) {                                                                      \
      std::fprintf(stderr, "%s failed: %s (line %d)\n", #call, cudaGetErrorString(e_), __LINE__); \
      std::exit(2);                                                                               \
    }                                                                                             \
  } while (0)

// A fixed job: the same trailer on every run, so that figures can be compared.
struct Job {
  uint8_t trailer[160] = {};
  SHA256_CTX midstate{};

  Job() {
    uint64_t x = 0x9e3779b97f4a7c15ull;
    for (uint8_t& b : trailer) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = static_cast<uint8_t>(x >> 32);
    }
    sha256_init(&midstate);
    sha256_update(&midstate, trailer, 108);
  }

  void Nonce(uint32_t index, uint8_t* nonce) const {
    std::memcpy(nonce, trailer + 92, 16);
    cuda_second_half(index, nonce + 16);
  }

  void FirstHash(uint32_t index, uint8_t* out) const {
    uint8_t half[16];
    cuda_second_half(index, half);
    SHA256_CTX ctx = midstate;
    sha256_update(&ctx, half, 16);
    sha256_final(&ctx, out);
  }
};

// Tiles of the job's map, built on the host when first asked for and uploaded once.
class Tiles {
 public:
  Tiles(const Job& job, uint8_t* device_map) : job_(job), map_(device_map) {}

  const uint8_t* Get(uint32_t index) {
    auto it = tiles_.find(index);
    if (it == tiles_.end()) {
      Tile t;
      kest_pow::build_tile(t.data(), index, job_.trailer, nullptr);
      it = tiles_.emplace(index, t).first;
      SIM_CHECK(cudaMemcpy(map_ + size_t{index} * PEACH_TILE_LENGTH, t.data(), t.size(),
                           cudaMemcpyHostToDevice));
    }
    return it->second.data();
  }
  size_t Count() const { return tiles_.size(); }

 private:
  const Job& job_;
  uint8_t* map_;
  std::unordered_map<uint32_t, Tile> tiles_;
};

uint32_t HostJumpTarget(uint32_t type, uint32_t index, const uint8_t* tile, const uint8_t* nonce) {
  using kest_pow::jump_target;
  switch (type) {
    case 0:
      return jump_target<0>(index, tile, nonce);
    case 1:
      return jump_target<1>(index, tile, nonce);
    case 2:
      return jump_target<2>(index, tile, nonce);
    case 3:
      return jump_target<3>(index, tile, nonce);
    case 4:
      return jump_target<4>(index, tile, nonce);
    case 5:
      return jump_target<5>(index, tile, nonce);
    case 6:
      return jump_target<6>(index, tile, nonce);
    default:
      return jump_target<7>(index, tile, nonce);
  }
}

// The walk of candidate `index` on the host: its last tile, every tile uploaded on the way;
// counts each jump's nighthash type into types[jump][type].
uint32_t HostWalk(const Job& job, Tiles& tiles, uint32_t index, uint8_t* first_hash,
                  uint32_t (*types)[NIGHTHASH_TYPE_COUNT]) {
  uint8_t nonce[32];
  job.Nonce(index, nonce);
  job.FirstHash(index, first_hash);
  uint32_t t = kest_pow::start_index(first_hash);
  for (uint32_t j = 0; j < PEACH_JUMPS; ++j) {
    ++types[j][kest_pow::jump_type(t, tiles.Get(t), nonce)];
    t = next_index(t, tiles.Get(t), nonce);
  }
  tiles.Get(t);
  return t;
}

struct Device {
  uint8_t* map = nullptr;
  uint32_t* found = nullptr;
  uint8_t* ring = nullptr;

  explicit Device(const Job& job, uint8_t difficulty) {
    SIM_CHECK(cudaMalloc(&map, Kest::kMapBytes));
    SIM_CHECK(cudaMalloc(&found, sizeof(uint32_t)));
    SIM_CHECK(cudaMalloc(&ring, Kest::kResultRingBytes));
    SIM_CHECK(cudaMemset(found, 0, sizeof(uint32_t)));
    // The job constants as UploadJobConstants writes them; the simulator's runtime has no
    // asynchronous symbol copies.
    SIM_CHECK(cudaMemcpyToSymbol(c_difficulty, &difficulty, 1));
    SIM_CHECK(cudaMemcpyToSymbol(c_phash, job.trailer, PEACH_PHASH_LENGTH));
    SIM_CHECK(cudaMemcpyToSymbol(c_input, job.trailer, kInputBytes));
    SIM_CHECK(cudaMemcpyToSymbol(c_precomputed_sha256, &job.midstate, sizeof job.midstate));
    SIM_CHECK(cudaDeviceSynchronize());
  }
};

struct View {
  Kest::StagedSearchBuffers buffers;
  StagedView v{};
  explicit View(uint32_t capacity) {
    SIM_CHECK(buffers.Allocate(capacity));
    v = StagedView{buffers.first_hash, buffers.tiles, buffers.lists, buffers.lengths, capacity};
    SIM_CHECK(cudaMemset(buffers.lengths, 0, PEACH_JUMPS * kTypes * sizeof(uint32_t)));
  }
};

std::vector<uint32_t> Download(const uint32_t* p, size_t n) {
  std::vector<uint32_t> out(n);
  SIM_CHECK(cudaMemcpy(out.data(), p, n * sizeof(uint32_t), cudaMemcpyDeviceToHost));
  return out;
}

unsigned Blocks(uint32_t threads) {
  return (threads + Kest::kStagedBlockThreads - 1) / Kest::kStagedBlockThreads;
}

int Report(const char* what, size_t checked, size_t wrong) {
  std::printf("CHECK %s %s checked=%zu wrong=%zu\n", wrong == 0 ? "ok" : "FAILED", what, checked,
              wrong);
  return wrong == 0 ? 0 : 1;
}

int MapBuild(uint32_t tiles) {
  const Job job;
  Device d(job, 1);
  // Blocks of 256 threads as the miner launches them; fewer tiles than that run in one block.
  const unsigned block = std::min<uint32_t>(tiles, Kest::kBuildMapBlockThreads);
  const unsigned blocks = (tiles + block - 1) / block;
  cuda_build_map<<<blocks, block>>>(0, d.map);
  SIM_CHECK(cudaDeviceSynchronize());
  std::vector<uint8_t> built(size_t{blocks} * block * PEACH_TILE_LENGTH);
  SIM_CHECK(cudaMemcpy(built.data(), d.map, built.size(), cudaMemcpyDeviceToHost));
  size_t wrong = 0;
  for (uint32_t i = 0; i < blocks * block; ++i) {
    Tile t;
    kest_pow::build_tile(t.data(), i, job.trailer, nullptr);
    const uint8_t* got = built.data() + size_t{i} * PEACH_TILE_LENGTH;
    if (std::memcmp(t.data(), got, t.size()) == 0) continue;
    if (wrong++ == 0) {
      uint32_t b = 0;
      while (t[b] == got[b]) ++b;
      uint8_t algos[PEACH_SEGMENTS];
      Tile again;
      kest_pow::build_tile(again.data(), i, job.trailer, algos);
      std::printf("tile %u differs from byte %u (segment %u) on; types:", i, b, b / 32);
      for (uint32_t k = 0; k <= b / 32 && k < PEACH_SEGMENTS; ++k) std::printf(" %u", algos[k]);
      std::printf("\n");
    }
  }
  return Report("map-build (tiles)", size_t{blocks} * block, wrong);
}

// The tile candidate `index` stands on in the stage experiments: one spread over the map, as at
// any jump after the first (almost every walk starts at tile 0, where all lanes would read the
// same tile).
uint32_t StageTile(uint32_t index) {
  uint64_t x = (index + 1) * 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 31)) * 0xbf58476d1ce4e5b9ull;
  return static_cast<uint32_t>(x >> 40) & PEACH_TILE_INDEX_MASK;
}

// Candidates from index 0 on whose jump type from their StageTile is `type`, `entries` of them.
std::vector<uint32_t> CandidatesOfType(const Job& job, Tiles& tiles, uint32_t type,
                                       uint32_t entries) {
  std::vector<uint32_t> out;
  for (uint32_t i = 0; out.size() < entries; ++i) {
    uint8_t nonce[32];
    job.Nonce(i, nonce);
    const uint32_t t = StageTile(i);
    if (kest_pow::jump_type(t, tiles.Get(t), nonce) == type) out.push_back(i);
  }
  return out;
}

void LaunchStage(uint32_t type, unsigned blocks, const uint8_t* map, const StagedView& v) {
  const dim3 grid(blocks), block(Kest::kStagedBlockThreads);
  switch (type) {
    case NIGHTHASH_BLAKE2B_KEY0:
      cuda_staged_blake2b_key0<<<grid, block>>>(0, 0, map, v);
      break;
    case NIGHTHASH_BLAKE2B_KEY1:
      cuda_staged_blake2b_key1<<<grid, block>>>(0, 0, map, v);
      break;
    case NIGHTHASH_SHA1:
      cuda_staged_sha1<<<grid, block>>>(0, 0, map, v);
      break;
    case NIGHTHASH_SHA256:
      cuda_staged_sha256<<<grid, block>>>(0, 0, map, v);
      break;
    case NIGHTHASH_SHA3:
      cuda_staged_sha3<<<grid, block>>>(0, 0, map, v);
      break;
    case NIGHTHASH_KECCAK:
      cuda_staged_keccak<<<grid, block>>>(0, 0, map, v);
      break;
    case NIGHTHASH_MD2:
      cuda_staged_md2<<<grid, block>>>(0, 0, map, v);
      break;
    default:
      cuda_staged_md5<<<grid, block>>>(0, 0, map, v);
      break;
  }
}

// One hash stage: candidate slots are candidate indexes (first = 0), every list entry of the
// type's list at jump 0 moves its candidate from its StageTile to its next one.
int Stage(uint32_t type, uint32_t entries) {
  const Job job;
  Device d(job, 1);
  Tiles tiles(job, d.map);
  const std::vector<uint32_t> slots = CandidatesOfType(job, tiles, type, entries);
  const uint32_t capacity = slots.back() + 1;
  View view(capacity);
  std::vector<uint32_t> start(capacity, 0);
  for (uint32_t s : slots) start[s] = StageTile(s);
  std::vector<uint32_t> list(slots.begin(), slots.end());
  SIM_CHECK(cudaMemcpy(view.buffers.tiles, start.data(), capacity * sizeof(uint32_t),
                       cudaMemcpyHostToDevice));
  SIM_CHECK(cudaMemcpy(view.buffers.lists + size_t{type} * capacity, list.data(),
                       list.size() * sizeof(uint32_t), cudaMemcpyHostToDevice));
  const uint32_t length = entries;
  SIM_CHECK(
      cudaMemcpy(view.buffers.lengths + type, &length, sizeof length, cudaMemcpyHostToDevice));
  LaunchStage(type, Blocks(entries), d.map, view.v);
  SIM_CHECK(cudaDeviceSynchronize());
  const std::vector<uint32_t> moved = Download(view.buffers.tiles, capacity);
  size_t wrong = 0;
  for (uint32_t s : slots) {
    uint8_t nonce[32];
    job.Nonce(s, nonce);
    const uint32_t want = HostJumpTarget(type, start[s], tiles.Get(start[s]), nonce);
    if (moved[s] != want && wrong++ == 0) {
      std::printf("slot %u: from tile %u, host %u, simulated %u\n", s, start[s], want, moved[s]);
    }
  }
  return Report(("stage type " + std::to_string(type)).c_str(), slots.size(), wrong);
}

int Classify(uint32_t count) {
  const Job job;
  Device d(job, 1);
  Tiles tiles(job, d.map);
  View view(count);
  std::vector<uint32_t> start(count);
  std::vector<uint32_t> expected(kTypes, 0);
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t nonce[32];
    job.Nonce(i, nonce);
    start[i] = StageTile(i);
    ++expected[kest_pow::jump_type(start[i], tiles.Get(start[i]), nonce)];
  }
  SIM_CHECK(cudaMemcpy(view.buffers.tiles, start.data(), count * sizeof(uint32_t),
                       cudaMemcpyHostToDevice));
  cuda_staged_classify<<<Blocks(count), Kest::kStagedBlockThreads>>>(0, 0, count, d.map, view.v);
  SIM_CHECK(cudaDeviceSynchronize());
  const std::vector<uint32_t> lengths = Download(view.buffers.lengths, kTypes);
  const std::vector<uint32_t> lists = Download(view.buffers.lists, size_t{kTypes} * count);
  size_t wrong = 0;
  for (uint32_t t = 0; t < kTypes; ++t) {
    wrong += lengths[t] != expected[t];
    // Every candidate of the type once in its list.
    std::set<uint32_t> listed;
    for (uint32_t p = 0; p < std::min(lengths[t], count); ++p) listed.insert(lists[t * count + p]);
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t nonce[32];
      job.Nonce(i, nonce);
      if (kest_pow::jump_type(start[i], tiles.Get(start[i]), nonce) != t) continue;
      wrong += listed.count(i) == 0;
    }
  }
  return Report("classify (list lengths and entries per type)", kTypes + count, wrong);
}

int Final(uint32_t count) {
  const Job job;
  Device d(job, 1);
  Tiles tiles(job, d.map);
  View view(count);
  std::vector<uint32_t> words(size_t{count} * 8), last(count);
  uint32_t expected = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t h[32];
    job.FirstHash(i, h);
    last[i] = StageTile(i);  // any tile will do for the final hash
    for (uint32_t w = 0; w < 8; ++w) words[size_t{w} * count + i] = kest_pow::load32_le(h + 4 * w);
    expected += is_solution(1, tiles.Get(last[i]), h);
  }
  SIM_CHECK(cudaMemcpy(view.buffers.first_hash, words.data(), words.size() * sizeof(uint32_t),
                       cudaMemcpyHostToDevice));
  SIM_CHECK(cudaMemcpy(view.buffers.tiles, last.data(), count * sizeof(uint32_t),
                       cudaMemcpyHostToDevice));
  cuda_staged_final<<<Blocks(count), Kest::kStagedBlockThreads>>>(0, count, d.map, view.v, d.found,
                                                                  d.ring);
  SIM_CHECK(cudaDeviceSynchronize());
  const uint32_t found = Download(d.found, 1)[0];
  return Report("final (solutions found)", count, found == expected ? 0 : 1);
}

int Search(const std::string& path, uint32_t count) {
  const Job job;
  Device d(job, 1);
  Tiles tiles(job, d.map);
  std::set<std::string> expected;
  uint32_t types[PEACH_JUMPS][NIGHTHASH_TYPE_COUNT] = {};
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t h[32];
    const uint32_t last = HostWalk(job, tiles, i, h, types);
    if (is_solution(1, tiles.Get(last), h)) {
      uint8_t half[16];
      cuda_second_half(i, half);
      expected.insert(std::string(reinterpret_cast<char*>(half), 16));
    }
  }
  std::printf("host: %zu tiles uploaded, %zu solutions expected\n", tiles.Count(), expected.size());
  for (uint32_t j = 0; j < PEACH_JUMPS; ++j) {
    std::printf("host: jump %u candidates by type:", j);
    for (uint32_t t = 0; t < NIGHTHASH_TYPE_COUNT; ++t) std::printf(" %u", types[j][t]);
    std::printf("\n");
  }
  std::fflush(stdout);
  const unsigned threads = 256;
  const unsigned blocks = (count + threads - 1) / threads;
  if (path == "classic") {
    Kest::LaunchFindPeach(blocks, threads, nullptr, 0, d.map, d.found, d.ring);
  } else {
    Kest::StagedSearchBuffers buffers;
    SIM_CHECK(buffers.Allocate(blocks * threads));
    SIM_CHECK(
        Kest::LaunchStagedSearch(buffers, blocks, threads, nullptr, 0, d.map, d.found, d.ring));
  }
  SIM_CHECK(cudaDeviceSynchronize());
  // Candidates past `count` (the rest of the last block) may be found as well: compare only the
  // ring's halves of the candidates asked for.
  const uint32_t found = Download(d.found, 1)[0];
  std::vector<uint8_t> ring(Kest::kResultRingBytes);
  SIM_CHECK(cudaMemcpy(ring.data(), d.ring, ring.size(), cudaMemcpyDeviceToHost));
  std::set<std::string> seen;
  for (uint32_t n = 0; n < std::min<uint32_t>(found, Kest::kResultSlots); ++n) {
    seen.insert(std::string(reinterpret_cast<char*>(ring.data()) + n * 16, 16));
  }
  size_t wrong = 0;
  for (const auto& h : expected) wrong += seen.count(h) == 0;
  return Report((path + " search (solutions in the ring)").c_str(), expected.size(), wrong);
}

// Reads the batch view back as a kernel receives it, for checking the simulator's handling of
// a structure passed by value.
__global__ void view_probe(uint32_t jump, uint32_t first, const uint8_t* map, StagedView v,
                           uint32_t* out) {
  out[0] = v.capacity;
  out[1] = v.lengths[jump * kTypes + 3];
  out[2] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v.tiles));
  out[3] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v.lengths)) + first + (map != nullptr);
}

int ViewProbe() {
  const Job job;
  Device d(job, 1);
  Tiles tiles(job, d.map);
  tiles.Get(868352);
  View view(77);
  std::printf("map %p, lengths %p\n", static_cast<void*>(d.map),
              static_cast<void*>(view.v.lengths));
  const uint32_t length = 5;
  SIM_CHECK(cudaMemcpy(view.buffers.lengths + 3, &length, sizeof length, cudaMemcpyHostToDevice));
  uint32_t* d_out = nullptr;
  SIM_CHECK(cudaMalloc(&d_out, 4 * sizeof(uint32_t)));
  view_probe<<<1, 1>>>(0, 0, nullptr, view.v, d_out);
  SIM_CHECK(cudaDeviceSynchronize());
  const std::vector<uint32_t> got = Download(d_out, 4);
  const uint32_t want[4] = {77, 5, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(view.v.tiles)),
                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(view.v.lengths))};
  size_t wrong = 0;
  for (int i = 0; i < 4; ++i) {
    std::printf("field %d: host %08x, simulated %08x\n", i, want[i], got[i]);
    wrong += got[i] != want[i];
  }
  return Report("view (fields received)", 4, wrong);
}

// The two halves of an MD2 block step on their own, for locating a difference: out[0..47] the
// state after md2_compress, out[48..63] the checksum after md2_checksum, of the same input.
__global__ void md2_parts(const uint8_t* in, uint8_t* out) {
  KEST_BLOCK_TABLES();
  uint8_t state[48], checksum[16], block[16];
  for (int i = 0; i < 48; ++i) state[i] = in[i];
  for (int i = 0; i < 16; ++i) checksum[i] = in[48 + i];
  for (int i = 0; i < 16; ++i) block[i] = in[64 + i];
  kest_pow::md2_compress(state, block);
  kest_pow::md2_checksum(checksum, block);
  for (int i = 0; i < 48; ++i) out[i] = state[i];
  for (int i = 0; i < 16; ++i) out[48 + i] = checksum[i];
}

// The word handling of md2_compress without the S-box: 48 bytes to six words and back, each
// word's bytes taken apart and put together again, and one round with t = x ^ t in place of
// the S-box look-up. out[0..47] words stored, out[48..95] rebuilt, out[96..143] the round.
__global__ void md2_words(const uint8_t* in, uint8_t* out) {
  uint8_t x[48];
  for (int i = 0; i < 48; ++i) x[i] = in[i];
  uint64_t w[6];
  KEST_UNROLL for (int g = 0; g < 6; ++g) w[g] = kest_pow::load64_le(x + 8 * g);
  KEST_UNROLL for (int g = 0; g < 6; ++g) kest_pow::store64_le(out + 8 * g, w[g]);
  KEST_UNROLL for (int g = 0; g < 6; ++g) {
    uint64_t fresh = 0;
    KEST_UNROLL for (int b = 0; b < 8; ++b) {
      fresh |= static_cast<uint64_t>((w[g] >> (8 * b)) & 0xffu) << (8 * b);
    }
    kest_pow::store64_le(out + 48 + 8 * g, fresh);
  }
  uint32_t t = in[48];
  KEST_UNROLL for (int g = 0; g < 6; ++g) {
    uint64_t fresh = 0;
    KEST_UNROLL for (int b = 0; b < 8; ++b) {
      t = ((t * 5u + 1u) & 0xffu) ^ static_cast<uint32_t>((w[g] >> (8 * b)) & 0xffu);
      fresh |= static_cast<uint64_t>(t) << (8 * b);
    }
    kest_pow::store64_le(out + 96 + 8 * g, fresh);
  }
}

int Md2Words() {
  uint8_t in[49], want[144], got[144];
  for (int i = 0; i < 49; ++i) in[i] = static_cast<uint8_t>(i * 37 + 11);
  std::memcpy(want, in, 48);
  std::memcpy(want + 48, in, 48);
  uint32_t t = in[48];
  for (int k = 0; k < 48; ++k) {
    t = ((t * 5u + 1u) & 0xffu) ^ in[k];
    want[96 + k] = static_cast<uint8_t>(t);
  }
  uint8_t *d_in = nullptr, *d_out = nullptr;
  SIM_CHECK(cudaMalloc(&d_in, sizeof in));
  SIM_CHECK(cudaMalloc(&d_out, sizeof got));
  SIM_CHECK(cudaMemcpy(d_in, in, sizeof in, cudaMemcpyHostToDevice));
  md2_words<<<1, 1>>>(d_in, d_out);
  SIM_CHECK(cudaDeviceSynchronize());
  SIM_CHECK(cudaMemcpy(got, d_out, sizeof got, cudaMemcpyDeviceToHost));
  size_t wrong = 0;
  for (int i = 0; i < 144; ++i) {
    if (want[i] != got[i] && wrong++ == 0) std::printf("first difference at byte %d\n", i);
  }
  for (int part = 0; part < 3; ++part) {
    std::printf("host %d      ", part);
    for (int i = 0; i < 48; ++i) std::printf("%02x", want[48 * part + i]);
    std::printf("\nsimulated %d ", part);
    for (int i = 0; i < 48; ++i) std::printf("%02x", got[48 * part + i]);
    std::printf("\n");
  }
  return Report("md2 words (bytes)", 144, wrong);
}

int Md2Parts() {
  uint8_t in[80], want[64], got[64];
  for (int i = 0; i < 80; ++i) in[i] = static_cast<uint8_t>(i * 37 + 11);
  uint8_t state[48], checksum[16];
  std::memcpy(state, in, 48);
  std::memcpy(checksum, in + 48, 16);
  kest_pow::md2_compress(state, in + 64);
  kest_pow::md2_checksum(checksum, in + 64);
  std::memcpy(want, state, 48);
  std::memcpy(want + 48, checksum, 16);
  uint8_t *d_in = nullptr, *d_out = nullptr;
  SIM_CHECK(cudaMalloc(&d_in, sizeof in));
  SIM_CHECK(cudaMalloc(&d_out, sizeof got));
  SIM_CHECK(cudaMemcpy(d_in, in, sizeof in, cudaMemcpyHostToDevice));
  md2_parts<<<1, 1>>>(d_in, d_out);
  SIM_CHECK(cudaDeviceSynchronize());
  SIM_CHECK(cudaMemcpy(got, d_out, sizeof got, cudaMemcpyDeviceToHost));
  size_t wrong = 0;
  for (int i = 0; i < 64; ++i) {
    if (want[i] != got[i]) {
      if (wrong == 0)
        std::printf("first difference at byte %d (%s)\n", i, i < 48 ? "state" : "checksum");
      ++wrong;
    }
  }
  std::printf("host     ");
  for (int i = 0; i < 64; ++i) std::printf("%02x", want[i]);
  std::printf("\nsimulated");
  for (int i = 0; i < 64; ++i) std::printf("%02x", got[i]);
  std::printf("\n");
  return Report("md2 parts (bytes)", 64, wrong);
}

// The batch MD2 kernel over `count` inputs of `length` bytes: the smallest kernel that reads the
// shared-memory S-box.
int HashMd2(uint32_t length, uint32_t count) {
  std::vector<uint8_t> input(size_t{length} * count + 1);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 131 + 7);
  uint8_t* d_in = nullptr;
  uint8_t* d_out = nullptr;
  SIM_CHECK(cudaMalloc(&d_in, input.size()));
  SIM_CHECK(cudaMalloc(&d_out, size_t{count} * MD2_DIGEST_SIZE));
  SIM_CHECK(cudaMemcpy(d_in, input.data(), input.size(), cudaMemcpyHostToDevice));
  kernel_md2_hash<<<1, count>>>(d_in, length, d_out, count);
  SIM_CHECK(cudaDeviceSynchronize());
  std::vector<uint8_t> out(size_t{count} * MD2_DIGEST_SIZE);
  SIM_CHECK(cudaMemcpy(out.data(), d_out, out.size(), cudaMemcpyDeviceToHost));
  size_t wrong = 0;
  for (uint32_t i = 0; i < count; ++i) {
    MD2_CTX ctx;
    uint8_t digest[MD2_DIGEST_SIZE];
    md2_init(&ctx);
    md2_update(&ctx, input.data() + size_t{i} * length, length);
    md2_final(&ctx, digest);
    if (std::memcmp(digest, out.data() + size_t{i} * MD2_DIGEST_SIZE, sizeof digest) != 0) {
      if (wrong++ == 0) {
        std::printf("input %u: host", i);
        for (uint8_t b : digest) std::printf(" %02x", b);
        std::printf("\n  simulated");
        for (uint32_t k = 0; k < MD2_DIGEST_SIZE; ++k) {
          std::printf(" %02x", out[size_t{i} * MD2_DIGEST_SIZE + k]);
        }
        std::printf("\n");
      }
    }
  }
  return Report(("md2 of " + std::to_string(length) + "-byte inputs").c_str(), count, wrong);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  const auto number = [&](int i, uint32_t fallback) {
    return argc > i ? static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)) : fallback;
  };
  if (what == "map-build") return MapBuild(number(2, 256));
  if (what == "md2-parts") return Md2Parts();
  if (what == "md2-words") return Md2Words();
  if (what == "view") return ViewProbe();
  if (what == "md2") return HashMd2(number(2, 36), std::max<uint32_t>(1, number(3, 32)));
  if (what == "stage") return Stage(number(2, 0) % kTypes, std::max<uint32_t>(1, number(3, 256)));
  if (what == "classify") return Classify(std::max<uint32_t>(1, number(2, 1024)));
  if (what == "final") return Final(std::max<uint32_t>(1, number(2, 1024)));
  if (what == "search" && argc > 2) return Search(argv[2], std::max<uint32_t>(1, number(3, 64)));
  std::fprintf(stderr, "usage: harness map-build|stage|classify|final|search ...\n");
  return 2;
}
