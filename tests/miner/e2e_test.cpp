// End to end with the real binaries: plominer (software device) against plo-testpool, each in
// a scratch directory. These tests take tens of seconds: the software device builds the whole
// 1 GiB tile map on the CPU before its first share.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "subprocess.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kMiner = PLOMINER_PATH;
constexpr const char* kPool = TESTPOOL_PATH;

// Starts plo-testpool with `args` and returns its port.
std::string StartPool(std::unique_ptr<e2e::Subprocess>& pool, const e2e::ScratchDir& dir,
                      std::vector<std::string> args) {
  return e2e::StartTestPool(pool, dir, kPool, std::move(args));
}

// The first halves (nonce bytes 0..15) of every "nonce" block printed from `from` on (and
// before `to`).
std::set<std::string> FirstHalves(const std::string& out, size_t from,
                                  size_t to = std::string::npos) {
  std::set<std::string> halves;
  const std::regex nonce("\nnonce \\d+\n((?:\\d+ ){32})\n");
  const auto end = to == std::string::npos ? out.end() : out.begin() + static_cast<long>(to);
  for (auto it = std::sregex_iterator(out.begin() + static_cast<long>(from), end, nonce);
       it != std::sregex_iterator(); ++it) {
    std::string bytes = (*it)[1];
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) pos = bytes.find(' ', pos) + 1;
    halves.insert(bytes.substr(0, pos));
  }
  return halves;
}

TEST(MinerEndToEnd, StartsInAnEmptyDirectoryWithDefaults) {
  e2e::ScratchDir dir;
  e2e::Subprocess miner({kMiner}, dir.path());
  // The device list follows the pool list.
  ASSERT_TRUE(miner.WaitFor("Your rig is going to run 100% speed", seconds(10))) << miner.Output();
  const std::string out = miner.Output();
  EXPECT_EQ(out.rfind("Varn-PLOMiner (Cuda) v2.4\n", 0), 0u) << out;
  EXPECT_NE(out.find("AltPools:\n1/ "), std::string::npos) << out;
  EXPECT_NE(out.find("Software device ("), std::string::npos) << out;
  miner.Signal(SIGKILL);
}

TEST(MinerEndToEnd, FailsOverFromADeadPoolToTheTestPool) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port = StartPool(pool, dir, {"--diff", "1", "--block", "0"});
  ASSERT_FALSE(port.empty());
  // Port 1 on the loopback: nothing listens there.
  dir.WriteFile("config.txt",
                "0xkey.%computername% pw stratum+tcp://127.0.0.1:1\n"
                "stratum+tcp://127.0.0.1:" +
                    port + " stratum+tcp://x:2\n");
  e2e::Subprocess miner({kMiner}, dir.path());
  ASSERT_TRUE(miner.WaitFor("Start mining...", seconds(30))) << miner.Output();
  const std::string out = miner.Output();
  EXPECT_NE(out.find("WORKER NAME: "), std::string::npos);
  EXPECT_NE(out.find("AltPools:\n1/ stratum+tcp://127.0.0.1:1\n2/ stratum+tcp://127.0.0.1:" + port +
                     "\n3/ stratum+tcp://x:2\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(e2e::Count(out, "Can not connect to "), 1) << out;
  EXPECT_NE(out.find("Can not connect to stratum+tcp://127.0.0.1:1\n"), std::string::npos);
  miner.Write("q\n");
  EXPECT_EQ(miner.Wait(seconds(10)), 0) << miner.Output();
}

// A device error stops the device, not the process; with no device left mining the miner
// ends with status 3. The same for a device whose staged search buffers (the third allocation,
// after the map and the solution counter) cannot be allocated.
TEST(MinerEndToEnd, AStoppedDeviceEndsAMinerWithNoOtherWithStatus3) {
  const std::pair<std::string, std::string> cases[] = {
      // Every launch fails, the map build's first chunk too.
      {"launch", "device error: unspecified launch failure"},
      {"malloc:3", "cannot allocate the staged search buffers (out of memory)"},
  };
  for (const auto& [fault, reason] : cases) {
    SCOPED_TRACE(fault);
    e2e::ScratchDir dir;
    std::unique_ptr<e2e::Subprocess> pool;
    const std::string port = StartPool(pool, dir, {"--diff", "30", "--block", "0"});
    ASSERT_FALSE(port.empty());
    dir.WriteFile("config.txt", "key pw stratum+tcp://127.0.0.1:" + port + "\n");
    e2e::Subprocess miner({kMiner}, dir.path(), {{"KEST_SWDEV_FAULT", fault}});
    EXPECT_EQ(miner.Wait(seconds(60)), 3) << miner.Output();
    const std::string out = miner.Output();
    const std::string stop_line = "Device #0: " + reason + "; it mines no more\n";
    EXPECT_EQ(e2e::Count(out, stop_line), 1) << out;
    const size_t ending = out.find("No device is left mining; ending the miner\n");
    EXPECT_NE(ending, std::string::npos) << out;
    EXPECT_LT(out.find(stop_line), ending) << out;
  }
}

TEST(MinerEndToEnd, NoUsableDeviceEndsTheProcessWithStatus2) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port = StartPool(pool, dir, {"--diff", "30"});
  ASSERT_FALSE(port.empty());
  dir.WriteFile("config.txt", "key pw stratum+tcp://127.0.0.1:" + port + "\n");
  e2e::Subprocess miner({kMiner}, dir.path(), {{"KEST_SWDEV_FAULT", "malloc"}});
  EXPECT_EQ(miner.Wait(seconds(30)), 3) << miner.Output();  // 3: no usable device
  const std::string out = miner.Output();
  EXPECT_NE(out.find("Device #0: cannot set up the 1 GiB tile map ("), std::string::npos) << out;
  EXPECT_NE(out.find("[FAIL]  Inits GPUs!!!\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Start mining"), std::string::npos) << out;
}

