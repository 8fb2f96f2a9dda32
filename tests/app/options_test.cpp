// The miner's command line, parsed without starting a process.
#include "app/options.h"

#include <gtest/gtest.h>

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
  EXPECT_FALSE(p.options.help || p.options.version);
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
  EXPECT_EQ(p.options.failover_after_s, 5u);
  EXPECT_EQ(p.options.retry_main_s, 7u);
  EXPECT_EQ(p.options.idle_timeout_s, 9u);
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
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_FALSE(p.ok) << c.args[0];
    EXPECT_NE(p.error.find(c.mentions), std::string::npos) << p.error;
    EXPECT_EQ(p.error.find('\n'), std::string::npos) << p.error;
  }
}

}  // namespace
