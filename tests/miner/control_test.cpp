// GPU control against the stand-in management library (loaded by path, as the miner loads the
// real one by name): settings checked, applied, refused and put back once; the temperature
// limit's pause and resume; the intensity's idle time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/CudaUtils.h"
#include "miner/gpu_context.h"
#include "miner/gpu_control.h"
#include "subprocess.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr const char* kStandIn = NVML_STANDIN_PATH;
// The software device's bus id (device 0) and one the stand-in knows no card for.
constexpr const char* kCard = "0000:01:00.0";
constexpr const char* kUnknownCard = "0000:09:00.0";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class Control : public testing::Test {
 protected:
  void SetUp() override {
    log_ = dir_.path() + "/calls.log";
    setenv("KEST_NVML_STANDIN_LOG", log_.c_str(), 1);
    setenv("KEST_NVML_STANDIN", "power_min=100,power_max=200,power_default=150,fans=2", 1);
    unsetenv("KEST_NVML_STANDIN_REFUSE");
  }
  void TearDown() override {
    unsetenv("KEST_NVML_STANDIN_LOG");
    unsetenv("KEST_NVML_STANDIN");
    unsetenv("KEST_NVML_STANDIN_REFUSE");
  }

  e2e::ScratchDir dir_;
  std::string log_;
};

// Every setting of a card is checked and applied, a refused one is named with its reason, an
// unknown card and a list longer than the cards get one line each; the put-back restores
// exactly what was changed, once.
TEST_F(Control, SettingsAreAppliedRefusedAndPutBackOnce) {
  setenv("KEST_NVML_STANDIN_REFUSE", "core:permission", 1);
  auto nvml = std::make_shared<Kest::Nvml>(kStandIn);
  ASSERT_TRUE(nvml->Available()) << nvml->Problem();
  Kest::RunOptions o;
  o.power_limit_w = {120};
  o.lock_core_mhz = {1500};
  o.lock_mem_mhz = {5000, std::nullopt, 7000};
  o.fan = {Kest::FanSetting{false, 70}};
  Kest::GpuControl control(nvml, {{0, kCard}, {3, kUnknownCard}});
  CaptureStdout();
  control.Apply(o);
  control.Restore();
  control.Restore();
  const std::string out = GetCapturedStdout();
  for (const char* line : {
           "--lock-mem-clock lists 3 values for 2 device(s); the extra ones are ignored\n",
           "Device #0: power limit set to 120 W (was 150 W)\n",
           "Device #0: core clock 1500 MHz not locked: not root (Insufficient Permissions)\n",
           "Device #0: memory clock locked at 5000 MHz\n",
           "Device #0: fans (2) set to 70 %\n",
           "Device #3: power limit 120 W not set: its range cannot be read: the management "
           "library does not know this card\n",
           "Device #0: settings put back: power limit 150 W, memory clock unlocked, fans "
           "automatic\n",
       }) {
    EXPECT_EQ(e2e::Count(out, line), 1) << line << "\n" << out;
  }
  EXPECT_EQ(e2e::Count(out, "Device #3: memory clock"), 0) << out;  // "-": kept as it is
  EXPECT_EQ(e2e::Count(out, "put back"), 1) << out;
  EXPECT_EQ(ReadFile(log_),
            "nvmlDeviceSetPowerManagementLimit 0000:01:00.0 120000 -> 0\n"
            "nvmlDeviceSetGpuLockedClocks 0000:01:00.0 1500 1500 -> 4\n"
            "nvmlDeviceSetMemoryLockedClocks 0000:01:00.0 5000 5000 -> 0\n"
            "nvmlDeviceSetFanSpeed_v2 0000:01:00.0 0 70 -> 0\n"
            "nvmlDeviceSetFanSpeed_v2 0000:01:00.0 1 70 -> 0\n"
            "nvmlDeviceSetPowerManagementLimit 0000:01:00.0 150000 -> 0\n"
            "nvmlDeviceResetMemoryLockedClocks 0000:01:00.0 -> 0\n"
            "nvmlDeviceSetDefaultFanSpeed_v2 0000:01:00.0 0 -> 0\n"
            "nvmlDeviceSetDefaultFanSpeed_v2 0000:01:00.0 1 -> 0\n");
}

