// The pool facade over real pools on 127.0.0.1: the HTTP test pool in-process, the scriptable
// Stratum pool of the Stratum client tests, and the test pool tool as a child process.
#include "pool/pool_api.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/utils.h"
#include "tests/pool/getwork_test_util.h"
#include "tests/pool/stratum_test_support.h"
#include "tools/testpool/http_pool.h"

extern char** environ;

namespace {

using std::chrono::milliseconds;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr milliseconds kShort{3000};
const char kKey[] = "0xfeedface";
const char kCanNot[] = "Can not connect to ";

// The shell's value that the facade refers to.
struct Shell {
  std::atomic<bool> exit{false};

  std::unique_ptr<Kest::PoolApi> Facade(const std::vector<std::string>& pools) {
    return std::make_unique<Kest::PoolApi>(kKey, "pw", exit, pools);
  }
};

std::string HttpAddress(uint16_t port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/";
}

std::string StratumAddress(uint16_t port) {
  return "stratum+tcp://127.0.0.1:" + std::to_string(port);
}

std::string JobTextOf(const work& w) {
  return std::string(w.text, static_cast<std::size_t>(w.text_len));
}

std::size_t Count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

TEST(PoolApi, EmptyPoolListIsRefused) {
  Shell shell;
  auto api = shell.Facade({});
  CaptureStdout();
  EXPECT_FALSE(api->Initilize());
  api->PoolWatcher();  // returns at once
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(out, "No pool address configured: add at least one pool to config.txt\n");
  EXPECT_FALSE(api->IsReady());
}

TEST(PoolApi, GetworkAddressSelectsTheGetworkClient) {
  testpool::HttpPoolOptions options;
  options.diff = 3;
  options.block = 11;
  testpool::HttpPool pool(options);
  Shell shell;
  auto api = shell.Facade({HttpAddress(pool.Start())});

  // The run thread may already wait for a job while the start-up thread connects.
  auto early = std::make_unique<work>();
  std::thread waiter([&] { api->GetJob(*early); });
  CaptureStdout();
  ASSERT_TRUE(api->Initilize());
  waiter.join();
  EXPECT_FALSE(api->IsStratum());
  EXPECT_EQ(api->PoolIndex(), 0);
  EXPECT_EQ(JobTextOf(*early), pool.JobText());

  EXPECT_TRUE(api->HaveNewWork());
  auto job = std::make_unique<work>();
  api->GetJob(*job);
  EXPECT_EQ(job->diff, 3);
  EXPECT_EQ(job->block, 11u);
  EXPECT_EQ(JobTextOf(*job), pool.JobText());

  // No templates on getwork.
  EXPECT_FALSE(api->HaveNewTemplate());
  uint32_t prefix_before[16];
  work_template tmpl;
  tmpl.prefix_text = nullptr;
  for (uint32_t i = 0; i < 16; ++i) tmpl.prefix[i] = 100 + i;
  tmpl.frame_id = 7;
  tmpl.num_prefix = 5;
  std::memcpy(prefix_before, tmpl.prefix, sizeof(prefix_before));
  api->GetNewTemplate(tmpl);
  api->RequestNewTemplate();
  EXPECT_EQ(tmpl.prefix_text, nullptr);
  EXPECT_EQ(std::memcmp(prefix_before, tmpl.prefix, sizeof(prefix_before)), 0);
  EXPECT_EQ(tmpl.frame_id, 7);
  EXPECT_EQ(tmpl.num_prefix, 5);

  // A submission carries the nonce only; the pool refuses this one.
  HostOutput result;
  for (int i = 0; i < 32; ++i) {
    result.phash[i] = static_cast<uint8_t>(0xE0 + i % 16);
    result.nonce[i] = static_cast<uint8_t>(i + 1);
  }
  api->SubmitWork(result);
  float rate = 1234.5f;
  api->UpdateHR(rate);
  ASSERT_TRUE(gwtest::WaitUntil(
      [&] { return !gwtest::RequestsStartingWith(pool, "{\"r\":\"hr\"").empty(); }, kShort));
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(out,
            "Received new work! Share diff: 3 | Block:11\n"
            "{\"error\" : 1}Failed share!\n");

  const auto shares = gwtest::RequestsStartingWith(pool, "{\"r\":\"res\"");
  ASSERT_EQ(shares.size(), 1u);
  const std::string nonce = base64_encode(result.nonce, sizeof(result.nonce));
  EXPECT_EQ(shares[0].body, "{\"r\":\"res\", \"v0\":\"0xfeedface\", \"v1\":\"" + nonce + "\"}");
  const auto rates = gwtest::RequestsStartingWith(pool, "{\"r\":\"hr\"");
  EXPECT_EQ(rates[0].body, "{\"r\":\"hr\", \"v0\":\"0xfeedface\", \"v1\":1234.500000}");
  EXPECT_TRUE(gwtest::RequestsStartingWith(pool, "{\"method\"").empty());
  // The pool refused the share: a pool error, not a submitted share.
  EXPECT_EQ(api->Shares().submitted.load(), 0u);
  EXPECT_EQ(api->Shares().pool_errors.load(), 1u);

  // A result that failed the miner's own re-check is counted, and only as CPU-failed.
  api->CountFailedShare();
  EXPECT_EQ(api->Shares().cpu_failed.load(), 1u);
  EXPECT_EQ(api->Shares().pool_errors.load(), 1u);
}

TEST(PoolApi, UnreachableGetworkPoolIsSkipped) {
  gwtest::RefusingPort dead;
  testpool::HttpPool pool(testpool::HttpPoolOptions{});
  Shell shell;
  const std::string a = HttpAddress(dead.port());
  auto api = shell.Facade({a, HttpAddress(pool.Start())});
  CaptureStdout();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(api->Initilize());
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(Count(out, kCanNot), 1u) << out;
  EXPECT_NE(out.find(std::string(kCanNot) + a + "\n"), std::string::npos) << out;
  EXPECT_EQ(api->PoolIndex(), 1);
  EXPECT_TRUE(api->IsReady());
  EXPECT_FALSE(api->IsStratum());
  EXPECT_GE(took, milliseconds(4900)) << "an unreachable pool is given 5 seconds";
}

TEST(PoolApi, BadlyFormedAddressesAreReported) {
  Shell shell;
  auto api = shell.Facade({"unused"});
  shell.exit = true;  // no readiness wait: only the set-up itself is under test

  std::string stratum = "stratum+tcp://127.0.0.1:3333:1";
  std::string http = "http://127.0.0.1:80:90/";
  std::string bare = "127.0.0.1:3334";
  CaptureStdout();
  EXPECT_FALSE(api->SetupPoolConnection(stratum));
  EXPECT_FALSE(api->SetupPoolConnection(http));
  EXPECT_FALSE(api->SetupPoolConnection(bare));  // host and port, but no scheme
  const std::string out = GetCapturedStdout();
  for (const std::string& address : {stratum, http, bare}) {
    EXPECT_NE(out.find("Pool client not started: pool address '" + address + "'"),
              std::string::npos)
        << out;
  }
  EXPECT_EQ(Count(out, "Pool client not started: "), 3u) << out;
  EXPECT_EQ(api->PoolIndex(), 0);
}

TEST(PoolApi, InitilizeKeepsTryingUntilTheExitFlag) {
  gwtest::RefusingPort dead;
  Shell shell;
  const std::string a = StratumAddress(dead.port());
  auto api = shell.Facade({a});
  CaptureStdout();
  std::thread stopper([&] {
    std::this_thread::sleep_for(milliseconds(7500));
    shell.exit = true;
  });
  const auto start = std::chrono::steady_clock::now();
  const bool connected = api->Initilize();
  const auto took = std::chrono::steady_clock::now() - start;
  stopper.join();
  const std::string out = GetCapturedStdout();
  EXPECT_FALSE(connected);
  EXPECT_FALSE(api->IsReady());
  // One failure after about 5 s; the second try was under way when the flag rose.
  EXPECT_EQ(Count(out, std::string(kCanNot) + a + "\n"), 1u) << out;
  EXPECT_EQ(api->PoolIndex(), 1);
  EXPECT_LT(took, milliseconds(8500));
}

TEST(PoolApi, CallsWithoutAConnectionAreHarmless) {
  testpool::HttpPool pool(testpool::HttpPoolOptions{});
  Shell shell;
  auto api = shell.Facade({HttpAddress(pool.Start())});
  ASSERT_TRUE(api->Initilize());
  EXPECT_TRUE(api->StopPoolConnection());
  EXPECT_FALSE(api->IsReady());

  CaptureStdout();
  EXPECT_FALSE(api->HaveNewWork());
  EXPECT_FALSE(api->HaveNewTemplate());
  work_template tmpl{};
  api->GetNewTemplate(tmpl);
  api->RequestNewTemplate();
  api->SubmitWork(HostOutput{});
  float rate = 1.0f;
  api->UpdateHR(rate);
  EXPECT_EQ(GetCapturedStdout(), "No pool connection: share not sent\n");
  EXPECT_EQ(api->Shares().unsent_dropped.load(), 1u);

  shell.exit = true;  // GetJob no longer waits for a connection that will not come
  auto w = std::make_unique<work>();
  w->diff = 77;
  api->GetJob(*w);
  EXPECT_EQ(w->diff, 77);

  api->SwitchPool();
  EXPECT_EQ(api->PoolIndex(), 1);
  EXPECT_TRUE(gwtest::RequestsStartingWith(pool, "{\"r\":\"res\"").empty());
}

// A trailer text the Stratum pools hand out as their job.
std::string StratumJobText(uint8_t seed) {
  uint8_t bytes[Kest::kTrailerSize];
  for (std::size_t i = 0; i < sizeof(bytes); ++i) bytes[i] = static_cast<uint8_t>(seed + i);
  return base64_encode(bytes, sizeof(bytes));
}

// A facade with short watcher times: `failover_ms` and `retry_ms` as given, `idle_ms` idle limit,
// `response_ms` response limit after a share.
std::unique_ptr<Kest::PoolApi> Watched(Shell& shell, const std::vector<std::string>& pools,
                                       uint32_t failover_ms, uint32_t retry_ms, uint32_t idle_ms,
                                       uint32_t response_ms = 10000) {
  auto api = shell.Facade(pools);
  Kest::PoolApi::FailoverSettings settings;
  settings.failover_after_ms = failover_ms;
  settings.retry_main_ms = retry_ms;
  settings.idle_timeout_ms = idle_ms;
  settings.response_timeout_ms = response_ms;
  api->Configure(settings);
  return api;
}

bool OnPool(Kest::PoolApi& api, int index, milliseconds timeout) {
  return gwtest::WaitUntil([&] { return api.PoolIndex() == index && api.IsReady(); }, timeout);
}

TEST(PoolApi, SilentPoolIsLeftWithinIdleTimeoutAndFailoverDelay) {
  stratum_test::TestPool a;
  stratum_test::TestPool b;
  a.SetSubscribeReply(stratum_test::JobLine(StratumJobText(1), 5, 0));
  b.SetSubscribeReply(stratum_test::JobLine(StratumJobText(2), 6, 0));
  Shell shell;
  const std::string url_a = StratumAddress(a.port());
  const std::string url_b = StratumAddress(b.port());
  auto api = Watched(shell, {url_a, url_b}, 1000, 60000, 1000);

  CaptureStdout();
  ASSERT_TRUE(api->Initilize());
  a.SetSubscribeReply("");  // from now on A accepts connections and says nothing
  const auto start = stratum_test::Clock::now();
  api->StartWatcher();
  const bool moved = OnPool(*api, 1, milliseconds(10000));
  const long took = stratum_test::ElapsedMs(start);
  auto w = std::make_unique<work>();
  if (moved) api->GetJob(*w);
  api->StopWatcher();
  const std::string out = GetCapturedStdout();

  ASSERT_TRUE(moved) << out;
  EXPECT_GE(took, 1500) << out;  // 1 s without a byte, then 1 s unusable
  EXPECT_LE(took, 6000) << out;
  EXPECT_EQ(JobTextOf(*w), StratumJobText(2));
  EXPECT_EQ(api->ActiveUrl(), url_b);
  EXPECT_EQ(api->Switches(), 1u);
  EXPECT_EQ(Count(out, "Pool switch: " + url_a + " -> " + url_b +
                           " (unusable for 1 s: nothing received for 1 s)\n"),
            1u)
      << out;
  bool pinged = false;  // the ping went out before the limit
  for (const auto& line : a.lines()) pinged |= line.text == "{\"method\":\"ping\"}";
  EXPECT_TRUE(pinged);
}

TEST(PoolApi, ClosedPoolIsLeftAndTheMainPoolReturnedToWhenBack) {
  auto a = std::make_unique<stratum_test::TestPool>();
  const uint16_t port_a = a->port();
  stratum_test::TestPool b;
  a->SetSubscribeReply(stratum_test::JobLine(StratumJobText(1), 5, 0));
  b.SetSubscribeReply(stratum_test::JobLine(StratumJobText(2), 6, 0));
  Shell shell;
  const std::string url_a = StratumAddress(port_a);
  const std::string url_b = StratumAddress(b.port());
  auto api = Watched(shell, {url_a, url_b}, 1000, 1000, 60000);

  CaptureStdout();
  ASSERT_TRUE(api->Initilize());
  api->StartWatcher();
  auto start = stratum_test::Clock::now();
  a.reset();  // closes its connection and refuses new ones
  const bool left = OnPool(*api, 1, milliseconds(8000));
  const long took = stratum_test::ElapsedMs(start);

  a = std::make_unique<stratum_test::TestPool>(port_a);
  a->SetSubscribeReply(stratum_test::JobLine(StratumJobText(3), 7, 0));
  const bool back = left && OnPool(*api, 0, milliseconds(8000));
  auto w = std::make_unique<work>();
  if (back) api->GetJob(*w);
  api->StopWatcher();
  const std::string out = GetCapturedStdout();

  ASSERT_TRUE(left) << out;
  EXPECT_GE(took, 900) << out;
  EXPECT_NE(out.find("Pool switch: " + url_a + " -> " + url_b + " (unusable for 1 s: "),
            std::string::npos)
      << out;
  ASSERT_TRUE(back) << out;
  EXPECT_EQ(Count(out, "Pool switch: " + url_b + " -> " + url_a + " (main pool is back)\n"), 1u)
      << out;
  EXPECT_EQ(JobTextOf(*w), StratumJobText(3));
  EXPECT_EQ(api->Switches(), 2u);
  EXPECT_EQ(Count(out, kCanNot), 0u) << out;
}

// Something a pool may send at any time that changes nothing the tests look at.
const std::string kAnswer = stratum_test::TemplateLine("AQIDBA==", 2, 7);

int SubmitLines(stratum_test::TestPool& pool) {
  int submits = 0;
  for (const auto& line : pool.lines())
    submits += line.text.find("\"submit\"") != std::string::npos;
  return submits;
}

TEST(PoolApi, SharesNeverCrossPools) {
  auto a = std::make_unique<stratum_test::TestPool>();
  stratum_test::TestPool b;
  a->SetSubscribeReply(stratum_test::JobLine(StratumJobText(1), 5, 0));
  b.SetSubscribeReply(stratum_test::JobLine(StratumJobText(2), 6, 0));
  b.SetSubmitReply(kAnswer);
  Shell shell;
  const std::string url_a = StratumAddress(a->port());
  auto api = Watched(shell, {url_a, StratumAddress(b.port())}, 1000, 60000, 60000);

  CaptureStdout();
  ASSERT_TRUE(api->Initilize());
  api->StartWatcher();
  auto w = std::make_unique<work>();
  api->GetJob(*w);  // the engine mines A's job
  a.reset();
  std::this_thread::sleep_for(milliseconds(200));  // the client has seen A go
  api->SubmitWork(HostOutput{});                   // queued for A, which is down
  const bool moved = OnPool(*api, 1, milliseconds(8000));
  api->SubmitWork(HostOutput{});  // found for A's job after the move
  const auto dropped = api->Shares().unsent_dropped.load();

  api->HaveNewWork();
  api->GetJob(*w);  // B's job: its shares go to B
  api->SubmitWork(HostOutput{});
  const bool sent = gwtest::WaitUntil([&] { return api->Shares().submitted == 1; }, kShort);
  api->StopWatcher();
  const std::string out = GetCapturedStdout();

  ASSERT_TRUE(moved) << out;
  EXPECT_EQ(dropped, 2u) << out;
  EXPECT_EQ(Count(out, "Dropped 1 unsent share(s) queued for " + url_a + "\n"), 1u) << out;
  EXPECT_EQ(Count(out, "Share dropped: its job came from a pool the miner has left\n"), 1u) << out;
  EXPECT_TRUE(sent) << out;
  EXPECT_EQ(SubmitLines(b), 1);
  EXPECT_EQ(JobTextOf(*w), StratumJobText(2));
}

// A pool that takes a share and then says nothing (a stopped process) loses its connection to
// the response watch: the share counts as lost, never as submitted, and goes nowhere else.
TEST(PoolApi, FrozenPoolLosesItsUnansweredShareAndIsLeft) {
  stratum_test::TestPool a;
  stratum_test::TestPool b;
  a.SetSubscribeReply(stratum_test::JobLine(StratumJobText(1), 5, 0));
  b.SetSubscribeReply(stratum_test::JobLine(StratumJobText(2), 6, 0));
  Shell shell;
  const std::string url_a = StratumAddress(a.port());
  const std::string url_b = StratumAddress(b.port());
  auto api = Watched(shell, {url_a, url_b}, 1000, 60000, 60000, 300);

  CaptureStdout();
  ASSERT_TRUE(api->Initilize());
  api->StartWatcher();
  auto w = std::make_unique<work>();
  api->GetJob(*w);
  a.SetSubscribeReply("");  // from now on A reads and answers nothing
  const auto start = stratum_test::Clock::now();
  api->SubmitWork(HostOutput{});
  const bool moved = OnPool(*api, 1, milliseconds(8000));
  const long took = stratum_test::ElapsedMs(start);
  api->StopWatcher();
  const std::string out = GetCapturedStdout();

  ASSERT_TRUE(moved) << out;
  EXPECT_GE(took, 1500) << out;  // 0.6 s to give the connection up, then 1 s unusable
  EXPECT_EQ(Count(out, "Pool switch: " + url_a + " -> " + url_b +
                           " (unusable for 1 s: no answer for 600 ms after a share)\n"),
            1u)
      << out;
  const auto lines = a.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[1].text.find("\"submit\""), std::string::npos);
  EXPECT_EQ(lines[2].text, "{\"method\":\"ping\"}");  // after 0.3 s without an answer
  EXPECT_EQ(lines[2].connection, 1);
  EXPECT_EQ(SubmitLines(a), 1);  // not sent again on A's next connection
  EXPECT_EQ(SubmitLines(b), 0);
  EXPECT_EQ(api->Shares().submitted.load(), 0u);
  EXPECT_EQ(api->Shares().unconfirmed_lost.load(), 1u);
  EXPECT_EQ(api->Shares().unsent_dropped.load(), 0u);
}

