// The Stratum client against a real pool on 127.0.0.1 (tests/pool/stratum_test_support.h).
#include "pool/stratum.h"

#include "app/records.h"
#include "app/utils.h"
#include "pool/stratum_parser.h"
#include "tests/pool/stratum_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>

namespace {
using namespace std::string_literals;
using stratum_test::Clock;
using stratum_test::Count;
using stratum_test::ElapsedMs;
using stratum_test::JobLine;
using stratum_test::Millis;
using stratum_test::StdoutCapture;
using stratum_test::TemplateLine;
using stratum_test::TestPool;
using stratum_test::WaitUntil;

const Millis kShort{3000};  // generous bound for things that take milliseconds
const char kAccount[] = "Kx7_account-key.01";

// A trailer with recognisable bytes and its base64 job text (216 characters).
std::string TrailerBytes(uint8_t seed) {
  std::string bytes(Kest::kTrailerSize, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(seed + i * 7);
  return bytes;
}

std::string TrailerText(uint8_t seed) {
  const std::string bytes = TrailerBytes(seed);
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()));
}

std::unique_ptr<JorlStratum> Connect(const TestPool& pool, const char* account = kAccount,
                                     Kest::ShareCounters* shares = nullptr) {
  return std::make_unique<JorlStratum>(account, "secret-password", "127.0.0.1",
                                       pool.port_text().c_str(), shares);
}

// Current job text of a client, as GetWork hands it over.
std::string JobText(JorlStratum& client) {
  auto w = std::make_unique<work>();
  std::memset(w.get(), 0, sizeof(work));
  client.GetWork(w.get());
  return std::string(w->text, static_cast<std::size_t>(w->text_len));
}

// A free port with nothing listening on it.
uint16_t UnusedPort() {
  TestPool probe;
  return probe.port();
}

TEST(StratumClient, SubscribesWithTheExactLine) {
  TestPool pool;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  EXPECT_EQ(pool.raw(1), "{\"method\":\"subscribe\", \"account\":\"Kx7_account-key.01\"}\n");
}

TEST(StratumClient, AccountKeyIsEscapedInTheSubscribeLine) {
  TestPool pool;
  auto client = Connect(pool, "a\"b\\c\n");
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  EXPECT_EQ(pool.raw(1), "{\"method\":\"subscribe\", \"account\":\"a\\\"b\\\\c\\n\"}\n");
}

TEST(StratumClient, JobMakesTheClientReady) {
  TestPool pool;
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  EXPECT_FALSE(client->IsReady());
  EXPECT_FALSE(client->HaveNewWork());
  EXPECT_EQ(out.Text(), "");

  ASSERT_TRUE(pool.Send(JobLine(TrailerText(3), 7, 12)));
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  EXPECT_TRUE(client->HaveNewWork());
  EXPECT_FALSE(client->HaveNewWork());
  EXPECT_EQ(out.Text(), "Received new work! Share diff: 7 | Block:12\n");

  auto w = std::make_unique<work>();
  std::memset(w.get(), 0xAB, sizeof(work));
  client->GetWork(w.get());
  EXPECT_EQ(w->diff, 7);
  EXPECT_EQ(w->block, 12u);
  ASSERT_EQ(w->text_len, 216);
  EXPECT_EQ(std::string(w->text, 216), TrailerText(3));
  EXPECT_EQ(Kest::DecodeJob(reinterpret_cast<uint8_t*>(w.get())), Kest::kTrailerSize);
  EXPECT_EQ(std::memcmp(w->decoded, TrailerBytes(3).data(), Kest::kTrailerSize), 0);
  EXPECT_EQ(w->decoded[Kest::kTrailerSize], 0xAB);  // beyond the trailer: untouched
}

