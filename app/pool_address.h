// Addresses given on the command line and in config.txt, taken apart once: the pool addresses
// of every client and the monitoring interface's bind address. One parser per kind of value,
// used both to refuse a bad value before anything starts and by the code that connects.
#pragma once

#include <cstdint>
#include <string>

namespace Kest {

struct PoolAddress {
  enum class Kind { kStratumTcp, kStratumTls, kHttp };
  Kind kind = Kind::kStratumTcp;
  bool tls = false;   // stratum+ssl/stratum+tls, or https
  std::string host;   // a name or an IP address (an IPv6 address without its brackets)
  uint16_t port = 0;  // for http(s) the scheme's default unless the address names one
  std::string pin;    // SHA-256 of the server certificate: 32 raw bytes, or empty
};

// Reads one pool address:
//   stratum+tcp://HOST:PORT
//   stratum+ssl://HOST:PORT[#PIN] or stratum+tls://HOST:PORT[#PIN]  (PIN: 64 hex digits, colons
//                                                                   allowed)
//   http://HOST[:PORT][/PATH] or https://HOST[:PORT][/PATH]         (the getwork client)
// Schemes in any case; HOST a name, an IPv4 address or an IPv6 address in brackets; PORT from 1
// to 65535. False, with one line (no line feed) naming the address in *error, for anything else.
bool ParsePoolAddress(const std::string& text, PoolAddress* out, std::string* error);

// Splits "[HOST:]PORT" (an IPv6 HOST in brackets, "[::1]:8080"); HOST defaults to 127.0.0.1,
// PORT 0 asks for a free port. False with a reason in *error for anything else.
bool ParseApiBind(const std::string& text, std::string* host, uint16_t* port, std::string* error);

}  // namespace Kest
