// The device module: the proof-of-work kernels (cuda_build_map, the classic search
// cuda_find_peach and the stage kernels cuda_staged_* of the staged search), the batch hash
// kernels, and the constant symbols they read.
//
// One text for both builds. In the CUDA build nvcc compiles it into a registered module; in
// the software build it is plain C++ (gpu/runtime.h maps the qualifiers, the constant symbols
// and the launches onto the software device). The per-thread bodies are the proof-of-work
// code of pow/, compiled for the device.
//
// Constant symbols. The hash tables and the haiku word tables are initialised in the image;
// the job symbols are written by the host before the kernels read them:
//   c_difficulty (1 byte)           required leading zero bits of the final hash
//   c_phash (32 bytes)              previous-block hash: seed material of every tile
//   c_input (108 bytes)             trailer bytes 0..107; the search reads the first half at 92
//   c_precomputed_sha256 (112)      SHA-256 context after trailer bytes 0..107
//   c_CTX (424 bytes)               keyed BLAKE2b context of the batch kernel
// In device code the tables read at lane-dependent addresses (the MD2 S-box, the word tables)
// come from per-block shared-memory copies that every kernel fills first (KEST_BLOCK_TABLES);
// the others are read from their symbols. On the software device the kernels run host code,
// which reads the identical host copies (pow/tables.h, gpu/second_half.h); it has no shared
// memory and needs none, and the symbols are there for anything that copies from them.

#include "gpu/runtime.h"
#include "pow/tables.h"

// Hash tables of the pow/ code (names and types as pow/hd.h requires; defined before any
// algorithm header).
#if defined(KEST_CUDA)
using Blake2bSigmaRow = uint8_t[kest_pow::kBlake2bBlockWords];
#else
struct Blake2bSigmaRow {
  uint8_t word[kest_pow::kBlake2bBlockWords];
};
#endif
KEST_CONSTANT_TABLE(uint32_t, cuda_sha256_k, kest_pow::kSha256Rounds, {KEST_SHA256_K_VALUES});
KEST_CONSTANT_TABLE(uint8_t, s, kest_pow::kMd2TableSize, {KEST_MD2_S_VALUES});
KEST_CONSTANT_TABLE(uint64_t, BLAKE2B_IVS, kest_pow::kBlake2bIvWords, {KEST_BLAKE2B_IV_VALUES});
KEST_CONSTANT_TABLE(Blake2bSigmaRow, BLAKE2B_SIGMAS, kest_pow::kBlake2bRounds,
                    {KEST_BLAKE2B_SIGMA_VALUES});
KEST_CONSTANT_TABLE(uint64_t, CUDA_KECCAK_CONSTS, kest_pow::kKeccakRounds, {KEST_KECCAK_RC_VALUES});

#include "gpu/word_tables.h"

// Word tables of the second-half generator.
KEST_CONSTANT_TABLE(uint8_t, Z_ING, Kest::gpu::kZIngEntries, {KEST_Z_ING_VALUES});
KEST_CONSTANT_TABLE(uint8_t, Z_PREP, Kest::gpu::kZPrepEntries, {KEST_Z_PREP_VALUES});
KEST_CONSTANT_TABLE(uint8_t, Z_TIME, Kest::gpu::kZTimeEntries, {KEST_Z_TIME_VALUES});
KEST_CONSTANT_TABLE(uint8_t, Z_MASS, Kest::gpu::kZMassEntries, {KEST_Z_MASS_VALUES});
KEST_CONSTANT_TABLE(uint8_t, Z_ADJ, Kest::gpu::kZAdjEntries, {KEST_Z_ADJ_VALUES});
KEST_CONSTANT_TABLE(uint8_t, Z_NS, Kest::gpu::kZNsEntries, {KEST_Z_NS_VALUES});

// The block's copies of the tables indexed by per-lane data (pow/tables.h, gpu/second_half.h):
// the S-box, then the six word tables. The kernels fill them from an image of the same values
// in global memory, whose lane-indexed reads coalesce (the same reads from the constant symbols
// would be serialised).
namespace {
constexpr uint32_t kBlockTableBytes = kest_pow::kMd2TableSize + Kest::gpu::kZWordsTotal;
}  // namespace
#if defined(KEST_CUDA)
__device__ const uint8_t kest_block_table_image[kBlockTableBytes] = {
    KEST_MD2_S_VALUES,  KEST_Z_ING_VALUES, KEST_Z_PREP_VALUES, KEST_Z_TIME_VALUES,
    KEST_Z_MASS_VALUES, KEST_Z_ADJ_VALUES, KEST_Z_NS_VALUES};
__shared__ uint8_t kest_shared_words[Kest::gpu::kZWordsTotal];

// The block's copy of the MD2 S-box and how a lane reads entry i of it (KEST_MD2_S[i] in device
// code, pow/tables.h). MD2's look-ups are 32 lanes reading random entries, so the layout decides
// the shared-memory bank conflicts (32 banks of 4 bytes):
//   0  one 256-byte copy: entry i at byte i (entries four to a bank word, so lanes whose entries
//      share a bank but not a word wait for each other);
//   1  a copy per lane, one entry per 32-bit word: lane l's entry i at word 32 i + l, always in
//      bank l (no conflicts; 32 KiB, one instruction per index);
//   2  a copy per lane, packed: lane l's entries 4r..4r+3 in row r of bank l, entry i at byte
//      32 (i & ~3) + 4 l + (i & 3) (no conflicts; 8 KiB, three instructions per index);
//   3  32 interleaved byte copies: lane l's entry i at byte 32 i + l, so lanes conflict only
//      within their group of four (8 KiB, one instruction per index).
#ifndef KEST_MD2_SBOX_LAYOUT
#define KEST_MD2_SBOX_LAYOUT 0
#endif
#if KEST_MD2_SBOX_LAYOUT == 0
constexpr uint32_t kMd2SBoxBytes = kest_pow::kMd2TableSize;
#elif KEST_MD2_SBOX_LAYOUT == 1
constexpr uint32_t kMd2SBoxBytes = kest_pow::kMd2TableSize * 32 * 4;
#elif KEST_MD2_SBOX_LAYOUT == 2 || KEST_MD2_SBOX_LAYOUT == 3
constexpr uint32_t kMd2SBoxBytes = kest_pow::kMd2TableSize * 32;
#else
#error "KEST_MD2_SBOX_LAYOUT is 0, 1, 2 or 3"
#endif
__shared__ uint32_t kest_shared_md2_s[kMd2SBoxBytes / 4];