TEST(StratumClient, TwoJobsBeforeAskingGiveOneLineWithTheSecond) {
  TestPool pool;
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  ASSERT_TRUE(pool.Send(JobLine(TrailerText(1), 5, 100)));
  ASSERT_TRUE(pool.Send(JobLine(TrailerText(2), 9, 101)));
  ASSERT_TRUE(WaitUntil([&] { return JobText(*client) == TrailerText(2); }, kShort));
  EXPECT_TRUE(client->HaveNewWork());
  EXPECT_FALSE(client->HaveNewWork());
  EXPECT_EQ(out.Text(), "Received new work! Share diff: 9 | Block:101\n");
}

TEST(StratumClient, LineSplitAcrossReadsIsAppliedOnce) {
  TestPool pool;
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  const std::string line = JobLine(TrailerText(4), 6, 0) + "{\"method\":\"pong\"}\n";
  const std::size_t cut = line.size() / 3;
  ASSERT_TRUE(pool.Send(line.substr(0, cut)));
  std::this_thread::sleep_for(Millis(150));
  EXPECT_FALSE(client->IsReady());
  ASSERT_TRUE(pool.Send(line.substr(cut, line.size() - cut - 5)));
  std::this_thread::sleep_for(Millis(150));
  ASSERT_TRUE(pool.Send(line.substr(line.size() - 5)));
  ASSERT_TRUE(out.WaitFor("ping from server\n", kShort));
  ASSERT_TRUE(client->IsReady());
  EXPECT_EQ(JobText(*client), TrailerText(4));
  EXPECT_TRUE(client->HaveNewWork());
  const std::string text = out.Text();
  EXPECT_EQ(Count(text, "ping from server"), 1u);
  EXPECT_EQ(Count(text, "Received new work!"), 1u);
  EXPECT_EQ(Count(text, "Error"), 0u);
}

TEST(StratumClient, TwoLinesInOneReadAreBothApplied) {
  TestPool pool;
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  ASSERT_TRUE(pool.Send(JobLine(TrailerText(5), 4, 2) + TemplateLine("AQIDBA==", 2, 7) +
                        "{\"method\":\"message\",\"value\":\"hello miner\"}\n"));
  ASSERT_TRUE(out.WaitFor(" hello miner\n", kShort));
  EXPECT_TRUE(client->IsReady());
  EXPECT_TRUE(client->HaveNewTemplate());
  EXPECT_FALSE(client->HaveNewTemplate());
  EXPECT_TRUE(client->HaveNewWork());
}

TEST(StratumClient, NonJsonLineAndErrorReplyAreReportedOnceAndTheConnectionKept) {
  TestPool pool;
  StdoutCapture out;
  Kest::ShareCounters shares;
  auto client = Connect(pool, kAccount, &shares);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  ASSERT_TRUE(pool.Send("this is not json\n"));
  const std::string low = "{\"error\":3,\"des\":\"low share\"}\n";
  ASSERT_TRUE(pool.Send(low + low + low));
  ASSERT_TRUE(pool.Send(JobLine(TrailerText(6), 3, 0)));
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  EXPECT_EQ(shares.pool_errors.load(), 3u);
  EXPECT_EQ(pool.connections(), 1);
  client.reset();  // the repeats not yet summarised are reported when the client goes
  EXPECT_EQ(out.Text(),
            "Error Code: -15 \n Receive invalid message from server (Not JSON format): \n"
            "this is not json\n Please send this to Pool owner!\n"
            "Error code  3: low share\n"
            "Error code  3: low share (repeated 2 times)\n");
}

