// The HTTP getwork client against a real HTTP server on 127.0.0.1.
#include "pool/getwork.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/utils.h"
#include "pool/getwork_answer.h"
#include "tests/pool/getwork_test_util.h"
#include "tools/testpool/http_pool.h"

namespace {

using std::chrono::milliseconds;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr milliseconds kFirstPollTimeout{3000};
constexpr milliseconds kPollTimeoutEach{4000};  // polls are 3 s apart
constexpr milliseconds kSettle{1000};           // time for the client to take up an answer
constexpr milliseconds kHashRateTimeout{2500};  // first report within about 1 s of UpdateHR
// Destruction waits for no pause (3 s, 60 s) and no exchange (30 s time-out): it takes
// milliseconds, or up to a second or two on a machine loaded with sanitizer runs.
constexpr milliseconds kPromptly{2000};
constexpr milliseconds kCancelled{5000};  // cancelling an exchange in flight takes a little more

// Job texts of the scripted answers: any base64 text will do for the client.
const char kJobJ[] = "Sm9iIEo=";
const char kJobK[] = "Sm9iIEs=";

// A server on 127.0.0.1 that reads each request and answers with the same raw bytes, whatever
// they are, then closes the connection: for answers no real HTTP server would send.
class CannedServer {
 public:
  explicit CannedServer(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::listen(fd_, 8) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~CannedServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  CannedServer(const CannedServer&) = delete;
  CannedServer& operator=(const CannedServer&) = delete;

  uint16_t port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int conn = ::accept(fd_, nullptr, nullptr);
      if (conn < 0) continue;
      // Requests are small and end with the JSON body's closing brace.
      std::string request;
      char chunk[4096];
      while (request.find('}') == std::string::npos) {
        pollfd c{conn, POLLIN, 0};
        if (::poll(&c, 1, 2000) <= 0) break;
        const ssize_t n = ::recv(conn, chunk, sizeof(chunk), 0);
        if (n <= 0) break;
        request.append(chunk, static_cast<std::size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      for (std::size_t at = 0; at < reply_.size();) {
        const ssize_t n = ::send(conn, reply_.data() + at, reply_.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      ::shutdown(conn, SHUT_WR);
      ::close(conn);
    }
  }

  const std::string reply_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;  // as received, under mutex_
  std::thread thread_;
};

class GetWorkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint16_t port = pool_.Start();
    url_ = "http://127.0.0.1:" + std::to_string(port) + "/getwork";
  }

  // Waits for the n-th work poll, then gives the client time to take up the answer.
  void AfterPoll(std::size_t n) {
    ASSERT_TRUE(gwtest::WaitForPolls(pool_, n, kPollTimeoutEach * static_cast<int>(n)))
        << "poll " << n << " never arrived";
    std::this_thread::sleep_for(kSettle);
  }

  static std::unique_ptr<work> Fetch(JorlGetWork& client) {
    auto w = std::make_unique<work>();
    std::memset(w.get(), 0x5A, sizeof(work));
    client.GetWork(w.get());
    return w;
  }

  static std::string Text(const work& w) {
    return std::string(w.text, static_cast<std::size_t>(w.text_len));
  }

  testpool::HttpPool pool_{testpool::HttpPoolOptions{}};
  std::string url_;
};

TEST_F(GetWorkTest, RequestsCarryExactBodiesAndHeaders) {
  pool_.SetPollAnswers({testpool::HttpPool::JobBody(kJobJ, 5, 7)});
  JorlGetWork client("0xabc123", "secret", url_.c_str());
  ASSERT_TRUE(gwtest::WaitForPolls(pool_, 1, kFirstPollTimeout));

  work rate{};
  rate.hr = 1234.5f;
  const auto handed = std::chrono::steady_clock::now();
  client.UpdateHR(&rate);

  auto share = std::make_unique<work>();
  for (int i = 0; i < 64; ++i) share->decoded[i] = static_cast<uint8_t>(i);
  client.SubmitWork(share.get());

  ASSERT_TRUE(gwtest::WaitUntil(
      [&] { return !gwtest::RequestsStartingWith(pool_, "{\"r\":\"hr\"").empty(); },
      kHashRateTimeout));
  EXPECT_LT(std::chrono::steady_clock::now() - handed, kHashRateTimeout);

  const auto polls = gwtest::RequestsStartingWith(pool_, gwtest::kPollBody);
  const auto shares = gwtest::RequestsStartingWith(pool_, "{\"r\":\"res\"");
  const auto rates = gwtest::RequestsStartingWith(pool_, "{\"r\":\"hr\"");
  ASSERT_GE(polls.size(), 1u);
  ASSERT_EQ(shares.size(), 1u);
  ASSERT_EQ(rates.size(), 1u);
  EXPECT_EQ(polls[0].body, "{\"r\" : \"mining\"}");
  // Only the nonce (decoded bytes 32..63) is sent, never the previous-block hash.
  EXPECT_EQ(shares[0].body,
            "{\"r\":\"res\", \"v0\":\"0xabc123\", "
            "\"v1\":\"ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8=\"}");
  EXPECT_EQ(rates[0].body, "{\"r\":\"hr\", \"v0\":\"0xabc123\", \"v1\":1234.500000}");
  for (const auto& r : {polls[0], shares[0], rates[0]}) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/getwork");
    EXPECT_EQ(r.content_type, "application/x-www-form-urlencoded");
    EXPECT_EQ(r.user_agent, "kest-plo");
  }
  EXPECT_EQ(std::string::npos, shares[0].body.find("AAECAwQF")) << "phash must not be sent";
}

TEST_F(GetWorkTest, AccountKeyIsEscapedInsideTheJsonBodies) {
  const std::string key = "0x\"quoted\\key";
  JorlGetWork client(key.c_str(), "", url_.c_str());
  work rate{};
  rate.hr = 2.0f;
  client.UpdateHR(&rate);
  auto share = std::make_unique<work>();
  CaptureStdout();
  client.SubmitWork(share.get());
  GetCapturedStdout();
  ASSERT_TRUE(gwtest::WaitUntil(
      [&] { return !gwtest::RequestsStartingWith(pool_, "{\"r\":\"hr\"").empty(); },
      kHashRateTimeout));

  for (const char* kind : {"{\"r\":\"res\"", "{\"r\":\"hr\""}) {
    const auto seen = gwtest::RequestsStartingWith(pool_, kind);
    ASSERT_EQ(seen.size(), 1u) << kind;
    EXPECT_NE(seen[0].body.find("\"v0\":\"0x\\\"quoted\\\\key\""), std::string::npos)
        << seen[0].body;
    boost::property_tree::ptree parsed;
    std::istringstream in(seen[0].body);
    ASSERT_NO_THROW(boost::property_tree::read_json(in, parsed)) << seen[0].body;
    EXPECT_EQ(parsed.get<std::string>("v0"), key);
  }
}

TEST_F(GetWorkTest, NotReadyBeforeTheFirstAnswer) {
  BTRAILER trailer;
  for (std::size_t i = 0; i < sizeof(trailer); ++i) {
    reinterpret_cast<uint8_t*>(&trailer)[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  pool_.SetJob(trailer, 3, 42);
  pool_.SetAnswerDelay(milliseconds(800));
  JorlGetWork client("k", "p", url_.c_str());

  EXPECT_FALSE(client.IsReady());
  auto before = Fetch(client);
  EXPECT_EQ(before->diff, -1);
  EXPECT_EQ(before->text_len, 0);
  EXPECT_EQ(before->block, 0u);
  EXPECT_EQ(before->text[0], '\0');
  CaptureStdout();
  EXPECT_FALSE(client.HaveNewWork());
  EXPECT_EQ(GetCapturedStdout(), "");

  ASSERT_TRUE(gwtest::WaitUntil([&] { return client.IsReady(); }, kFirstPollTimeout));
  auto job = Fetch(client);
  EXPECT_EQ(job->diff, 3);
  EXPECT_EQ(job->block, 42u);
  EXPECT_EQ(Text(*job), pool_.JobText());
  EXPECT_EQ(job->text_len, 216);
  EXPECT_EQ(job->text[216], '\0');
  CaptureStdout();
  EXPECT_TRUE(client.HaveNewWork());
  EXPECT_FALSE(client.HaveNewWork());
  EXPECT_EQ(GetCapturedStdout(), "Received new work! Share diff: 3 | Block:42\n");
}

TEST_F(GetWorkTest, CFacadeHandsOverAndDecodesTheJob) {
  BTRAILER trailer;
  for (std::size_t i = 0; i < sizeof(trailer); ++i) {
    reinterpret_cast<uint8_t*>(&trailer)[i] = static_cast<uint8_t>(255 - i);
  }
  pool_.SetJob(trailer, 9, 1000);
  void* client = C_JorlGetWorkFactory("k", "p", url_.c_str());
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(gwtest::WaitUntil([&] { return C_IsReady(client) == 1; }, kFirstPollTimeout));
  EXPECT_EQ(C_CheckAlive(client), 1);

  auto record = std::make_unique<work>();
  std::memset(record.get(), 0xAB, sizeof(work));
  auto* bytes = reinterpret_cast<uint8_t*>(record.get());
  C_GetWork(client, bytes);
  EXPECT_EQ(record->diff, 9);
  EXPECT_EQ(record->block, 1000u);
  EXPECT_EQ(Text(*record), pool_.JobText());

  C_Decode64(bytes);
  EXPECT_EQ(std::memcmp(record->decoded, &trailer, sizeof(trailer)), 0);
  for (std::size_t i = sizeof(trailer); i < sizeof(record->decoded); ++i) {
    ASSERT_EQ(record->decoded[i], 0xAB) << "decoded byte " << i << " changed";
  }

  CaptureStdout();
  EXPECT_EQ(C_HaveNewWork(client), 1);
  EXPECT_EQ(C_HaveNewWork(client), 0);
  EXPECT_EQ(GetCapturedStdout(), "Received new work! Share diff: 9 | Block:1000\n");

  record->hr = 0.25f;
  C_UpdateHR(client, bytes);
  EXPECT_TRUE(gwtest::WaitUntil(
      [&] {
        return !gwtest::RequestsStartingWith(pool_, "{\"r\":\"hr\", \"v0\":\"k\", \"v1\":0.250000}")
                    .empty();
      },
      kHashRateTimeout));
  C_DestroyGetWork(client);

  // A null handle or record is harmless.
  EXPECT_EQ(C_IsReady(nullptr), 0);
  EXPECT_EQ(C_HaveNewWork(nullptr), 0);
  C_GetWork(nullptr, bytes);
  C_SubmitWork(nullptr, bytes);
  C_UpdateHR(nullptr, bytes);
  C_Decode64(nullptr);
  C_DestroyGetWork(nullptr);
}

TEST_F(GetWorkTest, OverlongJobTextIsCutToTheRecord) {
  pool_.SetPollAnswers({testpool::HttpPool::JobBody(std::string(3000, 'Q'), 4, 5)});
  JorlGetWork client("k", "p", url_.c_str());
  ASSERT_TRUE(gwtest::WaitUntil([&] { return client.IsReady(); }, kFirstPollTimeout));
  auto w = Fetch(client);
  EXPECT_EQ(w->text_len, 2047);
  EXPECT_EQ(w->text[2047], '\0');
  EXPECT_EQ(w->decoded[0], 0x5A) << "GetWork wrote past text";
  EXPECT_EQ(w->diff, 4);
}

// The no-work answer: ready with difficulty 0; "... \n" only on a change to no work.
TEST_F(GetWorkTest, NoWorkAnswersAnnounceOnlyTheChange) {
  pool_.SetPollAnswers({gwtest::kNoWork, testpool::HttpPool::JobBody(kJobJ, 5, 7),
                        testpool::HttpPool::JobBody(kJobJ, 9, 8), gwtest::kNoWork,
                        gwtest::kNoWork});
  CaptureStdout();
  JorlGetWork client("k", "p", url_.c_str());

  AfterPoll(1);  // no work: ready, difficulty 0
  EXPECT_TRUE(client.IsReady());
  auto w = Fetch(client);
  EXPECT_EQ(w->diff, 0);
  EXPECT_EQ(w->block, 0u);
  EXPECT_EQ(w->text_len, 0);
  EXPECT_TRUE(client.HaveNewWork());  // without the "Received new work!" line

  AfterPoll(2);  // job J
  w = Fetch(client);
  EXPECT_EQ(w->diff, 5);
  EXPECT_EQ(w->block, 7u);
  EXPECT_EQ(Text(*w), kJobJ);
  EXPECT_TRUE(client.HaveNewWork());

  AfterPoll(3);  // J again with another difficulty and block: nothing changes
  w = Fetch(client);
  EXPECT_EQ(w->diff, 5);
  EXPECT_EQ(w->block, 7u);
  EXPECT_FALSE(client.HaveNewWork());

  AfterPoll(4);  // no work after a job: announced again; the job text stays
  w = Fetch(client);
  EXPECT_EQ(w->diff, 0);
  EXPECT_EQ(w->block, 0u);
  EXPECT_EQ(Text(*w), kJobJ);
  EXPECT_TRUE(client.HaveNewWork());

  AfterPoll(5);  // no work once more: silent
  EXPECT_FALSE(client.HaveNewWork());

  EXPECT_EQ(GetCapturedStdout(), "... \nReceived new work! Share diff: 5 | Block:7\n... \n");

  // Polls follow each other 3 s apart (from the end of one to the start of the next).
  const auto polls = gwtest::RequestsStartingWith(pool_, gwtest::kPollBody);
  ASSERT_GE(polls.size(), 5u);
  for (std::size_t i = 1; i < 5; ++i) {
    const auto gap = polls[i].received - polls[i - 1].received;
    EXPECT_GE(gap, milliseconds(3000)) << "poll " << i;
    EXPECT_LT(gap, milliseconds(3500)) << "poll " << i;
  }
}

TEST_F(GetWorkTest, SameJobTextIsNotTakenUpTwiceAfterNoWork) {
  pool_.SetPollAnswers({testpool::HttpPool::JobBody(kJobJ, 5, 7), gwtest::kNoWork,
                        testpool::HttpPool::JobBody(kJobJ, 5, 7),
                        testpool::HttpPool::JobBody(kJobK, 6, 9)});
  CaptureStdout();
  JorlGetWork client("k", "p", url_.c_str());

  AfterPoll(1);
  EXPECT_TRUE(client.HaveNewWork());
  AfterPoll(2);
  EXPECT_TRUE(client.HaveNewWork());
  EXPECT_EQ(Fetch(client)->diff, 0);

  AfterPoll(3);  // J is still the stored text: not taken up, the difficulty stays 0
  auto w = Fetch(client);
  EXPECT_EQ(w->diff, 0);
  EXPECT_EQ(w->block, 0u);
  EXPECT_FALSE(client.HaveNewWork());

  AfterPoll(4);  // a different text is
  w = Fetch(client);
  EXPECT_EQ(w->diff, 6);
  EXPECT_EQ(w->block, 9u);
  EXPECT_EQ(Text(*w), kJobK);
  EXPECT_TRUE(client.HaveNewWork());

  EXPECT_EQ(GetCapturedStdout(),
            "Received new work! Share diff: 5 | Block:7\n... \n"
            "Received new work! Share diff: 6 | Block:9\n");
}

TEST_F(GetWorkTest, MalformedAnswersKeepThePreviousJob) {
  pool_.SetPollAnswers({testpool::HttpPool::JobBody(kJobJ, 5, 7), "this is not json",
                        "{\"broot\":\"Sm9iIEs=\", \"diff\":3}",
                        "{\"broot\":\"Sm9iIEs=\", \"diff\":\"3\", \"nblock\":4}"});
  JorlGetWork client("k", "p", url_.c_str());
  AfterPoll(1);
  CaptureStdout();
  EXPECT_TRUE(client.HaveNewWork());

  AfterPoll(2);  // not JSON
  AfterPoll(3);  // no "nblock"
  AfterPoll(4);  // "diff" of the wrong type
  auto w = Fetch(client);
  EXPECT_EQ(w->diff, 5);
  EXPECT_EQ(w->block, 7u);
  EXPECT_EQ(Text(*w), kJobJ);
  EXPECT_FALSE(client.HaveNewWork());

  const std::string out = GetCapturedStdout();
  std::vector<std::string> lines;
  Kest::SplitString(out, "\n", lines);
  ASSERT_EQ(lines.size(), 4u) << out;
  EXPECT_EQ(lines[0], "Received new work! Share diff: 5 | Block:7");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind("Received", 0), std::string::npos) << lines[i];
  }
  EXPECT_EQ(out.back(), '\n');
}

TEST_F(GetWorkTest, StatusOtherThan200CountsAsNoAnswer) {
  pool_.SetStatus(500);
  CaptureStdout();
  JorlGetWork client("k", "p", url_.c_str());
  ASSERT_TRUE(gwtest::WaitForPolls(pool_, 1, kFirstPollTimeout));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_FALSE(client.IsReady());

  auto share = std::make_unique<work>();
  client.SubmitWork(share.get());  // a dot of its own

  work rate{};
  rate.hr = 1.0f;
  client.UpdateHR(&rate);  // the report's status is ignored: no dot
  ASSERT_TRUE(gwtest::WaitUntil(
      [&] { return !gwtest::RequestsStartingWith(pool_, "{\"r\":\"hr\"").empty(); },
      kHashRateTimeout));
  std::this_thread::sleep_for(milliseconds(200));
  ASSERT_EQ(gwtest::PollCount(pool_), 1u) << "the test ran into the second poll";
  EXPECT_EQ(GetCapturedStdout(), "..");

  pool_.SetStatus(200);
  EXPECT_TRUE(gwtest::WaitUntil([&] { return client.IsReady(); }, kPollTimeoutEach));
}

TEST_F(GetWorkTest, SubmissionOutcomesArePrinted) {
  testpool::HttpPoolOptions easy;
  easy.diff = 0;  // every nonce meets difficulty 0
  testpool::HttpPool lenient(easy);
  const std::string lenient_url = "http://127.0.0.1:" + std::to_string(lenient.Start()) + "/";
  testpool::HttpPoolOptions hard;
  hard.diff = 255;  // no nonce meets difficulty 255
  testpool::HttpPool strict(hard);
  const std::string strict_url = "http://127.0.0.1:" + std::to_string(strict.Start()) + "/";

  // A nonce of two well-formed haikus: it meets difficulty 0 and passes the syntax check.
  auto share = std::make_unique<work>();
  gwtest::MakeHaiku(share->decoded + 32);
  gwtest::MakeHaiku(share->decoded + 48);
  ASSERT_EQ(fast_trigg_syntax(share->decoded + 32), 1);
  JorlGetWork accepted("k", "p", lenient_url.c_str());
  JorlGetWork failed("k", "p", strict_url.c_str());
  CaptureStdout();
  accepted.SubmitWork(share.get());
  failed.SubmitWork(share.get());
  EXPECT_EQ(GetCapturedStdout(), "Pool accepted share!\n{\"error\" : 1}Failed share!\n");
  EXPECT_EQ(lenient.accepted_shares(), 1);
  EXPECT_EQ(strict.rejected_shares(), 1);
}

TEST(GetworkAnswer, JobsAreReadStrictlyAndEverythingElseRefusedWithAReason) {
  const auto job = Kest::ParseGetworkAnswer(
      " {\"x\":[1,-2.5e3,{\"y\":null}], \"broot\":\"A\\u00e9\\ud83d\\ude00\\/\", "
      "\"diff\":-2147483648, \"nblock\":2147483647, \"diff\":255}\r\n");
  ASSERT_EQ(job.kind, Kest::GetworkAnswer::kJob) << job.reason;
  EXPECT_EQ(job.broot, "A\xC3\xA9\xF0\x9F\x98\x80/");
  EXPECT_EQ(job.diff, 255) << "the last of a repeated member counts";
  EXPECT_EQ(job.nblock, 2147483647);
  EXPECT_EQ(Kest::ParseGetworkAnswer("{\"error\" : 2}").kind, Kest::GetworkAnswer::kNoWork);

  const struct {
    const char* body;
    const char* reason;  // a piece of the refusal
  } refused[] = {
      {"{\"error\":2}", "no \"broot\""},  // not byte for byte the no-work answer
      {"[{\"broot\":\"QQ==\", \"diff\":1, \"nblock\":1}]", "not a JSON object"},
      {"{\"broot\":\"QQ==\", \"diff\":1, \"nblock\":1} x", "text after"},
      {"{\"broot\":\"QQ==\", \"diff\":1, \"nblock\":1", "ends early"},
      {"{\"broot\":7, \"diff\":1, \"nblock\":1}", "\"broot\" of the answer is not a string"},
      {"{\"broot\":\"QQ==\", \"diff\":5.0, \"nblock\":1}", "\"diff\" of the answer is not"},
      {"{\"broot\":\"QQ==\", \"diff\":1, \"nblock\":2147483648}", "32-bit integer"},
      {"{\"broot\":\"QQ==\", \"diff\":null, \"nblock\":1}", "not a number"},
      {"{\"broot\":\"\\ud800\", \"diff\":1, \"nblock\":1}", "lone surrogate"},
      {"{\"broot\":\"\x1b[2J\", \"diff\":1, \"nblock\":1}", "\\x1b[2J"},
      {"{\"broot\":\"QQ==\", \"diff\":01, \"nblock\":1}", "',' or '}' expected"},
  };
  for (const auto& r : refused) {
    const auto answer = Kest::ParseGetworkAnswer(r.body);
    EXPECT_EQ(answer.kind, Kest::GetworkAnswer::kRefused) << r.body;
    EXPECT_NE(answer.reason.find(r.reason), std::string::npos) << answer.reason;
    for (const char c : answer.reason) ASSERT_GE(static_cast<unsigned char>(c), 0x20) << r.body;
  }
  // Deep nesting is refused, not followed until the stack runs out.
  const auto deep = Kest::ParseGetworkAnswer("{\"a\":" + std::string(1000, '[') + "}");
  EXPECT_NE(deep.reason.find("nested too deeply"), std::string::npos) << deep.reason;
}

// Answers no good pool sends: each poll fails with one clear line and the client stays not
// ready; an answer whose end is the end of the connection is read in full.
TEST(GetWorkBrokenAnswers, EachIsRefusedWithOneLine) {
  const std::string job = testpool::HttpPool::JobBody(kJobJ, 5, 7);
  const struct {
    std::string reply;
    const char* line;  // a piece of the printed line; empty: the job is taken
  } cases[] = {
      {"SSH-2.0-OpenSSH\r\n\r\n", "malformed HTTP answer"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"broot\"", "closed the connection"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, ' '),
       "larger than 65536 bytes"},
      {"HTTP/1.1 200 OK\r\nX-Pad: " + std::string(20000, 'p') + "\r\n\r\n",
       "headers from 127.0.0.1"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nnot json\x07", "Work answer refused"},
      {"HTTP/1.1 200 OK\r\n\r\n" + job, ""},
  };
  std::vector<std::unique_ptr<CannedServer>> servers;
  std::vector<std::unique_ptr<JorlGetWork>> clients;
  CaptureStdout();
  for (const auto& c : cases) {
    servers.push_back(std::make_unique<CannedServer>(c.reply));
    clients.push_back(std::make_unique<JorlGetWork>("k", "p", servers.back()->url().c_str()));
  }
  ASSERT_TRUE(gwtest::WaitUntil([&] { return clients.back()->IsReady(); }, kFirstPollTimeout));
  std::this_thread::sleep_for(kSettle);  // every first poll is over; the next is 2 s away
  clients.clear();
  const std::string out = GetCapturedStdout();
  std::vector<std::string> lines;
  Kest::SplitString(out, "\n", lines);
  EXPECT_EQ(lines.size(), 5u) << out;
  for (const auto& c : cases) {
    if (*c.line == '\0') continue;
    std::size_t found = 0;
    for (const auto& line : lines) found += line.find(c.line) != std::string::npos ? 1 : 0;
    EXPECT_EQ(found, 1u) << c.line << " in\n" << out;
  }
  EXPECT_EQ(out.find('\x07'), std::string::npos) << "pool bytes reach the console raw";
}

// The bytes on the wire, header spelling and order included, are what pools have always seen
// from this client; a fragment of the address is not sent.
TEST(GetWorkWire, PollRequestBytesAreUnchanged) {
  CannedServer server("HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n{\"error\" : 2}");
  const std::string port = std::to_string(server.port());
  {
    const std::string url = "HTTP://127.0.0.1:" + port + "/getwork?id=7#top";
    JorlGetWork client("k", "p", url.c_str());
    ASSERT_TRUE(gwtest::WaitUntil([&] { return client.IsReady(); }, kFirstPollTimeout));
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0],
            "POST /getwork?id=7 HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                "\r\nContent-Length:16\r\nContent-Type:application/x-www-form-urlencoded\r\n"
                "User-Agent:kest-plo\r\nConnection: Keep-Alive\r\n\r\n{\"r\" : \"mining\"}");
}

