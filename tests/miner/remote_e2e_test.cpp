// Remote control and the no-share escalation end to end: plominer (software device) against
// plo-testpool, driven over its HTTP API.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "subprocess.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kMiner = PLOMINER_PATH;
constexpr const char* kPool = TESTPOOL_PATH;
const std::string kAuth = "Authorization: Bearer t0ken\r\n";

// One request to the API on 127.0.0.1:port; the whole answer ("" when none).
std::string Http(int port, const std::string& method, const std::string& path,
                 const std::string& extra = "") {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::string res;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
    const std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra +
                            "Content-Length: 0\r\n\r\n";
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) res.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return res;
}

int Status(const std::string& res) {
  return res.size() > 12 ? std::atoi(res.c_str() + 9) : 0;
}

// The end of a long output, for failure messages.
std::string Tail(const std::string& out) {
  constexpr std::size_t kShown = 4000;
  return out.size() <= kShown ? out : "..." + out.substr(out.size() - kShown);
}

// Submits the pool has answered, either way.
int Answered(e2e::Subprocess& pool) {
  const std::string out = pool.Output();
  return e2e::Count(out, "share accepted") + e2e::Count(out, "share rejected");
}

// A pool that credits no share: once the limit has passed with ten shares expected, the miner
// says so in one line and ends with status 5.
TEST(RemoteEndToEnd, NoAcceptedShareEndsTheMinerWithStatus5) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port =
      e2e::StartTestPool(pool, dir, kPool, {"--diff", "9", "--block", "0", "--reject-shares"});
  ASSERT_FALSE(port.empty());
  dir.WriteFile("config.txt", "key pw stratum+tcp://127.0.0.1:" + port + "\n");
  e2e::Subprocess miner({kMiner, "--no-share-minutes", "0.05"}, dir.path());
  EXPECT_EQ(miner.Wait(seconds(300)), 5) << Tail(miner.Output());
  const std::string out = miner.Output();
  EXPECT_EQ(e2e::Count(out, "No share accepted for "), 1) << Tail(out);
  EXPECT_NE(out.find(" were expected ("), std::string::npos) << Tail(out);
  EXPECT_NE(out.find(" at difficulty 9): ending the miner (status 5)\n"), std::string::npos)
      << Tail(out);
  const std::string pool_out = pool->Output();
  EXPECT_GE(e2e::Count(pool_out, "share rejected: share refused"), 1) << Tail(pool_out);
  EXPECT_EQ(e2e::Count(pool_out, "share accepted"), 0) << Tail(pool_out);
}

// Pause over HTTP: the pool sees no new share while the card is paused, and shares again after
// the resume; the quit endpoint then ends the miner with status 0.
TEST(RemoteEndToEnd, PauseResumeAndQuitOverHttp) {
  e2e::ScratchDir dir;
  std::unique_ptr<e2e::Subprocess> pool;
  const std::string port = e2e::StartTestPool(pool, dir, kPool, {"--diff", "9", "--block", "0"});
  ASSERT_FALSE(port.empty());
  dir.WriteFile("config.txt", "key pw stratum+tcp://127.0.0.1:" + port + "\n");
  dir.WriteFile("token.txt", "t0ken\n");
  const int api = e2e::FreePort();
  e2e::Subprocess miner(
      {kMiner, "--api-bind", std::to_string(api), "--api-token-file", "token.txt"}, dir.path());
  ASSERT_TRUE(miner.WaitFor("API listening on ", seconds(10))) << Tail(miner.Output());
  EXPECT_EQ(Status(Http(api, "POST", "/api/v1/quit")), 401);  // no token: nothing happens

  ASSERT_TRUE(miner.WaitFor("tile map built", seconds(240))) << Tail(miner.Output());
  ASSERT_TRUE(pool->WaitFor("share accepted", seconds(120), 2)) << Tail(pool->Output());
  const std::string paused = Http(api, "POST", "/api/v1/devices/0/pause", kAuth);
  EXPECT_EQ(Status(paused), 200) << paused;
  EXPECT_NE(paused.find("{\"id\":0,"), std::string::npos) << paused;
  EXPECT_NE(paused.find("\"state\":\"paused\",\"state_reason\":\"remote\","), std::string::npos)
      << paused;
  EXPECT_TRUE(miner.WaitFor("API: device #0 paused by 127.0.0.1\n", seconds(1)));
  // What the last launch found is re-checked, written and answered first.
  std::this_thread::sleep_for(seconds(2));
  const int before = Answered(*pool);
  std::this_thread::sleep_for(seconds(5));
  EXPECT_EQ(Answered(*pool), before) << Tail(pool->Output());
  const std::string summary = Http(api, "GET", "/api/v1/summary", kAuth);
  EXPECT_NE(summary.find("\"hashrate\":0.000,"), std::string::npos) << summary;

  const std::string resumed = Http(api, "POST", "/api/v1/devices/0/resume", kAuth);
  EXPECT_EQ(Status(resumed), 200) << resumed;
  EXPECT_NE(resumed.find("\"state\":\"mining\",\"state_reason\":null,"), std::string::npos)
      << resumed;
  EXPECT_TRUE(pool->WaitFor("share accepted", seconds(120), before + 1)) << Tail(pool->Output());

  const std::string quit = Http(api, "POST", "/api/v1/quit", kAuth);
  EXPECT_EQ(Status(quit), 200) << quit;
  EXPECT_NE(quit.find("{\"quitting\":true}"), std::string::npos) << quit;
  EXPECT_EQ(miner.Wait(seconds(30)), 0) << Tail(miner.Output());
  const std::string out = miner.Output();
  EXPECT_EQ(e2e::Count(out, "API: quit requested by 127.0.0.1\n"), 1) << Tail(out);
  EXPECT_EQ(e2e::Count(out, "API: device #0 resumed by 127.0.0.1\n"), 1) << Tail(out);
}

}  // namespace