// Connected and has-a-job describe the TCP connection now; the job the engine holds is kept.
TEST(PoolApi, ConnectedAndHasJobDescribeTheConnectionNow) {
  stratum_test::TestPool a;
  a.SetSubscribeReply(stratum_test::JobLine(StratumJobText(1), 5, 0));
  Shell shell;
  auto api = Watched(shell, {StratumAddress(a.port())}, 60000, 60000, 1000);
  ASSERT_TRUE(api->Initilize());
  EXPECT_TRUE(api->IsConnected());
  EXPECT_TRUE(api->HasJob());
  EXPECT_TRUE(api->IsUsable());

  a.SetSubscribeReply("");
  a.CloseConnections();
  ASSERT_TRUE(a.WaitForLines(2, kShort));  // the subscribe line of the next connection
  ASSERT_TRUE(a.Send(kAnswer));            // heard from, but no job on this connection
  ASSERT_TRUE(gwtest::WaitUntil([&] { return api->IsConnected(); }, kShort));
  EXPECT_FALSE(api->HasJob());
  EXPECT_FALSE(api->IsUsable());
  EXPECT_TRUE(api->IsReady());  // the engine keeps mining the job it has
  // Silent for the idle limit: no longer connected.
  EXPECT_TRUE(gwtest::WaitUntil([&] { return !api->IsConnected(); }, milliseconds(1500)));
}