TEST_F(GetWorkTest, HttpsAddressesSpeakTls) {
  // The test pool speaks plain HTTP, so the TLS handshake fails: said so on one line, and no
  // request goes out unencrypted.
  const std::string https_url = "https" + url_.substr(4);
  CaptureStdout();
  {
    JorlGetWork client("k", "p", https_url.c_str());
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(client.IsReady());
  }
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(out.rfind("Work poll failed: TLS handshake with 127.0.0.1:", 0), 0u) << out;
  EXPECT_TRUE(pool_.Requests().empty());
}

TEST(GetWorkUnreachable, FailuresArePrintedAndTheClientStaysNotReady) {
  gwtest::RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/";
  CaptureStdout();
  JorlGetWork client("k", "p", url.c_str());
  std::this_thread::sleep_for(kSettle);
  auto share = std::make_unique<work>();
  client.SubmitWork(share.get());
  const std::string out = GetCapturedStdout();
  EXPECT_FALSE(client.IsReady());
  // The poll's failure text on a line of its own, then the submission's dot.
  ASSERT_GE(out.size(), 3u) << out;
  EXPECT_EQ(out.substr(out.size() - 2), "\n.") << out;
  EXPECT_NE(out[0], '\n') << out;

  // A URL the HTTP library cannot use fails the same way, without harm.
  CaptureStdout();
  {
    JorlGetWork bad("k", "p", "not a url at all");
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(bad.IsReady());
    bad.SubmitWork(share.get());
  }
  const std::string bad_out = GetCapturedStdout();
  EXPECT_GE(bad_out.size(), 3u) << bad_out;
  EXPECT_EQ(bad_out.back(), '.') << bad_out;
}