struct Md2SBox {
  const uint8_t* base;  // this lane's copy
  __device__ __forceinline__ uint32_t operator[](uint32_t i) const {
#if KEST_MD2_SBOX_LAYOUT == 0
    return base[i];
#elif KEST_MD2_SBOX_LAYOUT == 1
    return base[i * 128];
#elif KEST_MD2_SBOX_LAYOUT == 2
    return base[(i & ~3u) * 32 + (i & 3u)];
#else
    return base[i * 32];
#endif
  }
};

__device__ __forceinline__ Md2SBox kest_md2_sbox() {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(kest_shared_md2_s);
#if KEST_MD2_SBOX_LAYOUT == 0
  return Md2SBox{bytes};
#elif KEST_MD2_SBOX_LAYOUT == 1 || KEST_MD2_SBOX_LAYOUT == 2
  return Md2SBox{bytes + 4 * (threadIdx.x & 31u)};
#else
  return Md2SBox{bytes + (threadIdx.x & 31u)};
#endif
}
#endif

#include "gpu/batch_kernels.h"
#include "gpu/peach_kernels.h"
#include "gpu/second_half.h"
#include "pow/blake2b.h"
#include "pow/keccak.h"
#include "pow/md2.h"
#include "pow/md5.h"
#include "pow/peach.h"
#include "pow/sha1.h"
#include "pow/sha256.h"

namespace {

constexpr uint32_t kInputBytes = 108;  // trailer bytes 0..107
constexpr uint32_t kInputWords = kInputBytes / 4;
constexpr uint32_t kFirstHalfOffset = 92;  // first half of the nonce within the trailer
constexpr uint32_t kHalfBytes = Kest::gpu::kHalfLength;

}  // namespace

// Job symbols.
KEST_CONSTANT(uint8_t, c_difficulty, 1);
KEST_CONSTANT(uint32_t, c_phash, PEACH_PHASH_LENGTH / 4);
KEST_CONSTANT(uint32_t, c_input, kInputWords);
KEST_CONSTANT(SHA256_CTX, c_precomputed_sha256, 1);
KEST_CONSTANT(Kest::gpu::Blake2bContextImage, c_CTX, 1);

#if defined(KEST_CUDA)
#define KEST_SYMBOL_BYTES(name) sizeof(name)
#else
#define KEST_SYMBOL_BYTES(name) decltype(name)::kBytes
#endif
static_assert(KEST_SYMBOL_BYTES(c_difficulty) == 1, "c_difficulty is 1 byte");
static_assert(KEST_SYMBOL_BYTES(c_phash) == 32, "c_phash is 32 bytes");
static_assert(KEST_SYMBOL_BYTES(c_input) == 108, "c_input is 108 bytes");
static_assert(KEST_SYMBOL_BYTES(c_precomputed_sha256) == 112, "c_precomputed_sha256 is 112 bytes");
static_assert(KEST_SYMBOL_BYTES(c_CTX) == 424, "c_CTX is 424 bytes");
static_assert(KEST_SYMBOL_BYTES(Z_ADJ) == 64 && KEST_SYMBOL_BYTES(Z_NS) == 64, "Z_ADJ, Z_NS");
static_assert(KEST_SYMBOL_BYTES(Z_PREP) == 8, "Z_PREP is 8 bytes");
static_assert(KEST_SYMBOL_BYTES(Z_TIME) == 16 && KEST_SYMBOL_BYTES(Z_ING) == 16 &&
                  KEST_SYMBOL_BYTES(Z_MASS) == 16,
              "Z_TIME, Z_ING, Z_MASS are 16 bytes");
static_assert(KEST_SYMBOL_BYTES(BLAKE2B_IVS) == 64 && KEST_SYMBOL_BYTES(BLAKE2B_SIGMAS) == 192 &&
                  KEST_SYMBOL_BYTES(CUDA_KECCAK_CONSTS) == 192 &&
                  KEST_SYMBOL_BYTES(cuda_sha256_k) == 256 && KEST_SYMBOL_BYTES(s) == 256,
              "hash tables");

namespace {

// Stores one second half into its result slot. Byte stores: the ring is plain bytes, and on
// the software device two threads may write one slot in the same launch once the ring wraps,
// so each byte is written atomically there.
KEST_HD KEST_FORCEINLINE void store_result(uint8_t* slot, const uint8_t* half) {
  for (uint32_t k = 0; k < kHalfBytes; ++k) {
#if defined(__CUDA_ARCH__) || defined(KEST_CUDA)
    slot[k] = half[k];
#else
    __atomic_store_n(slot + k, half[k], __ATOMIC_RELAXED);
#endif
  }
}

}  // namespace

