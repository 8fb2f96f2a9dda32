// The benchmark: its pass/fail rule and JSON line, then the real binary (software device): one
// whole run that also writes a log file, rotated away by hand and reopened with SIGHUP
// meanwhile, and one ended by SIGTERM during its map build (a second or so).
#include <gtest/gtest.h>

#include <signal.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "miner/benchmark.h"
#include "subprocess.h"

namespace {

using boost::property_tree::ptree;
using std::chrono::seconds;

constexpr const char* kMiner = PLOMINER_PATH;

ptree ParseJson(const std::string& text) {
  std::istringstream in(text);
  ptree tree;
  boost::property_tree::read_json(in, tree);
  return tree;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

Kest::BenchmarkDevice Device(int32_t id, uint64_t good, uint64_t bad, double expected) {
  Kest::BenchmarkDevice d;
  d.id = id;
  d.name = "card \"" + std::to_string(id) + "\"";
  d.map_build_s = 1.5;
  d.candidates = expected * 1024;
  d.rate_hps = d.candidates / 5.0;
  d.good = good;
  d.bad = bad;
  d.expected = expected;
  return d;
}

// A broken device must not pass: one failed re-check, a stopped worker, or nothing found where
// many solutions were expected. Too few candidates to expect any proves nothing either way.
TEST(Benchmark, DeviceVerdicts) {
  EXPECT_TRUE(Kest::BenchmarkDevicePassed(Device(0, 12, 0, 10.0)));
  EXPECT_TRUE(Kest::BenchmarkDevicePassed(Device(0, 0, 0, Kest::kBenchmarkMinExpected - 0.1)));
  EXPECT_FALSE(Kest::BenchmarkDevicePassed(Device(0, 0, 0, Kest::kBenchmarkMinExpected)));
  EXPECT_TRUE(Kest::BenchmarkDevicePassed(Device(0, 1, 0, 1000.0)));
  EXPECT_FALSE(Kest::BenchmarkDevicePassed(Device(0, 30, 1, 30.0)));
  Kest::BenchmarkDevice stopped = Device(0, 3, 0, 3.0);
  stopped.stopped = "device error: unspecified launch failure";
  EXPECT_FALSE(Kest::BenchmarkDevicePassed(stopped));

  Kest::BenchmarkResult result;
  EXPECT_FALSE(Kest::BenchmarkPassed(result));  // no device at all
  result.devices = {Device(0, 12, 0, 10.0), Device(1, 9, 0, 10.0)};
  EXPECT_TRUE(Kest::BenchmarkPassed(result));
  result.devices.push_back(stopped);
  EXPECT_FALSE(Kest::BenchmarkPassed(result));
}

// The JSON line parses and carries the figures of the report; a device that was never built
// has no build time (null).
TEST(Benchmark, JsonLineMatchesTheFigures) {
  Kest::BenchmarkResult result;
  result.seconds = 5.25;
  result.difficulty = 12;
  result.devices = {Device(0, 7, 0, 6.5), Device(3, 0, 2, 4.0)};
  result.devices[1].map_build_s = -1.0;
  const std::string line = Kest::BenchmarkJson(result);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  const ptree json = ParseJson(line);
  EXPECT_DOUBLE_EQ(json.get<double>("seconds"), 5.25);
  EXPECT_EQ(json.get<int>("difficulty"), 12);
  EXPECT_EQ(json.get<std::string>("passed"), "false");
  EXPECT_EQ(json.get<uint64_t>("good"), 7u);
  EXPECT_EQ(json.get<uint64_t>("bad"), 2u);
  EXPECT_NEAR(json.get<double>("rate_hps"), result.devices[0].rate_hps + result.devices[1].rate_hps,
              0.1);
  std::vector<ptree> devices;
  for (const auto& d : json.get_child("devices")) devices.push_back(d.second);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].get<std::string>("name"), "card \"0\"");
  EXPECT_DOUBLE_EQ(devices[0].get<double>("map_build_s"), 1.5);
  EXPECT_EQ(devices[0].get<std::string>("passed"), "true");
  EXPECT_EQ(devices[1].get<int>("id"), 3);
  EXPECT_EQ(devices[1].get<std::string>("map_build_s"), "null");
  EXPECT_EQ(devices[1].get<std::string>("passed"), "false");
  EXPECT_NE(Kest::BenchmarkReport(result).find("Benchmark: Device #3 card \"3\": "),
            std::string::npos);
}