TEST_F(GetWorkTest, DestroyedPromptlyWhileItsThreadsWait) {
  // No exchange in flight: the work thread is in its 3-second pause and the hash-rate thread
  // still waits for a first rate. The stop must end both waits at once.
  auto client = std::make_unique<JorlGetWork>("k", "p", url_.c_str());
  ASSERT_TRUE(gwtest::WaitUntil([&] { return client->IsReady(); }, kFirstPollTimeout));
  std::this_thread::sleep_for(milliseconds(300));
  auto start = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, kPromptly);

  // Now the hash-rate thread is in its 60-second pause.
  client = std::make_unique<JorlGetWork>("k", "p", url_.c_str());
  work rate{};
  rate.hr = 5.0f;
  client->UpdateHR(&rate);
  ASSERT_TRUE(gwtest::WaitUntil(
      [&] { return !gwtest::RequestsStartingWith(pool_, "{\"r\":\"hr\"").empty(); },
      kHashRateTimeout));
  std::this_thread::sleep_for(milliseconds(300));
  start = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, kPromptly);
}

TEST_F(GetWorkTest, DestroyedPromptlyDuringAPollThatHangs) {
  pool_.SetAnswerDelay(milliseconds(20000));
  auto client = std::make_unique<JorlGetWork>("k", "p", url_.c_str());
  ASSERT_TRUE(gwtest::WaitForPolls(pool_, 1, kFirstPollTimeout));
  CaptureStdout();
  const auto start = std::chrono::steady_clock::now();
  client.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(GetCapturedStdout(), "") << "a cancelled poll is not a failure to report";
  EXPECT_LT(took, kCancelled) << "the answer would only come after 20 s";
}

}  // namespace

