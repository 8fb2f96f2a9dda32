// The monitoring HTTP API against a real server on 127.0.0.1, with raw sockets as the client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/api_server.h"

namespace {

using std::chrono::milliseconds;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A connected socket to ip:port, or -1.
int Connect(const char* ip, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Everything the server sends until it closes (or 5 s pass).
std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

std::string Exchange(uint16_t port, const std::string& request) {
  const int fd = Connect("127.0.0.1", port);
  if (fd < 0) return "";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string out = ReadAll(fd);
  close(fd);
  return out;
}

std::string Get(uint16_t port, const std::string& path, const std::string& extra = "",
                const std::string& host = "127.0.0.1") {
  return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra + "\r\n");
}

int Status(const std::string& response) {
  return response.size() > 12 ? std::atoi(response.c_str() + 9) : 0;
}

std::string Body(const std::string& response) {
  const auto at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

Kest::ApiSummary SampleSummary() {
  Kest::ApiSummary s;
  s.version = "v2.4";
  s.uptime_s = 3725;
  s.pool.url = "stratum+tcp://127.0.0.1:3333";
  s.pool.connected = true;
  s.pool.has_job = true;
  s.pool.switches = 2;
  s.job.block = 7;
  s.job.difficulty = 11;
  s.shares.submitted = 41;
  s.shares.unconfirmed_lost = 2;
  s.shares.cpu_failed = 3;
  s.shares.stale_dropped = 5;
  s.shares.unsent_dropped = 4;
  s.shares.pool_errors = 1;
  s.hashrate.now = 12345678.9;
  s.hashrate.avg_60s = 2500.0;
  s.hashrate.avg_15m = 950.5;
  Kest::ApiDevice gpu;
  gpu.id = 1;
  gpu.name = "Card \"A\"";
  gpu.pci_bus_id = "00000000:41:00.0";
  gpu.hashrate = 12000000.0;
  gpu.solutions = 30;
  gpu.lost_solutions = 6;
  gpu.temperature_c = 61.0;
  gpu.power_w = 215.5;
  gpu.fan_pct = 40.0;
  gpu.state = "paused";
  gpu.state_reason = "too hot";
  gpu.intensity = 80;
  Kest::ApiDevice soft;
  soft.id = 0;
  soft.name = "Software device";
  soft.hashrate = 345678.9;
  soft.solutions = 11;
  s.devices = {gpu, soft};
  return s;
}

class Api : public ::testing::Test {
 protected:
  void Start(Kest::ApiServer::Options options = {}) {
    server_ = std::make_unique<Kest::ApiServer>(options, [] { return SampleSummary(); });
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    port_ = server_->Port();
    ASSERT_NE(port_, 0);
  }
  std::unique_ptr<Kest::ApiServer> server_;
  uint16_t port_ = 0;
};

TEST_F(Api, SummaryHasEveryFieldWithItsType) {
  Start();
  const std::string res = Get(port_, "/api/v1/summary");
  ASSERT_EQ(Status(res), 200) << res;
  EXPECT_NE(res.find("Content-Type: application/json"), std::string::npos) << res;
  const std::string body = Body(res);
  std::istringstream in(body);
  boost::property_tree::ptree t;
  ASSERT_NO_THROW(boost::property_tree::read_json(in, t)) << body;
  EXPECT_EQ(t.get<std::string>("version"), "v2.4");
  EXPECT_EQ(t.get<std::string>("pool.url"), "stratum+tcp://127.0.0.1:3333");
  EXPECT_EQ(t.get_child("devices").size(), 2u);
  // Types as JSON writes them: integers, numbers, booleans, text and null.
  for (const char* field :
       {"\"uptime_s\":3725",
        "\"connected\":true,\"has_job\":true,\"usable\":false,\"tls\":false,\"switches\":2",
        "\"job\":{\"block\":7,\"difficulty\":11}",
        "\"shares\":{\"submitted\":41,\"unconfirmed_lost\":2,\"cpu_failed\":3,"
        "\"stale_dropped\":5,\"unsent_dropped\":4,\"pool_errors\":1}",
        "\"hashrate\":{\"now\":12345678.900,\"avg_60s\":2500.000,\"avg_15m\":950.500}",
        "{\"id\":1,\"name\":\"Card \\\"A\\\"\",\"pci_bus_id\":\"00000000:41:00.0\","
        "\"hashrate\":12000000.000,\"solutions\":30,\"lost_solutions\":6,\"temperature_c\":61.000,"
        "\"power_w\":215.500,\"fan_pct\":40.000,\"state\":\"paused\",\"state_reason\":\"too hot\","
        "\"intensity\":80}",
        "{\"id\":0,\"name\":\"Software device\",\"pci_bus_id\":null,\"hashrate\":345678.900,"
        "\"solutions\":11,\"lost_solutions\":0,\"temperature_c\":null,\"power_w\":null,\"fan_pct\":"
        "null,"
        "\"state\":\"mining\",\"state_reason\":null,\"intensity\":100}"}) {
    EXPECT_NE(body.find(field), std::string::npos) << field << "\n" << body;
  }
}

TEST_F(Api, OtherPathsAndMethodsGetJsonErrorsAndThePageIsSelfContained) {
  Start();
  const std::string missing = Get(port_, "/api/v2/summary");
  EXPECT_EQ(Status(missing), 404) << missing;
  EXPECT_EQ(Body(missing), "{\"error\":\"not found\"}");
  EXPECT_EQ(Status(Exchange(port_,
                            "POST /api/v1/summary HTTP/1.1\r\nHost: localhost\r\n"
                            "Content-Length: 0\r\n\r\n")),
            405);
  const std::string page = Get(port_, "/");
  ASSERT_EQ(Status(page), 200);
  EXPECT_NE(page.find("Content-Type: text/html"), std::string::npos);
  // Nothing fetched from elsewhere: no external scripts, styles, fonts or images.
  EXPECT_FALSE(std::regex_search(Body(page), std::regex("(src|href)=|@import|url\\(|https?://")))
      << Body(page);
}

TEST_F(Api, TokenIsRequiredWhenSet) {
  Kest::ApiServer::Options o;
  o.token = "s3cret";
  Start(o);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary")), 401);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "Authorization: Bearer s3cre\r\n")), 401);
  EXPECT_EQ(Status(Get(port_, "/")), 200);  // the page holds nothing: it asks for the token
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "Authorization: Bearer s3cret\r\n")), 200);
  // The scheme in any case, then one or more spaces; nothing else.
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "authorization: bearer s3cret\r\n")), 200);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "Authorization: BEARER  s3cret\r\n")), 200);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "Authorization: Basic s3cret\r\n")), 401);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "Authorization: Bearers3cret\r\n")), 401);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "Authorization: s3cret\r\n")), 401);
}

