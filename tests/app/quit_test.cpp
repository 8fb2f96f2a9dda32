// The real binary: 'q', SIGTERM and SIGINT stop the miner before any pool has answered; a bad
// command line stops it before anything starts.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <vector>
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

// A service manager's SIGTERM (or Ctrl-C) ends the miner as 'q' does: status 0, one line. So
// does SIGHUP (a closed terminal) when there is no log file to reopen.
TEST(Console, SigtermAndSigintEndTheMinerLikeQuit) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    e2e::ScratchDir dir;
    dir.WriteFile("config.txt", "0xkey pw stratum+tcp://127.0.0.1:1\n");
    e2e::Subprocess miner({PLOMINER_PATH}, dir.path());
    ASSERT_TRUE(miner.WaitFor("AltPools:", seconds(10))) << miner.Output();
    std::this_thread::sleep_for(milliseconds(1500));
    miner.Signal(sig);
    EXPECT_EQ(miner.Wait(seconds(5)), 0) << miner.Output();
    const std::string line = std::string(sig == SIGTERM  ? "SIGTERM"
                                         : sig == SIGINT ? "SIGINT"
                                                         : "SIGHUP") +
                             " received: ";
    EXPECT_EQ(e2e::Count(miner.Output(), line), 1) << miner.Output();
  }
}

// Values the miner could never use end it at once, with status 2 and one line naming them,
// instead of a start that retries for ever or mines for the built-in key.
TEST(CommandLine, UnusableValuesExitWithStatusTwo) {
  const struct {
    std::vector<std::string> args;
    const char* mentions;
  } cases[] = {
      {{"--config", "rig.txt"}, "rig.txt"},  // a mistyped file name: not created
      {{"-o", "127.0.0.1:3333"}, "no scheme"},
      {{"-o", "stratum+tcp://127.0.0.1:3333#" + std::string(64, 'a')}, "stratum+tls"},
      {{"--api-bind", "::1:4028"}, "--api-bind"},
      {{"--api-token", ""}, "--api-token"},
  };
  for (const auto& c : cases) {
    e2e::ScratchDir dir;
    std::vector<std::string> argv = {PLOMINER_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    e2e::Subprocess miner(argv, dir.path());
    EXPECT_EQ(miner.Wait(seconds(5)), 2) << c.args[0] << " " << c.args[1] << "\n" << miner.Output();
    EXPECT_NE(miner.Output().find(c.mentions), std::string::npos) << miner.Output();
  }
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
