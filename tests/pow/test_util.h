// Helpers shared by the proof-of-work tests: hex conversion and OpenSSL reference digests.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/params.h>

namespace powtest {

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

inline std::string Hex(const std::vector<uint8_t>& v) {
  return Hex(v.data(), v.size());
}

inline std::vector<uint8_t> Unhex(const std::string& s) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

// The pattern the boundary vectors were computed over: byte i = 7i + 3 (mod 256).
inline std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

inline std::vector<uint8_t> Random(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// OpenSSL digest by name ("SHA256", "SHA1", "MD5", "SHA3-256", ...).
inline std::vector<uint8_t> OsslDigest(const char* name, const std::vector<uint8_t>& msg) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EVP_Digest(msg.data(), msg.size(), out.data(), &n, md, nullptr);
  EVP_MD_free(md);
  out.resize(n);
  return out;
}

// OpenSSL keyed BLAKE2b (RFC 7693 keyed mode) with an `outlen`-byte digest.
inline std::vector<uint8_t> OsslBlake2bMac(const std::vector<uint8_t>& key,
                                           const std::vector<uint8_t>& msg, size_t outlen) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "BLAKE2BMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t("size", &outlen), OSSL_PARAM_construct_end()};
  EVP_MAC_init(ctx, key.data(), key.size(), params);
  EVP_MAC_update(ctx, msg.data(), msg.size());
  std::vector<uint8_t> out(outlen);
  size_t n = 0;
  EVP_MAC_final(ctx, out.data(), &n, out.size());
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  out.resize(n);
  return out;
}

}  // namespace powtest