TEST(MinerEndToEnd, GetworkPoolIsRefusedWithStatus1) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port = StartPool(pool, dir, {"--http", "--diff", "20", "--block", "0"});
  ASSERT_FALSE(port.empty());
  dir.WriteFile("config.txt", "key pw http://127.0.0.1:" + port + "\n");
  e2e::Subprocess miner({kMiner}, dir.path());
  EXPECT_EQ(miner.Wait(seconds(60)), 1) << miner.Output();
  EXPECT_NE(miner.Output().find("Not supporting getwork\n"), std::string::npos) << miner.Output();
}

// Over TLS, pinned to the certificate the test pool made at start, given on the command line.
TEST(MinerEndToEnd, MinesOverTlsWithAPinnedCertificate) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port = StartPool(pool, dir, {"--tls", "--diff", "8", "--block", "0"});
  ASSERT_FALSE(port.empty());
  std::smatch m;
  const std::string pool_out = pool->Output();
  ASSERT_TRUE(std::regex_search(pool_out, m, std::regex("TLS certificate SHA-256 ([0-9A-F:]{95})")))
      << pool_out;
  e2e::Subprocess miner(
      {kMiner, "-o", "stratum+ssl://127.0.0.1:" + port + "#" + m[1].str(), "-u", "0xtls"},
      dir.path());
  ASSERT_TRUE(pool->WaitFor("subscribe account=0xtls", seconds(30))) << miner.Output();
  ASSERT_TRUE(pool->WaitFor("share accepted", seconds(300))) << miner.Output() << pool->Output();
  EXPECT_EQ(miner.Output().find("TLS check of"), std::string::npos) << miner.Output();
  miner.Signal(SIGKILL);
}

