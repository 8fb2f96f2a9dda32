#include "app/pool_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstddef>

#include "app/utils.h"

namespace Kest {

namespace {

constexpr std::size_t kPinBytes = 32;  // SHA-256
constexpr std::size_t kMaxQuoted = 200;
constexpr unsigned long kMaxPort = 65535;

bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

bool IsIpv6(const std::string& text) {
  in6_addr a;
  // inet_pton reads up to the first NUL: text with one inside is not an address.
  return text.find('\0') == std::string::npos && inet_pton(AF_INET6, text.c_str(), &a) == 1;
}

// Digits only, at most five, within [min, kMaxPort].
bool ReadPort(const std::string& text, unsigned long min, uint16_t* port) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(),
                   [](unsigned char c) { return std::isdigit(c) != 0; })) {
    return false;
  }
  const unsigned long value = std::stoul(text);
  if (value < min || value > kMaxPort) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// HOST or [IPV6], then an optional ":PORT" (`port_text` is empty without one). False when the
// host is neither a name nor an address.
bool SplitHostPort(const std::string& authority, std::string* host, std::string* port_text,
                   bool* has_port) {
  std::string rest;
  if (!authority.empty() && authority[0] == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) return false;
    *host = authority.substr(1, close - 1);
    if (!IsIpv6(*host)) return false;
    rest = authority.substr(close + 1);
  } else {
    const auto colon = authority.find(':');
    *host = authority.substr(0, colon);
    if (host->empty() || !std::all_of(host->begin(), host->end(), NameChar)) return false;
    rest = colon == std::string::npos ? std::string() : authority.substr(colon);
  }
  *has_port = !rest.empty();
  if (*has_port && rest[0] != ':') return false;
  *port_text = *has_port ? rest.substr(1) : std::string();
  return true;
}

// Hex digits (colons between them allowed) to bytes; false unless exactly kPinBytes.
bool ReadPin(const std::string& text, std::string* pin) {
  std::string hex;
  for (char c : text) {
    if (c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    hex += c;
  }
  if (hex.size() != kPinBytes * 2) return false;
  pin->clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    pin->push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return true;
}

}  // namespace

bool ParsePoolAddress(const std::string& text, PoolAddress* out, std::string* error) {
  const std::string quoted = "'" + Printable(text.substr(0, kMaxQuoted)) + "'";
  auto fail = [&](const std::string& why) {
    *error = "pool address " + quoted + ": " + why;
    return false;
  };
  const bool printable =
      std::all_of(text.begin(), text.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
  if (text.empty() || !printable) return fail("empty, or has spaces or control characters");
  const auto scheme_end = text.find("://");
  if (scheme_end == std::string::npos) {
    return fail("no scheme; write stratum+tcp://HOST:PORT, stratum+tls://HOST:PORT or http://...");
  }
  const std::string scheme = ToLower(text.substr(0, scheme_end));
  PoolAddress a;
  if (scheme == "stratum+tcp") {
    a.kind = PoolAddress::Kind::kStratumTcp;
  } else if (scheme == "stratum+ssl" || scheme == "stratum+tls") {
    a.kind = PoolAddress::Kind::kStratumTls;
    a.tls = true;
  } else if (scheme == "http" || scheme == "https") {
    a.kind = PoolAddress::Kind::kHttp;
    a.tls = scheme == "https";
  } else {
    return fail("unknown scheme '" + Printable(scheme.substr(0, kMaxQuoted)) +
                "' (stratum+tcp, stratum+ssl, stratum+tls, http or https)");
  }
  std::string rest = text.substr(scheme_end + 3);
  const auto hash = rest.find('#');
  if (hash != std::string::npos) {
    if (a.kind != PoolAddress::Kind::kStratumTls) {
      return fail("a certificate pin after '#' needs stratum+tls:// or stratum+ssl://");
    }
    if (!ReadPin(rest.substr(hash + 1), &a.pin)) {
      return fail("the certificate pin after '#' must be 64 hex digits (SHA-256, colons allowed)");
    }
    rest.erase(hash);
  }
  std::string authority = rest;
  if (a.kind == PoolAddress::Kind::kHttp) {
    authority = rest.substr(0, rest.find_first_of("/?"));
    const auto at = authority.rfind('@');  // a user part is not used
    if (at != std::string::npos) authority.erase(0, at + 1);
  } else if (rest.find_first_of("/?@") != std::string::npos) {
    return fail("a Stratum address is HOST:PORT, with nothing after the port");
  }
  std::string port_text;
  bool has_port = false;
  if (!SplitHostPort(authority, &a.host, &port_text, &has_port)) {
    return fail("no usable host (a name, an IPv4 address or an IPv6 address in brackets)");
  }
  if (a.kind == PoolAddress::Kind::kHttp && !has_port) {
    a.port = a.tls ? 443 : 80;
  } else if (!ReadPort(port_text, 1, &a.port)) {
    return fail(has_port ? "the port must be a number from 1 to 65535" : "no port (HOST:PORT)");
  }
  *out = std::move(a);
  return true;
}

bool ParseApiBind(const std::string& text, std::string* host, uint16_t* port, std::string* error) {
  std::string h = "127.0.0.1";
  std::string p = text;
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "expected [IPV6]:PORT";
      return false;
    }
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
    if (!IsIpv6(h)) {
      *error = "not an IPv6 address in the brackets";
      return false;
    }
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
    if (h.find(':') != std::string::npos) {
      *error = "an IPv6 address goes in brackets: [ADDRESS]:PORT";
      return false;
    }
    if (h.empty() || !std::all_of(h.begin(), h.end(), NameChar)) {
      *error = "no usable host (a name or an address)";
      return false;
    }
  }
  uint16_t value = 0;
  if (!ReadPort(p, 0, &value)) {
    *error = "the port must be a number from 0 (a free port) to 65535";
    return false;
  }
  *host = h;
  *port = value;
  return true;
}

}  // namespace Kest
