// Share counters: what the miner truly knows about its shares. Written by the mining manager
// (CPU re-check, stale solutions) and by the pool clients (lines written, error replies), read
// by the console and any monitoring. Every field is an atomic: no lock is needed to read them.
#pragma once

#include <atomic>
#include <cstdint>

namespace Kest {

struct ShareCounters {
  // Share lines written to a pool's socket and confirmed: bytes arrived from the pool on that
  // same TCP connection after the share's write completed, so it was reading.
  std::atomic<uint64_t> submitted{0};
  // Share lines handed to a socket (written, or being written) but not confirmed when their
  // connection ended: error, idle limit, response watch, rebuild, leaving the pool or closing
  // the client. They may or may not have reached the pool; they are never sent again.
  std::atomic<uint64_t> unconfirmed_lost{0};
  // Device candidates that failed the CPU re-check (never sent).
  std::atomic<uint64_t> cpu_failed{0};
  // Solutions found for a job that had already been replaced: dropped, never re-checked.
  std::atomic<uint64_t> stale_dropped{0};
  // Submits dropped unsent (the pool stopped reading, the miner left that pool, or no pool
  // connection was active).
  std::atomic<uint64_t> unsent_dropped{0};
  // Error replies from the pool (with this protocol a reply cannot be tied to its share).
  std::atomic<uint64_t> pool_errors{0};
};

}  // namespace Kest
