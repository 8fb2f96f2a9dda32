// GPU control end to end: plominer on the software device with the stand-in management library
// on LD_LIBRARY_PATH, against plo-testpool.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "subprocess.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kMiner = PLOMINER_PATH;
constexpr const char* kPool = TESTPOOL_PATH;
constexpr const char* kStandInDir = NVML_STANDIN_DIR;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The first device of GET /api/v1/summary; empty when the API did not answer.
boost::property_tree::ptree FirstDevice(int port) {
  boost::property_tree::ptree t;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return t;
  }
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
  try {
    boost::property_tree::read_json(in, t);
  } catch (const std::exception&) {
    return t;
  }
  const auto devices = t.get_child_optional("devices");
  if (!devices || devices->empty()) return {};
  return devices->front().second;
}

// The environment that puts the stand-in in front of the miner: a card that heats by 4 C per
// second of launches and cools by 4 C per idle second, from 30 C up to 55 C, memory 2 C above.
std::map<std::string, std::string> StandInEnvironment(const std::string& log,
                                                      const std::string& refuse) {
  return {{"LD_LIBRARY_PATH", kStandInDir},
          {"KEST_NVML_STANDIN",
           "ambient=30,rise=4,fall=4,max=55,mem_offset=2,power_min=100,"
           "power_max=200,power_default=150,fans=2"},
          {"KEST_NVML_STANDIN_LOG", log},
          {"KEST_NVML_STANDIN_REFUSE", refuse}};
}