// Fills the block's shared copies of the S-box and the word tables; every kernel that may hash
// or derive a second half runs it first, in all threads of the block. Nothing to do on the
// software device.
#if defined(__CUDA_ARCH__)
__device__ __forceinline__ void load_word_tables() {
  for (uint32_t i = threadIdx.x; i < Kest::gpu::kZWordsTotal; i += blockDim.x) {
    kest_shared_words[i] = kest_block_table_image[kest_pow::kMd2TableSize + i];
  }
}

__device__ __forceinline__ void load_md2_sbox() {
#if KEST_MD2_SBOX_LAYOUT == 0
  uint8_t* bytes = reinterpret_cast<uint8_t*>(kest_shared_md2_s);
  for (uint32_t i = threadIdx.x; i < kest_pow::kMd2TableSize; i += blockDim.x) {
    bytes[i] = kest_block_table_image[i];
  }
#elif KEST_MD2_SBOX_LAYOUT == 1
  for (uint32_t w = threadIdx.x; w < kMd2SBoxBytes / 4; w += blockDim.x) {
    kest_shared_md2_s[w] = kest_block_table_image[w / 32];
  }
#elif KEST_MD2_SBOX_LAYOUT == 2
  for (uint32_t w = threadIdx.x; w < kMd2SBoxBytes / 4; w += blockDim.x) {
    const uint8_t* entries = kest_block_table_image + 4 * (w / 32);
    kest_shared_md2_s[w] =
        entries[0] | entries[1] << 8 | entries[2] << 16 | static_cast<uint32_t>(entries[3]) << 24;
  }
#else
  uint8_t* bytes = reinterpret_cast<uint8_t*>(kest_shared_md2_s);
  for (uint32_t i = threadIdx.x; i < kMd2SBoxBytes; i += blockDim.x) {
    bytes[i] = kest_block_table_image[i / 32];
  }
#endif
}

#define KEST_BLOCK_TABLES() (load_md2_sbox(), load_word_tables(), __syncthreads())
#else
#define KEST_BLOCK_TABLES() static_cast<void>(0)
#endif

// Resident blocks per multiprocessor that ptxas is asked to fit the map build and the classic
// search in, as __launch_bounds__ (0: no bound, ptxas picks the registers). Two classic blocks
// instead of the one that 134 registers allow cut the simulated cycles per candidate by 42 %;
// the map build is not measured that way yet.
#ifndef KEST_BUILD_MAP_MIN_BLOCKS
#define KEST_BUILD_MAP_MIN_BLOCKS 0
#endif
#ifndef KEST_CLASSIC_MIN_BLOCKS
#define KEST_CLASSIC_MIN_BLOCKS 2  // 128 registers, no spills (sm_75 to sm_90)
#endif
#if defined(KEST_CUDA) && KEST_BUILD_MAP_MIN_BLOCKS > 0
#define KEST_BUILD_MAP_BOUNDS \
  __launch_bounds__(Kest::kBuildMapBlockThreads, KEST_BUILD_MAP_MIN_BLOCKS)
#else
#define KEST_BUILD_MAP_BOUNDS
#endif
#if defined(KEST_CUDA) && KEST_CLASSIC_MIN_BLOCKS > 0
// The bound also caps the block size that the occupancy search may pick for the classic kernel.
#define KEST_CLASSIC_BOUNDS __launch_bounds__(256, KEST_CLASSIC_MIN_BLOCKS)
#else
#define KEST_CLASSIC_BOUNDS
#endif

// Thread index of both proof-of-work kernels, in 32-bit unsigned arithmetic.
#define KEST_THREAD_INDEX(offset) (blockIdx.x * blockDim.x + (offset) + threadIdx.x)

// Builds tile i = thread index (tiles above 1048575 are skipped) from c_phash into
// map + i * 1024.
extern "C" __global__ void KEST_BUILD_MAP_BOUNDS cuda_build_map(uint32_t offset, uint8_t* map) {
  KEST_BLOCK_TABLES();
  const uint32_t index = KEST_THREAD_INDEX(offset);
  if (index > PEACH_TILE_INDEX_MASK) return;
  uint32_t phash[PEACH_PHASH_LENGTH / 4];
  for (uint32_t w = 0; w < PEACH_PHASH_LENGTH / 4; ++w) phash[w] = c_phash[w];
  kest_pow::build_tile(map + static_cast<size_t>(index) * PEACH_TILE_LENGTH, index,
                       reinterpret_cast<const uint8_t*>(phash), nullptr);
}

// Evaluates the candidate nonce of this thread: c_input's first half followed by the second
// half of the thread index. Tiles come from the map. A solution takes the next sequence number
// from the counter and writes its second half into slot (sequence mod 1024) of the ring.
extern "C" __global__ void KEST_CLASSIC_BOUNDS cuda_find_peach(uint32_t offset, uint8_t* map,
                                                               uint32_t* found_count,
                                                               uint8_t* result_slots) {
  KEST_BLOCK_TABLES();
  const uint32_t index = KEST_THREAD_INDEX(offset);

  uint8_t nonce[PEACH_NONCE_LENGTH];
  const uint8_t* input = reinterpret_cast<const uint8_t*>(static_cast<const uint32_t*>(c_input));
  for (uint32_t k = 0; k < kHalfBytes; ++k) nonce[k] = input[kFirstHalfOffset + k];
  cuda_second_half(index, nonce + kHalfBytes);

  // H = SHA-256 of trailer bytes 0..123: the host hashed bytes 0..107.
  SHA256_CTX ctx = c_precomputed_sha256[0];
  sha256_update(&ctx, nonce + kHalfBytes, kHalfBytes);
  uint8_t first_hash[PEACH_HASH_LENGTH];
  sha256_final(&ctx, first_hash);

  uint32_t tile_index = kest_pow::start_index(first_hash);
  const uint8_t* tile = map + static_cast<size_t>(tile_index) * PEACH_TILE_LENGTH;
  for (uint32_t jump = 0; jump < PEACH_JUMPS; ++jump) {
    tile_index = next_index(tile_index, tile, nonce);
    tile = map + static_cast<size_t>(tile_index) * PEACH_TILE_LENGTH;
  }

  uint8_t final_hash[PEACH_HASH_LENGTH];
  kest_pow::final_hash(first_hash, tile, final_hash);
  if (kest_pow::leading_zero_bits(final_hash) < c_difficulty[0]) return;

  const uint32_t sequence = atomicAdd(found_count, 1u);
  store_result(result_slots + (sequence % Kest::kResultSlots) * Kest::kResultSlotBytes,
               nonce + kHalfBytes);
}