// Only names of this server are answered: a page that re-points a name of its own at the
// loopback address (DNS rebinding) sends that name and gets a 421.
TEST_F(Api, HostHeaderMustNameThisServer) {
  testing::internal::CaptureStdout();
  Start();                                                // 127.0.0.1
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // loopback: no warning
  const std::string port = std::to_string(port_);
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof(name) - 1), 0);
  for (const std::string& host : std::vector<std::string>{
           "127.0.0.1", "127.0.0.1:" + port, "LocalHost", "localhost:" + port, std::string(name)}) {
    EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "", host)), 200) << host;
  }
  for (const std::string& host :
       std::vector<std::string>{"attacker.example", "attacker.example:" + port, "127.0.0.1:1",
                                "127.0.0.2", "", "127.0.0.1:"}) {
    const std::string res = Get(port_, "/api/v1/summary", "", host);
    EXPECT_EQ(Status(res), 421) << host;
    EXPECT_EQ(Body(res), "{\"error\":\"unknown host name\"}") << host;
  }
  EXPECT_EQ(Status(Exchange(port_, "GET / HTTP/1.0\r\n\r\n")), 421);  // no Host at all

  // Bound to every address: any IP address names it, other names still do not; and without
  // a token it says once that anyone can read it.
  server_.reset();
  Kest::ApiServer::Options o;
  o.host = "0.0.0.0";
  testing::internal::CaptureStdout();
  Start(o);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Warning: the API on http://0.0.0.0:", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "", "192.0.2.7:" + std::to_string(port_))), 200);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "", "[2001:db8::1]")), 200);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary", "", "attacker.example")), 421);
  server_.reset();
  o.token = "t";
  testing::internal::CaptureStdout();
  Start(o);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Malformed and oversized requests get a 4xx; slow clients are cut off at the time limit; extra
