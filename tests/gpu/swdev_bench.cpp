// Measures the software device: launch overhead of an empty kernel at several grid sizes, and
// the cost of reading a constant symbol inside a kernel body against a plain array.
//   swdev-bench [seconds per measurement, default 1]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "gpu/runtime.h"

namespace {

constexpr uint32_t kTableWords = 64;
constexpr int kReadsPerThread = 256;

KEST_CONSTANT(uint32_t, c_bench_table, kTableWords);
uint32_t g_plain_table[kTableWords];

__global__ void empty_kernel(uint32_t) {}

__global__ void read_symbol(uint32_t* out) {
  const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
  uint32_t acc = i;
  for (int r = 0; r < kReadsPerThread; ++r) acc = acc * 31u + c_bench_table[(acc + r) & 63u];
  out[i] = acc;
}

__global__ void read_plain(uint32_t* out) {
  const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
  uint32_t acc = i;
  for (int r = 0; r < kReadsPerThread; ++r) acc = acc * 31u + g_plain_table[(acc + r) & 63u];
  out[i] = acc;
}

using Clock = std::chrono::steady_clock;

// Runs `launch` repeatedly for about `seconds`; returns the mean time of one call in seconds.
template <class F>
double MeanSeconds(double seconds, F&& launch) {
  launch();  // warm-up: pool threads started, pages touched
  long calls = 0;
  const auto start = Clock::now();
  std::chrono::duration<double> elapsed{};
  do {
    launch();
    ++calls;
    elapsed = Clock::now() - start;
  } while (elapsed.count() < seconds);
  return elapsed.count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess) {
    std::fprintf(stderr, "no software device: %s\n", cudaGetErrorString(cudaGetLastError()));
    return 1;
  }
  std::printf("%s, %d multiprocessors\n", prop.name, prop.multiProcessorCount);

  std::printf("\nempty kernel, blocks of 256 threads:\n");
  for (const uint32_t blocks : {1u, 8u, 64u, 1024u, 16384u}) {
    const double t = MeanSeconds(seconds, [blocks] {
      KEST_LAUNCH(empty_kernel, blocks, 256, 0, nullptr)
      (0u);
    });
    std::printf("  %8u threads: %9.2f us per launch, %7.2f ns per thread\n", blocks * 256, t * 1e6,
                t * 1e9 / (blocks * 256.0));
  }

  uint32_t table[kTableWords];
  for (uint32_t i = 0; i < kTableWords; ++i) table[i] = g_plain_table[i] = i * 2654435761u;
  cudaMemcpyToSymbol(c_bench_table, table, sizeof(table));
  constexpr uint32_t kBlocks = 256;
  constexpr uint32_t kThreads = kBlocks * 256;
  uint32_t* out = nullptr;
  cudaMalloc(reinterpret_cast<void**>(&out), kThreads * sizeof(uint32_t));
  const double symbol = MeanSeconds(seconds, [out] {
    KEST_LAUNCH(read_symbol, kBlocks, 256, 0, nullptr)
    (out);
  });
  const double plain = MeanSeconds(seconds, [out] {
    KEST_LAUNCH(read_plain, kBlocks, 256, 0, nullptr)
    (out);
  });
  const double reads = static_cast<double>(kThreads) * kReadsPerThread;
  // Per-access cost in CPU time: wall time times the CPU threads that share the work.
  const double cpus = prop.multiProcessorCount;
  std::printf("\n%d dependent reads per thread, %u threads:\n", kReadsPerThread, kThreads);
  std::printf("  constant symbol: %6.3f ns per read (CPU time)\n", symbol * cpus * 1e9 / reads);
  std::printf("  plain array:     %6.3f ns per read (CPU time)\n", plain * cpus * 1e9 / reads);
  std::printf("  symbol overhead: %6.3f ns per read\n", (symbol - plain) * cpus * 1e9 / reads);
  cudaFree(out);
  return cudaGetLastError() == cudaSuccess ? 0 : 1;
}
