#include "app/escalation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "app/utils.h"

namespace Kest {

namespace {

constexpr double kSecondsPerMinute = 60.0;
constexpr double kStepMinS = 0.25;
constexpr double kStepMaxS = 1.0;

}  // namespace

NoShareCheck::NoShareCheck(double minutes) : limit_s_(minutes * kSecondsPerMinute) {}

bool NoShareCheck::Observe(const NoShareSample& s) {
  const int64_t level = static_cast<int64_t>(s.submitted) - static_cast<int64_t>(s.pool_errors);
  for (std::size_t i = kLevels - 1; i > 0; --i) levels_[i] = levels_[i - 1];
  levels_[0] = level;
  if (!started_) {
    started_ = true;
    last_t_ = quiet_since_ = s.t_s;
    levels_.fill(level);
    settled_ = level;
    return false;
  }
  const double dt = std::max(0.0, s.t_s - last_t_);
  last_t_ = s.t_s;
  // The lowest of the last levels: a share confirmed whose error reply is still on its way
  // raises one level or two, never all of them.
  const int64_t settled = *std::min_element(levels_.begin(), levels_.end());
  const bool accepted = settled > settled_;
  settled_ = settled;  // an error reply to something other than a share lowers it
  if (accepted) {
    quiet_since_ = s.t_s;
    expected_ = 0.0;
    return false;
  }
  if (s.difficulty > 0 && s.rate_hps > 0.0 && std::isfinite(s.rate_hps)) {
    expected_ += s.rate_hps * dt * std::ldexp(1.0, -static_cast<int>(std::min(s.difficulty, 255u)));
  }
  return QuietSeconds() >= limit_s_ && expected_ >= kExpectedShares;
}

std::string NoShareCheck::Line(const NoShareSample& s) const {
  char text[256];
  std::snprintf(text, sizeof(text),
                "No share accepted for %.1f min although %.1f were expected (%s at difficulty %u): "
                "ending the miner (status 5)\n",
                QuietSeconds() / kSecondsPerMinute, expected_, RateText(s.rate_hps).c_str(),
                s.difficulty);
  return text;
}

NoShareWatch::NoShareWatch(double minutes, Source source, OnFire on_fire)
    : check_(minutes),
      step_(static_cast<int64_t>(
          1000.0 * std::clamp(minutes * kSecondsPerMinute / 10.0, kStepMinS, kStepMaxS))),
      source_(std::move(source)),
      on_fire_(std::move(on_fire)),
      thread_([this] { Watch(); }) {}

NoShareWatch::~NoShareWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void NoShareWatch::Watch() {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    NoShareSample s = source_();
    s.t_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool fire = check_.Observe(s);
    if (fire) on_fire_(check_.Line(s));
    lock.lock();
    if (fire) return;
    wake_.wait_for(lock, step_, [this] { return stop_; });
  }
}

}  // namespace Kest