// One mining miner: its settings applied (one refused for want of permission, which leaves it
// mining), the card paused at the temperature stop with no share reaching the pool meanwhile,
// resumed at the start temperature and mining again, and every applied setting put back once
// on SIGTERM.
TEST(ControlEndToEnd, SettingsTemperatureLimitAndPutBackOnSigterm) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port = e2e::StartTestPool(pool, dir, kPool, {"--diff", "8", "--block", "3"});
  ASSERT_FALSE(port.empty());
  dir.WriteFile("config.txt", "key pw stratum+tcp://127.0.0.1:" + port + "\n");
  const std::string log = dir.path() + "/calls.log";
  const int api = e2e::FreePort();
  e2e::Subprocess miner({kMiner, "--api-bind", "127.0.0.1:" + std::to_string(api), "--power-limit",
                         "120", "--lock-core-clock", "1500", "--lock-mem-clock", "5000", "--fan",
                         "70", "--temp-stop", "50", "--temp-start", "40"},
                        dir.path(), StandInEnvironment(log, "mem:permission"));
  ASSERT_TRUE(miner.WaitFor("Device #0: fans (2) set to 70 %\n", seconds(30))) << miner.Output();
  std::string out = miner.Output();
  EXPECT_EQ(e2e::Count(out, "Device #0: power limit set to 120 W (was 150 W)\n"), 1) << out;
  EXPECT_EQ(e2e::Count(out, "Device #0: core clock locked at 1500 MHz\n"), 1) << out;
  EXPECT_EQ(e2e::Count(out, "Device #0: memory clock 5000 MHz not locked: not root"), 1) << out;
  EXPECT_EQ(e2e::Count(out, "GPU health unavailable"), 0) << out;

  // The map build alone heats the card past the stop; it cools while paused.
  ASSERT_TRUE(miner.WaitFor("tile map built", seconds(240))) << miner.Output();
  ASSERT_TRUE(miner.WaitFor("reached the temperature stop 50 C; paused\n", seconds(30)))
      << miner.Output();
  // Watch the API: within one pause (a second's grace for shares already on their way) the
  // pool accepts nothing; after it the card mines and the pool accepts shares again.
  const auto accepted = [&pool] { return e2e::Count(pool->Output(), "share accepted"); };
  bool checked_pause = false;
  bool paused = false;
  Clock::time_point quiet_from;
  int accepted_at_quiet = -1;
  int accepted_after_pause = -1;
  const auto deadline = Clock::now() + seconds(120);
  while (Clock::now() < deadline) {
    const boost::property_tree::ptree d = FirstDevice(api);
    const std::string state = d.get<std::string>("state", "");
    if (state == "paused") {
      EXPECT_EQ(d.get<std::string>("state_reason", ""), "temperature");
      if (!paused) {
        paused = true;
        quiet_from = Clock::now() + seconds(1);
        accepted_at_quiet = -1;
      } else if (Clock::now() >= quiet_from) {
        if (accepted_at_quiet < 0) accepted_at_quiet = accepted();
        if (Clock::now() >= quiet_from + seconds(1)) {
          EXPECT_EQ(accepted(), accepted_at_quiet) << pool->Output();
          checked_pause = true;
        }
      }
    } else if (state == "mining") {
      EXPECT_EQ(d.get<int>("intensity", 0), 100);
      paused = false;
      if (checked_pause && accepted_after_pause < 0) accepted_after_pause = accepted();
      if (accepted_after_pause >= 0 && accepted() > accepted_after_pause) break;
    }
    std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_TRUE(checked_pause) << miner.Output();
  EXPECT_GE(accepted_after_pause, 0) << miner.Output();
  EXPECT_GT(accepted(), accepted_after_pause) << pool->Output();
  EXPECT_GE(e2e::Count(miner.Output(), "at or below the temperature start 40 C; resumed\n"), 1)
      << miner.Output();

  miner.Signal(SIGTERM);
  EXPECT_EQ(miner.Wait(seconds(30)), 0) << miner.Output();
  out = miner.Output();
  EXPECT_EQ(e2e::Count(out,
                       "Device #0: settings put back: power limit 150 W, core clock "
                       "unlocked, fans automatic\n"),
            1)
      << out;
  const std::string calls = ReadFile(log);
  EXPECT_EQ(calls,
            "nvmlDeviceSetPowerManagementLimit 0000:01:00.0 120000 -> 0\n"
            "nvmlDeviceSetGpuLockedClocks 0000:01:00.0 1500 1500 -> 0\n"
            "nvmlDeviceSetMemoryLockedClocks 0000:01:00.0 5000 5000 -> 4\n"
            "nvmlDeviceSetFanSpeed_v2 0000:01:00.0 0 70 -> 0\n"
            "nvmlDeviceSetFanSpeed_v2 0000:01:00.0 1 70 -> 0\n"
            "nvmlDeviceSetPowerManagementLimit 0000:01:00.0 150000 -> 0\n"
            "nvmlDeviceResetGpuLockedClocks 0000:01:00.0 -> 0\n"
            "nvmlDeviceSetDefaultFanSpeed_v2 0000:01:00.0 0 -> 0\n"
            "nvmlDeviceSetDefaultFanSpeed_v2 0000:01:00.0 1 -> 0\n");
}

// The hang watchdog ends the miner with status 4; the settings are put back all the same.
TEST(ControlEndToEnd, SettingsArePutBackWhenTheWatchdogEndsTheMiner) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port = e2e::StartTestPool(pool, dir, kPool, {"--diff", "30", "--block", "0"});
  ASSERT_FALSE(port.empty());
  dir.WriteFile("config.txt", "key pw stratum+tcp://127.0.0.1:" + port + "\n");
  const std::string log = dir.path() + "/calls.log";
  auto env = StandInEnvironment(log, "");
  env["KEST_SWDEV_FAULT"] = "hang:1";  // the first launch (of the map build) never returns
  e2e::Subprocess miner({kMiner, "--watchdog", "2", "--power-limit", "180"}, dir.path(), env);
  EXPECT_EQ(miner.Wait(seconds(60)), 4) << miner.Output();
  const std::string out = miner.Output();
  EXPECT_LT(out.find("Device #0: power limit set to 180 W (was 150 W)\n"),
            out.find("Device #0: settings put back: power limit 150 W\n"))
      << out;
  EXPECT_EQ(ReadFile(log),
            "nvmlDeviceSetPowerManagementLimit 0000:01:00.0 180000 -> 0\n"
            "nvmlDeviceSetPowerManagementLimit 0000:01:00.0 150000 -> 0\n");
}

}  // namespace