// A limit outside the card's range is never sent; without the library every setting says so;
// neither has anything to put back.
TEST_F(Control, OutOfRangeAndMissingLibraryChangeNothing) {
  Kest::RunOptions o;
  o.power_limit_w = {250};
  o.fan = {Kest::FanSetting{true, 0}};
  auto nvml = std::make_shared<Kest::Nvml>(kStandIn);
  Kest::GpuControl control(nvml, {{0, kCard}});
  auto absent = std::make_shared<Kest::Nvml>("libkest-absent-nvml.so.1");
  Kest::GpuControl without(absent, {{1, kCard}});
  CaptureStdout();
  control.Apply(o);
  control.Restore();
  without.Apply(o);
  without.Restore();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(e2e::Count(out, "Device #0: power limit not set: 250 W is outside 100..200 W\n"), 1)
      << out;
  EXPECT_EQ(e2e::Count(out, "Device #0: fans (2) set to automatic\n"), 1) << out;
  EXPECT_EQ(e2e::Count(out,
                       "Device #1: power limit 250 W not set: no management library "
                       "(libkest-absent-nvml.so.1 not found)\n"),
            1)
      << out;
  EXPECT_EQ(e2e::Count(out, "Device #1: fans not set to automatic: no management library"), 1)
      << out;
  EXPECT_EQ(e2e::Count(out, "put back"), 0) << out;  // automatic fans are the card's own
  EXPECT_EQ(ReadFile(log_),
            "nvmlDeviceSetDefaultFanSpeed_v2 0000:01:00.0 0 -> 0\n"
            "nvmlDeviceSetDefaultFanSpeed_v2 0000:01:00.0 1 -> 0\n");
}

// At the stop temperature (here the memory's, above the core's) a card is paused once; it
// resumes only when both readings are at or below the start temperature.
TEST_F(Control, TemperatureLimitPausesAndResumes) {
  setenv("KEST_NVML_STANDIN", "ambient=30,mem_offset=5", 1);
  auto nvml = std::make_shared<Kest::Nvml>(kStandIn);
  Kest::GpuControl control(nvml, {{0, kCard}, {2, kUnknownCard}});
  std::vector<std::pair<int32_t, bool>> calls;
  const auto pause = [&calls](int32_t device, bool on) { calls.emplace_back(device, on); };
  CaptureStdout();
  control.CheckTemperatures(33, 31, pause);
  control.CheckTemperatures(33, 31, pause);  // still hot: nothing new
  // The room cools: the stand-in reads its model again when started again.
  setenv("KEST_NVML_STANDIN", "ambient=20,fall=1000,mem_offset=0", 1);
  auto restart = std::make_shared<Kest::Nvml>(kStandIn);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // 1000 C/s down to the ambient
  control.CheckTemperatures(33, 31, pause);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(calls, (std::vector<std::pair<int32_t, bool>>{{0, true}, {0, false}}));
  EXPECT_EQ(e2e::Count(out, "Device #0: 35 C memory reached the temperature stop 33 C; paused\n"),
            1)
      << out;
  EXPECT_EQ(e2e::Count(out,
                       "Device #0: 20 C core, 20 C memory, at or below the temperature "
                       "start 31 C; resumed\n"),
            1)
      << out;
  EXPECT_EQ(e2e::Count(out,
                       "Device #2: no temperature reading; the temperature limit does not "
                       "watch it\n"),
            1)
      << out;
}

// deviceconfig.txt's percentage, cut to 1..100, and the idle time that makes launches take
// that share of the wall time.
TEST(Intensity, PercentAndIdleTime) {
  Kest::CudaDevConfig d;
  const std::vector<std::pair<float, uint32_t>> cases = {{0.5f, 50},  {1.0f, 100}, {0.0f, 1},
                                                         {2.5f, 100}, {0.004f, 1}, {-1.0f, 1}};
  for (const auto& [intensity, percent] : cases) {
    d.intensity = intensity;
    EXPECT_EQ(Kest::IntensityPercent(d), percent) << intensity;
  }
  for (const uint32_t p : {1u, 25u, 50u, 80u, 99u}) {
    const double launch = 0.04;
    const double idle = Kest::IntensityIdleSeconds(launch, p);
    EXPECT_NEAR(launch / (launch + idle), p / 100.0, 1e-9) << p;
  }
  EXPECT_EQ(Kest::IntensityIdleSeconds(0.04, 100), 0.0);
  EXPECT_EQ(Kest::IntensityIdleSeconds(0.0, 50), 0.0);
  EXPECT_GT(Kest::IntensityIdleSeconds(0.04, 0), Kest::IntensityIdleSeconds(0.04, 2));
}

}  // namespace