// Escape sequences, carriage returns and NULs from the pool never reach the terminal raw.
TEST(StratumClient, PoolTextIsPrintedWithControlCharactersVisible) {
  TestPool pool;
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  ASSERT_TRUE(
      pool.Send("{\"method\":\"message\",\"value\":\"\\u001b[2J\\rReceived new work! caf\u00e9\"}\n"
                "\x1b[31mnot json\x00\x7f\r\n"s +
                "{\"error\":5,\"des\":\"\\u001b]0;x\\u0007\"}\n"
                "{\"method\":\"pong\"}\n"));
  ASSERT_TRUE(out.WaitFor("ping from server\n", kShort));
  const std::string text = out.Text();
  EXPECT_EQ(text.find_first_of(std::string("\x1b\r\x00\x7f\x07", 5)), std::string::npos) << text;
  EXPECT_NE(text.find(" \\x1b[2J\\x0dReceived new work! caf\u00e9\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\\x1b[31mnot json\\x00\\x7f\\x0d\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Error code  5: \\x1b]0;x\\x07\n"), std::string::npos) << text;
}

TEST(StratumClient, TemplateHandOver) {
  TestPool pool;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  ASSERT_TRUE(pool.Send(TemplateLine("CgsMDQ4=", 3, 4)));  // five bytes 10..14
  ASSERT_TRUE(WaitUntil([&] { return client->HaveNewTemplate(); }, kShort));

  work_template t{};
  for (auto& entry : t.prefix) entry = 0xEEEE;
  client->GetTemplate(&t);
  ASSERT_NE(t.prefix_text, nullptr);
  EXPECT_STREQ(t.prefix_text, "CgsMDQ4=");
  EXPECT_EQ(t.num_prefix, 3);
  EXPECT_EQ(t.frame_id, 4);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(t.prefix[i], 10 + i);
  for (uint32_t i = 5; i < 16; ++i) EXPECT_EQ(t.prefix[i], 0xEEEEu);
  std::free(t.prefix_text);
}

// A difficulty of -1 is refused like any other unsound one: never "no job yet" while connected.
TEST(StratumClient, UnsoundJobsAreRefusedWithOneLineEachAndTheCurrentJobKept) {
  TestPool pool;
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  ASSERT_TRUE(pool.Send(JobLine(TrailerText(20), -1, 1) + "{\"method\":\"pong\"}\n"));
  ASSERT_TRUE(out.WaitFor("ping from server\n", kShort));
  EXPECT_FALSE(client->IsReady());
  ASSERT_TRUE(pool.Send(JobLine(TrailerText(21), 255, 2)));
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  ASSERT_TRUE(client->HaveNewWork());

  const std::string good = TrailerText(22);
  const std::string bad_jobs =
      JobLine(good, 256, 3) + JobLine(good, 0, 3) + JobLine(good, -1, 3) +
      "{\"method\":\"mining.notify\",\"root\":null,\"diff\":5,\"block\":3}\n"
      "{\"method\":\"mining.notify\",\"root\":12,\"diff\":5,\"block\":3}\n" +
      JobLine(good.substr(0, 100), 5, 3) + JobLine("*" + good.substr(1), 5, 3) +
      JobLine(good + "AAAA", 5, 3) + JobLine(std::string(Kest::kWorkTextMax + 1, 'Q'), 5, 3);
  ASSERT_TRUE(pool.Send(bad_jobs + "{\"method\":\"pong\"}\n"));
  ASSERT_TRUE(WaitUntil([&] { return Count(out.Text(), "ping from server\n") == 2; }, kShort));
  const std::string text = out.Text();
  EXPECT_EQ(Count(text, "Job refused: mining.notify field \"diff\""), 4u) << text;
  EXPECT_NE(text.find("field \"diff\" 256 is outside 1..255; keeping the current job\n"),
            std::string::npos);
  EXPECT_NE(text.find("field \"diff\" -1 is outside 1..255"), std::string::npos);
  EXPECT_EQ(Count(text, "Job refused: mining.notify field \"root\""), 6u) << text;
  EXPECT_NE(text.find("field \"root\" null is not base64 of a 160-byte block trailer"),
            std::string::npos);
  EXPECT_EQ(Count(text, "Job refused"), 10u);  // the -1 at the start, then nine
  EXPECT_EQ(Count(text, "\n"), 13u);           // those ten, the new-work line and the two pongs
  EXPECT_FALSE(client->HaveNewWork());
  EXPECT_EQ(JobText(*client), TrailerText(21));
  auto w = std::make_unique<work>();
  client->GetWork(w.get());
  EXPECT_EQ(w->diff, 255);
  EXPECT_EQ(w->block, 2u);
}

