// The decision of --no-share-minutes, driven by samples as the watch takes them.
#include "app/escalation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace {

using Kest::NoShareCheck;
using Kest::NoShareSample;

// A rig sampled once a second: the counters, rate and difficulty in force now.
struct Rig {
  NoShareCheck check;
  NoShareSample now;
  explicit Rig(double minutes) : check(minutes) {}

  // Advances one second; true when the check says the miner should end.
  bool Tick() {
    now.t_s += 1.0;
    return check.Observe(now);
  }
  // Ticks until the check holds or `limit_s` seconds pass; the time it held (or -1).
  double RunUntilFired(double limit_s) {
    while (now.t_s < limit_s) {
      if (Tick()) return now.t_s;
    }
    return -1.0;
  }
};

double SharesPerSecond(const NoShareSample& s) {
  return s.rate_hps * std::ldexp(1.0, -static_cast<int>(s.difficulty));
}

// A pool that answers every share with an error: the confirmed shares never outnumber the
// error replies, so the miner ends once the limit has passed, not before. Samples often fall
// between a share's confirmation and its error reply, or after a burst confirmed by one reply.
TEST(NoShareCheck, RefusedSharesEndTheMinerAtTheLimit) {
  Rig rig(1.0);
  rig.now.difficulty = 8;
  rig.now.rate_hps = 256.0;  // one share a second expected
  EXPECT_FALSE(rig.check.Observe(rig.now));
  for (int s = 1; s < 60; ++s) {
    const int burst = s % 3 == 0 ? 0 : s % 3;  // 1, 2, 0, 1, 2, 0 ... confirmed ahead
    rig.now.submitted = rig.now.pool_errors + static_cast<uint64_t>(burst);
    EXPECT_FALSE(rig.Tick()) << s;
    rig.now.pool_errors += static_cast<uint64_t>(burst) + (burst == 0 ? 1 : 0);
    rig.now.submitted = std::max(rig.now.submitted, rig.now.pool_errors);
    rig.now.submitted += static_cast<uint64_t>(s % 4);  // settled whole between two samples
    rig.now.pool_errors += static_cast<uint64_t>(s % 4);
  }
  EXPECT_TRUE(rig.Tick());
  EXPECT_DOUBLE_EQ(rig.check.QuietSeconds(), 60.0);
  EXPECT_DOUBLE_EQ(rig.check.Expected(), 60.0 * SharesPerSecond(rig.now));
  EXPECT_EQ(rig.check.Line(rig.now),
            "No share accepted for 1.0 min although 60.0 were expected (256.0 H/s at difficulty "
            "8): ending the miner (status 5)\n");
}

// Ten shares must have been expected: a slow rig waits past the limit until they were; an
// accepted share starts both the time and the count afresh.
TEST(NoShareCheck, TenExpectedSharesAndAnAcceptedOneRestarts) {
  Rig slow(1.0);
  slow.now.difficulty = 8;
  slow.now.rate_hps = 25.6;  // a share every ten seconds
  slow.check.Observe(slow.now);
  const double fired = slow.RunUntilFired(1000.0);
  EXPECT_NEAR(fired, NoShareCheck::kExpectedShares / SharesPerSecond(slow.now), 1.0);
  EXPECT_GT(fired, 60.0);

  Rig rig(1.0);
  rig.now.difficulty = 10;
  rig.now.rate_hps = 4096.0;  // four a second
  rig.check.Observe(rig.now);
  rig.RunUntilFired(50.0);
  ++rig.now.submitted;  // accepted: no error reply follows
  EXPECT_FALSE(rig.Tick());
  EXPECT_FALSE(rig.Tick());
  EXPECT_FALSE(rig.Tick());  // seen in three samples: the share is counted here
  const double accepted_at = rig.now.t_s;
  EXPECT_DOUBLE_EQ(rig.check.Expected(), 0.0);
  EXPECT_DOUBLE_EQ(rig.RunUntilFired(1000.0), accepted_at + 60.0);
}

// Time paused or before the first job expects nothing; an error reply to something other
// than a share lowers the count, and the next accepted share still counts.
TEST(NoShareCheck, PausedAndJoblessTimeExpectNothing) {
  Rig rig(0.5);
  rig.check.Observe(rig.now);
  rig.now.rate_hps = 1e6;  // a rate, but no job yet
  EXPECT_EQ(rig.RunUntilFired(100.0), -1.0);
  rig.now.difficulty = 20;
  rig.now.rate_hps = 0.0;  // paused
  EXPECT_EQ(rig.RunUntilFired(200.0), -1.0);
  EXPECT_DOUBLE_EQ(rig.check.Expected(), 0.0);
  rig.now.rate_hps = std::ldexp(1.0, 20);  // mining again: one a second
  const double resumed = rig.now.t_s;
  EXPECT_DOUBLE_EQ(rig.RunUntilFired(1000.0), resumed + NoShareCheck::kExpectedShares);

  Rig other(0.5);
  other.now.difficulty = 8;
  other.now.rate_hps = 256.0;
  other.now.submitted = 5;
  other.check.Observe(other.now);
  other.RunUntilFired(20.0);
  ++other.now.pool_errors;  // an error reply to a hash-rate report, say
  other.RunUntilFired(25.0);
  ++other.now.submitted;  // back to the level before: an accepted share all the same
  other.Tick();
  other.Tick();
  other.Tick();
  EXPECT_DOUBLE_EQ(other.check.QuietSeconds(), 0.0);
  EXPECT_LT(other.check.Expected(), 1e-9);
}

}  // namespace