// One run of the miner: two software devices, deviceconfig.txt selects the second. The log file
// is moved away during the map build and SIGHUP reopens it; together the two files hold every
// console line, each with a timestamp.
TEST(BenchmarkEndToEnd, MeasuresTheSelectedDeviceAndLogsEveryLine) {
  e2e::ScratchDir dir;
  dir.WriteFile("deviceconfig.txt", "1\n1 100\n");
  const std::string log = dir.path() + "/miner.log";
  e2e::Subprocess miner({kMiner, "--benchmark", "5", "--json", "--log-file", log}, dir.path(),
                        {{"KEST_SWDEV_DEVICES", "2"}});
  ASSERT_TRUE(miner.WaitFor("Device #1: building the tile map...", seconds(30))) << miner.Output();
  ASSERT_EQ(std::rename(log.c_str(), (log + ".old").c_str()), 0);
  miner.Signal(SIGHUP);
  ASSERT_TRUE(miner.WaitFor("SIGHUP received: log file " + log + " reopened\n", seconds(10)))
      << miner.Output();
  ASSERT_EQ(miner.Wait(seconds(300)), 0) << miner.Output();
  const std::string out = miner.Output();

  // No pool is involved, only the selected device mines.
  EXPECT_EQ(out.find("Submitting shares"), std::string::npos) << out;
  EXPECT_EQ(out.find("Device #0"), std::string::npos) << out;
  std::smatch m;
  const std::regex device_line(
      R"(\nBenchmark: Device #1 Software device[^:\n]*: [0-9.]+ k?H/s, map built in ([0-9.]+) s, solutions: (\d+) good, 0 bad \(([0-9.]+) expected\): passed\n)");
  ASSERT_TRUE(std::regex_search(out, m, device_line)) << out;
  const uint64_t good = std::stoull(m[2].str());
  EXPECT_EQ(e2e::Count(out, "\nCPU check passed\n"), static_cast<int>(good)) << out;
  EXPECT_EQ(e2e::Count(out, "CPU failed check"), 0) << out;
  EXPECT_NE(out.find(" on 1 device(s); solutions: " + m[2].str() + " good, 0 bad: passed\n"),
            std::string::npos)
      << out;

  // The JSON line is the last line and carries the same figures.
  const size_t json_at = out.rfind("\n{") + 1;
  ASSERT_NE(json_at, 0u) << out;
  const ptree json = ParseJson(out.substr(json_at));
  EXPECT_GE(json.get<double>("seconds"), 5.0);
  EXPECT_EQ(json.get<std::string>("ended_early"), "false");
  EXPECT_EQ(json.get<std::string>("passed"), "true");
  EXPECT_EQ(json.get<uint64_t>("good"), good);
  EXPECT_EQ(json.get<uint64_t>("bad"), 0u);
  const ptree& device = json.get_child("devices").front().second;
  EXPECT_EQ(json.get_child("devices").size(), 1u);
  EXPECT_EQ(device.get<int>("id"), 1);
  EXPECT_EQ(device.get<uint64_t>("good"), good);
  EXPECT_NEAR(device.get<double>("map_build_s"), std::stod(m[1].str()), 0.06);
  const double candidates = device.get<double>("candidates");
  EXPECT_GT(candidates, 0.0);
  EXPECT_NEAR(device.get<double>("rate_hps"), candidates / json.get<double>("seconds"),
              0.01 * device.get<double>("rate_hps") + 0.1);
  EXPECT_NEAR(device.get<double>("expected"), std::ldexp(candidates, -json.get<int>("difficulty")),
              0.01);
  EXPECT_NEAR(device.get<double>("expected"), std::stod(m[3].str()), 0.06);
  EXPECT_NEAR(json.get<double>("rate_hps"), device.get<double>("rate_hps"), 0.1);

  // The log: every console line, in order, with a timestamp; the reopen line in the new file.
  const std::regex stamped(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d (.*))");
  std::string logged;
  for (const std::string& file : {log + ".old", log}) {
    std::istringstream in(ReadAll(file));
    for (std::string line; std::getline(in, line);) {
      std::smatch s;
      ASSERT_TRUE(std::regex_match(line, s, stamped)) << file << ": " << line;
      logged += s[1].str() + "\n";
    }
  }
  EXPECT_EQ(logged, out);
  EXPECT_NE(ReadAll(log).find(" SIGHUP received: log file "), std::string::npos);
  EXPECT_EQ(ReadAll(log + ".old").find("SIGHUP"), std::string::npos);
}

// SIGTERM during the map build ends the run at once with the figures so far: nothing was
// measured, nothing failed.
TEST(BenchmarkEndToEnd, SigtermDuringTheMapBuildEndsWithTheFiguresSoFar) {
  e2e::ScratchDir dir;
  e2e::Subprocess miner({kMiner, "--benchmark", "60", "--json"}, dir.path());
  ASSERT_TRUE(miner.WaitFor("Device #0: building the tile map...", seconds(30))) << miner.Output();
  miner.Signal(SIGTERM);
  ASSERT_EQ(miner.Wait(seconds(20)), 0) << miner.Output();
  const std::string out = miner.Output();
  EXPECT_EQ(e2e::Count(out, "SIGTERM received: "), 1) << out;
  EXPECT_NE(out.find(": 0.0 H/s, map not built, solutions: 0 good, 0 bad (0.0 expected): passed\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("on 1 device(s); solutions: 0 good, 0 bad; ended early: passed\n"),
            std::string::npos)
      << out;
  const ptree json = ParseJson(out.substr(out.rfind("\n{") + 1));
  EXPECT_EQ(json.get<std::string>("ended_early"), "true");
  EXPECT_EQ(json.get<double>("seconds"), 0.0);
  EXPECT_EQ(json.get_child("devices").front().second.get<std::string>("map_build_s"), "null");
}

}  // namespace