TEST(StratumClient, OverLongTemplateIsRefusedAndTheCurrentOneKept) {
  TestPool pool;
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));
  const std::string longest_prefix(Kest::kTemplatePrefixCapacity, 'P');
  ASSERT_TRUE(pool.Send(TemplateLine(longest_prefix, 1, 2)));
  ASSERT_TRUE(WaitUntil([&] { return client->HaveNewTemplate(); }, kShort));

  ASSERT_TRUE(pool.Send(TemplateLine(longest_prefix + "P", 5, 6) + "{\"method\":\"pong\"}\n"));
  ASSERT_TRUE(out.WaitFor("ping from server\n", kShort));
  const std::string text = out.Text();
  EXPECT_NE(text.find("Template refused: its prefix text has 129 characters"), std::string::npos);
  EXPECT_FALSE(client->HaveNewTemplate());

  work_template t{};
  t.prefix_text = static_cast<char*>(std::malloc(Kest::kTemplatePrefixCapacity));
  client->GetTemplate(&t);
  EXPECT_EQ(std::string(t.prefix_text, Kest::kTemplatePrefixCapacity), longest_prefix);
  EXPECT_EQ(t.frame_id, 2);
  std::free(t.prefix_text);
}

TEST(StratumClient, OverLongLineIsATransportErrorAndRepaired) {
  TestPool pool;
  pool.SetSubscribeReply(JobLine(TrailerText(7), 5, 1));
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  const auto start = Clock::now();
  ASSERT_TRUE(pool.Send(std::string(Kest::kMaxLineBytes + 100, 'x')));
  ASSERT_TRUE(
      out.WaitFor("Pool sent a line longer than 65536 bytes without a line feed; "
                  "reconnecting\n",
                  kShort));
  ASSERT_TRUE(pool.WaitForConnections(2, kShort));
  EXPECT_GE(ElapsedMs(start), 800);  // one second after the error, like any other error
  ASSERT_TRUE(pool.WaitForLines(2, kShort));
  EXPECT_EQ(pool.lines()[1].connection, 2);
  EXPECT_NE(pool.lines()[1].text.find("\"subscribe\""), std::string::npos);
  EXPECT_TRUE(client->IsReady());
}

TEST(StratumClient, RequestsMadeWhileDownAreSentAfterTheSubscribeLine) {
  TestPool pool;
  pool.SetSubscribeReply(JobLine(TrailerText(8), 5, 1));
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  pool.CloseConnections();
  std::this_thread::sleep_for(Millis(200));  // the client has seen the end of the connection

  auto w = std::make_unique<work>();
  std::memset(w.get(), 0, sizeof(work));
  for (int i = 0; i < 32; ++i) w->decoded[32 + i] = static_cast<uint8_t>(i);
  w->hr = 12.5f;
  client->SubmitWork(w.get());
  client->UpdateHR(w.get());
  client->RequestNewTemplate();

  ASSERT_TRUE(pool.WaitForLines(5, kShort));
  const auto lines = pool.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].connection, 1);
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i].connection, 2);
  EXPECT_NE(lines[1].text.find("\"subscribe\""), std::string::npos);
  EXPECT_EQ(lines[2].text,
            "{\"method\":\"submit\", \"nonce\":\"" + base64_encode(w->decoded + 32, 32) + "\"}");
  EXPECT_EQ(lines[3].text, "{\"method\":\"mining.update_hr\", \"hr\":12.500000}");
  EXPECT_EQ(lines[4].text, "{\"method\":\"mining.xtemplate\"}");
}