// ---------------------------------------------------------------------------------------------
// Staged search: the walks of a batch of candidates, one launch per step (gpu/peach_kernels.h).
// Candidate slot c of a batch starting at index `first` is candidate index first + c; its state
// between launches is H (8 words, word-major so that neighbouring lanes read neighbouring
// words) and its current tile. The launches of one batch run in order on one stream, which is
// all the ordering the stages need.
// ---------------------------------------------------------------------------------------------
namespace {

constexpr uint32_t kTypes = NIGHTHASH_TYPE_COUNT;
constexpr uint32_t kNoType = kTypes;  // a lane with no candidate in the classify stage
// MD2 list entries per thread of the MD2 stage. One on a GPU, where each lane is a stream of
// its own; several on the software device, whose CPU threads overlap the look-up chains of
// several interleaved MD2 computations (one MD2 is a single chain of dependent look-ups).
#if defined(KEST_CUDA)
constexpr uint32_t kMd2Streams = 1;
#else
constexpr uint32_t kMd2Streams = 4;
#endif

// The buffers of a batch, as the stage kernels see them.
struct StagedView {
  uint32_t* first_hash;
  uint32_t* tiles;
  uint32_t* lists;
  uint32_t* lengths;
  uint32_t capacity;
};

// Slot of this thread in a stage launch.
#define KEST_STAGE_SLOT() (blockIdx.x * blockDim.x + threadIdx.x)

__device__ KEST_FORCEINLINE void candidate_nonce(uint32_t index, uint8_t* nonce) {
  const uint8_t* input = reinterpret_cast<const uint8_t*>(static_cast<const uint32_t*>(c_input));
  for (uint32_t k = 0; k < kHalfBytes; ++k) nonce[k] = input[kFirstHalfOffset + k];
  cuda_second_half(index, nonce + kHalfBytes);
}

// Appends `slot` to the list of `type` (kNoType: nothing) and returns nothing. On a GPU the
// lanes of a warp that share a type take their places with one atomic per type, so a warp
// costs at most eight atomics; every lane of the warp must call it (it votes). On the software
// device a thread is its own warp.
__device__ KEST_FORCEINLINE void append_candidate(uint32_t* lengths, uint32_t* lists,
                                                  uint32_t capacity, uint32_t type, uint32_t slot) {
#if defined(__CUDA_ARCH__) && !defined(KEST_GPUSIM)
  const uint32_t lane = threadIdx.x & 31u;
  uint32_t position = 0;
  for (uint32_t t = 0; t < kTypes; ++t) {
    const uint32_t group = __ballot_sync(0xffffffffu, type == t);
    if (type == t) {
      const uint32_t leader = static_cast<uint32_t>(__ffs(group)) - 1;
      uint32_t base = 0;
      if (lane == leader) base = atomicAdd(lengths + t, static_cast<uint32_t>(__popc(group)));
      base = __shfl_sync(group, base, leader);
      position = base + static_cast<uint32_t>(__popc(group & ((1u << lane) - 1)));
    }
  }
  if (type < kTypes) lists[type * capacity + position] = slot;
#else
  // The software device, and the cycle-level simulator, whose functional model applies an
  // atomic's result only when the timing model completes it, so a shuffle of it reads the value
  // before: one atomic per candidate.
  if (type >= kTypes) return;
  const uint32_t position = atomicAdd(lengths + type, 1u);
  lists[type * capacity + position] = slot;
#endif
}

}  // namespace

// Init stage: H and the start tile of candidates first .. first + count - 1; thread 0 also
// clears the list lengths of the batch.
extern "C" __global__ void cuda_staged_init(uint32_t first, uint32_t count, StagedView v) {
  KEST_BLOCK_TABLES();
  const uint32_t slot = KEST_STAGE_SLOT();
  if (slot == 0) {
    for (uint32_t i = 0; i < PEACH_JUMPS * kTypes; ++i) v.lengths[i] = 0;
  }
  if (slot >= count) return;
  uint8_t half[kHalfBytes];
  cuda_second_half(first + slot, half);
  SHA256_CTX ctx = c_precomputed_sha256[0];
  sha256_update(&ctx, half, kHalfBytes);
  uint8_t first_hash[PEACH_HASH_LENGTH];
  sha256_final(&ctx, first_hash);
  for (uint32_t w = 0; w < PEACH_HASH_LENGTH / 4; ++w) {
    v.first_hash[w * v.capacity + slot] = kest_pow::load32_le(first_hash + 4 * w);
  }
  v.tiles[slot] = kest_pow::start_index(first_hash);
}