namespace {

// A port that was free a moment ago (the tool needs a number before it starts).
uint16_t FreePort() {
  testpool::HttpPool probe(testpool::HttpPoolOptions{});
  return probe.Start();
}

// True when a connection to 127.0.0.1:port is accepted.
bool Accepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

int RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), "plo-testpool");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  return testpool::RunHttpPool(static_cast<int>(argv.size()), argv.data());
}

TEST(HttpPoolTool, ServesAGetworkClientUntilStopped) {
  const uint16_t port = FreePort();
  CaptureStdout();
  int status = -1;
  std::thread tool([&] {
    status = RunTool({"--http", "--port", std::to_string(port), "--no-work"});
  });
  // The client polls at once: let the tool listen and print its first line before.
  EXPECT_TRUE(gwtest::WaitUntil([&] { return Accepts(port); }, kFirstPollTimeout));
  std::this_thread::sleep_for(milliseconds(200));
  {
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    JorlGetWork client("k", "p", url.c_str());
    EXPECT_TRUE(gwtest::WaitUntil([&] { return client.IsReady(); }, kFirstPollTimeout));
    auto w = std::make_unique<work>();
    client.GetWork(w.get());
    EXPECT_EQ(w->diff, 0) << "no-work mode";
  }
  // The tool waits for SIGINT or SIGTERM on its own thread, where both are blocked.
  pthread_kill(tool.native_handle(), SIGTERM);
  tool.join();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.rfind("listening on 127.0.0.1:" + std::to_string(port) + "\n", 0), 0u) << out;
  EXPECT_NE(out.find("POST / {\"r\" : \"mining\"}"), std::string::npos) << out;
}

}  // namespace
