#include "tools/testpool/tls_front.h"

#include <boost/asio/ssl.hpp>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <stdexcept>
#include <utility>

namespace testpool {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;
using TlsStream = asio::ssl::stream<tcp::socket>;

constexpr long kValiditySeconds = 30L * 24 * 3600;
constexpr std::size_t kRelayChunk = 16 * 1024;

std::string Fingerprint(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (cert == nullptr || X509_digest(cert, EVP_sha256(), digest, &size) != 1) return {};
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    if (i) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("cannot make the TLS certificate: ") + what);
}

// A fresh P-256 key and a self-signed certificate for 127.0.0.1 and localhost, installed in
// `context`. Returns the certificate's fingerprint.
std::string InstallSelfSigned(asio::ssl::context& context) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  Check(key != nullptr, "key generation");
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("plo-testpool"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  Check(san != nullptr, "subjectAltName");
  X509_add_ext(cert.get(), san, -1);
  X509_EXTENSION_free(san);
  Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");
  Check(SSL_CTX_use_certificate(context.native_handle(), cert.get()) == 1, "install certificate");
  Check(SSL_CTX_use_PrivateKey(context.native_handle(), key.get()) == 1, "install key");
  return Fingerprint(cert.get());
}

// One relayed connection: the TLS side from the miner, the plain side to the pool.
class Relay : public std::enable_shared_from_this<Relay> {
 public:
  Relay(tcp::socket socket, asio::ssl::context& context, uint16_t backend_port)
      : tls_(std::move(socket), context),
        plain_(tls_.get_executor()),
        backend_port_(backend_port) {}

  void Start() {
    auto self = shared_from_this();
    tls_.async_handshake(asio::ssl::stream_base::server, [this, self](const ErrorCode& ec) {
      if (ec) return Close();
      // The pool sees the connection only once the client has accepted the certificate.
      plain_.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), backend_port_),
                           [this, self](const ErrorCode& error) {
                             if (error) return Close();
                             PumpFromTls();
                             PumpFromPool();
                           });
    });
  }

 private:
  void PumpFromTls() {
    auto self = shared_from_this();
    tls_.async_read_some(asio::buffer(up_), [this, self](const ErrorCode& ec, std::size_t n) {
      if (ec) return Close();
      asio::async_write(plain_, asio::buffer(up_.data(), n),
                        [this, self](const ErrorCode& error, std::size_t) {
                          if (error) return Close();
                          PumpFromTls();
                        });
    });
  }

  void PumpFromPool() {
    auto self = shared_from_this();
    plain_.async_read_some(asio::buffer(down_), [this, self](const ErrorCode& ec, std::size_t n) {
      if (ec) return Close();
      asio::async_write(tls_, asio::buffer(down_.data(), n),
                        [this, self](const ErrorCode& error, std::size_t) {
                          if (error) return Close();
                          PumpFromPool();
                        });
    });
  }

  void Close() {
    ErrorCode ignored;
    tls_.lowest_layer().close(ignored);
    plain_.close(ignored);
  }

  TlsStream tls_;
  tcp::socket plain_;
  const uint16_t backend_port_;
  std::array<char, kRelayChunk> up_{};
  std::array<char, kRelayChunk> down_{};
};

}  // namespace

struct TlsFront::Impl {
  explicit Impl(asio::io_context& io, uint16_t backend)
      : context(asio::ssl::context::tls_server), acceptor(io), backend_port(backend) {}

  void Listen(uint16_t port) {
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
  }

  void Accept() {
    acceptor.async_accept([this](const ErrorCode& ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (!ec) std::make_shared<Relay>(std::move(socket), context, backend_port)->Start();
      Accept();
    });
  }

  asio::ssl::context context;
  tcp::acceptor acceptor;
  const uint16_t backend_port;
};

TlsFront::TlsFront(asio::io_context& io, uint16_t port, uint16_t backend_port)
    : impl_(std::make_unique<Impl>(io, backend_port)) {
  fingerprint_ = InstallSelfSigned(impl_->context);
  impl_->Listen(port);
  port_ = impl_->acceptor.local_endpoint().port();
}

TlsFront::TlsFront(asio::io_context& io, uint16_t port, uint16_t backend_port,
                   const std::string& cert_file, const std::string& key_file)
    : impl_(std::make_unique<Impl>(io, backend_port)) {
  try {
    impl_->context.use_certificate_chain_file(cert_file);
    impl_->context.use_private_key_file(key_file, asio::ssl::context::pem);
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot use " + cert_file + " and " + key_file + ": " + e.what());
  }
  fingerprint_ = Fingerprint(SSL_CTX_get0_certificate(impl_->context.native_handle()));
  impl_->Listen(port);
  port_ = impl_->acceptor.local_endpoint().port();
}

TlsFront::~TlsFront() = default;

void TlsFront::Start() {
  impl_->Accept();
}

}  // namespace testpool