// Classify stage of jump `jump`: the floating-point pass over nonce || tile index || tile
// picks each candidate's nighthash type, and the candidate joins that type's list.
extern "C" __global__ void cuda_staged_classify(uint32_t jump, uint32_t first, uint32_t count,
                                                const uint8_t* map, StagedView v) {
  KEST_BLOCK_TABLES();
  const uint32_t slot = KEST_STAGE_SLOT();
  uint32_t type = kNoType;
  if (slot < count) {
    uint8_t nonce[PEACH_NONCE_LENGTH];
    candidate_nonce(first + slot, nonce);
    const uint32_t tile_index = v.tiles[slot];
    type = kest_pow::jump_type(tile_index,
                               map + static_cast<size_t>(tile_index) * PEACH_TILE_LENGTH, nonce);
  }
  append_candidate(v.lengths + jump * kTypes, v.lists, v.capacity, type, slot);
}

namespace {

// Hash stage of jump `jump` for type `Type`: the entries of the type's list, a grid's worth at a
// time, move to their next tiles. The grid is smaller than the batch (a list holds about an
// eighth of it), and blocks wholly past the list's end leave before the table copy.
template <uint32_t Type>
__device__ KEST_FORCEINLINE void staged_hash(uint32_t jump, uint32_t first, const uint8_t* map,
                                             const StagedView& v) {
  const uint32_t length = v.lengths[jump * kTypes + Type];
  if (blockIdx.x * blockDim.x >= length) return;  // the same for every thread of the block
  KEST_BLOCK_TABLES();
  const uint32_t stride = gridDim.x * blockDim.x;
  for (uint32_t p = KEST_STAGE_SLOT(); p < length; p += stride) {
    const uint32_t slot = v.lists[Type * v.capacity + p];
    uint8_t nonce[PEACH_NONCE_LENGTH];
    candidate_nonce(first + slot, nonce);
    const uint32_t tile_index = v.tiles[slot];
    v.tiles[slot] = kest_pow::jump_target<Type>(
        tile_index, map + static_cast<size_t>(tile_index) * PEACH_TILE_LENGTH, nonce);
  }
}

// The MD2 stage with kMd2Streams list entries per thread and loop step, hashed together by
// md2_jump_targets (a group past the list's end repeats its first entry and drops the result).
__device__ KEST_FORCEINLINE void staged_hash_md2(uint32_t jump, uint32_t first, const uint8_t* map,
                                                 const StagedView& v) {
  constexpr uint32_t K = kMd2Streams;
  const uint32_t length = v.lengths[jump * kTypes + NIGHTHASH_MD2];
  if (blockIdx.x * blockDim.x * K >= length) return;  // the same for every thread of the block
  KEST_BLOCK_TABLES();
  const uint32_t stride = gridDim.x * blockDim.x * K;
  const uint32_t* list = v.lists + NIGHTHASH_MD2 * v.capacity;
  for (uint32_t p = KEST_STAGE_SLOT() * K; p < length; p += stride) {
    const uint32_t n = length - p < K ? length - p : K;
    uint32_t slot[K], tile_index[K], next[K];
    uint8_t nonce[K][PEACH_NONCE_LENGTH];
    const uint8_t* nonces[K];
    const uint8_t* tiles[K];
    for (uint32_t k = 0; k < K; ++k) {
      slot[k] = list[p + (k < n ? k : 0)];
      candidate_nonce(first + slot[k], nonce[k]);
      nonces[k] = nonce[k];
      tile_index[k] = v.tiles[slot[k]];
      tiles[k] = map + static_cast<size_t>(tile_index[k]) * PEACH_TILE_LENGTH;
    }
    kest_pow::md2_jump_targets<K>(tile_index, tiles, nonces, next);
    for (uint32_t k = 0; k < n; ++k) v.tiles[slot[k]] = next[k];
  }
}

}  // namespace

// Resident blocks per multiprocessor that ptxas is asked to fit the widest stage kernels in,
// as __launch_bounds__ (0: no bound, ptxas picks the registers): the BLAKE2b stages, and the
// SHA3 and Keccak stages. Three BLAKE2b blocks (768 threads) instead of the two that 106
// registers allow cut the simulated cycles per list entry by 16 %; Keccak has no such bound,
// since ptxas spills at 80 registers.
#ifndef KEST_BLAKE2B_STAGE_MIN_BLOCKS
#define KEST_BLAKE2B_STAGE_MIN_BLOCKS 3  // 80 registers, no spills (sm_75 to sm_90)
#endif
#ifndef KEST_KECCAK_STAGE_MIN_BLOCKS
#define KEST_KECCAK_STAGE_MIN_BLOCKS 0
#endif
#if defined(KEST_CUDA) && KEST_BLAKE2B_STAGE_MIN_BLOCKS > 0
#define KEST_BLAKE2B_STAGE_BOUNDS \
  __launch_bounds__(Kest::kStagedBlockThreads, KEST_BLAKE2B_STAGE_MIN_BLOCKS)
#else
#define KEST_BLAKE2B_STAGE_BOUNDS
#endif
#if defined(KEST_CUDA) && KEST_KECCAK_STAGE_MIN_BLOCKS > 0
#define KEST_KECCAK_STAGE_BOUNDS \
  __launch_bounds__(Kest::kStagedBlockThreads, KEST_KECCAK_STAGE_MIN_BLOCKS)
#else
#define KEST_KECCAK_STAGE_BOUNDS
#endif

#define KEST_STAGED_HASH_KERNEL(name, type, bounds)                                         \
  extern "C" __global__ void bounds name(uint32_t jump, uint32_t first, const uint8_t* map, \
                                         StagedView v) {                                    \
    staged_hash<type>(jump, first, map, v);                                                 \
  }
