// Host-side interface of the device module's batch hash kernels (kernel_md2_hash ...
// kernel_blake2b_hash), used by the exported batch entry points of libplogpu. One thread hashes
// one item: items of `input_length` bytes packed back to back, digests of `digest_length` bytes
// likewise. Launch errors surface through cudaGetLastError.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/runtime.h"

namespace Kest::gpu {

constexpr unsigned kBatchBlockThreads = 256;

// Keyed BLAKE2b context as the batch kernel receives it in the constant symbol c_CTX: the key
// block is already in the buffer (pending), every thread copies the context and feeds only
// its message.
struct Blake2bContextImage {
  uint32_t digestlen;  // digest length in bytes
  uint8_t key[64];     // the key, zero-filled
  uint32_t keylen;     // key length in bytes
  uint8_t buff[128];   // block buffer: the key, zero-filled
  uint64_t chain[8];   // chaining value: IV with the parameter block folded into word 0
  uint64_t state[16];  // working vector (zero; the compression keeps it in registers)
  uint32_t pos;        // fill count of the buffer: 128 with a key, 0 without
  uint64_t t0;         // byte counter, low word
  uint64_t t1;         // byte counter, high word
  uint64_t f0;         // finalisation word
};

constexpr std::size_t kBlake2bContextImageBytes = 424;
static_assert(sizeof(Blake2bContextImage) == kBlake2bContextImageBytes, "c_CTX is 424 bytes");
static_assert(offsetof(Blake2bContextImage, key) == 4, "key at 4");
static_assert(offsetof(Blake2bContextImage, keylen) == 68, "key length at 68");
static_assert(offsetof(Blake2bContextImage, buff) == 72, "buffer at 72");
static_assert(offsetof(Blake2bContextImage, chain) == 200, "chaining value at 200");
static_assert(offsetof(Blake2bContextImage, pos) == 392, "buffer position at 392");
static_assert(offsetof(Blake2bContextImage, t0) == 400, "byte counter at 400");
static_assert(offsetof(Blake2bContextImage, f0) == 416, "finalisation word at 416");

enum class BatchHash { kMd2, kMd5, kSha1, kSha256, kKeccak, kBlake2b };

// Largest digest the Keccak and BLAKE2b kernels produce, and the smallest Keccak digest.
constexpr uint32_t kBatchMaxDigestBytes = 64;
constexpr uint32_t kBatchMinKeccakDigestBytes = 4;

// Blocking copy of `image` into c_CTX of the current device.
cudaError_t UploadBlake2bContext(const Blake2bContextImage& image);

// Launches the kernel for `kind` on the default stream with `blocks` x 256 threads over `count`
// items. `digest_length` is passed to the Keccak and BLAKE2b kernels only.
void LaunchBatchHash(BatchHash kind, unsigned blocks, const uint8_t* input, uint32_t input_length,
                     uint8_t* output, uint32_t count, uint32_t digest_length);

}  // namespace Kest::gpu
