// Monitoring end to end: plominer (software device) with its HTTP API and hang watchdog,
// against plo-testpool.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <cmath>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
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

int Connect(const char* ip, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The body of GET /api/v1/summary, parsed.
boost::property_tree::ptree Summary(int port) {
  boost::property_tree::ptree t;
  const int fd = Connect("127.0.0.1", port);
  if (fd < 0) return t;
  const std::string req = "GET /api/v1/summary HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string res;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) res.append(buf, static_cast<size_t>(n));
  close(fd);
  const auto at = res.find("\r\n\r\n");
  if (at == std::string::npos) return t;
  std::istringstream in(res.substr(at + 4));
  boost::property_tree::read_json(in, t);
  return t;
}

// The hash rates (kH/s) the pool was told, in order.
std::vector<double> ReportedRates(const std::string& pool_out) {
  std::vector<double> rates;
  const std::regex line("hash rate ([0-9.]+)");
  for (auto it = std::sregex_iterator(pool_out.begin(), pool_out.end(), line);
       it != std::sregex_iterator(); ++it) {
    rates.push_back(std::stod((*it)[1]));
  }
  return rates;
}

// A device whose launch never returns: the watchdog names it and ends the miner with status 4.
TEST(MonitorEndToEnd, HungDeviceEndsTheMinerWithStatus4) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port = StartPool(pool, dir, {"--diff", "30", "--block", "0"});
  ASSERT_FALSE(port.empty());
  dir.WriteFile("config.txt", "key pw stratum+tcp://127.0.0.1:" + port + "\n");
  // The first launch (of the map build) hangs.
  e2e::Subprocess miner({kMiner, "--watchdog", "2"}, dir.path(), {{"KEST_SWDEV_FAULT", "hang:1"}});
  EXPECT_EQ(miner.Wait(seconds(60)), 4) << miner.Output();
  const std::string out = miner.Output();
  EXPECT_EQ(e2e::Count(out, "Device #0: a launch has not returned for "), 1) << out;
  EXPECT_NE(out.find(" s (watchdog); ending the miner\n"), std::string::npos) << out;
}

// The API of a mining miner: its fields, bound to the given address only, and numbers that
// agree with what the pool saw (shares written, hash rate reported). A SIGTERM then ends the
// mining miner as 'q' does.
TEST(MonitorEndToEnd, ApiReportsWhatThePoolSaw) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string pool_port = StartPool(pool, dir, {"--diff", "11", "--block", "7"});
  ASSERT_FALSE(pool_port.empty());
  const std::string url = "stratum+tcp://127.0.0.1:" + pool_port;
  dir.WriteFile("config.txt", "key pw " + url + "\n");
  const int api = e2e::FreePort();
  e2e::Subprocess miner({kMiner, "--api-bind", "127.0.0.1:" + std::to_string(api)}, dir.path());
  const std::string listening = "API listening on http://127.0.0.1:" + std::to_string(api) + "\n";
  ASSERT_TRUE(miner.WaitFor(listening, seconds(10))) << miner.Output();
  const std::string first = miner.Output();
  const int other = Connect("127.0.0.2", api);
  EXPECT_LT(other, 0) << "127.0.0.2 was accepted";
  if (other >= 0) close(other);
  EXPECT_NE(first.find("GPU health unavailable ("), std::string::npos) << first;

  ASSERT_TRUE(miner.WaitFor("tile map built", seconds(240))) << miner.Output();
  ASSERT_TRUE(pool->WaitFor("share accepted", seconds(120), 2)) << miner.Output();
  // A sample taken while the device searched has reached the pool.
  const auto deadline = std::chrono::steady_clock::now() + seconds(60);
  auto hashing = [&] {
    for (double r : ReportedRates(pool->Output())) {
      if (r > 0.0) return true;
    }
    return false;
  };
  while (!hashing() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  ASSERT_TRUE(hashing()) << pool->Output();

  // Shares keep coming: the pool's counts before and after the summary bound the miner's.
  auto seen = [](const std::string& out) {
    return e2e::Count(out, "share accepted") + e2e::Count(out, "share rejected");
  };
  const int seen_before = seen(pool->Output());
  const boost::property_tree::ptree s = Summary(api);
  std::this_thread::sleep_for(seconds(1));  // lines in flight reach the pool
  const std::string pool_out = pool->Output();
  EXPECT_EQ(s.get<std::string>("version", ""), "2.4");
  EXPECT_GT(s.get<int>("uptime_s", -1), 0);
  EXPECT_EQ(s.get<std::string>("pool.url", ""), url);
  EXPECT_TRUE(s.get<bool>("pool.connected", false));
  EXPECT_TRUE(s.get<bool>("pool.has_job", false));
  EXPECT_TRUE(s.get<bool>("pool.usable", false));
  EXPECT_FALSE(s.get<bool>("pool.tls", true));
  EXPECT_EQ(s.get<int>("pool.switches", -1), 0);
  EXPECT_EQ(s.get<int>("job.block", 0), 7);
  EXPECT_EQ(s.get<int>("job.difficulty", 0), 11);
  const int submitted = s.get<int>("shares.submitted", -1);
  EXPECT_GE(submitted, 2);
  // A line is counted once written; the pool may have read the last one or two already.
  EXPECT_GE(submitted, seen_before - 2);
  EXPECT_LE(submitted, seen(pool_out));
  EXPECT_LE(s.get<int>("shares.pool_errors", -1), e2e::Count(pool_out, "share rejected"));
  EXPECT_EQ(s.get<int>("shares.unconfirmed_lost", -1), 0);
  EXPECT_EQ(s.get<int>("shares.unsent_dropped", -1), 0);

  ASSERT_EQ(s.get_child("devices").size(), 1u);
  const boost::property_tree::ptree& d = s.get_child("devices").front().second;
  EXPECT_EQ(d.get<int>("id", -1), 0);
  EXPECT_EQ(d.get<std::string>("pci_bus_id", "?"), "0000:01:00.0");  // the software device's
  EXPECT_EQ(d.get<std::string>("temperature_c", "?"), "null");
  EXPECT_EQ(d.get<std::string>("state", "?"), "mining");
  EXPECT_EQ(d.get<std::string>("state_reason", "?"), "null");
  // Every share written passed the re-check first; every solution is written soon after.
  EXPECT_GE(d.get<int>("solutions", -1), submitted);
  EXPECT_LE(d.get<int>("solutions", -1), seen(pool_out));
  // The rate the API shows is one the manager reported to the pool (kH/s there).
  const double now = s.get<double>("hashrate.now", -1.0);
  EXPECT_GT(now, 0.0);
  EXPECT_NEAR(d.get<double>("hashrate", -1.0), now, 0.01);
  bool reported = false;
  for (double r : ReportedRates(pool_out)) reported |= std::fabs(r * 1000.0 - now) <= now * 1e-3;
  EXPECT_TRUE(reported) << now << "\n" << pool_out;
  EXPECT_GT(s.get<double>("hashrate.avg_60s", 0.0), 0.0);

  miner.Signal(SIGTERM);
  EXPECT_EQ(miner.Wait(seconds(20)), 0) << miner.Output();
  EXPECT_EQ(e2e::Count(miner.Output(), "SIGTERM received: "), 1) << miner.Output();
}

}  // namespace