KEST_STAGED_HASH_KERNEL(cuda_staged_blake2b_key0, NIGHTHASH_BLAKE2B_KEY0, KEST_BLAKE2B_STAGE_BOUNDS)
KEST_STAGED_HASH_KERNEL(cuda_staged_blake2b_key1, NIGHTHASH_BLAKE2B_KEY1, KEST_BLAKE2B_STAGE_BOUNDS)
KEST_STAGED_HASH_KERNEL(cuda_staged_sha1, NIGHTHASH_SHA1, )
KEST_STAGED_HASH_KERNEL(cuda_staged_sha256, NIGHTHASH_SHA256, )
KEST_STAGED_HASH_KERNEL(cuda_staged_sha3, NIGHTHASH_SHA3, KEST_KECCAK_STAGE_BOUNDS)
KEST_STAGED_HASH_KERNEL(cuda_staged_keccak, NIGHTHASH_KECCAK, KEST_KECCAK_STAGE_BOUNDS)
KEST_STAGED_HASH_KERNEL(cuda_staged_md5, NIGHTHASH_MD5, )

extern "C" __global__ void cuda_staged_md2(uint32_t jump, uint32_t first, const uint8_t* map,
                                           StagedView v) {
  staged_hash_md2(jump, first, map, v);
}

// Final stage: F = SHA-256(H || last tile); a solution takes the next sequence number and
// writes its second half into slot (sequence mod 1024) of the ring, as in cuda_find_peach.
extern "C" __global__ void cuda_staged_final(uint32_t first, uint32_t count, const uint8_t* map,
                                             StagedView v, uint32_t* found_count,
                                             uint8_t* result_slots) {
  KEST_BLOCK_TABLES();
  const uint32_t slot = KEST_STAGE_SLOT();
  if (slot >= count) return;
  uint8_t first_hash[PEACH_HASH_LENGTH];
  for (uint32_t w = 0; w < PEACH_HASH_LENGTH / 4; ++w) {
    kest_pow::store32_le(first_hash + 4 * w, v.first_hash[w * v.capacity + slot]);
  }
  const uint8_t* tile = map + static_cast<size_t>(v.tiles[slot]) * PEACH_TILE_LENGTH;
  uint8_t final_hash[PEACH_HASH_LENGTH];
  kest_pow::final_hash(first_hash, tile, final_hash);
  if (kest_pow::leading_zero_bits(final_hash) < c_difficulty[0]) return;

  uint8_t half[kHalfBytes];
  cuda_second_half(first + slot, half);
  const uint32_t sequence = atomicAdd(found_count, 1u);
  store_result(result_slots + (sequence % Kest::kResultSlots) * Kest::kResultSlotBytes, half);
}

// ---------------------------------------------------------------------------------------------
// Batch hash kernels: thread i < count hashes input item i into output item i.
// ---------------------------------------------------------------------------------------------
#define KEST_BATCH_ITEM(count)                                 \
  KEST_BLOCK_TABLES();                                         \
  const uint32_t item = blockIdx.x * blockDim.x + threadIdx.x; \
  if (item >= (count)) return

extern "C" __global__ void kernel_md2_hash(const uint8_t* input, uint32_t input_length,
                                           uint8_t* output, uint32_t count) {
  KEST_BATCH_ITEM(count);
  MD2_CTX ctx;
  md2_init(&ctx);
  md2_update(&ctx, input + static_cast<size_t>(item) * input_length, input_length);
  md2_final(&ctx, output + static_cast<size_t>(item) * MD2_DIGEST_SIZE);
}

extern "C" __global__ void kernel_md5_hash(const uint8_t* input, uint32_t input_length,
                                           uint8_t* output, uint32_t count) {
  KEST_BATCH_ITEM(count);
  MD5_CTX ctx;
  md5_init(&ctx);
  md5_update(&ctx, input + static_cast<size_t>(item) * input_length, input_length);
  md5_final(&ctx, output + static_cast<size_t>(item) * MD5_DIGEST_SIZE);
}

extern "C" __global__ void kernel_sha1_hash(const uint8_t* input, uint32_t input_length,
                                            uint8_t* output, uint32_t count) {
  KEST_BATCH_ITEM(count);
  SHA1_CTX ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, input + static_cast<size_t>(item) * input_length, input_length);
  sha1_final(&ctx, output + static_cast<size_t>(item) * SHA1_DIGEST_SIZE);
}

extern "C" __global__ void kernel_sha256_hash(const uint8_t* input, uint32_t input_length,
                                              uint8_t* output, uint32_t count) {
  KEST_BATCH_ITEM(count);
  SHA256_CTX ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, input + static_cast<size_t>(item) * input_length, input_length);
  sha256_final(&ctx, output + static_cast<size_t>(item) * SHA256_DIGEST_SIZE);
}

// Plain Keccak (pre-standard padding) with a digest of digest_length bytes (4..64).
extern "C" __global__ void kernel_keccak_hash(const uint8_t* input, uint32_t input_length,
                                              uint8_t* output, uint32_t count,
                                              uint32_t digest_length) {
  KEST_BATCH_ITEM(count);
  if (digest_length < Kest::gpu::kBatchMinKeccakDigestBytes ||
      digest_length > Kest::gpu::kBatchMaxDigestBytes) {
    return;
  }
  keccak_ctx_t ctx;
  keccak_init(&ctx, digest_length * 8);
  keccak_update(&ctx, input + static_cast<size_t>(item) * input_length, input_length);
  keccak_final(&ctx, output + static_cast<size_t>(item) * digest_length);
}

