// The batch hashing entry points of libplogpu: device buffers, one launch, digests back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "gpu/batch_kernels.h"
#include "gpu/plogpu.h"
#include "gpu/runtime.h"
#include "pow/blake2b.h"
#include "pow/md2.h"
#include "pow/md5.h"
#include "pow/sha1.h"
#include "pow/sha256.h"

namespace {

using Kest::gpu::BatchHash;

constexpr uint32_t kBitsPerByte = 8;
constexpr uint64_t kBlake2bFanoutDepth = 0x01010000u;  // fanout 1, depth 1
constexpr uint32_t kBlake2bKeyLengthShift = 8;

struct BatchJob {
  const char* name;  // as in "Error cuda <name> hash"
  BatchHash kind;
  const uint8_t* input;
  uint32_t input_length;
  uint8_t* output;
  uint32_t digest_length;
  uint32_t count;
};

void Report(const char* name, const char* reason) {
  std::printf("Error cuda %s hash: %s \n", name, reason);
  std::fflush(stdout);
}

// Checks what the device cannot: buffers present for the bytes that move.
bool CheckBuffers(const BatchJob& job) {
  if (job.input == nullptr && job.input_length != 0) {
    Report(job.name, "no input buffer");
    return false;
  }
  if (job.output == nullptr) {
    Report(job.name, "no output buffer");
    return false;
  }
  return true;
}

Kest::gpu::Blake2bContextImage MakeBlake2bContext(const uint8_t* key, uint32_t key_length,
                                                  uint32_t digest_length) {
  Kest::gpu::Blake2bContextImage image;
  std::memset(&image, 0, sizeof image);
  image.digestlen = digest_length;
  if (key_length > 0) std::memcpy(image.key, key, key_length);
  image.keylen = key_length;
  if (key_length > 0) std::memcpy(image.buff, key, key_length);
  for (uint32_t w = 0; w < 8; ++w) image.chain[w] = kest_pow::kBlake2bIv[w];
  image.chain[0] ^= kBlake2bFanoutDepth |
                    (static_cast<uint64_t>(key_length) << kBlake2bKeyLengthShift) | digest_length;
  // The key block is pending in the buffer; without a key there is none (unkeyed BLAKE2b).
  image.pos = key_length > 0 ? BLAKE2B_BLOCK_SIZE : 0;
  return image;
}

// Allocate, copy in, (BLAKE2b: context), launch, copy out, report, free.
void RunBatch(const BatchJob& job, const Kest::gpu::Blake2bContextImage* context) {
  const std::size_t in_bytes = std::size_t{job.count} * job.input_length;
  const std::size_t out_bytes = std::size_t{job.count} * job.digest_length;
  uint8_t* dev_in = nullptr;
  uint8_t* dev_out = nullptr;
  cudaMalloc(reinterpret_cast<void**>(&dev_in), in_bytes);
  cudaMalloc(reinterpret_cast<void**>(&dev_out), out_bytes);
  cudaMemcpy(dev_in, job.input, in_bytes, cudaMemcpyHostToDevice);
  if (context != nullptr) Kest::gpu::UploadBlake2bContext(*context);

  const unsigned blocks = job.count / Kest::gpu::kBatchBlockThreads +
                          (job.count % Kest::gpu::kBatchBlockThreads != 0 ? 1 : 0);
  Kest::gpu::LaunchBatchHash(job.kind, blocks, dev_in, job.input_length, dev_out, job.count,
                             job.digest_length);

  cudaMemcpy(job.output, dev_out, out_bytes, cudaMemcpyDeviceToHost);
  cudaDeviceSynchronize();
  const cudaError_t error = cudaGetLastError();
  if (error != cudaSuccess) Report(job.name, cudaGetErrorString(error));
  cudaFree(dev_in);
  cudaFree(dev_out);
}

void Batch(const char* name, BatchHash kind, const uint8_t* input, uint32_t input_length,
           uint8_t* output, uint32_t digest_length, uint32_t count) {
  const BatchJob job{name, kind, input, input_length, output, digest_length, count};
  if (count == 0) return;  // nothing to hash; an empty grid would be a launch error
  if (!CheckBuffers(job)) return;
  RunBatch(job, nullptr);
}

}  // namespace

extern "C" {

void plo_cuda_md2_hash_batch(const uint8_t* input, uint32_t input_length, uint8_t* output,
                             uint32_t count) {
  Batch("md2", BatchHash::kMd2, input, input_length, output, MD2_DIGEST_SIZE, count);
}

void plo_cuda_md5_hash_batch(const uint8_t* input, uint32_t input_length, uint8_t* output,
                             uint32_t count) {
  Batch("md5", BatchHash::kMd5, input, input_length, output, MD5_DIGEST_SIZE, count);
}

void plo_cuda_sha1_hash_batch(const uint8_t* input, uint32_t input_length, uint8_t* output,
                              uint32_t count) {
  Batch("sha1", BatchHash::kSha1, input, input_length, output, SHA1_DIGEST_SIZE, count);
}

void plo_cuda_sha256_hash_batch(const uint8_t* input, uint32_t input_length, uint8_t* output,
                                uint32_t count) {
  Batch("sha256", BatchHash::kSha256, input, input_length, output, SHA256_DIGEST_SIZE, count);
}

void plo_cuda_keccak_hash_batch(const uint8_t* input, uint32_t input_length, uint8_t* output,
                                uint32_t digest_bits, uint32_t count) {
  const uint32_t digest_length = digest_bits / kBitsPerByte;
  if (digest_length < Kest::gpu::kBatchMinKeccakDigestBytes ||
      digest_length > Kest::gpu::kBatchMaxDigestBytes) {
    Report("keccak", "digest length must be 32 to 519 bits");
    return;
  }
  Batch("keccak", BatchHash::kKeccak, input, input_length, output, digest_length, count);
}

void plo_cuda_blake2b_hash_batch(const uint8_t* key, uint32_t key_length, const uint8_t* input,
                                 uint32_t input_length, uint8_t* output, uint32_t digest_bits,
                                 uint32_t count) {
  const char* const name = "blake2b";
  const uint32_t digest_length = digest_bits / kBitsPerByte;
  if (key_length > BLAKE2B_MAX_KEY_SIZE) {
    Report(name, "key longer than 64 bytes refused");
    return;
  }
  if (key == nullptr && key_length != 0) {
    Report(name, "no key buffer");
    return;
  }
  if (digest_length == 0 || digest_length > Kest::gpu::kBatchMaxDigestBytes) {
    Report(name, "digest length must be 8 to 519 bits");
    return;
  }
  const BatchJob job{name, BatchHash::kBlake2b, input, input_length, output, digest_length, count};
  if (count == 0 || !CheckBuffers(job)) return;
  const Kest::gpu::Blake2bContextImage context = MakeBlake2bContext(key, key_length, digest_length);
  RunBatch(job, &context);
}

}  // extern "C"