// connections are closed at once. The server answers normally afterwards.
TEST_F(Api, BadSlowAndExcessClientsGetA4xxOrAClosedConnection) {
  Kest::ApiServer::Options o;
  o.max_connections = 4;
  o.time_limit = milliseconds(500);
  Start(o);
  EXPECT_EQ(Status(Exchange(port_, "THIS IS NOT HTTP\r\n\r\n")), 400);
  EXPECT_EQ(Status(Get(port_, "/", "X-Big: " + std::string(20000, 'a') + "\r\n")), 431);

  // Four idle connections fill the server; a fifth is closed without an answer.
  std::vector<int> idle;
  for (int i = 0; i < 4; ++i) idle.push_back(Connect("127.0.0.1", port_));
  std::this_thread::sleep_for(milliseconds(100));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(port_, "/api/v1/summary"), "");
  // The idle ones (one sent half a request line) are closed at the time limit.
  send(idle[0], "GET /api/v1/su", 14, MSG_NOSIGNAL);
  for (int fd : idle) {
    EXPECT_EQ(ReadAll(fd), "");
    close(fd);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(3000));
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary")), 200);
}

// CPU time this process has used.
milliseconds CpuTime() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const auto us = [](const timeval& t) { return t.tv_sec * 1000000LL + t.tv_usec; };
  return milliseconds((us(u.ru_utime) + us(u.ru_stime)) / 1000);
}

// With every file descriptor in use the server cannot accept: it waits and tries again instead
// of retrying at once for ever, and answers the waiting client once descriptors are free.
TEST_F(Api, OutOfFileDescriptorsDoesNotSpinTheServer) {
  Start();
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(client, 0);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(client) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);  // every free number below the limit
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  const std::string req = "GET /api/v1/summary HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  send(client, req.data(), req.size(), MSG_NOSIGNAL);

  const milliseconds cpu0 = CpuTime();
  std::this_thread::sleep_for(milliseconds(1500));
  const milliseconds used = CpuTime() - cpu0;
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  // A server retrying at once burns a core all this time; one that waits uses next to nothing.
  EXPECT_LT(used, milliseconds(150));
  timeval tv{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  EXPECT_EQ(Status(ReadAll(client)), 200);
  close(client);
}

TEST_F(Api, BindsOnlyTheGivenAddress) {
  Start();  // 127.0.0.1, a free port
  EXPECT_EQ(server_->Url(), "http://127.0.0.1:" + std::to_string(port_));
  const int other = Connect("127.0.0.2", port_);
  EXPECT_LT(other, 0) << "127.0.0.2 was accepted";
  if (other >= 0) close(other);
  const int same = Connect("127.0.0.1", port_);
  EXPECT_GE(same, 0);
  if (same >= 0) close(same);

  // An address in use is refused with a reason.
  Kest::ApiServer::Options o;
  o.port = port_;
  Kest::ApiServer second(o, [] { return Kest::ApiSummary{}; });
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_FALSE(error.empty());
}

// --- Remote control ---

