// plo-testpool as a separate process, driven by the Stratum client and by a raw socket.
#include "pool/stratum.h"

#include "app/records.h"
#include "app/utils.h"
#include "tests/pool/stratum_test_support.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

namespace {
using stratum_test::Clock;
using stratum_test::Count;
using stratum_test::ElapsedMs;
using stratum_test::Millis;
using stratum_test::StdoutCapture;
using stratum_test::WaitUntil;

const Millis kShort{3000};

// The reference solution: both nonce halves are this frame-3 haiku; over an all-zero trailer
// its final hash has exactly 2 leading zero bits.
const uint8_t kReferenceHaiku[16] = {13, 83, 1, 5, 129, 1, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// plo-testpool started with `args`; its standard output and error are collected.
class PoolProcess {
 public:
  explicit PoolProcess(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> all = {PLO_TESTPOOL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (failed != 0) {
      close(fds[0]);
      throw std::runtime_error("cannot start plo-testpool");
    }
    reader_ = std::thread([this, fd = fds[0]] {
      char chunk[4096];
      for (ssize_t got; (got = read(fd, chunk, sizeof(chunk))) > 0;) {
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(chunk, static_cast<std::size_t>(got));
      }
      close(fd);
    });
  }

  ~PoolProcess() {
    if (pid_ > 0) Stop();
  }

  std::string Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }

  bool WaitFor(const std::string& needle, Millis timeout) {
    return WaitUntil([&] { return Output().find(needle) != std::string::npos; }, timeout);
  }

  // The port from the first line, "listening on 127.0.0.1:PORT".
  std::string Port() {
    const std::string head = "listening on 127.0.0.1:";
    if (!WaitFor("\n", kShort)) return "";
    const std::string out = Output();
    if (out.compare(0, head.size(), head) != 0) return "";
    return out.substr(head.size(), out.find('\n') - head.size());
  }

  // Sends SIGTERM and returns the exit status.
  int Stop() {
    kill(pid_, SIGTERM);
    return Wait();
  }

  // Waits for the end of the process and of its output; returns the exit status.
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    reader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string output_;
};

std::unique_ptr<JorlStratum> Connect(PoolProcess& pool) {
  const std::string port = pool.Port();
  return std::make_unique<JorlStratum>("test-account", "pw", "127.0.0.1", port.c_str());
}

std::unique_ptr<work> CurrentJob(JorlStratum& client) {
  auto w = std::make_unique<work>();
  std::memset(w.get(), 0, sizeof(work));
  client.GetWork(w.get());
  Kest::DecodeJob(reinterpret_cast<uint8_t*>(w.get()));
  return w;
}

// A raw connection: writes lines, reads lines.
class RawClient {
 public:
  explicit RawClient(const std::string& port) : socket_(io_) {
    boost::asio::ip::tcp::resolver resolver(io_);
    boost::asio::connect(socket_, resolver.resolve("127.0.0.1", port));
  }
  std::string Exchange(const std::string& line) {
    Write(line);
    return ReadLine();
  }
  void Write(const std::string& line) {
    boost::asio::write(socket_, boost::asio::buffer(line + "\n"));
  }
  std::string ReadLine() {
    const std::size_t size = boost::asio::read_until(socket_, input_, '\n');
    std::string reply(boost::asio::buffers_begin(input_.data()),
                      boost::asio::buffers_begin(input_.data()) + size - 1);
    input_.consume(size);
    return reply;
  }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::streambuf input_;
};

std::string NonceText(const uint8_t* first_half, const uint8_t* second_half) {
  uint8_t nonce[32];
  std::memcpy(nonce, first_half, 16);
  std::memcpy(nonce + 16, second_half, 16);
  return base64_encode(nonce, sizeof(nonce));
}

TEST(StratumTestPool, ServesAJobAndChecksSharesWithPeach) {
  PoolProcess pool({"--port", "0", "--diff", "2", "--block", "7", "--zero-trailer"});
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  auto job = CurrentJob(*client);
  EXPECT_EQ(job->diff, 2);
  EXPECT_EQ(job->block, 7u);
  EXPECT_EQ(job->text_len, 216);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(job->decoded), 160), std::string(160, '\0'));

