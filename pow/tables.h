// Constant tables of the hash families, written once as macro lists so that the host arrays
// below and the device module's __constant__ copies (see pow/hd.h) hold the same values.
// The algorithm headers reach the tables only through the KEST_* accessor macros at the end,
// which pick the device symbols in device code and the host arrays elsewhere.
#pragma once

#include <cstdint>

#include "pow/hd.h"

// SHA-256 round constants (FIPS 180-4, 4.2.2).
#define KEST_SHA256_K_VALUES                                                                     \
  0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u,     \
      0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, \
      0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, \
      0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, \
      0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, \
      0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu, \
      0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u, 0x19a4c116u, \
      0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u, \
      0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, \
      0xc67178f2u

// MD2 substitution table built from the digits of pi (RFC 1319, 3.2).
#define KEST_MD2_S_VALUES                                                                          \
  41, 46, 67, 201, 162, 216, 124, 1, 61, 54, 84, 161, 236, 240, 6, 19, 98, 167, 5, 243, 192, 199,  \
      115, 140, 152, 147, 43, 217, 188, 76, 130, 202, 30, 155, 87, 60, 253, 212, 224, 22, 103, 66, \
      111, 24, 138, 23, 229, 18, 190, 78, 196, 214, 218, 158, 222, 73, 160, 251, 245, 142, 187,    \
      47, 238, 122, 169, 104, 121, 145, 21, 178, 7, 63, 148, 194, 16, 137, 11, 34, 95, 33, 128,    \
      127, 93, 154, 90, 144, 50, 39, 53, 62, 204, 231, 191, 247, 151, 3, 255, 25, 48, 179, 72,     \
      165, 181, 209, 215, 94, 146, 42, 172, 86, 170, 198, 79, 184, 56, 210, 150, 164, 125, 182,    \
      118, 252, 107, 226, 156, 116, 4, 241, 69, 157, 112, 89, 100, 113, 135, 32, 134, 91, 207,     \
      101, 230, 45, 168, 2, 27, 96, 37, 173, 174, 176, 185, 246, 28, 70, 97, 105, 52, 64, 126, 15, \
      85, 71, 163, 35, 221, 81, 175, 58, 195, 92, 249, 206, 186, 197, 234, 38, 44, 83, 13, 110,    \
      133, 40, 132, 9, 211, 223, 205, 244, 65, 129, 77, 82, 106, 220, 55, 200, 108, 193, 171, 250, \
      36, 225, 123, 8, 12, 189, 177, 74, 120, 136, 149, 139, 227, 99, 232, 109, 233, 203, 213,     \
      254, 59, 0, 29, 57, 242, 239, 183, 14, 102, 88, 208, 228, 166, 119, 114, 248, 235, 117, 75,  \
      10, 49, 68, 80, 180, 143, 237, 31, 26, 219, 153, 141, 51, 159, 17, 131, 20

// BLAKE2b initialisation vector (RFC 7693, 2.6).
#define KEST_BLAKE2B_IV_VALUES                                                                \
  0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull, \
      0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull

// BLAKE2b message schedule, 12 rounds of 16 (RFC 7693, 2.7; rounds 10 and 11 repeat 0 and 1).
#define KEST_BLAKE2B_SIGMA_VALUES                               \
  {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},       \
      {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},   \
      {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},   \
      {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},   \
      {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},   \
      {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},   \
      {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},   \
      {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},   \
      {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},   \
      {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},   \
      {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, { \
    14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3        \
  }

// Keccak-f[1600] round constants (FIPS 202, 3.2.5).
#define KEST_KECCAK_RC_VALUES                                                                     \
  0x0000000000000001ull, 0x0000000000008082ull, 0x800000000000808aull, 0x8000000080008000ull,     \
      0x000000000000808bull, 0x0000000080000001ull, 0x8000000080008081ull, 0x8000000000008009ull, \
      0x000000000000008aull, 0x0000000000000088ull, 0x0000000080008009ull, 0x000000008000000aull, \
      0x000000008000808bull, 0x800000000000008bull, 0x8000000000008089ull, 0x8000000000008003ull, \
      0x8000000000008002ull, 0x8000000000000080ull, 0x000000000000800aull, 0x800000008000000aull, \
      0x8000000080008081ull, 0x8000000000008080ull, 0x0000000080000001ull, 0x8000000080008008ull

namespace kest_pow {

constexpr int kSha256Rounds = 64;
constexpr int kMd2TableSize = 256;
constexpr int kBlake2bIvWords = 8;
constexpr int kBlake2bRounds = 12;
constexpr int kBlake2bBlockWords = 16;
constexpr int kKeccakRounds = 24;

inline constexpr uint32_t kSha256K[kSha256Rounds] = {KEST_SHA256_K_VALUES};
inline constexpr uint8_t kMd2S[kMd2TableSize] = {KEST_MD2_S_VALUES};
inline constexpr uint64_t kBlake2bIv[kBlake2bIvWords] = {KEST_BLAKE2B_IV_VALUES};
inline constexpr uint8_t kBlake2bSigma[kBlake2bRounds][kBlake2bBlockWords] = {
    KEST_BLAKE2B_SIGMA_VALUES};
inline constexpr uint64_t kKeccakRc[kKeccakRounds] = {KEST_KECCAK_RC_VALUES};

}  // namespace kest_pow

// Device code reads the MD2 S-box, the one table indexed by hashed data, from the block's
// shared-memory copy (see pow/hd.h), since a constant-memory read at lane-dependent addresses
// is serialised; the others are read at uniform addresses and stay in constant memory.
#ifdef __CUDA_ARCH__
#define KEST_SHA256_K (::cuda_sha256_k)
#define KEST_MD2_S (::kest_md2_sbox())
#define KEST_BLAKE2B_IV (::BLAKE2B_IVS)
#define KEST_BLAKE2B_SIGMA (::BLAKE2B_SIGMAS)
#define KEST_KECCAK_RC (::CUDA_KECCAK_CONSTS)
#else
#define KEST_SHA256_K (::kest_pow::kSha256K)
#define KEST_MD2_S (::kest_pow::kMd2S)
#define KEST_BLAKE2B_IV (::kest_pow::kBlake2bIv)
#define KEST_BLAKE2B_SIGMA (::kest_pow::kBlake2bSigma)
#define KEST_KECCAK_RC (::kest_pow::kKeccakRc)
#endif