std::string Post(uint16_t port, const std::string& path, const std::string& body = "",
                 const std::string& extra = "") {
  return Exchange(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra +
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

const std::string kAuth = "Authorization: Bearer t0ken\r\n";

// A rig behind the control endpoints: a device's worker takes a pause request up only a few
// summaries later, and the pool watcher makes a move at its next look unless it is not running.
struct FakeRig {
  static constexpr uint32_t kTemperature = 1;
  static constexpr uint32_t kRemote = 2;
  struct Device {
    uint32_t requests = 0;  // as asked
    uint32_t taken = 0;     // as the worker has taken them up
    int lag = 0;            // summaries until it does
  };
  std::mutex mutex;
  std::map<int32_t, Device> devices{{0, {}}, {1, {}}};
  int32_t pool_index = 0;
  int32_t wanted = -1;
  bool watcher = true;
  int calls = 0;  // control actions taken
  std::atomic<bool> quit{false};

  Kest::ApiSummary Summary() {
    std::lock_guard<std::mutex> lock(mutex);
    Kest::ApiSummary s = SampleSummary();
    for (Kest::ApiDevice& d : s.devices) {
      Device& f = devices[d.id];
      if (f.taken != f.requests && --f.lag <= 0) f.taken = f.requests;
      d.state = f.taken != 0 ? "paused" : "mining";
      d.state_reason = f.taken & kTemperature ? std::optional<std::string>("temperature")
                       : f.taken & kRemote    ? std::optional<std::string>("remote")
                                              : std::nullopt;
    }
    if (watcher && wanted >= 0) pool_index = std::exchange(wanted, -1);
    s.pool.index = pool_index;
    return s;
  }

  Kest::ApiControl Control() {
    Kest::ApiControl c;
    c.pause_device = [this](int32_t id, bool pause) {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      if (id != 0 && id != 1) return false;
      Device& d = devices[id];
      d.requests = pause ? d.requests | kRemote : d.requests & ~kRemote;
      d.lag = 3;
      return true;
    };
    c.switch_pool = [this](int64_t index) {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      if (index < 0 || index > 1) return "no pool " + std::to_string(index);
      wanted = static_cast<int32_t>(index);
      return std::string();
    };
    c.switch_made = [this] {
      std::lock_guard<std::mutex> lock(mutex);
      return wanted < 0;
    };
    c.quit = [this] { quit = true; };
    return c;
  }
};

class Control : public ::testing::Test {
 protected:
  void Start(std::optional<std::string> token) {
    Kest::ApiServer::Options o;
    o.token = std::move(token);
    o.time_limit = milliseconds(1000);  // a control answer waits half of it at most
    server_ = std::make_unique<Kest::ApiServer>(
        o, [this] { return rig_.Summary(); }, rig_.Control());
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    port_ = server_->Port();
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(rig_.mutex);
    return rig_.calls;
  }
  FakeRig rig_;
  std::unique_ptr<Kest::ApiServer> server_;
  uint16_t port_ = 0;
};

const std::vector<std::string> kControlPaths = {
    "/api/v1/devices/0/pause", "/api/v1/devices/0/resume", "/api/v1/pool/switch", "/api/v1/quit"};

TEST_F(Control, WithoutATokenEveryControlPathIsForbidden) {
  Start(std::nullopt);
  for (const std::string& path : kControlPaths) {
    for (const std::string& res :
         {Post(port_, path, "{\"index\":1}"), Get(port_, path), Post(port_, path, "", kAuth)}) {
      EXPECT_EQ(Status(res), 403) << path << "\n" << res;
      EXPECT_NE(Body(res).find("{\"error\":\"remote control is off"), std::string::npos) << res;
    }
  }
  EXPECT_EQ(Calls(), 0);
  EXPECT_FALSE(rig_.quit);
  EXPECT_EQ(Status(Get(port_, "/api/v1/summary")), 200);  // read-only as before
}

TEST_F(Control, PauseAndResumeAnswerTheDeviceOnceItsWorkerGotThere) {
  Start("t0ken");
  for (const std::string& path : kControlPaths) {
    EXPECT_EQ(Status(Post(port_, path)), 401) << path;
    EXPECT_EQ(Status(Post(port_, path, "", "Authorization: Bearer t0ke\r\n")), 401) << path;
    const std::string get = Get(port_, path, kAuth);
    EXPECT_EQ(Status(get), 405) << path;
    EXPECT_NE(get.find("Allow: POST"), std::string::npos) << get;
  }
  EXPECT_EQ(Status(Exchange(port_, "POST /api/v1/quit HTTP/1.1\r\nHost: attacker.example\r\n" +
                                       kAuth + "Content-Length: 0\r\n\r\n")),
            421);
  EXPECT_EQ(Calls(), 0);
  EXPECT_FALSE(rig_.quit);

  CaptureStdout();
  const std::string paused = Post(port_, "/api/v1/devices/1/pause", "", kAuth);
  const std::string out = GetCapturedStdout();
  ASSERT_EQ(Status(paused), 200) << paused;
  EXPECT_EQ(out, "API: device #1 paused by 127.0.0.1\n");
  // The device's object as the summary writes it, in the state the worker has taken up.
  EXPECT_EQ(Body(paused).rfind("{\"id\":1,\"name\":", 0), 0u) << paused;
  EXPECT_NE(Body(paused).find("\"state\":\"paused\",\"state_reason\":\"remote\","),
            std::string::npos)
      << paused;
  EXPECT_NE(Body(Get(port_, "/api/v1/summary", kAuth)).find(Body(paused)), std::string::npos);
  const std::string resumed = Post(port_, "/api/v1/devices/1/resume", "", kAuth);
  EXPECT_NE(Body(resumed).find("\"state\":\"mining\",\"state_reason\":null,"), std::string::npos)
      << resumed;

  // A card held for temperature stays held when the remote pause is taken back.
  {
    std::lock_guard<std::mutex> lock(rig_.mutex);
    rig_.devices[0].requests = rig_.devices[0].taken = FakeRig::kTemperature;
  }
  EXPECT_EQ(Status(Post(port_, "/api/v1/devices/0/pause", "", kAuth)), 200);
  const std::string held = Post(port_, "/api/v1/devices/0/resume", "", kAuth);
  EXPECT_EQ(Status(held), 200);
  EXPECT_NE(Body(held).find("\"state\":\"paused\",\"state_reason\":\"temperature\","),
            std::string::npos)
      << held;

  for (const char* id : {"x", "-1", "", "1234567890"}) {
    const std::string res = Post(port_, std::string("/api/v1/devices/") + id + "/pause", "", kAuth);
    EXPECT_EQ(Status(res), 400) << id;
    EXPECT_NE(Body(res).find("the device id must be a CUDA device number"), std::string::npos)
        << res;
  }
  const std::string unknown = Post(port_, "/api/v1/devices/7/pause", "", kAuth);
  EXPECT_EQ(Status(unknown), 404);
  EXPECT_EQ(Body(unknown), "{\"error\":\"no device #7\"}");
}

TEST_F(Control, PoolSwitchTakesExactlyOneIndexAndQuitAnswersFirst) {
  Start("t0ken");
  CaptureStdout();
  const std::string moved = Post(port_, "/api/v1/pool/switch", " { \"index\" : 1 }\n", kAuth);
  EXPECT_EQ(GetCapturedStdout(), "API: pool switch to #1 requested by 127.0.0.1\n");
  ASSERT_EQ(Status(moved), 200) << moved;
  EXPECT_EQ(Body(moved),
            "{\"url\":\"stratum+tcp://127.0.0.1:3333\",\"connected\":true,\"has_job\":true,"
            "\"usable\":false,\"tls\":false,\"switches\":2,\"index\":1}");

  const int calls = Calls();
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"[1]", "the body must be the JSON object {\\\"index\\\": N}"},
      {"{}", "the member \\\"index\\\" is missing"},
      {"{\"idx\":1}", "unknown member \\\"idx\\\""},
      {"{\"index\":1,\"index\":0}", "only one member is allowed"},
      {"{\"index\":1.5}", "\\\"index\\\" must be a whole number"},
      {"{\"index\":\"1\"}", "\\\"index\\\" must be a whole number"},
      {"{\"index\":12345678901}", "\\\"index\\\" is out of range"},
      {"{\"index\":1} {}", "nothing may follow the object"}};
  for (const auto& [body, problem] : bad) {
    const std::string res = Post(port_, "/api/v1/pool/switch", body, kAuth);
    EXPECT_EQ(Status(res), 400) << body;
    EXPECT_NE(Body(res).find(problem), std::string::npos) << body << "\n" << res;
  }
  EXPECT_EQ(Calls(), calls);  // none of those reached the pool
  const std::string outside = Post(port_, "/api/v1/pool/switch", "{\"index\":2}", kAuth);
  EXPECT_EQ(Status(outside), 400);
  EXPECT_EQ(Body(outside), "{\"error\":\"no pool 2\"}");
  const std::string chunked =
      Exchange(port_, "POST /api/v1/pool/switch HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kAuth +
                          "Transfer-Encoding: chunked\r\n\r\n"
                          "b\r\n{\"index\":0}\r\n0\r\n\r\n");
  EXPECT_EQ(Status(chunked), 411) << chunked;
  EXPECT_EQ(Status(Post(port_, "/api/v1/pool/switch", std::string(2000, ' '), kAuth)), 413);

  // A watcher that has not started yet: the answer says the move is still to come.
  {
    std::lock_guard<std::mutex> lock(rig_.mutex);
    rig_.watcher = false;
  }
  const std::string pending = Post(port_, "/api/v1/pool/switch", "{\"index\":0}", kAuth);
  EXPECT_EQ(Status(pending), 202) << pending;
  EXPECT_NE(Body(pending).find("\"index\":1}"), std::string::npos) << pending;

  CaptureStdout();
  const std::string quit = Post(port_, "/api/v1/quit", "", kAuth);
  EXPECT_EQ(GetCapturedStdout(), "API: quit requested by 127.0.0.1\n");
  EXPECT_EQ(Status(quit), 200);
  EXPECT_EQ(Body(quit), "{\"quitting\":true}");
  const auto end = std::chrono::steady_clock::now() + milliseconds(1000);
  while (!rig_.quit && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_TRUE(rig_.quit);
}

TEST(ApiBind, HostDefaultsToLoopbackAndPortIsChecked) {
  std::string host, error;
  uint16_t port = 1;
  ASSERT_TRUE(Kest::ParseApiBind("0", &host, &port, &error));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 0);
  ASSERT_TRUE(Kest::ParseApiBind("0.0.0.0:4028", &host, &port, &error));
  EXPECT_EQ(host, "0.0.0.0");
  EXPECT_EQ(port, 4028);
  ASSERT_TRUE(Kest::ParseApiBind("[::1]:80", &host, &port, &error));
  EXPECT_EQ(host, "::1");
  for (const char* bad : {"", "65536", "host:", ":80", "a:b", "::1:80", "[::1]80", "12345678"}) {
    EXPECT_FALSE(Kest::ParseApiBind(bad, &host, &port, &error)) << bad;
  }
  // A NUL inside the brackets: the address text ends there for the system, not for the parser.
  EXPECT_FALSE(Kest::ParseApiBind(std::string("[::1\0]:4028", 11), &host, &port, &error));
}