// Back to the main pool: the backup still writes the shares queued for it and they count once
// it answers; nothing is dropped.
TEST(PoolApi, ReturningToTheMainPoolLetsTheBackupFinishItsShares) {
  stratum_test::TestPool a;  // accepts but sends no job at first: the miner starts on B
  auto b = std::make_unique<stratum_test::TestPool>();
  const uint16_t port_b = b->port();
  b->SetSubscribeReply(stratum_test::JobLine(StratumJobText(2), 6, 0));
  Shell shell;
  const std::string url_a = StratumAddress(a.port());
  const std::string url_b = StratumAddress(port_b);
  auto api = Watched(shell, {url_a, url_b}, 60000, 1000, 60000);

  CaptureStdout();
  ASSERT_TRUE(api->Initilize());
  ASSERT_EQ(api->PoolIndex(), 1);
  api->StartWatcher();
  auto w = std::make_unique<work>();
  api->GetJob(*w);
  b.reset();  // B is down for a moment: its shares wait in the queue
  std::this_thread::sleep_for(milliseconds(200));
  api->SubmitWork(HostOutput{});
  api->SubmitWork(HostOutput{});
  a.SetSubscribeReply(stratum_test::JobLine(StratumJobText(1), 5, 0));
  const bool back = OnPool(*api, 0, milliseconds(8000));
  b = std::make_unique<stratum_test::TestPool>(port_b);
  b->SetSubmitReply(kAnswer);
  const bool sent =
      gwtest::WaitUntil([&] { return api->Shares().submitted == 2; }, milliseconds(4000));
  api->StopWatcher();
  const std::string out = GetCapturedStdout();

  ASSERT_TRUE(back) << out;
  EXPECT_TRUE(sent) << out;
  EXPECT_EQ(SubmitLines(*b), 2);
  EXPECT_EQ(SubmitLines(a), 0);
  EXPECT_EQ(api->Shares().unsent_dropped.load(), 0u);
  EXPECT_EQ(api->Shares().unconfirmed_lost.load(), 0u);
  EXPECT_EQ(Count(out, "Dropped"), 0u) << out;
  EXPECT_EQ(Count(out, "Closed the connection"), 0u) << out;
}