// Keyed BLAKE2b continuing from c_CTX, whose digest length must be digest_length (1..64).
extern "C" __global__ void kernel_blake2b_hash(const uint8_t* input, uint32_t input_length,
                                               uint8_t* output, uint32_t count,
                                               uint32_t digest_length) {
  KEST_BATCH_ITEM(count);
  const Kest::gpu::Blake2bContextImage& image = c_CTX[0];
  if (image.digestlen != digest_length || digest_length == 0 ||
      digest_length > Kest::gpu::kBatchMaxDigestBytes) {
    return;
  }
  blake2b_ctx_t ctx;
  ctx.digestlen = image.digestlen;
  ctx.key = nullptr;
  ctx.keylen = image.keylen;
  memcpy(ctx.buff, image.buff, sizeof ctx.buff);
  for (int w = 0; w < 8; ++w) ctx.chain[w] = image.chain[w];
  ctx.pos = image.pos;
  ctx.t0 = image.t0;
  ctx.t1 = image.t1;
  ctx.f0 = image.f0;
  blake2b_update(&ctx, input + static_cast<size_t>(item) * input_length, input_length);
  blake2b_final(&ctx, output + static_cast<size_t>(item) * digest_length);
}

// ---------------------------------------------------------------------------------------------
// Host side
// ---------------------------------------------------------------------------------------------
namespace Kest {

cudaError_t FindPeachGeometry(int* blocks, int* threads) {
  if (blocks == nullptr || threads == nullptr) return cudaErrorInvalidValue;
  return cudaOccupancyMaxPotentialBlockSize(blocks, threads, cuda_find_peach, 0, 0);
}

cudaError_t BuildMapGeometry(int* blocks) {
  if (blocks == nullptr) return cudaErrorInvalidValue;
  int unused_block_size = 0;
  return cudaOccupancyMaxPotentialBlockSize(blocks, &unused_block_size, cuda_build_map, 0, 0);
}

void UploadJobConstants(cudaStream_t stream, uint8_t difficulty, const uint8_t* trailer,
                        const SHA256_CTX& midstate) {
  cudaMemcpyToSymbolAsync(c_difficulty, &difficulty, 1, 0, cudaMemcpyHostToDevice, stream);
  cudaMemcpyToSymbolAsync(c_phash, trailer, PEACH_PHASH_LENGTH, 0, cudaMemcpyHostToDevice, stream);
  UploadNonceConstants(stream, trailer, midstate);
}

void UploadNonceConstants(cudaStream_t stream, const uint8_t* trailer, const SHA256_CTX& midstate) {
  cudaMemcpyToSymbolAsync(c_input, trailer, kInputBytes, 0, cudaMemcpyHostToDevice, stream);
  cudaMemcpyToSymbolAsync(c_precomputed_sha256, &midstate, sizeof midstate, 0,
                          cudaMemcpyHostToDevice, stream);
}

void LaunchBuildMap(unsigned blocks, cudaStream_t stream, uint32_t offset, uint8_t* map) {
  KEST_LAUNCH(cuda_build_map, dim3(blocks), dim3(kBuildMapBlockThreads), 0, stream)(offset, map);
}

void LaunchFindPeach(unsigned blocks, unsigned threads, cudaStream_t stream, uint32_t offset,
                     uint8_t* map, uint32_t* found_count, uint8_t* result_slots) {
  KEST_LAUNCH(cuda_find_peach, dim3(blocks), dim3(threads), 0, stream)
  (offset, map, found_count, result_slots);
}

const char* SearchPathName(SearchPath path) {
  return path == SearchPath::kStaged ? "staged" : "classic";
}

cudaError_t SearchGeometry(SearchPath path, int* blocks, int* threads) {
  if (path == SearchPath::kClassic) return FindPeachGeometry(blocks, threads);
  if (blocks == nullptr || threads == nullptr) return cudaErrorInvalidValue;
  int device = 0;
  int sms = 0;
  int threads_per_sm = 0;
  cudaError_t e = cudaGetDevice(&device);
  if (e == cudaSuccess) e = cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, device);
  if (e == cudaSuccess) {
    e = cudaDeviceGetAttribute(&threads_per_sm, cudaDevAttrMaxThreadsPerMultiProcessor, device);
  }
  if (e != cudaSuccess) return e;
  const int64_t resident = int64_t{sms} * threads_per_sm * kStagedBatchWaves;
  const int64_t wanted = (resident + kStagedBlockThreads - 1) / kStagedBlockThreads;
  *blocks = static_cast<int>(wanted < 1 ? 1 : wanted > (1 << 16) ? (1 << 16) : wanted);
  *threads = static_cast<int>(kStagedBlockThreads);
  return cudaSuccess;
}

cudaError_t StagedSearchBuffers::Allocate(uint32_t capacity) {
  Free();
  if (capacity == 0) return cudaErrorInvalidValue;
  constexpr std::size_t kWordsPerCandidate = PEACH_HASH_LENGTH / 4 + 1 + kTypes;
  const std::size_t bytes =
      (std::size_t{capacity} * kWordsPerCandidate + PEACH_JUMPS * kTypes) * sizeof(uint32_t);
  void* memory = nullptr;
  int device = 0;
  cudaError_t e = cudaGetDevice(&device);
  if (e == cudaSuccess) e = cudaMalloc(&memory, bytes);
  if (e != cudaSuccess) return e;
  memory_ = memory;
  device_ = device;
  capacity_ = capacity;
  first_hash = static_cast<uint32_t*>(memory);
  tiles = first_hash + std::size_t{capacity} * (PEACH_HASH_LENGTH / 4);
  lists = tiles + capacity;
  lengths = lists + std::size_t{capacity} * kTypes;
  return cudaSuccess;
}