TEST(StratumClient, ReportsQueuedWhileDownCollapseIntoTheLatest) {
  TestPool pool;
  pool.SetSubscribeReply(JobLine(TrailerText(8), 5, 1));
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  pool.CloseConnections();
  std::this_thread::sleep_for(Millis(200));  // the client has seen the end of the connection

  auto w = std::make_unique<work>();
  std::memset(w.get(), 0, sizeof(work));
  w->hr = 1.0f;
  client->UpdateHR(w.get());
  client->SubmitWork(w.get());
  w->hr = 2.0f;
  client->UpdateHR(w.get());
  client->RequestNewTemplate();
  w->hr = 3.0f;
  client->UpdateHR(w.get());

  ASSERT_TRUE(pool.WaitForLines(5, kShort));
  std::this_thread::sleep_for(Millis(200));  // nothing more follows
  const auto lines = pool.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[1].text.find("\"subscribe\""), std::string::npos);
  EXPECT_EQ(lines[2].text, "{\"method\":\"mining.update_hr\", \"hr\":3.000000}");
  EXPECT_NE(lines[3].text.find("\"submit\""), std::string::npos);
  EXPECT_EQ(lines[4].text, "{\"method\":\"mining.xtemplate\"}");
}

TEST(StratumClient, CheckAliveSeesAPongAfterThreeSeconds) {
  TestPool pool;
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForLines(1, kShort));

  // A pong already received counts at once.
  ASSERT_TRUE(pool.Send("{\"method\":\"pong\"}\n"));
  ASSERT_TRUE(out.WaitFor("ping from server", kShort));
  auto start = Clock::now();
  EXPECT_TRUE(client->CheckAlive());
  EXPECT_LT(ElapsedMs(start), 500);

  start = Clock::now();
  auto alive = std::async(std::launch::async, [&] { return client->CheckAlive(); });
  ASSERT_TRUE(pool.WaitForLines(3, kShort));
  EXPECT_EQ(pool.lines()[2].text, "{\"method\":\"ping\"}");
  std::this_thread::sleep_for(Millis(2500) - Millis(ElapsedMs(start)));
  ASSERT_TRUE(pool.Send("{\"method\":\"pong\"}\n"));
  EXPECT_TRUE(alive.get());
  EXPECT_GE(ElapsedMs(start), 2900);
  EXPECT_LE(ElapsedMs(start), 3600);
}

TEST(StratumClient, DestroyingAConnectedClientIsPrompt) {
  TestPool pool;
  pool.SetSubscribeReply(JobLine(TrailerText(9), 5, 1));
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  const auto start = Clock::now();
  client.reset();
  EXPECT_LT(ElapsedMs(start), 200);
}

// The pool accepts and drops every connection: five attempts a second apart, then a rebuild.
TEST(StratumClient, FourRetriesASecondApartThenARebuild) {
  TestPool pool;
  pool.SetCloseOnAccept(true);
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(pool.WaitForConnections(5, Millis(7000)));
  ASSERT_TRUE(out.WaitFor(".", Millis(1000)));
  const auto dot_seen = Clock::now();
  pool.SetSubscribeReply(JobLine(TrailerText(10), 5, 1));
  pool.SetCloseOnAccept(false);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, Millis(4000)));

  const auto times = pool.accept_times();
  ASSERT_GE(times.size(), 6u);
  for (std::size_t i = 1; i < 5; ++i) {
    const auto gap = std::chrono::duration_cast<Millis>(times[i] - times[i - 1]).count();
    EXPECT_GE(gap, 900) << "retry " << i;
    EXPECT_LE(gap, 1400) << "retry " << i;
  }
  // The rebuilt connection comes about a second after the fifth error.
  const auto rebuild = std::chrono::duration_cast<Millis>(times[5] - times[4]).count();
  EXPECT_GE(rebuild, 1000);
  EXPECT_LE(rebuild, 1700);
  EXPECT_LT(std::chrono::duration_cast<Millis>(dot_seen - times[4]).count(), 300);
  EXPECT_EQ(out.Text(), ".");
}