// A pool chosen by hand sticks while it works (no return to the main pool); once it fails the
// usual rules apply again: failover to the next pool, and from there back to the main pool.
TEST(PoolApi, ChosenPoolSticksUntilItFails) {
  stratum_test::TestPool a;
  auto b = std::make_unique<stratum_test::TestPool>();
  stratum_test::TestPool c;
  a.SetSubscribeReply(stratum_test::JobLine(StratumJobText(1), 5, 0));
  b->SetSubscribeReply(stratum_test::JobLine(StratumJobText(2), 6, 0));
  c.SetSubscribeReply(stratum_test::JobLine(StratumJobText(3), 7, 0));
  Shell shell;
  const std::string url_a = StratumAddress(a.port());
  const std::string url_b = StratumAddress(b->port());
  const std::string url_c = StratumAddress(c.port());
  auto api = Watched(shell, {url_a, url_b, url_c}, 1000, 300, 60000);

  CaptureStdout();
  ASSERT_TRUE(api->Initilize());
  EXPECT_FALSE(api->RequestSwitch(3));
  EXPECT_FALSE(api->RequestSwitch(-1));
  EXPECT_TRUE(api->SwitchMade());
  ASSERT_TRUE(api->RequestSwitch(1));  // before the watcher runs: made once it does
  EXPECT_FALSE(api->SwitchMade());
  api->StartWatcher();
  const bool chosen = OnPool(*api, 1, milliseconds(3000));
  std::this_thread::sleep_for(milliseconds(1500));  // five retry intervals of the main pool
  const bool stuck = api->PoolIndex() == 1 && api->ActiveIndex() == 1;
  b.reset();
  const bool failed_over = OnPool(*api, 2, milliseconds(8000));
  const bool back = failed_over && OnPool(*api, 0, milliseconds(8000));
  api->StopWatcher();
  const std::string out = GetCapturedStdout();

  ASSERT_TRUE(chosen) << out;
  EXPECT_TRUE(api->SwitchMade());
  EXPECT_TRUE(stuck) << out;
  EXPECT_EQ(Count(out, "Pool switch: " + url_a + " -> " + url_b + " (chosen over the API)\n"), 1u)
      << out;
  ASSERT_TRUE(failed_over) << out;
  EXPECT_NE(out.find("Pool switch: " + url_b + " -> " + url_c + " (unusable for 1 s: "),
            std::string::npos)
      << out;
  ASSERT_TRUE(back) << out;
  EXPECT_EQ(Count(out, "Pool switch: " + url_c + " -> " + url_a + " (main pool is back)\n"), 1u)
      << out;
  EXPECT_EQ(api->Switches(), 3u);
}

