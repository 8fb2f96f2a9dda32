// The real binary: 'q' stops the miner before any pool has answered; a bad command line stops
// it before anything starts.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/miner/subprocess.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(Console, QuitEndsTheMinerWhileNoPoolAnswers) {
  e2e::ScratchDir dir;
  // Nothing listens on port 1 of the loopback: the miner keeps retrying that pool.
  dir.WriteFile("config.txt", "0xkey pw stratum+tcp://127.0.0.1:1\n");
  e2e::Subprocess miner({PLOMINER_PATH}, dir.path());
  ASSERT_TRUE(miner.WaitFor("AltPools:", seconds(10))) << miner.Output();
  std::this_thread::sleep_for(milliseconds(1500));  // well into the connection attempts

  const auto start = std::chrono::steady_clock::now();
  miner.Write("q");
  EXPECT_EQ(miner.Wait(seconds(3)), 0) << miner.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1500));
}

TEST(CommandLine, BadOptionExitsWithStatusTwoBeforeStarting) {
  e2e::ScratchDir dir;
  e2e::Subprocess miner({PLOMINER_PATH, "--failover-after", "soon"}, dir.path());
  EXPECT_EQ(miner.Wait(seconds(5)), 2);
  const std::string out = miner.Output();
  EXPECT_NE(out.find("--failover-after"), std::string::npos) << out;
  EXPECT_NE(out.find("--help"), std::string::npos) << out;
  EXPECT_EQ(out.find("Varn-PLOMiner"), std::string::npos) << out;  // nothing else started
}

}  // namespace
