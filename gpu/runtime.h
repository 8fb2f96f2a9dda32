// The GPU runtime API as host code and kernels see it, the same text in both builds: the CUDA
// runtime in the CUDA build (KEST_CUDA), the software device in the software build, where
// kernels run on the CPU (gpu/softdevice/api.h describes how).
//
// Kernel code declares constant memory and launches kernels through these macros:
//   KEST_CONSTANT(type, name, count);             // constant symbol `type name[count]`
//   KEST_CONSTANT_TABLE(type, name, count, {...}); // the same, initialised in the image
//   KEST_LAUNCH(kernel, grid, block, shared, stream)(args...);
// In the CUDA build KEST_LAUNCH is the <<<...>>> launch and can only appear in CUDA sources.
#pragma once

#if defined(KEST_CUDA)
#include <cuda_runtime.h>

#define KEST_CONSTANT(type, name, count) __constant__ type name[count]
#define KEST_CONSTANT_TABLE(type, name, count, ...) __constant__ type name[count] = __VA_ARGS__
#define KEST_LAUNCH(kernel, grid, block, shared, stream) kernel<<<grid, block, shared, stream>>>

#else
#include "gpu/softdevice/softdevice.h"

#define KEST_CONSTANT(type, name, count) ::Kest::swdev::ConstantSymbol<type, count> name
#define KEST_CONSTANT_TABLE(type, name, count, ...) \
  ::Kest::swdev::ConstantSymbol<type, count> name(__VA_ARGS__)
#define KEST_LAUNCH(kernel, grid, block, shared, stream) \
  ::Kest::swdev::KernelLauncher<kernel>(grid, block, shared, stream)
#endif

namespace Kest::gpu {

// What the block-size search needs to know about a device and a kernel.
struct OccupancyLimits {
  int max_threads_per_multiprocessor = 0;
  int warp_size = 0;
  int device_max_threads_per_block = 0;
  int multiprocessor_count = 0;
  int kernel_max_threads_per_block = 0;
};

struct BlockSizeChoice {
  int block_size = 0;     // threads per block with the most resident threads
  int min_grid_size = 0;  // blocks that fill every multiprocessor at that size
};

// The occupancy-based block-size search of the CUDA runtime's
// cudaOccupancyMaxPotentialBlockSize. The limit is the smallest of `block_size_limit` (0: none),
// the device's and the kernel's maximum threads per block. Candidates run from that limit
// rounded up to a multiple of the warp size down to one warp, in warp steps, each clipped to
// the limit; `blocks_per_multiprocessor(size, &blocks)` gives the resident blocks of each. The
// first candidate with the most resident threads wins, and the search stops once a candidate
// fills the multiprocessor. A failing query ends the search with its status.
template <class Query>
cudaError_t ChooseBlockSize(const OccupancyLimits& limits, int block_size_limit,
                            Query&& blocks_per_multiprocessor, BlockSizeChoice* choice) {
  if (choice == nullptr || limits.warp_size <= 0) {
    return cudaErrorInvalidValue;
  }
  int limit = block_size_limit == 0 ? limits.device_max_threads_per_block : block_size_limit;
  if (limits.device_max_threads_per_block < limit) limit = limits.device_max_threads_per_block;
  if (limits.kernel_max_threads_per_block < limit) limit = limits.kernel_max_threads_per_block;

  const int granularity = limits.warp_size;
  BlockSizeChoice best;
  int best_threads = 0;
  const int aligned_limit =
      limit <= 0 ? 0 : ((limit + granularity - 1) / granularity) * granularity;
  for (int aligned = aligned_limit; aligned > 0; aligned -= granularity) {
    const int size = limit < aligned ? limit : aligned;
    int blocks = 0;
    const cudaError_t status = blocks_per_multiprocessor(size, &blocks);
    if (status != cudaSuccess) return status;
    const int threads = size * blocks;
    if (threads > best_threads) {
      best.block_size = size;
      best.min_grid_size = blocks;
      best_threads = threads;
    }
    if (best_threads == limits.max_threads_per_multiprocessor) break;
  }
  best.min_grid_size *= limits.multiprocessor_count;
  *choice = best;
  return cudaSuccess;
}

}  // namespace Kest::gpu

#if !defined(KEST_CUDA)
// The CUDA runtime header's block-size search, on the software device's answers.
template <class T>
cudaError_t cudaOccupancyMaxPotentialBlockSize(int* minGridSize, int* blockSize, T func,
                                               size_t dynamicSMemSize = 0, int blockSizeLimit = 0) {
  if (minGridSize == nullptr || blockSize == nullptr || func == nullptr) {
    return cudaErrorInvalidValue;
  }
  int device = 0;
  cudaError_t status = cudaGetDevice(&device);
  if (status != cudaSuccess) return status;
  Kest::gpu::OccupancyLimits limits;
  const struct {
    cudaDeviceAttr attr;
    int* value;
  } queries[] = {
      {cudaDevAttrMaxThreadsPerMultiProcessor, &limits.max_threads_per_multiprocessor},
      {cudaDevAttrWarpSize, &limits.warp_size},
      {cudaDevAttrMaxThreadsPerBlock, &limits.device_max_threads_per_block},
      {cudaDevAttrMultiProcessorCount, &limits.multiprocessor_count},
  };
  for (const auto& q : queries) {
    status = cudaDeviceGetAttribute(q.value, q.attr, device);
    if (status != cudaSuccess) return status;
  }
  cudaFuncAttributes attr{};
  status = cudaFuncGetAttributes(&attr, func);
  if (status != cudaSuccess) return status;
  limits.kernel_max_threads_per_block = attr.maxThreadsPerBlock;

  Kest::gpu::BlockSizeChoice choice;
  status = Kest::gpu::ChooseBlockSize(
      limits, blockSizeLimit,
      [&](int size, int* blocks) {
        return cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
            blocks, func, size, dynamicSMemSize, cudaOccupancyDefault);
      },
      &choice);
  if (status != cudaSuccess) return status;
  *minGridSize = choice.min_grid_size;
  *blockSize = choice.block_size;
  return cudaSuccess;
}
#endif
