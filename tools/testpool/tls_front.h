// TLS in front of a plain test pool: accepts TLS connections on 127.0.0.1 and relays the bytes
// of each one, after its handshake, to a new TCP connection to the pool behind it. The server
// certificate is generated at start (self-signed, for 127.0.0.1 and localhost) or read from
// PEM files. The OpenSSL headers stay out of this header: their SHA256_CTX would clash with
// the proof of work's.
#pragma once

#include <boost/asio.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace testpool {

class TlsFront {
 public:
  // Generates a self-signed certificate. Throws std::runtime_error when OpenSSL fails.
  TlsFront(boost::asio::io_context& io, uint16_t port, uint16_t backend_port);
  // Serves the certificate chain and key of the two PEM files. Throws std::runtime_error when
  // they cannot be used.
  TlsFront(boost::asio::io_context& io, uint16_t port, uint16_t backend_port,
           const std::string& cert_file, const std::string& key_file);

  ~TlsFront();

  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  uint16_t port() const { return port_; }
  // SHA-256 of the served certificate (DER) as 64 hex digits in pairs with colons, the form
  // openssl's fingerprint option prints.
  const std::string& fingerprint() const { return fingerprint_; }

  // Starts accepting on the io_context given at construction.
  void Start();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::string fingerprint_;
};

}  // namespace testpool
