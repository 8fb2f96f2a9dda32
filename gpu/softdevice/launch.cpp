// Kernel launches of the software device: launch checks and the pool of CPU threads that runs
// the threads of a grid.
//
// A launch cuts its grid into chunks of consecutive threads, a few per CPU thread, and queues
// itself on the pool. The pool's threads and the launching thread claim chunks, first launch
// first, until every chunk is claimed; the launching thread then waits until every chunk has
// run. Claims and completions are counted under the pool's lock, so a launch returns only
// when no other thread will touch it again, and everything the grid wrote is visible to the
// launching thread when it does.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "gpu/softdevice/config.h"
#include "gpu/softdevice/internal.h"
#include "gpu/softdevice/kernel.h"

namespace Kest::swdev::detail {
namespace {

constexpr std::uint64_t kChunksPerRunner = 4;

struct Job {
  const GridShape* shape;
  RangeFn run;
  const void* body;
  int device;
  std::uint64_t chunk_size;
  std::uint64_t chunks;
  // Under the pool's lock:
  std::uint64_t claimed = 0;
  std::uint64_t finished = 0;
  bool failed = false;
};

class Pool {
 public:
  // `helpers` threads besides the launching ones; they live as long as the process.
  explicit Pool(int helpers) {
    for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { Serve(); });
  }

  int Runners() const { return static_cast<int>(threads_.size()) + 1; }

  // Runs every chunk of `job`, helping with it, and returns when all have finished.
  void Run(Job& job) {
    std::unique_lock<std::mutex> lock(mu_);
    queue_.push_back(&job);
    if (job.chunks > 1) work_cv_.notify_all();
    while (job.claimed < job.chunks) RunChunk(lock, job);
    done_cv_.wait(lock, [&job] { return job.finished == job.chunks; });
  }

 private:
  void Serve() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      work_cv_.wait(lock, [this] { return !queue_.empty(); });
      RunChunk(lock, *queue_.front());
    }
  }

  // Claims the next chunk of `job` and runs it with the lock released.
  void RunChunk(std::unique_lock<std::mutex>& lock, Job& job) {
    const std::uint64_t chunk = job.claimed++;
    if (job.claimed == job.chunks) queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
    lock.unlock();
    const bool ok = Execute(job, chunk);
    lock.lock();
    if (!ok) job.failed = true;
    if (++job.finished == job.chunks) done_cv_.notify_all();
  }

  static bool Execute(const Job& job, std::uint64_t chunk) {
    const std::uint64_t begin = chunk * job.chunk_size;
    const std::uint64_t end = std::min(job.shape->total_threads, begin + job.chunk_size);
    tls_device = job.device;
    try {
      job.run(job.body, *job.shape, begin, end);
    } catch (...) {
      return false;  // a throwing body is a failed launch, as a faulting kernel would be
    }
    return true;
  }

  std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::deque<Job*> queue_;  // launches with unclaimed chunks, oldest first
  std::vector<std::thread> threads_;
};

// Never destroyed: detached host threads may still be launching while the process exits.
Pool& ThePool() {
  static Pool* const pool = new Pool(CpuThreads() - 1);
  return *pool;
}

cudaError_t CheckShape(const dim3& grid, const dim3& block) {
  namespace t = tuning;
  const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
  const bool block_ok = block.x >= 1 && block.y >= 1 && block.z >= 1 &&
                        block.x <= t::kMaxBlockDimXY && block.y <= t::kMaxBlockDimXY &&
                        block.z <= t::kMaxBlockDimZ &&
                        threads <= static_cast<std::uint64_t>(t::kDeviceMaxThreadsPerBlock);
  const bool grid_ok = grid.x >= 1 && grid.y >= 1 && grid.z >= 1 &&
                       grid.x <= static_cast<unsigned>(t::kMaxGridDimX) &&
                       grid.y <= static_cast<unsigned>(t::kMaxGridDimYZ) &&
                       grid.z <= static_cast<unsigned>(t::kMaxGridDimYZ);
  return block_ok && grid_ok ? cudaSuccess : cudaErrorInvalidConfiguration;
}

}  // namespace

cudaError_t RunGrid(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream,
                    const void* kernel, RangeFn run, const void* body) {
  if (const cudaError_t e = CheckShape(grid, block); e != cudaSuccess) return Record(e);
  // Kernels here have no shared memory to offer.
  if (shared_bytes > 0) return Record(cudaErrorNotSupported);
  cudaError_t e = cudaSuccess;
  const auto s = ResolveStream(stream, &e);
  if (s == nullptr) return Record(e);
  int device = 0;
  if ((e = CurrentDevice(&device)) != cudaSuccess) return Record(e);
  if (s->device != device) return Record(cudaErrorInvalidResourceHandle);

  GridShape shape{grid, block, std::uint64_t{block.x} * block.y * block.z, 0};
  shape.total_threads = shape.threads_per_block * grid.x * grid.y * grid.z;
  if (kernel != nullptr &&
      shape.threads_per_block > static_cast<std::uint64_t>(KernelMaxThreads(kernel))) {
    return Record(cudaErrorLaunchOutOfResources);
  }
  if ((e = CheckLaunchFault(device)) != cudaSuccess) return Record(e);

  Pool& pool = ThePool();
  const std::uint64_t wanted =
      std::min<std::uint64_t>(shape.total_threads, pool.Runners() * kChunksPerRunner);
  const std::uint64_t chunk_size = (shape.total_threads + wanted - 1) / wanted;
  const std::uint64_t chunks = (shape.total_threads + chunk_size - 1) / chunk_size;
  Job job{&shape, run, body, device, chunk_size, chunks};
  {
    std::lock_guard<std::mutex> order(s->order);
    const auto start = std::chrono::steady_clock::now();
    pool.Run(job);
    AddBusyNanos(device,
                 static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                std::chrono::steady_clock::now() - start)
                                                .count()));
  }
  return job.failed ? Record(cudaErrorLaunchFailure) : cudaSuccess;
}

}  // namespace Kest::swdev::detail
