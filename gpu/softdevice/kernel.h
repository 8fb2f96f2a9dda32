// Kernels on the software device. A kernel is written once as the per-thread body it is in the
// CUDA build: a __global__ function that reads threadIdx, blockIdx, blockDim and gridDim. Here
// the qualifiers are empty, those four are per-thread variables set before each body runs, and
// a launch runs every thread of the grid on a pool of CPU threads (one per CPU thread, the
// caller included), returning when all have finished. A launch with a bad configuration, an
// injected fault or a body that throws runs nothing more, returns the error and records it as
// the calling thread's last error.
//
// Launch forms:
//   KEST_LAUNCH(kernel, grid, block, shared, stream)(args...);  // same text in both builds
//   Kest::swdev::Launch(grid, block, stream, body);  // body(const ThreadCoord&) or body()
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "gpu/softdevice/symbol.h"
#include "gpu/softdevice/types.h"

#ifndef __global__
#define __global__
#endif
#ifndef __device__
#define __device__
#endif
#ifndef __host__
#define __host__
#endif
#ifndef __forceinline__
#define __forceinline__ inline __attribute__((always_inline))
#endif
// No __noinline__ here: the standard library spells __attribute__((__noinline__)) itself, which
// such a macro would break; code that wants it outside CUDA writes __attribute__((noinline)).
#ifndef __launch_bounds__
#define __launch_bounds__(...)
#endif

// Built-in coordinates of the thread whose body is running.
inline thread_local uint3 threadIdx{0, 0, 0};
inline thread_local uint3 blockIdx{0, 0, 0};
inline thread_local dim3 blockDim{1, 1, 1};
inline thread_local dim3 gridDim{1, 1, 1};