  auto share = std::make_unique<work>();
  std::memset(share.get(), 0, sizeof(work));
  std::memcpy(share->decoded + 32, kReferenceHaiku, 16);
  std::memcpy(share->decoded + 48, kReferenceHaiku, 16);
  client->SubmitWork(share.get());
  ASSERT_TRUE(out.WaitFor(" share accepted\n", kShort));
  client->SubmitWork(share.get());
  ASSERT_TRUE(out.WaitFor("Error code  22: duplicate share\n", kShort));
  std::memset(share->decoded + 32, 0, 32);  // word code 0 fits no frame
  client->SubmitWork(share.get());
  ASSERT_TRUE(out.WaitFor("Error code  23: not a solution at difficulty 2\n", kShort));
  share->hr = 12.5f;
  client->UpdateHR(share.get());
  ASSERT_TRUE(pool.WaitFor("hash rate 12.500000", kShort));

  client.reset();
  EXPECT_EQ(pool.Stop(), 0);
  const std::string log = pool.Output();
  EXPECT_NE(log.find("subscribe account=test-account"), std::string::npos);
  EXPECT_NE(log.find("stopping on SIGTERM\nsummary: accepted 1, rejected 2, last hash rate "
                     "12.500000\n"),
            std::string::npos);
}

TEST(StratumTestPool, RejectsBadNoncesAndTooFewZeroBits) {
  PoolProcess pool({"--diff", "3", "--block", "0", "--zero-trailer"});
  RawClient raw(pool.Port());
  EXPECT_NE(
      raw.Exchange("{\"method\":\"subscribe\", \"account\":\"x\"}").find("\"diff\":3,\"block\":0}"),
      std::string::npos);
  EXPECT_EQ(raw.Exchange("{\"method\":\"submit\", \"nonce\":\"" +
                         NonceText(kReferenceHaiku, kReferenceHaiku) + "\"}"),
            "{\"error\":23,\"des\":\"not a solution at difficulty 3\"}");
  const std::string bad_nonce =
      "{\"error\":21,\"des\":\"bad nonce: not the base64 text of 32 bytes\"}";
  EXPECT_EQ(raw.Exchange("{\"method\":\"submit\", \"nonce\":\"AAAA\"}"), bad_nonce);
  EXPECT_EQ(raw.Exchange("{\"method\":\"submit\", \"nonce\":\"" + std::string(44, '*') + "\"}"),
            bad_nonce);
  EXPECT_EQ(raw.Exchange("{\"method\":\"submit\"}"), bad_nonce);
  EXPECT_EQ(raw.Exchange("{\"method\":\"ping\"}"), "{\"method\":\"pong\"}");
  EXPECT_EQ(raw.Exchange("nonsense"), "{\"error\":1,\"des\":\"not JSON\"}");
  EXPECT_EQ(raw.Exchange("{\"method\":\"mining.nothing\"}"),
            "{\"error\":2,\"des\":\"unknown method\"}");
  EXPECT_EQ(pool.Stop(), 0);
  EXPECT_NE(pool.Output().find("summary: accepted 0, rejected 4, last hash rate none\n"),
            std::string::npos);
}

TEST(StratumTestPool, PingTemplatesAndRefreshedJobs) {
  PoolProcess pool({"--block", "9", "--job-every", "1", "--template-every", "1"});
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  ASSERT_TRUE(client->HaveNewWork());
  const auto first = CurrentJob(*client);
  EXPECT_EQ(first->block, 9u);

  EXPECT_TRUE(client->CheckAlive());
  client->RequestNewTemplate();
  ASSERT_TRUE(pool.WaitFor("template requested", kShort));
  ASSERT_TRUE(WaitUntil([&] { return client->HaveNewTemplate(); }, kShort));
  work_template t{};
  client->GetTemplate(&t);
  ASSERT_NE(t.prefix_text, nullptr);
  EXPECT_EQ(std::strlen(t.prefix_text), 24u);
  EXPECT_EQ(t.num_prefix, 4);
  EXPECT_GE(t.frame_id, 0);
  EXPECT_LT(t.frame_id, 10);
  std::free(t.prefix_text);

  // A refreshed job keeps the previous-block hash and carries block 0: no map rebuild.
  ASSERT_TRUE(WaitUntil([&] { return client->HaveNewWork(); }, kShort));
  const auto second = CurrentJob(*client);
  EXPECT_EQ(second->block, 0u);
  EXPECT_EQ(std::memcmp(first->decoded, second->decoded, 32), 0);
  EXPECT_NE(std::memcmp(first->decoded + 32, second->decoded + 32, 128), 0);
}

TEST(StratumTestPool, RefreshedJobsCanStartANewBlock) {
  PoolProcess pool({"--block", "5", "--job-every", "1", "--refresh-new-block"});
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->HaveNewWork(); }, kShort));
  const auto first = CurrentJob(*client);
  ASSERT_TRUE(WaitUntil([&] { return client->HaveNewWork(); }, kShort));
  const auto second = CurrentJob(*client);
  EXPECT_EQ(first->block, 5u);
  EXPECT_EQ(second->block, 6u);
  EXPECT_NE(std::memcmp(first->decoded, second->decoded, 32), 0);
}