// Nothing listens at first; a request made meanwhile goes out once the pool is up.
TEST(StratumClient, NoPoolListeningRebuildsAndRecovers) {
  const uint16_t port = UnusedPort();
  StdoutCapture out;
  const auto start = Clock::now();
  JorlStratum client(kAccount, "pw", "127.0.0.1", std::to_string(port).c_str());
  auto w = std::make_unique<work>();
  std::memset(w.get(), 0, sizeof(work));
  client.SubmitWork(w.get());

  ASSERT_TRUE(out.WaitFor(".", Millis(6000)));
  EXPECT_GE(ElapsedMs(start), 3700);
  EXPECT_LE(ElapsedMs(start), 5000);
  EXPECT_FALSE(client.IsReady());

  TestPool pool(port);
  pool.SetSubscribeReply(JobLine(TrailerText(11), 5, 1));
  ASSERT_TRUE(WaitUntil([&] { return client.IsReady(); }, Millis(3000)));
  ASSERT_TRUE(pool.WaitForLines(2, kShort));
  const auto lines = pool.lines();
  EXPECT_NE(lines[0].text.find("\"subscribe\""), std::string::npos);
  EXPECT_EQ(lines[1].text, "{\"method\":\"submit\", \"nonce\":\"" + std::string(43, 'A') + "=\"}");
  EXPECT_EQ(out.Text(), ".");
}

// Shares count as submitted only once written and answered on the same connection, as lost
// when the client goes before the answer; a pool that takes nothing makes the oldest queued
// ones go, counted, with the drop line summarised instead of printed each time.
TEST(StratumClient, SharesCountWhenWrittenAndAnsweredOrDropped) {
  Kest::ShareCounters shares;
  StdoutCapture out;
  auto w = std::make_unique<work>();
  std::memset(w.get(), 0, sizeof(work));
  {
    TestPool pool;
    pool.SetSubscribeReply(JobLine(TrailerText(15), 5, 1));
    auto client = Connect(pool, kAccount, &shares);
    ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
    client->SubmitWork(w.get());
    client->SubmitWork(w.get());
    client->UpdateHR(w.get());
    ASSERT_TRUE(pool.WaitForLines(4, kShort));
    std::this_thread::sleep_for(Millis(100));
    EXPECT_EQ(shares.submitted.load(), 0u);  // written, but the pool has said nothing since
    EXPECT_EQ(client->OutstandingShares(), 2u);
    ASSERT_TRUE(pool.Send(TemplateLine("AQIDBA==", 2, 7)));
    EXPECT_TRUE(WaitUntil([&] { return shares.submitted.load() == 2; }, kShort));
    EXPECT_EQ(client->OutstandingShares(), 0u);
    client->SubmitWork(w.get());
    ASSERT_TRUE(pool.WaitForLines(5, kShort));
  }  // the client goes before the pool has said anything about its last share
  EXPECT_EQ(shares.unconfirmed_lost.load(), 1u);
  const std::size_t extra = 2500;
  {
    JorlStratum client(kAccount, "pw", "127.0.0.1", std::to_string(UnusedPort()).c_str(), &shares);
    for (std::size_t i = 0; i < JorlStratum::kMaxQueuedRequests + extra; ++i) {
      client.SubmitWork(w.get());
    }
    EXPECT_EQ(shares.unsent_dropped.load(), extra);
  }
  // The client's going drops the rest of its queue.
  EXPECT_EQ(shares.unsent_dropped.load(), JorlStratum::kMaxQueuedRequests + extra);
  EXPECT_EQ(shares.submitted.load(), 2u);
  EXPECT_EQ(shares.unconfirmed_lost.load(), 1u);
  EXPECT_EQ(shares.pool_errors.load(), 0u);
  const std::string drop = "dropped the oldest unsent request";
  const std::string text = out.Text();
  EXPECT_EQ(Count(text, drop), 4u) << text;  // the first, then 1000, 1000 and the last 499
  EXPECT_EQ(Count(text, drop + " (repeated 1000 times)\n"), 2u);
  EXPECT_EQ(Count(text, drop + " (repeated 499 times)\n"), 1u);
}