void StagedSearchBuffers::Free() {
  if (memory_ != nullptr) {
    int current = 0;
    const bool switch_device = cudaGetDevice(&current) == cudaSuccess && current != device_;
    if (switch_device) cudaSetDevice(device_);
    cudaFree(memory_);
    if (switch_device) cudaSetDevice(current);
  }
  memory_ = nullptr;
  device_ = -1;
  capacity_ = 0;
  first_hash = tiles = lists = lengths = nullptr;
}

cudaError_t LaunchStagedSearch(StagedSearchBuffers& buffers, unsigned blocks, unsigned threads,
                               cudaStream_t stream, uint32_t offset, uint8_t* map,
                               uint32_t* found_count, uint8_t* result_slots) {
  if (buffers.capacity() == 0) return cudaErrorInvalidValue;
  const StagedView v{buffers.first_hash, buffers.tiles, buffers.lists, buffers.lengths,
                     buffers.capacity()};
  const uint64_t total = uint64_t{blocks} * threads;
  for (uint64_t done = 0; done < total;) {
    const uint64_t left = total - done;
    const uint32_t count = static_cast<uint32_t>(left < v.capacity ? left : v.capacity);
    const uint32_t first = offset + static_cast<uint32_t>(done);
    const dim3 grid((count + kStagedBlockThreads - 1) / kStagedBlockThreads);
    const dim3 block(kStagedBlockThreads);
    // Hash stages: by default a quarter of the batch, about twice an average list, so that each
    // list's entries spread over the whole grid (the software device hands out contiguous
    // ranges of threads to its CPU threads) and a long list loops.
    const uint32_t hash_threads = count / (buffers.hash_share == 0 ? 1 : buffers.hash_share);
    const dim3 hash_grid(hash_threads < kStagedBlockThreads
                             ? 1
                             : (hash_threads + kStagedBlockThreads - 1) / kStagedBlockThreads);
    const uint32_t md2_threads = hash_threads / kMd2Streams;
    const dim3 md2_grid(md2_threads < kStagedBlockThreads
                            ? 1
                            : (md2_threads + kStagedBlockThreads - 1) / kStagedBlockThreads);
    KEST_LAUNCH(cuda_staged_init, grid, block, 0, stream)(first, count, v);
    for (uint32_t jump = 0; jump < PEACH_JUMPS; ++jump) {
      KEST_LAUNCH(cuda_staged_classify, grid, block, 0, stream)(jump, first, count, map, v);
      KEST_LAUNCH(cuda_staged_blake2b_key0, hash_grid, block, 0, stream)(jump, first, map, v);
      KEST_LAUNCH(cuda_staged_blake2b_key1, hash_grid, block, 0, stream)(jump, first, map, v);
      KEST_LAUNCH(cuda_staged_sha1, hash_grid, block, 0, stream)(jump, first, map, v);
      KEST_LAUNCH(cuda_staged_sha256, hash_grid, block, 0, stream)(jump, first, map, v);
      KEST_LAUNCH(cuda_staged_sha3, hash_grid, block, 0, stream)(jump, first, map, v);
      KEST_LAUNCH(cuda_staged_keccak, hash_grid, block, 0, stream)(jump, first, map, v);
      KEST_LAUNCH(cuda_staged_md2, md2_grid, block, 0, stream)(jump, first, map, v);
      KEST_LAUNCH(cuda_staged_md5, hash_grid, block, 0, stream)(jump, first, map, v);
    }
    KEST_LAUNCH(cuda_staged_final, grid, block, 0, stream)
    (first, count, map, v, found_count, result_slots);
    done += count;
  }
  return cudaSuccess;
}

cudaError_t LaunchSearch(SearchPath path, StagedSearchBuffers& buffers, unsigned blocks,
                         unsigned threads, cudaStream_t stream, uint32_t offset, uint8_t* map,
                         uint32_t* found_count, uint8_t* result_slots) {
  if (path == SearchPath::kStaged) {
    return LaunchStagedSearch(buffers, blocks, threads, stream, offset, map, found_count,
                              result_slots);
  }
  LaunchFindPeach(blocks, threads, stream, offset, map, found_count, result_slots);
  return cudaSuccess;
}

namespace gpu {

cudaError_t UploadBlake2bContext(const Blake2bContextImage& image) {
  return cudaMemcpyToSymbol(c_CTX, &image, sizeof image, 0, cudaMemcpyHostToDevice);
}

void LaunchBatchHash(BatchHash kind, unsigned blocks, const uint8_t* input, uint32_t input_length,
                     uint8_t* output, uint32_t count, uint32_t digest_length) {
  const dim3 grid(blocks);
  const dim3 block(kBatchBlockThreads);
  switch (kind) {
    case BatchHash::kMd2:
      KEST_LAUNCH(kernel_md2_hash, grid, block, 0, 0)(input, input_length, output, count);
      break;
    case BatchHash::kMd5:
      KEST_LAUNCH(kernel_md5_hash, grid, block, 0, 0)(input, input_length, output, count);
      break;
    case BatchHash::kSha1:
      KEST_LAUNCH(kernel_sha1_hash, grid, block, 0, 0)(input, input_length, output, count);
      break;
    case BatchHash::kSha256:
      KEST_LAUNCH(kernel_sha256_hash, grid, block, 0, 0)(input, input_length, output, count);
      break;
    case BatchHash::kKeccak:
      KEST_LAUNCH(kernel_keccak_hash, grid, block, 0, 0)
      (input, input_length, output, count, digest_length);
      break;
    case BatchHash::kBlake2b:
      KEST_LAUNCH(kernel_blake2b_hash, grid, block, 0, 0)
      (input, input_length, output, count, digest_length);
      break;
  }
}

}  // namespace gpu
}  // namespace Kest