TEST(StratumTestPool, SplitPairedAndNonJsonLines) {
  PoolProcess pool({"--split-lines", "--pair-lines", "--bad-line"});
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  ASSERT_TRUE(WaitUntil([&] { return client->HaveNewTemplate(); }, kShort));
  EXPECT_TRUE(client->HaveNewWork());
  const std::string text = out.Text();
  EXPECT_EQ(Count(text, "Error Code: -15"), 1u);
  EXPECT_NE(text.find("\nthis line is not JSON\n"), std::string::npos);
  EXPECT_EQ(Count(pool.Output(), "connection 2"), 0u);
}

TEST(StratumTestPool, OversizedLineMakesTheClientReconnect) {
  PoolProcess pool({"--oversized", "70000"});
  StdoutCapture out;
  auto client = Connect(pool);
  ASSERT_TRUE(out.WaitFor("Pool sent a line longer than 65536 bytes", kShort));
  EXPECT_TRUE(pool.WaitFor("connection 2 from", kShort));
}

TEST(StratumTestPool, ClosingAfterLinesMakesTheClientReconnect) {
  PoolProcess pool({"--close-after", "2"});
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, kShort));
  auto w = std::make_unique<work>();
  w->hr = 3.25f;
  client->UpdateHR(w.get());
  ASSERT_TRUE(pool.WaitFor("connection 1: closed (after 2 lines)", kShort));
  ASSERT_TRUE(pool.WaitFor("connection 2: subscribe", kShort));
  EXPECT_EQ(Count(pool.Output(), "hash rate 3.250000"), 1u);
}

TEST(StratumTestPool, RefusingAtFirstThenServing) {
  const auto start = Clock::now();
  PoolProcess pool({"--refuse-for", "2"});
  auto client = Connect(pool);
  ASSERT_TRUE(WaitUntil([&] { return client->IsReady(); }, Millis(5000)));
  EXPECT_GE(ElapsedMs(start), 2000);
  const std::string log = pool.Output();
  EXPECT_LT(log.find("accepting connections"), log.find("connection 1 from"));
}

TEST(StratumTestPool, EndsAfterItsDurationWithASummary) {
  const auto start = Clock::now();
  PoolProcess pool({"--duration", "1"});
  EXPECT_EQ(pool.Wait(), 0);
  EXPECT_GE(ElapsedMs(start), 900);
  EXPECT_NE(pool.Output().find("duration over\nsummary: accepted 0, rejected 0"),
            std::string::npos);
}

// The chaos events of ticks 1..last_tick in `log`, in order.
std::string ChaosEvents(const std::string& log, int last_tick) {
  std::string events;
  std::size_t at = 0;
  while ((at = log.find("\nchaos ", at)) != std::string::npos) {
    const std::size_t end = log.find('\n', at + 1);
    const std::string line = log.substr(at + 1, end - at - 1);
    at = end;
    if (std::atoi(line.c_str() + 6) <= last_tick) events += line + "\n";
  }
  return events;
}

TEST(StratumTestPool, ChaosRepeatsForItsSeedAndWritesALedger) {
  const std::string ledger = std::string(::testing::TempDir()) + "chaos_ledger.txt";
  std::remove(ledger.c_str());
  PoolProcess first({"--chaos", "5", "--duration", "7", "--ledger", ledger});
  PoolProcess again({"--chaos", "5", "--duration", "7"});
  PoolProcess other({"--chaos", "6", "--duration", "7"});
  ASSERT_EQ(first.Wait(), 0);
  ASSERT_EQ(again.Wait(), 0);
  ASSERT_EQ(other.Wait(), 0);
  const std::string events = ChaosEvents(first.Output(), 5);
  EXPECT_NE(events, "") << first.Output();
  EXPECT_EQ(ChaosEvents(again.Output(), 5), events);
  EXPECT_NE(ChaosEvents(other.Output(), 5), events);

  std::FILE* file = std::fopen(ledger.c_str(), "r");
  ASSERT_NE(file, nullptr);
  char text[4096] = {};
  const std::size_t size = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  EXPECT_EQ(std::string(text, size).rfind("submits 0\naccepted 0\nstale 0\nduplicates 0\n", 0), 0u)
      << text;
  std::remove(ledger.c_str());
}

// The text of `file`.
std::string FileText(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return "";
  std::string text;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) {
    text.append(chunk, got);
  }
  std::fclose(file);
  return text;
}

