// The miner's command line, parsed without starting a process.
#include "app/options.h"

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "app/pool_address.h"

#include <string>
#include <vector>

namespace {

struct Parsed {
  bool ok = false;
  Kest::RunOptions options;
  std::string error;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "plominer");
  Parsed p;
  p.ok = Kest::ParseOptions(static_cast<int>(args.size()), args.data(), p.options, &p.error);
  return p;
}

TEST(Options, NoArgumentsKeepTheDefaults) {
  const Parsed p = Parse({});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.config_file, "config.txt");
  EXPECT_TRUE(p.options.pools.empty());
  EXPECT_FALSE(p.options.user || p.options.password || p.options.api_bind || p.options.api_token);
  EXPECT_EQ(p.options.failover_after_s, 30u);
  EXPECT_EQ(p.options.retry_main_s, 60u);
  EXPECT_EQ(p.options.idle_timeout_s, 60u);
  EXPECT_EQ(p.options.response_timeout_s, 10u);
  EXPECT_FALSE(p.options.help || p.options.version || p.options.config_given);
}

TEST(Options, EveryOptionIsRead) {
  const std::string pin(64, 'a');
  const std::string tls = "stratum+ssl://pool.example:4444#" + pin;
  const Parsed p = Parse({"-o",
                          "stratum+tcp://a:1",
                          "--pool",
                          tls.c_str(),
                          "-u",
                          "0xkey",
                          "-p",
                          "pw",
                          "--config",
                          "rig.txt",
                          "--failover-after",
                          "5",
                          "--retry-main",
                          "7",
                          "--idle-timeout",
                          "9",
                          "--response-timeout",
                          "4",
                          "--api-bind",
                          "0.0.0.0:8080",
                          "--api-token",
                          "t0k",
                          "--watchdog",
                          "0"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.pools, (std::vector<std::string>{"stratum+tcp://a:1", tls}));
  EXPECT_EQ(*p.options.user, "0xkey");
  EXPECT_EQ(*p.options.password, "pw");
  EXPECT_EQ(p.options.config_file, "rig.txt");
  EXPECT_TRUE(p.options.config_given);
  EXPECT_EQ(p.options.failover_after_s, 5u);
  EXPECT_EQ(p.options.retry_main_s, 7u);
  EXPECT_EQ(p.options.idle_timeout_s, 9u);
  EXPECT_EQ(p.options.response_timeout_s, 4u);
  EXPECT_EQ(*p.options.api_bind, "0.0.0.0:8080");
  EXPECT_EQ(*p.options.api_token, "t0k");
  EXPECT_EQ(p.options.watchdog_s, 0u);
}

TEST(Options, BadOptionsAndValuesSayWhatIsWrong) {
  const struct {
    std::vector<const char*> args;
    const char* mentions;
  } cases[] = {
      {{"--frobnicate"}, "frobnicate"},
      {{"stray"}, "stray"},
      {{"-o"}, "pool"},
      {{"--failover-after", "-5"}, "--failover-after"},
      {{"--retry-main", "0"}, "--retry-main"},
      {{"--idle-timeout", "1.5"}, "--idle-timeout"},
      {{"--watchdog", "99999999999"}, "--watchdog"},
      {{"--api-bind", "host:70000"}, "--api-bind"},
      {{"-o", "stratum+ssl://h:1#abcd"}, "64 hex"},
      {{"--user", ""}, "--user"},
      {{"--response-timeout", "0"}, "--response-timeout"},
      // Pool addresses the clients cannot use are refused here, not retried for ever.
      {{"-o", "127.0.0.1:3333"}, "no scheme"},
      {{"-o", "stratum+tpc://h:1"}, "unknown scheme"},
      {{"-o", "stratum+tcp://h"}, "no port"},
      {{"-o", "stratum+tcp://h:0"}, "port"},
      {{"-o", "stratum+tcp://h:65536"}, "port"},
      {{"-o", "stratum+tcp://h:1:2"}, "port"},
      {{"-o", "stratum+tcp://h:1/x"}, "nothing after the port"},
      {{"-o", "stratum+tcp://[zz]:1"}, "host"},
      {{"-o", "stratum+tcp://h:1#0000000000000000000000000000000000000000000000000000000000000000"},
       "stratum+tls"},
      {{"-o", "http://h:80#0000000000000000000000000000000000000000000000000000000000000000"},
       "stratum+tls"},
      // The bind address goes through the parser the server uses.
      {{"--api-bind", "::1:4028"}, "--api-bind"},
      {{"--api-bind", "[nonsense]:4028"}, "--api-bind"},
      {{"--api-bind", "two words:80"}, "--api-bind"},
      {{"--api-token", ""}, "--api-token"},
      {{"--api-token-file", "no-such-token-file"}, "no-such-token-file"},
      {{"--api-token", "a", "--api-token-file", "f"}, "together"},
      {{"--power-limit", "250,,200"}, "--power-limit"},
      {{"--fan", "101"}, "--fan"},
      {{"--lock-core-clock", "-1500"}, "--lock-core-clock"},
      {{"--temp-start", "60"}, "--temp-stop"},
      {{"--temp-stop", "70", "--temp-start", "70"}, "below"},
      {{"--no-share-minutes", "-1"}, "--no-share-minutes"},
      {{"--log-max-mb", "5"}, "--log-file"},
      {{"--benchmark", "10", "--benchmark-trailer", "abc"}, "320 hex"},
      {{"--json"}, "--benchmark"},
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_FALSE(p.ok) << c.args[0];
    EXPECT_NE(p.error.find(c.mentions), std::string::npos) << p.error;
    EXPECT_EQ(p.error.find('\n'), std::string::npos) << p.error;
  }
}

// One value applies to every card, a list goes in device order and "-" keeps a card as it is.
TEST(Options, PerCardSettingsAndTemperatureLimits) {
  Parsed p = Parse({"--power-limit", "250", "--fan", "60,-,auto", "--temp-stop", "83",
                    "--no-share-minutes", "0.5"});
  ASSERT_TRUE(p.ok) << p.error;
  ASSERT_EQ(p.options.power_limit_w.size(), 1u);
  EXPECT_EQ(p.options.power_limit_w[0], 250u);
  ASSERT_EQ(p.options.fan.size(), 3u);
  EXPECT_EQ(p.options.fan[0]->percent, 60u);
  EXPECT_FALSE(p.options.fan[0]->automatic);
  EXPECT_FALSE(p.options.fan[1].has_value());
  EXPECT_TRUE(p.options.fan[2]->automatic);
  EXPECT_EQ(p.options.temp_stop_c, 83u);
  EXPECT_EQ(p.options.temp_start_c, 73u);  // ten below by default
  EXPECT_DOUBLE_EQ(p.options.no_share_minutes, 0.5);
  EXPECT_TRUE(p.options.lock_core_mhz.empty());
}

TEST(Options, TokenFileGivesItsFirstLineTrimmed) {
  const std::string path =
      std::string("token.") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::ofstream(path, std::ios::binary) << "s3cret \t\r\nsecond line\n";
  Parsed p = Parse({"--api-token-file", path.c_str()});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(*p.options.api_token, "s3cret");
  std::ofstream(path, std::ios::binary) << " \r\n";
  p = Parse({"--api-token-file", path.c_str()});
  EXPECT_FALSE(p.ok);
  EXPECT_NE(p.error.find("empty"), std::string::npos) << p.error;
  std::remove(path.c_str());
}

TEST(PoolAddress, EveryAcceptedFormIsTakenApart) {
  Kest::PoolAddress a;
  std::string error;
  ASSERT_TRUE(Kest::ParsePoolAddress("stratum+tcp://pool.example:3333", &a, &error)) << error;
  EXPECT_EQ(a.kind, Kest::PoolAddress::Kind::kStratumTcp);
  EXPECT_FALSE(a.tls);
  EXPECT_EQ(a.host, "pool.example");
  EXPECT_EQ(a.port, 3333);
  EXPECT_TRUE(a.pin.empty());

  const std::string pin =
      "00:01:02:03:04:05:06:07:08:09:0a:0b:0c:0d:0e:0f:10:11:12:13:14:15:16:17:"
      "18:19:1a:1b:1c:1d:1e:FF";
  ASSERT_TRUE(Kest::ParsePoolAddress("Stratum+TLS://[::1]:4444#" + pin, &a, &error)) << error;
  EXPECT_EQ(a.kind, Kest::PoolAddress::Kind::kStratumTls);
  EXPECT_TRUE(a.tls);
  EXPECT_EQ(a.host, "::1");
  EXPECT_EQ(a.port, 4444);
  ASSERT_EQ(a.pin.size(), 32u);
  EXPECT_EQ(a.pin[1], '\x01');
  EXPECT_EQ(a.pin[31], '\xff');
  ASSERT_TRUE(Kest::ParsePoolAddress("stratum+ssl://10.0.0.2:1", &a, &error)) << error;
  EXPECT_EQ(a.kind, Kest::PoolAddress::Kind::kStratumTls);

  // Getwork addresses keep their path; the port defaults to the scheme's.
  ASSERT_TRUE(Kest::ParsePoolAddress("http://127.0.0.1:8080/", &a, &error)) << error;
  EXPECT_EQ(a.kind, Kest::PoolAddress::Kind::kHttp);
  EXPECT_EQ(a.port, 8080);
  ASSERT_TRUE(Kest::ParsePoolAddress("https://getwork.example/api?x=1", &a, &error)) << error;
  EXPECT_TRUE(a.tls);
  EXPECT_EQ(a.host, "getwork.example");
  EXPECT_EQ(a.port, 443);

  for (const char* bad : {"", "stratum+tcp://h:1 ", "stratum+tcp://:1", "stratum+tcp://h:",
                          "stratum+tls://h:1#abcd", "http://h:x/", "ftp://h:1"}) {
    EXPECT_FALSE(Kest::ParsePoolAddress(bad, &a, &error)) << bad;
    EXPECT_NE(error.find("pool address '"), std::string::npos) << error;
  }
}

}  // namespace