// Shutdown: FlushShares waits for the pool's word on the shares written, up to its limit.
TEST(PoolApi, FlushSharesWaitsUntilTheSharesAreConfirmed) {
  stratum_test::TestPool a;
  a.SetSubscribeReply(stratum_test::JobLine(StratumJobText(1), 5, 0));
  Shell shell;
  auto api = Watched(shell, {StratumAddress(a.port())}, 60000, 60000, 60000);
  ASSERT_TRUE(api->Initilize());
  auto w = std::make_unique<work>();
  api->GetJob(*w);
  api->SubmitWork(HostOutput{});
  api->SubmitWork(HostOutput{});
  ASSERT_TRUE(a.WaitForLines(3, kShort));
  const auto start = stratum_test::Clock::now();
  EXPECT_EQ(api->FlushShares(milliseconds(300)), 2u);  // written, not answered
  EXPECT_GE(stratum_test::ElapsedMs(start), 290);
  ASSERT_TRUE(a.Send(kAnswer));
  EXPECT_EQ(api->FlushShares(kShort), 0u);
  EXPECT_EQ(api->Shares().submitted.load(), 2u);
}

#ifdef KEST_TESTPOOL_TOOL
// The test pool tool as a child process; its output after the first line is drained.
class ToolPool {
 public:
  explicit ToolPool(std::vector<std::string> args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    args.insert(args.begin(), KEST_TESTPOOL_TOOL);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, KEST_TESTPOOL_TOOL, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    fd_ = fds[0];
    if (pid_ > 0) port_ = ReadPort();
    drain_ = std::thread([fd = fd_] {
      char buf[4096];
      while (read(fd, buf, sizeof(buf)) > 0) {
      }
    });
  }

