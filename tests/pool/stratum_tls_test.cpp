// Stratum over TLS against a real TLS server on 127.0.0.1: the test pool's TLS front (a
// certificate generated at start) relaying to the scriptable plain pool, which records every
// line that gets through.
#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <memory>
#include <string>
#include <thread>

#include "app/utils.h"
#include "pool/pool_api.h"
#include "pool/stratum.h"
#include "tests/pool/stratum_test_support.h"
#include "tools/testpool/tls_front.h"

namespace {

using stratum_test::Millis;
using stratum_test::StdoutCapture;
using stratum_test::TestPool;
using stratum_test::WaitUntil;

const Millis kShort{5000};

std::string JobText() {
  uint8_t bytes[Kest::kTrailerSize];
  for (std::size_t i = 0; i < sizeof(bytes); ++i) bytes[i] = static_cast<uint8_t>(3 * i + 1);
  return base64_encode(bytes, sizeof(bytes));
}

// The plain pool behind a TLS front served by a thread of its own.
struct TlsPool {
  TlsPool() : front(io, 0, plain.port()) {
    plain.SetSubscribeReply(stratum_test::JobLine(JobText(), 4, 2));
    front.Start();
    thread = std::thread([this] { io.run(); });
  }
  ~TlsPool() {
    io.stop();
    thread.join();
  }
  std::string Address(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(front.port());
  }

  boost::asio::io_context io;
  TestPool plain;
  testpool::TlsFront front;
  std::thread thread;
};

TEST(StratumTls, PinnedCertificateIsTrustedAndMinedWith) {
  TlsPool pool;
  std::atomic<bool> exit{false};
  // The fingerprint as openssl prints it, colons and all.
  const std::string url = pool.Address("stratum+ssl") + "#" + pool.front.fingerprint();
  Kest::PoolApi api("0xtls-key", "pw", exit, {url});
  StdoutCapture out;
  ASSERT_TRUE(api.Initilize()) << out.Text();
  EXPECT_TRUE(api.IsTls());
  EXPECT_TRUE(api.IsStratum());
  auto w = std::make_unique<work>();
  api.GetJob(*w);
  EXPECT_EQ(std::string(w->text, static_cast<std::size_t>(w->text_len)), JobText());
  const auto lines = pool.plain.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].text.find("0xtls-key"), std::string::npos);
}

TEST(StratumTls, UnverifiedServersNeverSeeTheKey) {
  TlsPool pool;
  const std::string seen = "its certificate's SHA-256 is " + pool.front.fingerprint() + "\n";
  struct Case {
    std::string scheme;
    std::string pin;
    std::string what;
  };
  const Case cases[] = {
      {"stratum+ssl", std::string(32, '\xab'), "certificate does not match the pinned SHA-256"},
      {"stratum+tls", "", "self-signed certificate"},  // no pin: the system CA store decides
  };
  for (const auto& c : cases) {
    StdoutCapture out;
    JorlStratum::Settings settings;
    settings.tls = true;
    settings.pin = c.pin;
    settings.label = pool.Address(c.scheme);
    JorlStratum client("0xtls-key", "pw", "127.0.0.1", std::to_string(pool.front.port()).c_str(),
                       nullptr, settings);
    const std::string line = "TLS check of " + settings.label + " failed: " + c.what + "; " + seen;
    EXPECT_TRUE(out.WaitFor(line, kShort)) << out.Text();
    std::this_thread::sleep_for(Millis(1500));  // a retry goes the same way
    EXPECT_FALSE(client.IsUsable());
    EXPECT_NE(client.Problem().find(c.what), std::string::npos) << client.Problem();
    EXPECT_EQ(stratum_test::Count(out.Text(), "TLS check of "), 1u) << out.Text();
  }
  EXPECT_TRUE(pool.plain.lines().empty());
}

}  // namespace
