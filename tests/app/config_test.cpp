#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/CudaUtils.h"
#include "app/config.h"
#include "app/console.h"
#include "app/options.h"

namespace {

// A file name of this test's own: ctest runs the cases of this binary in parallel processes
// that share one working directory.
std::string TestFile(const char* base) {
  return std::string(base) + "." + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

struct Account {
  std::string key = Kest::kDefaultMinerKey;
  std::string password = Kest::kDefaultPassword;
  std::string pool = Kest::kDefaultPoolUrl;
  std::vector<std::string> pools;
  std::string out;
};

void WriteFile(const char* path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

std::string ReadFile(const char* path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

const std::string kDefaultKeyWarning =
    "Warning: mining for the built-in all-zero account key; put your key in ";

class ConfigFile : public ::testing::Test {
 protected:
  const std::string path_name_ = TestFile("config_test.txt");
  const std::string host_name_ = TestFile("config_test_hostname");
  const char* path_ = path_name_.c_str();
  const char* host_ = host_name_.c_str();
  void SetUp() override {
    std::remove(path_);
    WriteFile(host_, "miner-rig\n");
  }
  void TearDown() override {
    std::remove(path_);
    std::remove(host_);
  }
  Account Load(const Kest::RunOptions* options = nullptr, bool* ok = nullptr) {
    Account a;
    testing::internal::CaptureStdout();
    const bool loaded =
        Kest::LoadAccountConfig(path_, host_, a.key, a.password, a.pool, a.pools, options);
    a.out = testing::internal::GetCapturedStdout();
    if (ok != nullptr) *ok = loaded;
    return a;
  }
};

TEST_F(ConfigFile, MissingFileIsCreatedWithExactlyTheThreeDefaultLines) {
  const Account a = Load();
  EXPECT_EQ(ReadFile(path_),
            std::string(Kest::kDefaultMinerKey) + "\nQXV\n" + Kest::kDefaultPoolUrl + "\n");
  EXPECT_EQ(a.key.size(), 66u);
  EXPECT_EQ(a.key.substr(0, 2), "0x");
  EXPECT_EQ(a.password, "QXV");
  EXPECT_EQ(a.pools, std::vector<std::string>{Kest::kDefaultPoolUrl});
  EXPECT_EQ(a.out, "Your mining information: \nUsr: " + a.key +
                       " \nPwd: QXV \nMain Pool: " + std::string(Kest::kDefaultPoolUrl) +
                       " \nAltPools:\n1/ " + Kest::kDefaultPoolUrl + "\n" + kDefaultKeyWarning +
                       path_name_ + " or give it with -u\n");
  // A second start reads the file it wrote and does not rewrite it.
  const Account again = Load();
  EXPECT_EQ(again.key, a.key);
  EXPECT_EQ(again.pools, a.pools);
}

TEST_F(ConfigFile, KeyOnlyKeepsDefaultPasswordAndPool) {
  WriteFile(path_, "  0xabc\n");
  const Account a = Load();
  EXPECT_EQ(a.key, "0xabc");
  EXPECT_EQ(a.password, "QXV");
  EXPECT_EQ(a.pool, Kest::kDefaultPoolUrl);
  EXPECT_EQ(a.pools, std::vector<std::string>{Kest::kDefaultPoolUrl});
  EXPECT_EQ(a.out.find("WORKER NAME"), std::string::npos);
}

TEST_F(ConfigFile, TokensAreWhiteSpaceSeparatedAndExtraOnesAreAltPools) {
  WriteFile(path_, "key\tpw\n stratum+tcp://a:1 stratum+tcp://b:2\n\nhttp://c:3");
  const Account a = Load();
  EXPECT_EQ(a.key, "key");
  EXPECT_EQ(a.password, "pw");
  EXPECT_EQ(a.pool, "stratum+tcp://a:1");
  EXPECT_EQ(a.pools,
            (std::vector<std::string>{"stratum+tcp://a:1", "stratum+tcp://b:2", "http://c:3"}));
  EXPECT_NE(a.out.find("AltPools:\n1/ stratum+tcp://a:1\n2/ stratum+tcp://b:2\n3/ http://c:3\n"),
            std::string::npos);
}

TEST_F(ConfigFile, ComputerNamePlaceholder) {
  WriteFile(path_, "%computername%");
  Account a = Load();
  EXPECT_EQ(a.key, "miner-rig");
  EXPECT_EQ(a.out.rfind("WORKER NAME: miner-rig\n", 0), 0u);

  // Prefix is kept, the placeholder and everything after it are replaced by the host name.
  WriteFile(path_, "0xabc.%computername%.suffix pw");
  a = Load();
  EXPECT_EQ(a.key, "0xabc.miner-rig");
  EXPECT_EQ(a.password, "pw");

  // Without a hostname file the worker name is "null".
  std::remove(host_);
  WriteFile(path_, "k.%computername%");
  a = Load();
  EXPECT_EQ(a.key, "k.null");
}

TEST(ConfigFileUnwritable, GoesOnWithDefaultsAndSaysSo) {
  Account a;
  testing::internal::CaptureStdout();
  Kest::LoadAccountConfig("no-such-dir/sub/config.txt", "/nonexistent", a.key, a.password, a.pool,
                          a.pools);
  a.out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(a.key, Kest::kDefaultMinerKey);
  EXPECT_EQ(a.pools, std::vector<std::string>{Kest::kDefaultPoolUrl});
  EXPECT_EQ(a.out.rfind("Cannot create no-such-dir/sub/config.txt", 0), 0u);
  EXPECT_NE(a.out.find("Usr: "), std::string::npos);
}

TEST_F(ConfigFile, NamedFileThatCannotBeReadStopsTheStartWithOneLine) {
  Kest::RunOptions options;
  options.config_given = true;
  bool ok = true;
  const Account a = Load(&options, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(a.out, "Cannot read the configuration file " + path_name_ + " (--config)\n");
  EXPECT_EQ(ReadFile(path_), "");  // not created

  // The same file read fine.
  WriteFile(path_, "0xabc pw stratum+tcp://a:1\n");
  EXPECT_EQ(Load(&options, &ok).key, "0xabc");
  EXPECT_TRUE(ok);
}

TEST_F(ConfigFile, TheBuiltInKeyIsWarnedAboutFromAnySource) {
  auto warned = [](const Account& a) {
    return a.out.find(kDefaultKeyWarning) != std::string::npos;
  };
  WriteFile(path_, std::string(Kest::kDefaultMinerKey) + " pw stratum+tcp://a:1\n");
  EXPECT_TRUE(warned(Load()));
  Kest::RunOptions options;
  options.user = "0xmine";
  EXPECT_FALSE(warned(Load(&options)));  // -u over the file's default key
  WriteFile(path_, "0xmine pw stratum+tcp://a:1\n");
  EXPECT_FALSE(warned(Load()));
  options.user = Kest::kDefaultMinerKey;
  EXPECT_TRUE(warned(Load(&options)));
}

TEST_F(ConfigFile, PoolsThatCannotBeUsedAreNamedAndSkipped) {
  WriteFile(path_, "0xk pw 127.0.0.1:3333 stratum+tcp://b:2 stratum+tcp://c\n");
  bool ok = false;
  Account a = Load(nullptr, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(a.pool, "stratum+tcp://b:2");
  EXPECT_EQ(a.pools, std::vector<std::string>{"stratum+tcp://b:2"});
  EXPECT_EQ(a.out.rfind("Skipping the pool address '127.0.0.1:3333': no scheme", 0), 0u) << a.out;
  EXPECT_EQ(a.out.find("\nSkipping the pool address 'stratum+tcp://c': no port"), a.out.find('\n'))
      << a.out;
  EXPECT_NE(a.out.find("Main Pool: stratum+tcp://b:2 \n"), std::string::npos) << a.out;

  WriteFile(path_, "0xk pw tcp://a:1\n");
  a = Load(nullptr, &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(a.out.find("No usable pool address in " + path_name_ + "\n"), std::string::npos)
      << a.out;
}

// Device selection over two detected devices.
class DeviceSelection : public ::testing::Test {
 protected:
  const std::string path_name_ = TestFile("deviceconfig_test.txt");
  const char* path_ = path_name_.c_str();
  Kest::DeviceList devices_;
  int32_t count_ = 2;
  std::string out_;
  void SetUp() override {
    std::remove(path_);
    for (int i = 0; i < 2; ++i) {
      auto d = std::make_shared<Kest::CudaDevConfig>();
      d->device_id = i;
      d->cuda_device_index = i;
      d->name = "Device " + std::to_string(i);
      devices_.push_back(d);
    }
  }
  void TearDown() override { std::remove(path_); }
  void Select() {
    testing::internal::CaptureStdout();
    Kest::SelectDevices(path_, count_, devices_);
    out_ = testing::internal::GetCapturedStdout();
  }
  const Kest::CudaDevConfig& At(size_t i) {
    return dynamic_cast<const Kest::CudaDevConfig&>(*devices_.at(i));
  }
};

TEST_F(DeviceSelection, FileOrderAndIntensity) {
  WriteFile(path_, "2 1 50\n0 100\n");
  Select();
  ASSERT_EQ(count_, 2);
  EXPECT_EQ(At(0).device_id, 1);
  EXPECT_EQ(At(0).cuda_device_index, 1);
  EXPECT_FLOAT_EQ(At(0).intensity, 0.5f);
  EXPECT_EQ(At(0).name, "Device 1");
  EXPECT_EQ(At(1).device_id, 0);
  EXPECT_FLOAT_EQ(At(1).intensity, 1.0f);
  EXPECT_EQ(out_,
            "Base on your deviceconfig.txt file, below devices will be used to mine:\n"
            "1 --------- Device 1\n0 --------- Device 0\n"
            "If there's any problem, please check your deviceconfig.txt\n"
            "Remove deviceconfig.txt file to run 100% speed (you may suffer from lag GUI)\n");
}

// Two workers on one device would do the same work twice: a repeated id is reported once and
// only its first entry is used.
TEST_F(DeviceSelection, RepeatedIdIsReportedOnceAndIgnored) {
  WriteFile(path_, "4 1 100 1 30 0 50 1 20");
  Select();
  ASSERT_EQ(count_, 2);
  EXPECT_EQ(At(0).device_id, 1);
  EXPECT_FLOAT_EQ(At(0).intensity, 1.0f);
  EXPECT_EQ(At(1).device_id, 0);
  EXPECT_EQ(out_.rfind("Device id 1 is listed more than once in deviceconfig.txt; only its first "
                       "entry is used\nBase on your deviceconfig.txt",
                       0),
            0u)
      << out_;
}

TEST_F(DeviceSelection, UnknownIdIsReportedAndSkipped) {
  WriteFile(path_, "2 7 100 0 100");
  Select();
  ASSERT_EQ(count_, 1);
  EXPECT_EQ(At(0).device_id, 0);
  EXPECT_EQ(out_.rfind("Can not find device id: 7. Please check your deviceconfig.txt\n", 0), 0u);
}

TEST_F(DeviceSelection, BadCountOrUnreadableIdCases) {
  WriteFile(path_, "0 1 100");
  Select();
  EXPECT_EQ(count_, 0);
  EXPECT_TRUE(devices_.empty());

  SetUp();
  count_ = 2;
  // The second entry's id cannot be read: it keeps id 0 and so selects device 0.
  WriteFile(path_, "2 1 100 x");
  Select();
  ASSERT_EQ(count_, 2);
  EXPECT_EQ(At(0).device_id, 1);
  EXPECT_EQ(At(1).device_id, 0);
  EXPECT_FLOAT_EQ(At(1).intensity, 0.0f);
}

TEST_F(DeviceSelection, HugeCountIsCutInsteadOfFillingMemory) {
  WriteFile(path_, "2000000000 1 100");
  Select();
  EXPECT_EQ(
      out_.rfind("deviceconfig.txt lists 2000000000 devices; only the first 256 are read\n", 0),
      0u);
  ASSERT_GE(count_, 1);
  EXPECT_LE(count_, Kest::kMaxDeviceEntries);
  EXPECT_EQ(At(0).device_id, 1);
}

TEST_F(DeviceSelection, WithoutFileEveryDeviceRunsFullSpeed) {
  Select();
  ASSERT_EQ(count_, 2);
  EXPECT_FLOAT_EQ(At(0).intensity, 1.0f);
  EXPECT_FLOAT_EQ(At(1).intensity, 1.0f);
  EXPECT_EQ(out_,
            "Below devices will be used to mine:\nDevice 0 Intensity: 100\n"
            "Device 1 Intensity: 100\n"
            "Your rig is going to run 100% speed (you may suffer from lag GUI)\n"
            "If there's anything problem, please check your deviceconfig.txt\n");
}

TEST_F(DeviceSelection, NoDetectedDeviceSelectsNothing) {
  devices_.clear();
  count_ = 0;
  WriteFile(path_, "1 0 100");
  Select();
  EXPECT_EQ(count_, 0);
  EXPECT_NE(out_.find("Can not find device id: 0."), std::string::npos);
}

TEST(ShareStatistics, EachCounterOnItsLine) {
  Kest::ShareCounters shares;
  shares.submitted = 12;
  shares.unconfirmed_lost = 2;
  shares.cpu_failed = 3;
  shares.stale_dropped = 45;
  shares.unsent_dropped = 6;
  shares.pool_errors = 7;
  testing::internal::CaptureStdout();
  Kest::PrintShareStatistics(shares);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Share result:\nSubmitted: 12\nUnconfirmed (connection lost): 2\nCPU failed check: "
            "3\nStale (job replaced): 45\n"
            "Dropped unsent: 6\nPool error replies: 7\n");
}

TEST(KeyReceiver, StatisticsThenQuitAndEndOfInput) {
  std::string input = "xi\niq i";
  size_t pos = 0;
  int stats = 0;
  std::atomic<bool> exit_flag{false};
  Kest::RunKeyReceiver([&] { return pos < input.size() ? input[pos++] : EOF; }, [&] { ++stats; },
                       exit_flag);
  EXPECT_TRUE(exit_flag.load());
  EXPECT_EQ(stats, 2);  // the 'i' after 'q' is never read
  EXPECT_EQ(pos, 5u);

  // At end of input the reader keeps waiting until the flag is set elsewhere.
  std::atomic<bool> flag{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    Kest::RunKeyReceiver(
        [&] {
          ++reads;
          return EOF;
        },
        [] {}, flag);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_LE(reads.load(), 5);  // polls, does not spin
  flag.store(true);
  reader.join();
}

}  // namespace

#ifdef KEST_SOFTWARE_DEVICE
#include "gpu/softdevice/config.h"

namespace {

// Discovery through the runtime, then selection, with two software devices.
TEST(DeviceDiscovery, TwoSoftwareDevicesThenDeviceConfig) {
  Kest::swdev::Config config;
  config.device_count = 2;
  config.names = {"Rig card A", "Rig card B"};
  Kest::swdev::Configure(config);
  Kest::DeviceList devices;
  ASSERT_TRUE(Kest::GetDevInfo(devices));
  ASSERT_EQ(devices.size(), 2u);
  for (int d = 0; d < 2; ++d) {
    const auto& rec = dynamic_cast<const Kest::CudaDevConfig&>(*devices[static_cast<size_t>(d)]);
    EXPECT_EQ(rec.device_id, d);
    EXPECT_EQ(rec.cuda_device_index, d);
    EXPECT_FLOAT_EQ(rec.intensity, 0.0f);  // set by the selection
  }
  const std::string path = TestFile("deviceconfig_discovery.txt");
  WriteFile(path.c_str(), "2 1 50 0 100");
  int32_t count = 2;
  testing::internal::CaptureStdout();
  Kest::SelectDevices(path.c_str(), count, devices);
  const std::string out = testing::internal::GetCapturedStdout();
  std::remove(path.c_str());
  ASSERT_EQ(count, 2);
  EXPECT_NE(out.find("1 --------- Rig card B\n0 --------- Rig card A\n"), std::string::npos) << out;
  EXPECT_EQ(dynamic_cast<const Kest::CudaDevConfig&>(*devices[0]).cuda_device_index, 1);
  Kest::swdev::Configure(Kest::swdev::Config{});
}

TEST(DeviceDiscovery, UnreadableDeviceEndsTheProcessWithStatus1) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  Kest::swdev::Config config;
  config.device_count = 2;
  Kest::swdev::Fault fault;
  fault.kind = Kest::swdev::Fault::Kind::kProperties;
  fault.device = 1;
  config.faults.push_back(fault);
  Kest::swdev::Configure(config);
  Kest::DeviceList devices;
  EXPECT_EXIT(Kest::GetDevInfo(devices), testing::ExitedWithCode(1),
              "Fatal error: cudaGetDeviceProperties \\(.+ at CudaUtils:[0-9]+\\)\n"
              "\\*\\*\\* FAILED - ABORTING\n");
  Kest::swdev::Configure(Kest::swdev::Config{});
}

}  // namespace
#endif
