// Host-side interface of the device module: job constants, tile-map build and nonce search.
//
// Two search paths cover the same candidates with the same results (counter and ring):
//   classic  cuda_find_peach: one thread walks one candidate through all eight jumps; the
//            threads of a warp hash with whichever of the eight nighthash types their data picks.
//   staged   one launch per step of the walk over a whole batch: an init stage (second half,
//            first hash H, start tile); per jump a classify stage that appends each candidate
//            to the list of its nighthash type, then one hash stage per type in which every
//            lane runs the same hash code; a final stage (SHA-256 of H || last tile, the check,
//            the ring). Per-candidate state (H, current tile) lives in StagedSearchBuffers.
// The same declarations serve the CUDA build and the software device; the engine calls only
// these, so it never sees kernel internals. Launch and upload errors are not returned: they
// surface through cudaGetLastError (per host thread), which the device worker polls after
// every synchronised search launch and map-build chunk; an error stops that device.
//
// A solution takes the next sequence number from the device counter and writes its second half
// into slot (sequence mod kResultSlots) of the result ring, mapped pinned host memory that the
// manager reads directly once the worker has announced the counter. The worker cuts its
// launches by difficulty so that one is expected to fill at most an eighth of the ring, and
// holds a launch while the slots the manager has not read leave too little room for it.
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

// cuda_build_map over `blocks` x 256 threads starting at tile `offset` (tiles past the map are
// skipped). The worker builds the map in chunks of such launches, synchronising each.
void LaunchBuildMap(unsigned blocks, cudaStream_t stream, uint32_t offset, uint8_t* map);
// cuda_find_peach over `blocks` x `threads` candidates starting at index `offset`.
void LaunchFindPeach(unsigned blocks, unsigned threads, cudaStream_t stream, uint32_t offset,
                     uint8_t* map, uint32_t* found_count, uint8_t* result_slots);

enum class SearchPath { kClassic, kStaged };
constexpr SearchPath kDefaultSearchPath = SearchPath::kStaged;
const char* SearchPathName(SearchPath path);  // "classic", "staged"

constexpr unsigned kStagedBlockThreads = 256;  // block size of every stage kernel
// Staged batches hold this many full loads of resident threads, so that each hash stage, which
// gets about an eighth of the batch, still fills the device. The software device has no waves to
// fill, and a batch there takes about a second per 10k candidates: one load keeps its answer to a
// new job or to `q` as quick as a classic launch.
#if defined(KEST_CUDA)
constexpr int kStagedBatchWaves = 4;
#else
constexpr int kStagedBatchWaves = 1;
#endif

// Launch geometry of a search path on the current device: classic as FindPeachGeometry; staged
// kStagedBlockThreads per block and enough blocks for kStagedBatchWaves times the device's
// resident threads (about 2^20 candidates on a 132-multiprocessor GPU).
cudaError_t SearchGeometry(SearchPath path, int* blocks, int* threads);

// Device buffers of the staged search on one device, for batches of up to capacity()
// candidates: 68 bytes per candidate (H as 8 words, the current tile, and room for it in each
// of the eight type lists) plus the list lengths of the eight jumps. Owned; freed on destruction
// or Free() on the device that allocated them.
class StagedSearchBuffers {
 public:
  StagedSearchBuffers() = default;
  ~StagedSearchBuffers() { Free(); }
  StagedSearchBuffers(const StagedSearchBuffers&) = delete;
  StagedSearchBuffers& operator=(const StagedSearchBuffers&) = delete;

  // Allocates room for `capacity` candidates on the current device (replacing earlier buffers).
  cudaError_t Allocate(uint32_t capacity);
  void Free();
  uint32_t capacity() const { return capacity_; }

  // Hash-stage grids cover batch / hash_share threads (at least one block); each thread strides
  // over its type's list. The default gives about two threads per entry of an average list.
  uint32_t hash_share = 4;

  // Layout, for the launch code.
  uint32_t* first_hash = nullptr;  // word w of candidate c at [w * capacity + c]
  uint32_t* tiles = nullptr;       // current tile of candidate c at [c]
  uint32_t* lists = nullptr;       // entry p of type t's list at [t * capacity + p]
  uint32_t* lengths = nullptr;     // length of type t's list at jump j at [j * 8 + t]

 private:
  void* memory_ = nullptr;
  int device_ = -1;
  uint32_t capacity_ = 0;
};

// The staged search over `blocks` x `threads` candidates starting at index `offset`, with the
// semantics of LaunchFindPeach (batches larger than the buffers run in pieces). Returns
// cudaErrorInvalidValue, launching nothing, when the buffers are not allocated; launch errors
// surface through cudaGetLastError.
cudaError_t LaunchStagedSearch(StagedSearchBuffers& buffers, unsigned blocks, unsigned threads,
                               cudaStream_t stream, uint32_t offset, uint8_t* map,
                               uint32_t* found_count, uint8_t* result_slots);

// The search of `path` (staged uses `buffers`, classic ignores them).
cudaError_t LaunchSearch(SearchPath path, StagedSearchBuffers& buffers, unsigned blocks,
                         unsigned threads, cudaStream_t stream, uint32_t offset, uint8_t* map,
                         uint32_t* found_count, uint8_t* result_slots);

}  // namespace Kest
