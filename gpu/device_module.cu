// The device module: the proof-of-work kernels cuda_build_map and cuda_find_peach, the batch
// hash kernels, and the constant symbols they read.
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
// In device code the hash and word tables are read from these symbols; on the software device
// the kernels run host code, which reads the identical host copies (pow/tables.h,
// gpu/second_half.h), and the symbols are there for anything that copies from them.

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

// Thread index of both proof-of-work kernels, in 32-bit unsigned arithmetic.
#define KEST_THREAD_INDEX(offset) (blockIdx.x * blockDim.x + (offset) + threadIdx.x)

// Builds tile i = thread index (tiles above 1048575 are skipped) from c_phash into
// map + i * 1024.
extern "C" __global__ void cuda_build_map(uint32_t offset, uint8_t* map) {
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
extern "C" __global__ void cuda_find_peach(uint32_t offset, uint8_t* map, uint32_t* found_count,
                                           uint8_t* result_slots) {
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
// Batch hash kernels: thread i < count hashes input item i into output item i.
// ---------------------------------------------------------------------------------------------
#define KEST_BATCH_ITEM(count)                                 \
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
