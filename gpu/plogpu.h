// Batch hashing on the current GPU, exported with C linkage from libplogpu.so.
//
// Each call hashes `count` equal-length items at once, one item per device thread: items of
// `input_length` bytes packed back to back in `input`, digests packed back to back in `output`
// (digest length: 16 for MD2 and MD5, 20 for SHA-1, 32 for SHA-256, bits / 8 for Keccak and
// BLAKE2b). Calls are synchronous. Nothing is returned; a device error, or arguments the call
// refuses, are reported on standard output as "Error cuda <name> hash: <reason>".
//
// Keccak is the pre-standard Keccak (padding byte 0x01) with a digest of bits / 8 bytes, 4..64.
// BLAKE2b is keyed with `key_length` bytes (at most 64; 0 gives unkeyed BLAKE2b) and produces
// bits / 8 bytes, 1..64. BLAKE2b calls share the device's c_CTX symbol: callers serialise
// concurrent BLAKE2b batches on one device.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define PLOGPU_EXPORT __attribute__((visibility("default")))
#else
#define PLOGPU_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

PLOGPU_EXPORT void plo_cuda_md2_hash_batch(const uint8_t* input, uint32_t input_length,
                                           uint8_t* output, uint32_t count);
PLOGPU_EXPORT void plo_cuda_md5_hash_batch(const uint8_t* input, uint32_t input_length,
                                           uint8_t* output, uint32_t count);
PLOGPU_EXPORT void plo_cuda_sha1_hash_batch(const uint8_t* input, uint32_t input_length,
                                            uint8_t* output, uint32_t count);
PLOGPU_EXPORT void plo_cuda_sha256_hash_batch(const uint8_t* input, uint32_t input_length,
                                              uint8_t* output, uint32_t count);
PLOGPU_EXPORT void plo_cuda_keccak_hash_batch(const uint8_t* input, uint32_t input_length,
                                              uint8_t* output, uint32_t digest_bits,
                                              uint32_t count);
PLOGPU_EXPORT void plo_cuda_blake2b_hash_batch(const uint8_t* key, uint32_t key_length,
                                               const uint8_t* input, uint32_t input_length,
                                               uint8_t* output, uint32_t digest_bits,
                                               uint32_t count);

#ifdef __cplusplus
}
#endif
