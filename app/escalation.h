// The escalation for a rig that earns nothing: when no share has been accepted for a while
// although, at the measured rate and the job's difficulty, many were expected, the miner ends
// with status 5 so that whatever supervises it (a restart, an alert) can act.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Kest {

// What the check looks at, at one moment.
struct NoShareSample {
  double t_s = 0.0;          // steady time in seconds
  uint64_t submitted = 0;    // ShareCounters::submitted: written and confirmed
  uint64_t pool_errors = 0;  // ShareCounters::pool_errors: error replies
  double rate_hps = 0.0;     // candidates per second of the devices mining now (paused: 0)
  uint32_t difficulty = 0;   // of the job in force (0: none yet)
};

// The decision, driven by samples in time order. A share counts as accepted when the
// confirmed shares outnumber the error replies by more than before (an error reply cannot be
// tied to its share, so each one cancels one confirmed share; an error reply to anything else
// lowers the count, and the next accepted share raises it again). The bytes that carry a
// share's error reply, or a reply to the share before it, confirm it a moment before its error
// is counted, so the count taken is the lowest of the last three samples: such a share raises
// one sample or two, never all three. Shares are expected from the rate and the difficulty in
// force over each time between two samples (a candidate is a share with probability
// 2^-difficulty): time paused, or before the first job, counts nothing.
class NoShareCheck {
 public:
  static constexpr double kExpectedShares = 10.0;

  // `minutes` above zero.
  explicit NoShareCheck(double minutes);

  // Takes the next sample. True when no share has been accepted for `minutes` (since the last
  // one, or the first sample) and at least kExpectedShares were expected in that time.
  bool Observe(const NoShareSample& sample);

  double QuietSeconds() const { return last_t_ - quiet_since_; }
  double Expected() const { return expected_; }
  // One line (with its line feed) saying why the miner ends, from the figures now.
  std::string Line(const NoShareSample& sample) const;

 private:
  double limit_s_;
  bool started_ = false;
  double last_t_ = 0.0;
  double quiet_since_ = 0.0;  // time of the last accepted share, or of the first sample
  double expected_ = 0.0;     // shares expected since then
  static constexpr std::size_t kLevels = 3;
  std::array<int64_t, kLevels> levels_{};  // confirmed shares less error replies, newest first
  int64_t settled_ = 0;                    // the lowest of them at the last sample
};

// Runs the check on a thread of its own, sampling `source` about once a second (more often
// for limits under ten seconds). Calls `on_fire` once, with the line, when it holds.
class NoShareWatch {
 public:
  using Source = std::function<NoShareSample()>;  // t_s is filled in by the watch
  using OnFire = std::function<void(const std::string& line)>;

  NoShareWatch(double minutes, Source source, OnFire on_fire);
  ~NoShareWatch();  // stops watching

  NoShareWatch(const NoShareWatch&) = delete;
  NoShareWatch& operator=(const NoShareWatch&) = delete;

 private:
  void Watch();

  NoShareCheck check_;
  const std::chrono::milliseconds step_;
  const Source source_;
  const OnFire on_fire_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace Kest
