// libFuzzer target: the pool-address and bind-address parsers that check the command line and
// config.txt before anything starts and that the pool clients connect with. Besides crashes and
// sanitizer reports it checks that an accepted address is one a client can use (a host, a port,
// a pin of 32 bytes on TLS Stratum only) and that writing it back in plain form parses to the
// same address, and aborts when that fails.
#include "app/pool_address.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

bool HostUsable(const std::string& host) {
  if (host.empty()) return false;
  for (const char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f || c == '/' || c == '#' || c == '@' || c == '[' || c == ']') {
      return false;
    }
  }
  return true;
}

std::string HostText(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    text += kDigits[u >> 4];
    text += kDigits[u & 0xF];
  }
  return text;
}

// The address in plain form: lower-case scheme, host, explicit port, pin as hex.
std::string Plain(const Kest::PoolAddress& a) {
  std::string scheme;
  switch (a.kind) {
    case Kest::PoolAddress::Kind::kStratumTcp:
      scheme = "stratum+tcp://";
      break;
    case Kest::PoolAddress::Kind::kStratumTls:
      scheme = "stratum+tls://";
      break;
    case Kest::PoolAddress::Kind::kHttp:
      scheme = a.tls ? "https://" : "http://";
      break;
  }
  std::string text = scheme + HostText(a.host) + ":" + std::to_string(a.port);
  if (!a.pin.empty()) text += "#" + Hex(a.pin);
  return text;
}

void CheckPoolAddress(const std::string& text) {
  Kest::PoolAddress a;
  std::string error;
  if (!Kest::ParsePoolAddress(text, &a, &error)) {
    Require(!error.empty(), "a refused pool address says why");
    for (const char c : error) {
      const auto u = static_cast<unsigned char>(c);
      Require(u >= 0x20 && u != 0x7f, "the refusal carries no control characters");
    }
    return;
  }
  Require(HostUsable(a.host), "an accepted pool address has a usable host");
  Require(a.port != 0, "an accepted pool address has a port");
  Require(a.pin.empty() || a.pin.size() == 32, "a pin is a SHA-256");
  Require(a.pin.empty() || a.kind == Kest::PoolAddress::Kind::kStratumTls,
          "only TLS Stratum addresses carry a pin");
  Require(a.tls == (a.kind == Kest::PoolAddress::Kind::kStratumTls) ||
              a.kind == Kest::PoolAddress::Kind::kHttp,
          "TLS Stratum and only it is tls among the Stratum kinds");

  Kest::PoolAddress again;
  Require(Kest::ParsePoolAddress(Plain(a), &again, &error), "the plain form parses");
  Require(again.kind == a.kind && again.tls == a.tls && again.host == a.host &&
              again.port == a.port && again.pin == a.pin,
          "the plain form is the same address");
}

void CheckApiBind(const std::string& text) {
  std::string host;
  uint16_t port = 0;
  std::string error;
  if (!Kest::ParseApiBind(text, &host, &port, &error)) {
    Require(!error.empty(), "a refused bind address says why");
    return;
  }
  Require(HostUsable(host), "an accepted bind address has a usable host");
  std::string host_again;
  uint16_t port_again = 0;
  Require(Kest::ParseApiBind(HostText(host) + ":" + std::to_string(port), &host_again, &port_again,
                             &error),
          "the plain bind form parses");
  Require(host_again == host && port_again == port, "the plain bind form is the same address");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckPoolAddress(text);
  CheckApiBind(text);
  return 0;
}
