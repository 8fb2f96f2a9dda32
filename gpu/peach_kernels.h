// Host-side interface of the device module: job constants, tile-map build and nonce search.
// The same declarations serve the CUDA build and the software device; the engine calls only
// these, so it never sees kernel internals. Launch and upload errors are not returned: they
// surface through cudaGetLastError, which the search loop polls after every launch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/runtime.h"
#include "pow/sha256.h"

namespace Kest {

constexpr uint32_t kMapTiles = 1u << 20;                          // tiles in the map
constexpr std::size_t kMapBytes = std::size_t{kMapTiles} * 1024;  // 1 GiB
constexpr uint32_t kResultSlots = 1024;                           // result ring entries
constexpr uint32_t kResultSlotBytes = 16;                         // one second-half haiku
constexpr std::size_t kResultRingBytes = 16480;  // ring allocation (last 96 unused)
constexpr unsigned kBuildMapBlockThreads = 256;  // map build blocks are always 256

// Launch geometry from the runtime's occupancy search on the current device.
// Search: `blocks` is the minimum grid for full occupancy, `threads` the winning block size.
cudaError_t FindPeachGeometry(int* blocks, int* threads);
// Map build: minimum grid size (blocks of 256 threads are used whatever the search found).
cudaError_t BuildMapGeometry(int* blocks);

// Uploads on `stream`, in this order: c_difficulty, c_phash (trailer bytes 0..31), c_input
// (trailer bytes 0..107) and c_precomputed_sha256 (the context after trailer bytes 0..107).
void UploadJobConstants(cudaStream_t stream, uint8_t difficulty, const uint8_t* trailer,
                        const SHA256_CTX& midstate);
// First-half renewal: c_input and c_precomputed_sha256 only.
void UploadNonceConstants(cudaStream_t stream, const uint8_t* trailer, const SHA256_CTX& midstate);

// cuda_build_map over `blocks` x 256 threads starting at tile `offset`.
void LaunchBuildMap(unsigned blocks, cudaStream_t stream, uint32_t offset, uint8_t* map);
// cuda_find_peach over `blocks` x `threads` candidates starting at index `offset`.
void LaunchFindPeach(unsigned blocks, unsigned threads, cudaStream_t stream, uint32_t offset,
                     uint8_t* map, uint32_t* found_count, uint8_t* result_slots);

}  // namespace Kest