// Device atomics: relaxed read-modify-write operations returning the old value, as on a GPU.
inline unsigned int atomicAdd(unsigned int* address, unsigned int val) {
  return __atomic_fetch_add(address, val, __ATOMIC_RELAXED);
}
inline int atomicAdd(int* address, int val) {
  return __atomic_fetch_add(address, val, __ATOMIC_RELAXED);
}
inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long val) {
  return __atomic_fetch_add(address, val, __ATOMIC_RELAXED);
}
inline unsigned int atomicSub(unsigned int* address, unsigned int val) {
  return __atomic_fetch_sub(address, val, __ATOMIC_RELAXED);
}
inline int atomicSub(int* address, int val) {
  return __atomic_fetch_sub(address, val, __ATOMIC_RELAXED);
}
inline unsigned int atomicExch(unsigned int* address, unsigned int val) {
  return __atomic_exchange_n(address, val, __ATOMIC_RELAXED);
}
inline int atomicExch(int* address, int val) {
  return __atomic_exchange_n(address, val, __ATOMIC_RELAXED);
}
inline unsigned long long atomicExch(unsigned long long* address, unsigned long long val) {
  return __atomic_exchange_n(address, val, __ATOMIC_RELAXED);
}
namespace Kest::swdev::detail {
template <class T>
inline T CompareExchange(T* address, T compare, T val) {
  __atomic_compare_exchange_n(address, &compare, val, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
  return compare;  // the old value, whether or not it was replaced
}
}  // namespace Kest::swdev::detail
inline unsigned int atomicCAS(unsigned int* address, unsigned int compare, unsigned int val) {
  return Kest::swdev::detail::CompareExchange(address, compare, val);
}
inline int atomicCAS(int* address, int compare, int val) {
  return Kest::swdev::detail::CompareExchange(address, compare, val);
}
inline unsigned long long atomicCAS(unsigned long long* address, unsigned long long compare,
                                    unsigned long long val) {
  return Kest::swdev::detail::CompareExchange(address, compare, val);
}
inline void __threadfence() {
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

namespace Kest::swdev {

// Where one thread sits in its grid.
struct ThreadCoord {
  uint3 blockIdx;
  uint3 threadIdx;
  dim3 blockDim;
  dim3 gridDim;
};

namespace detail {

struct GridShape {
  dim3 grid;
  dim3 block;
  std::uint64_t threads_per_block;
  std::uint64_t total_threads;
};

// Runs grid threads [begin, end) (linear numbering, block by block) of a launch's body.
using RangeFn = void (*)(const void* body, const GridShape& shape, std::uint64_t begin,
                         std::uint64_t end);

// Validates the launch, then runs `run` over the whole grid on the pool. `kernel` is the
// kernel's address (its block-size limit applies) or null for a plain body.
cudaError_t RunGrid(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream,
                    const void* kernel, RangeFn run, const void* body);

inline void Step(uint3& v, const dim3& extent, bool& carry) {
  carry = false;
  if (++v.x < extent.x) return;
  v.x = 0;
  if (++v.y < extent.y) return;
  v.y = 0;
  if (++v.z < extent.z) return;
  v.z = 0;
  carry = true;
}

inline uint3 Unflatten(std::uint64_t linear, const dim3& extent) {
  const std::uint64_t plane = std::uint64_t{extent.x} * extent.y;
  return uint3{static_cast<unsigned>(linear % extent.x),
               static_cast<unsigned>((linear / extent.x) % extent.y),
               static_cast<unsigned>(linear / plane)};
}

template <class Body>
void RunRange(const void* body_ptr, const GridShape& shape, std::uint64_t begin,
              std::uint64_t end) {
  const Body& body = *static_cast<const Body*>(body_ptr);
  ThreadCoord c{Unflatten(begin / shape.threads_per_block, shape.grid),
                Unflatten(begin % shape.threads_per_block, shape.block), shape.block, shape.grid};
  ::blockDim = shape.block;
  ::gridDim = shape.grid;
  ::blockIdx = c.blockIdx;
  for (std::uint64_t t = begin; t < end; ++t) {
    ::threadIdx = c.threadIdx;
    if constexpr (std::is_invocable_v<const Body&, const ThreadCoord&>) {
      body(c);
    } else {
      body();
    }
    bool next_block = false;
    Step(c.threadIdx, shape.block, next_block);
    if (next_block) {
      bool unused = false;
      Step(c.blockIdx, shape.grid, unused);
      ::blockIdx = c.blockIdx;
    }
  }
}

template <class... P>
using KernelArgs = std::tuple<std::decay_t<P>...>;

template <auto Kernel, class... P>
struct KernelBody {
  using Args = KernelArgs<P...>;
  Args args;
  void operator()() const { std::apply(Kernel, args); }
};

template <auto Kernel, class... P>
KernelBody<Kernel, P...> BodyFor(void (*)(P...));

}  // namespace detail

// Runs body over the grid on `stream`'s device (the current device for stream 0).
template <class Body>
cudaError_t Launch(dim3 grid, dim3 block, cudaStream_t stream, const Body& body) {
  return detail::RunGrid(grid, block, 0, stream, nullptr, &detail::RunRange<Body>, &body);
}

// Launches a __global__ kernel with its arguments, converted to its parameter types first.
template <auto Kernel>
class KernelLauncher {
  static_assert(std::is_pointer_v<decltype(Kernel)> &&
                    std::is_function_v<std::remove_pointer_t<decltype(Kernel)>>,
                "KernelLauncher takes a kernel function");

 public:
  KernelLauncher(dim3 grid, dim3 block, std::size_t shared_bytes = 0, cudaStream_t stream = nullptr)
      : grid_(grid), block_(block), shared_bytes_(shared_bytes), stream_(stream) {}

  template <class... A>
  cudaError_t operator()(A&&... args) const {
    using Body = decltype(detail::BodyFor<Kernel>(Kernel));
    const Body body{typename Body::Args(std::forward<A>(args)...)};
    return detail::RunGrid(grid_, block_, shared_bytes_, stream_,
                           reinterpret_cast<const void*>(Kernel), &detail::RunRange<Body>, &body);
  }

 private:
  dim3 grid_;
  dim3 block_;
  std::size_t shared_bytes_;
  cudaStream_t stream_;
};

}  // namespace Kest::swdev