  ~ToolPool() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (drain_.joinable()) drain_.join();
    if (fd_ >= 0) close(fd_);
  }

  uint16_t port() const { return port_; }

 private:
  // Reads the first line, "listening on 127.0.0.1:PORT".
  uint16_t ReadPort() {
    const std::string prefix = "listening on 127.0.0.1:";
    std::string line;
    char c = 0;
    pollfd p{fd_, POLLIN, 0};
    while (line.size() < 128 && poll(&p, 1, 5000) > 0 && read(fd_, &c, 1) == 1 && c != '\n') {
      line += c;
    }
    if (line.compare(0, prefix.size(), prefix) != 0) return 0;
    return static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread drain_;
};
#endif

TEST(PoolApi, UnreachableStratumPoolIsSkippedForTheTestPool) {
#ifndef KEST_TESTPOOL_TOOL
  GTEST_SKIP() << "the test pool tool is not part of this build";
#else
  gwtest::RefusingPort dead;
  ToolPool tool({"--port", "0"});
  ASSERT_NE(tool.port(), 0) << "the test pool did not start";
  Shell shell;
  const std::string a = StratumAddress(dead.port());
  auto api = shell.Facade({a, StratumAddress(tool.port())});
  CaptureStdout();
  ASSERT_TRUE(api->Initilize());
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(Count(out, kCanNot), 1u) << out;
  EXPECT_NE(out.find(std::string(kCanNot) + a + "\n"), std::string::npos) << out;
  EXPECT_EQ(api->PoolIndex(), 1);
  EXPECT_TRUE(api->IsStratum());
  auto w = std::make_unique<work>();
  api->GetJob(*w);
  EXPECT_EQ(w->text_len, 216);
  EXPECT_GT(w->diff, 0);

  // The client counts into the facade's counters: the line written, then the pool's refusal
  // of a share that is no solution.
  CaptureStdout();
  api->SubmitWork(HostOutput{});
  const bool counted = gwtest::WaitUntil(
      [&] { return api->Shares().submitted == 1 && api->Shares().pool_errors == 1; }, kShort);
  const std::string refusal = GetCapturedStdout();
  EXPECT_TRUE(counted) << refusal;
  EXPECT_NE(refusal.find("Error code "), std::string::npos) << refusal;
#endif
}

}  // namespace