// A pool slow to answer a share gets a ping after the response limit; answering it keeps the
// connection and confirms the share.
TEST(StratumClient, ResponseWatchPingsAndKeepsAPoolThatAnswers) {
  TestPool pool;
  pool.SetSubscribeReply(JobLine(TrailerText(16), 5, 1));
  Kest::ShareCounters shares;
  JorlStratum::Settings settings;
  settings.response_timeout_ms = 300;
  JorlStratum client(kAccount, "pw", "127.0.0.1", pool.port_text().c_str(), &shares, settings);
  ASSERT_TRUE(WaitUntil([&] { return client.IsUsable(); }, kShort));
  auto w = std::make_unique<work>();
  std::memset(w.get(), 0, sizeof(work));
  const auto start = Clock::now();
  client.SubmitWork(w.get());
  ASSERT_TRUE(pool.WaitForLines(3, kShort));
  EXPECT_GE(ElapsedMs(start), 290);
  EXPECT_EQ(pool.lines()[2].text, "{\"method\":\"ping\"}");
  ASSERT_TRUE(pool.Send(TemplateLine("AQIDBA==", 2, 7)));
  ASSERT_TRUE(WaitUntil([&] { return shares.submitted.load() == 1; }, kShort));
  std::this_thread::sleep_for(Millis(700));  // past the point where silence would end it
  EXPECT_TRUE(client.IsUsable());
  EXPECT_EQ(pool.connections(), 1);
  EXPECT_EQ(pool.lines().size(), 3u);
  EXPECT_EQ(shares.unconfirmed_lost.load(), 0u);
}

// Three clients at once: each one's rebuild signal and stop signal reach only its own watchdog.
TEST(StratumClient, ClientsAliveAtOnceDoNotDisturbEachOther) {
  TestPool healthy;
  healthy.SetSubscribeReply(JobLine(TrailerText(12), 5, 1));
  const uint16_t dead_b = UnusedPort();
  const uint16_t dead_c = UnusedPort();
  StdoutCapture out;
  auto a = Connect(healthy);
  auto b =
      std::make_unique<JorlStratum>(kAccount, "pw", "127.0.0.1", std::to_string(dead_b).c_str());
  auto c =
      std::make_unique<JorlStratum>(kAccount, "pw", "127.0.0.1", std::to_string(dead_c).c_str());
  ASSERT_TRUE(WaitUntil([&] { return a->IsReady(); }, kShort));
  ASSERT_TRUE(a->HaveNewWork());

  // Both failing clients rebuild (one dot each); the healthy one is left alone.
  ASSERT_TRUE(WaitUntil([&] { return Count(out.Text(), ".") >= 2; }, Millis(6000)));
  const auto start = Clock::now();
  b.reset();  // in the middle of its rebuild pause
  EXPECT_LT(ElapsedMs(start), 200);

  EXPECT_EQ(healthy.connections(), 1);
  ASSERT_TRUE(healthy.Send(JobLine(TrailerText(13), 6, 2)));
  ASSERT_TRUE(WaitUntil([&] { return a->HaveNewWork(); }, kShort));
  EXPECT_EQ(JobText(*a), TrailerText(13));

  // C's watchdog still works after B's destruction: C comes up once its pool does.
  TestPool late(dead_c);
  late.SetSubscribeReply(JobLine(TrailerText(14), 7, 3));
  ASSERT_TRUE(WaitUntil([&] { return c->IsReady(); }, Millis(3000)));
  EXPECT_EQ(JobText(*c), TrailerText(14));
  EXPECT_EQ(healthy.connections(), 1);
}

}  // namespace