// One long run: the map is built once, shares are found, submitted and accepted, a new job
// and a template are taken up, 'i' prints true counts and 'q' ends the process promptly.
TEST(MinerEndToEnd, MinesAcceptedSharesAcrossJobsAndTemplates) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  // Refreshed jobs keep the previous-block hash but carry a block number: the map stays valid
  // and must not be built again.
  const std::string port =
      StartPool(pool, dir, {"--diff", "11", "--block", "7", "--refresh-block", "3"});
  ASSERT_FALSE(port.empty());
  dir.WriteFile("config.txt", "key pw stratum+tcp://127.0.0.1:" + port + "\n");
  e2e::Subprocess miner({kMiner}, dir.path());

  ASSERT_TRUE(miner.WaitFor("tile map built", seconds(240))) << miner.Output();
  // A build of more than a few seconds reports each quarter.
  for (const char* quarter : {"25", "50", "75"}) {
    EXPECT_EQ(
        e2e::Count(miner.Output(), std::string("Device #0: tile map ") + quarter + "% built\n"), 1)
        << miner.Output();
  }
  ASSERT_TRUE(pool->WaitFor("share accepted", seconds(90), 2)) << miner.Output() << pool->Output();

  // A new job: shares found after it are accepted against it.
  const size_t before_job = miner.Output().size();
  pool->Signal(SIGUSR1);
  ASSERT_TRUE(miner.WaitFor("Received new work!", seconds(10), 2)) << miner.Output();
  const int accepted_before = e2e::Count(pool->Output(), "share accepted");
  ASSERT_TRUE(pool->WaitFor("share accepted", seconds(90), accepted_before + 2)) << pool->Output();
  // The pool re-checks each share on a CPU the miner keeps busy: the acceptances counted above
  // may be of shares found before the new job. Wait for one found after it.
  const auto job_deadline = std::chrono::steady_clock::now() + seconds(90);
  while (FirstHalves(miner.Output(), before_job).empty() &&
         std::chrono::steady_clock::now() < job_deadline) {
    std::this_thread::sleep_for(milliseconds(100));
  }

  // A template: every worker takes the job up again, with a first half not seen before. Shares
  // already found when it arrives still carry the old one, so wait for the new one to show.
  const size_t at_template = miner.Output().size();
  const std::set<std::string> job_halves = FirstHalves(miner.Output(), before_job, at_template);
  ASSERT_FALSE(job_halves.empty()) << miner.Output();
  pool->Signal(SIGUSR2);
  ASSERT_TRUE(pool->WaitFor("new template", seconds(10))) << pool->Output();
  auto new_half_seen = [&] {
    for (const auto& half : FirstHalves(miner.Output(), at_template)) {
      if (job_halves.count(half) == 0) return true;
    }
    return false;
  };
  const auto template_deadline = std::chrono::steady_clock::now() + seconds(60);
  while (!new_half_seen() && std::chrono::steady_clock::now() < template_deadline) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_TRUE(new_half_seen()) << miner.Output();
  const int accepted_at_template = e2e::Count(pool->Output(), "share accepted");
  ASSERT_TRUE(pool->WaitFor("share accepted", seconds(90), accepted_at_template + 1));

  // 'i' prints the true counts: shares the pool confirmed, re-check failures, error replies.
  miner.Write("i\n");
  ASSERT_TRUE(miner.WaitFor("Pool error replies: ", seconds(5))) << miner.Output();
  const std::string out = miner.Output();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m,
                                std::regex("Share result:\nSubmitted: (\\d+)\n"
                                           "Unconfirmed \\(connection lost\\): 0\n"
                                           "CPU failed check: (\\d+)\n"
                                           "Stale \\(job replaced\\): \\d+\n"
                                           "Dropped unsent: 0\n"
                                           "Pool error replies: (\\d+)\n")))
      << out;
  // The manager prints its verdict line before the share is written or counted, and the
  // statistics come from another thread: the counts may lag the lines printed before them.
  const std::string at_stats = out.substr(0, static_cast<size_t>(m.position(0)));
  const int submitting = e2e::Count(at_stats, "Submitting shares\n");
  EXPECT_GE(std::stoi(m[1]), 4);
  EXPECT_LE(std::stoi(m[1]), submitting);
  EXPECT_GE(std::stoi(m[1]), submitting - 2);
  const int failing = e2e::Count(at_stats, "CPU failed check\n");
  EXPECT_LE(std::stoi(m[2]), failing);
  EXPECT_GE(std::stoi(m[2]), failing - 1);
  EXPECT_LE(std::stoi(m[3]), 5);  // only stale shares are refused, see below

  EXPECT_EQ(e2e::Count(miner.Output(), "building the tile map"), 1) << miner.Output();

  const auto quit = std::chrono::steady_clock::now();
  miner.Write("q\n");
  EXPECT_EQ(miner.Wait(seconds(10)), 0) << miner.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - quit, milliseconds(2500));

  pool->Signal(SIGINT);
  ASSERT_EQ(pool->Wait(seconds(10)), 0);
  // Every share is accepted, except the few found on the first job that reach the pool just
  // after it moved on to the second one (stale: the manager takes a new job up within a pass).
  const std::string pool_out = pool->Output();
  const size_t job_change = pool_out.find("new job 2");
  ASSERT_NE(job_change, std::string::npos);
  EXPECT_EQ(e2e::Count(pool_out.substr(0, job_change), "share rejected"), 0) << pool_out;
  EXPECT_LE(e2e::Count(pool_out, "share rejected"), 5) << pool_out;
  EXPECT_EQ(e2e::Count(pool_out, "share rejected"),
            e2e::Count(pool_out, "share rejected: not a solution"));
  EXPECT_NE(pool_out.find("summary: accepted "), std::string::npos);
  EXPECT_NE(pool_out.find("hash rate "), std::string::npos) << pool_out;
}

}  // namespace