// The page in a real browser: headless Chromium loads it from the server, runs its script and
// the rendered document shows the numbers of the JSON.
TEST_F(Api, DashboardShowsTheSummaryInAHeadlessBrowser) {
  const char* candidates[] = {"chromium", "chromium-browser", "google-chrome"};
  std::string browser;
  for (const char* c : candidates) {
    if (std::system((std::string("command -v ") + c + " >/dev/null 2>&1").c_str()) == 0) {
      browser = c;
      break;
    }
  }
  if (browser.empty()) GTEST_SKIP() << "no Chromium installed (Debian package chromium)";
  Start();
  const std::string cmd = browser +
                          " --headless --no-sandbox --disable-gpu --no-first-run"
                          " --virtual-time-budget=5000 --dump-dom " +
                          server_->Url() + "/ 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string dom;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) dom.append(buf, n);
  pclose(p);
  auto shown = [&dom](const std::string& id) {
    std::smatch m;
    if (!std::regex_search(dom, m, std::regex("id=\"" + id + "\"[^>]*>([^<]*)<")))
      return std::string("?");
    return std::string(m[1]);
  };
  EXPECT_EQ(shown("hr-now"), "12.35 MH/s") << dom;
  EXPECT_NE(dom.find("data-value=\"12345678.9\""), std::string::npos);
  EXPECT_EQ(shown("hr-60s"), "2.50 kH/s");
  EXPECT_EQ(shown("hr-15m"), "950.5 H/s");
  EXPECT_EQ(shown("sh-submitted"), "41");
  EXPECT_EQ(shown("sh-unconfirmed"), "2");
  EXPECT_EQ(shown("sh-unsent"), "4");
  EXPECT_EQ(shown("sh-cpu-failed"), "3");
  EXPECT_EQ(shown("sh-stale"), "5");
  EXPECT_EQ(shown("sh-pool-errors"), "1");
  EXPECT_EQ(shown("job-block"), "7");
  EXPECT_EQ(shown("pool-url"), "stratum+tcp://127.0.0.1:3333");
  // Per device: rate and solutions; health figures, or n/a where unknown.
  EXPECT_TRUE(std::regex_search(dom, std::regex("<tr id=\"dev-1\"><td>#1</td><td>Card \"A\"</td>"
                                                "<td>paused \\(too hot\\)</td>"
                                                "<td>00000000:41:00.0</td><td[^>]*>12.00 MH/s</td>"
                                                "<td>30</td><td>61 °C</td><td>215.5 W</td>"
                                                "<td>40 %</td></tr>")))
      << dom;
  EXPECT_TRUE(std::regex_search(
      dom, std::regex("<tr id=\"dev-0\">.*<td>mining</td><td>n/a</td><td[^>]*>345.68 "
                      "kH/s</td><td>11</td><td>n/a</td>")))
      << dom;
  // The chart has its first point.
  EXPECT_TRUE(std::regex_search(
      dom, std::regex("id=\"chart-line\"[^>]*points=\"[0-9.]+,[0-9.]+( [0-9.]+,[0-9.]+)*\"")))
      << dom;
}

}  // namespace