// A long stall freezes the pool's connections, those made during it too: what is written
// meanwhile is read and answered only when it ends, all of it even when the client has hung
// up. The ledger bounds what a client can have missed: submits read while or after a long
// stall, and those no line answered well before the client hung up (all that it can have seen
// go unanswered).
TEST(StratumTestPool, LongStallFreezesConnectionsAndTheLedgerCountsWhatTheyHeld) {
  const std::string ledger = std::string(::testing::TempDir()) + "long_stall_ledger.txt";
  std::remove(ledger.c_str());
  // Seed 37 draws nothing but split writes in its first ten ticks.
  PoolProcess pool(
      {"--chaos", "37", "--long-stall-s", "2", "--first-long-stall", "1", "--ledger", ledger});
  const std::string port = pool.Port();
  const std::string subscribe = "{\"method\":\"subscribe\",\"account\":\"x\"}";
  const std::string submit = "{\"method\":\"submit\",\"nonce\":\"AAA";
  const std::string bad_nonce = "{\"error\":21,";
  std::unique_ptr<RawClient> late;
  {
    RawClient raw(port);
    ASSERT_NE(raw.Exchange(subscribe).find("mining.notify"), std::string::npos);
    EXPECT_EQ(raw.Exchange(submit + "A\"}").rfind(bad_nonce, 0), 0u);
    ASSERT_TRUE(pool.WaitFor("long stall for 2 s (1 connections)", kShort));
    late = std::make_unique<RawClient>(port);
    late->Write(subscribe);
    for (const char* last : {"B", "C", "D"}) raw.Write(submit + last + "\"}");
  }  // hangs up during the stall
  EXPECT_NE(late->ReadLine().find("mining.notify"), std::string::npos);
  EXPECT_EQ(late->Exchange(submit + "X\"}").rfind(bad_nonce, 0), 0u);
  std::this_thread::sleep_for(Millis(2500));  // past the pool's hang-up window
  late->Write(submit + "Y\"}");
  late.reset();  // hangs up without reading the answer
  ASSERT_TRUE(pool.WaitFor("connection 2: closed", kShort));
  EXPECT_EQ(pool.Stop(), 0);
  const std::string log = pool.Output();
  EXPECT_NE(log.find("connection 2: long stall for 2 s"), std::string::npos) << log;
  const std::string rejected = "connection 1: share rejected";
  EXPECT_LT(log.find("connection 1: long stall over"), log.find(rejected, log.find(rejected) + 1));
  const std::string text = FileText(ledger);
  EXPECT_EQ(text.rfind("submits 6\n", 0), 0u) << text;
  // Connection 1: 3 unanswered (B, C, D), 3 after the stall; connection 2: 1 unanswered (Y),
  // 2 after the stall (X, Y).
  EXPECT_NE(text.find("\nlong_stalls 2\nunanswered 4\nlong_stall_submits 5\n"), std::string::npos)
      << text;
  for (const char* last : {"A", "B", "C", "D", "X", "Y"}) {
    EXPECT_EQ(Count(text, std::string("\nnonce AAA") + last + "\n"), 1u) << last;
  }
  std::remove(ledger.c_str());
}

// Pools given one previous-hash seed share the previous-block hash (a miner moving between
// them keeps its map) and differ in the rest of the trailer.
TEST(StratumTestPool, PoolsWithOnePrevHashSeedShareThePreviousBlockHash) {
  PoolProcess first({"--seed", "1", "--prev-hash-seed", "9"});
  PoolProcess second({"--seed", "2", "--prev-hash-seed", "9"});
  auto trailer = [](PoolProcess& pool) {
    RawClient raw(pool.Port());
    const std::string line = raw.Exchange("{\"method\":\"subscribe\",\"account\":\"x\"}");
    const std::size_t at = line.find("\"root\":\"") + 8;
    return base64_decode(line.substr(at, line.find('"', at) - at));
  };
  const std::string a = trailer(first);
  const std::string b = trailer(second);
  ASSERT_EQ(a.size(), sizeof(BTRAILER));
  ASSERT_EQ(b.size(), sizeof(BTRAILER));
  EXPECT_EQ(a.substr(0, 32), b.substr(0, 32));
  EXPECT_NE(a.substr(32), b.substr(32));
}

TEST(StratumTestPool, BadOptionsAreRefused) {
  PoolProcess pool({"--diff", "300"});
  EXPECT_EQ(pool.Wait(), 2);
  EXPECT_NE(pool.Output().find("option --diff needs a number up to 255"), std::string::npos);
}

}  // namespace
