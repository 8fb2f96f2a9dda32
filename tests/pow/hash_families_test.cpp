// Hash families: published vectors, padding boundaries against OpenSSL, piecewise feeding and
// the SHA-256 mid-state image that the miner sends to the device.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "pow/blake2b.h"
#include "pow/keccak.h"
#include "pow/md2.h"
#include "pow/md5.h"
#include "pow/sha1.h"
#include "pow/sha256.h"
#include "tests/pow/test_util.h"

namespace {

using powtest::Bytes;
using powtest::Hex;
using powtest::OsslBlake2bMac;
using powtest::OsslDigest;
using powtest::Pattern;

// One family behind a uniform interface: hash `msg` fed as the given piece lengths.
struct Family {
  std::string name;
  std::function<std::vector<uint8_t>(const std::vector<uint8_t>&, const std::vector<size_t>&)> hash;
  std::vector<uint8_t> Of(const std::vector<uint8_t>& msg) const { return hash(msg, {msg.size()}); }
};

template <typename Ctx, typename Init, typename Update, typename Final>
std::vector<uint8_t> Feed(Init init, Update update, Final fin, size_t digest_len,
                          const std::vector<uint8_t>& msg, const std::vector<size_t>& pieces) {
  Ctx ctx;
  init(&ctx);
  size_t at = 0;
  for (size_t n : pieces) {
    update(&ctx, msg.data() + at, n);
    at += n;
  }
  std::vector<uint8_t> out(digest_len);
  fin(&ctx, out.data());
  return out;
}

const std::vector<uint8_t> kZeroKey(32, 0x00);
const std::vector<uint8_t> kOnesKey(64, 0x01);

Family Sha1() {
  return {"SHA-1", [](const auto& m, const auto& p) {
            return Feed<SHA1_CTX>(sha1_init, sha1_update, sha1_final, 20, m, p);
          }};
}
Family Sha256() {
  return {"SHA-256", [](const auto& m, const auto& p) {
            return Feed<SHA256_CTX>(sha256_init, sha256_update, sha256_final, 32, m, p);
          }};
}
Family Md5() {
  return {"MD5", [](const auto& m, const auto& p) {
            return Feed<MD5_CTX>(md5_init, md5_update, md5_final, 16, m, p);
          }};
}
Family Md2() {
  return {"MD2", [](const auto& m, const auto& p) {
            return Feed<MD2_CTX>(md2_init, md2_update, md2_final, 16, m, p);
          }};
}
Family Sha3(uint32_t bits) {
  return {"SHA3-" + std::to_string(bits), [bits](const auto& m, const auto& p) {
            return Feed<keccak_ctx_t>([bits](keccak_ctx_t* c) { keccak_sha3_init(c, bits); },
                                      keccak_update, keccak_final, bits / 8, m, p);
          }};
}
Family Keccak(uint32_t bits) {
  return {"Keccak-" + std::to_string(bits), [bits](const auto& m, const auto& p) {
            return Feed<keccak_ctx_t>([bits](keccak_ctx_t* c) { keccak_init(c, bits); },
                                      keccak_update, keccak_final, bits / 8, m, p);
          }};
}
Family Blake2b(std::vector<uint8_t> key, uint32_t bits) {
  return {"BLAKE2b-" + std::to_string(bits) + " key " + std::to_string(key.size()),
          [key, bits](const auto& m, const auto& p) {
            return Feed<blake2b_ctx_t>(
                [&key, bits](blake2b_ctx_t* c) {
                  blake2b_init(c, key.data(), static_cast<uint32_t>(key.size()), bits);
                },
                blake2b_update, blake2b_final, bits / 8, m, p);
          }};
}

std::vector<Family> AllVariants() {
  return {Sha1(),
          Sha256(),
          Md5(),
          Md2(),
          Sha3(256),
          Keccak(256),
          Sha3(512),
          Keccak(512),
          Blake2b(kZeroKey, 256),
          Blake2b(kOnesKey, 256),
          Blake2b(kOnesKey, 512)};
}

const std::string kMillionA(1000000, 'a');
const char kNist448[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const char kRfcAlnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const char kRfcDigits[] =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

// --- Published vectors --------------------------------------------------------------------

TEST(PublishedVectors, Sha1Fips180) {
  const Family f = Sha1();
  EXPECT_EQ(Hex(f.Of(Bytes(""))), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Hex(f.Of(Bytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(f.Of(Bytes(kNist448))), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(Hex(f.Of(Bytes(kMillionA))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(PublishedVectors, Sha256Fips180) {
  const Family f = Sha256();
  EXPECT_EQ(Hex(f.Of(Bytes(""))),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Hex(f.Of(Bytes("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex(f.Of(Bytes(kNist448))),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Hex(f.Of(Bytes(kMillionA))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(PublishedVectors, Sha256OneShotMatchesIncrementalAndIgnoresNegativeLength) {
  uint8_t out[32];
  sha256("abc", 3, out);
  EXPECT_EQ(Hex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  sha256("abc", -5, out);  // a negative length hashes nothing
  EXPECT_EQ(Hex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(PublishedVectors, Md5Rfc1321) {
  const Family f = Md5();
  EXPECT_EQ(Hex(f.Of(Bytes(""))), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(f.Of(Bytes("a"))), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Hex(f.Of(Bytes("abc"))), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex(f.Of(Bytes("message digest"))), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Hex(f.Of(Bytes("abcdefghijklmnopqrstuvwxyz"))), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Hex(f.Of(Bytes(kRfcAlnum))), "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Hex(f.Of(Bytes(kRfcDigits))), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(PublishedVectors, Md2Rfc1319) {
  const Family f = Md2();
  EXPECT_EQ(Hex(f.Of(Bytes(""))), "8350e5a3e24c153df2275c9f80692773");
  EXPECT_EQ(Hex(f.Of(Bytes("a"))), "32ec01ec4a6dac72c0ab96fb34c0b5d1");
  EXPECT_EQ(Hex(f.Of(Bytes("abc"))), "da853b0d3f88d99b30283a69e6ded6bb");
  EXPECT_EQ(Hex(f.Of(Bytes("message digest"))), "ab4f496bfb2a530b219ff33031fe06b0");
  EXPECT_EQ(Hex(f.Of(Bytes("abcdefghijklmnopqrstuvwxyz"))), "4e8ddff3650292ab5a4108c3aa47940b");
  EXPECT_EQ(Hex(f.Of(Bytes(kRfcAlnum))), "da33def2a42df13975352846c30338cd");
  EXPECT_EQ(Hex(f.Of(Bytes(kRfcDigits))), "d5976f79d83d3a0dc9806c3c66f3efd8");
}

TEST(PublishedVectors, Sha3AndKeccak256DifferOnlyByPadding) {
  EXPECT_EQ(Hex(Sha3(256).Of(Bytes(""))),
            "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
  EXPECT_EQ(Hex(Sha3(256).Of(Bytes("abc"))),
            "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
  EXPECT_EQ(Hex(Keccak(256).Of(Bytes(""))),
            "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470");
  EXPECT_EQ(Hex(Keccak(256).Of(Bytes("abc"))),
            "4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45");
  EXPECT_EQ(Hex(Keccak(512).Of(Bytes("abc"))),
            "18587dc2ea106b9a1563e32b3312421ca164c7f1f07bc922a9c83d77cea3a1e5"
            "d0c69910739025372dc14ac9642629379540c17e2a65b19d77aa511a9d00bb96");

  keccak_ctx_t plain, sha3;
  keccak_init(&plain, 256);
  keccak_sha3_init(&sha3, 256);
  EXPECT_EQ(plain.sha3_flag, 0);
  EXPECT_EQ(sha3.sha3_flag, 1);
  for (const keccak_ctx_t* c : {&plain, &sha3}) {
    EXPECT_EQ(c->digestbitlen, 256u);
    EXPECT_EQ(c->rate_bits, 1088u);
    EXPECT_EQ(c->rate_bytes, 136u);
    EXPECT_EQ(c->absorb_round, 17u);
  }
}

TEST(PublishedVectors, Blake2bRfc7693AndKeyedVariants) {
  // RFC 7693 appendix A: unkeyed BLAKE2b-512 of "abc" (zero key length).
  blake2b_ctx_t ctx;
  blake2b_init(&ctx, nullptr, 0, 512);
  blake2b_update(&ctx, "abc", 3);
  uint8_t out[64];
  blake2b_final(&ctx, out);
  EXPECT_EQ(Hex(out, 64),
            "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
            "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");

  // The two keyed variants nighthash uses (expected digests from an independent RFC 7693
  // implementation), cross-checked against OpenSSL's keyed BLAKE2b.
  const Family zero = Blake2b(kZeroKey, 256), ones = Blake2b(kOnesKey, 256);
  EXPECT_EQ(Hex(zero.Of(Bytes(""))),
            "fd7b3e075ab7e245506323f1d1b55330ccd606fb3301f4caba25022a1de50b47");
  EXPECT_EQ(Hex(zero.Of(Bytes("abc"))),
            "bad705ff155af631f38dc6cafdda827a31595c802f3ff585c10691c58944d89b");
  EXPECT_EQ(Hex(ones.Of(Bytes(""))),
            "93bdcea06f3f43f402a9a616fa3a7b92bb59010a6e5b3fcb0a04e18c8b990d31");
  EXPECT_EQ(Hex(ones.Of(Bytes("abc"))),
            "3fb6cee8fa390116d9c4afe2dcc50cd6c952cdcd112bdee0994c083463982815");
  EXPECT_EQ(zero.Of(Bytes("abc")), OsslBlake2bMac(kZeroKey, Bytes("abc"), 32));
  blake2b_init(&ctx, kOnesKey.data(), 64, 256);
  EXPECT_EQ(ctx.key, nullptr) << "the key pointer is not kept past initialisation";
  EXPECT_EQ(ctx.pos, 128u) << "the padded key block is pending";
  EXPECT_EQ(ones.Of(Bytes("abc")), OsslBlake2bMac(kOnesKey, Bytes("abc"), 32));

  // A 32-byte zero key is keyed mode, not unkeyed BLAKE2b-256.
  blake2b_init(&ctx, nullptr, 0, 256);
  blake2b_update(&ctx, "abc", 3);
  blake2b_final(&ctx, out);
  EXPECT_EQ(Hex(out, 32), "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");
  EXPECT_NE(Hex(out, 32), Hex(zero.Of(Bytes("abc"))));
}

// --- Padding boundaries -------------------------------------------------------------------

const size_t kBoundaryLengths[] = {0,   1,   55,  56,  63,  64,  65,  111,
                                   112, 127, 128, 135, 136, 137, 1060};

TEST(PaddingBoundaries, MatchOpenSsl) {
  struct Case {
    Family ours;
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> reference;
  };
  const std::vector<Case> cases = {
      {Sha1(), [](const auto& m) { return OsslDigest("SHA1", m); }},
      {Sha256(), [](const auto& m) { return OsslDigest("SHA256", m); }},
      {Md5(), [](const auto& m) { return OsslDigest("MD5", m); }},
      {Sha3(256), [](const auto& m) { return OsslDigest("SHA3-256", m); }},
      {Sha3(512), [](const auto& m) { return OsslDigest("SHA3-512", m); }},
      {Blake2b(kZeroKey, 256), [](const auto& m) { return OsslBlake2bMac(kZeroKey, m, 32); }},
      {Blake2b(kOnesKey, 256), [](const auto& m) { return OsslBlake2bMac(kOnesKey, m, 32); }},
      {Blake2b(kOnesKey, 512), [](const auto& m) { return OsslBlake2bMac(kOnesKey, m, 64); }},
  };
  for (const Case& c : cases) {
    for (size_t n : kBoundaryLengths) {
      const std::vector<uint8_t> msg = Pattern(n);
      EXPECT_EQ(Hex(c.ours.Of(msg)), Hex(c.reference(msg))) << c.ours.name << " length " << n;
    }
  }
}

// OpenSSL 3.0 has neither Keccak-256 with the pre-standard padding nor MD2; these digests of
// Pattern(n) come from an independent implementation.
TEST(PaddingBoundaries, Keccak256Vectors) {
  const std::pair<size_t, const char*> vectors[] = {
      {55, "152cc5298108a3ec3a26e0c5aead9c2770c184a6bdf87eb087716b185c8e2238"},
      {56, "515efa1a7d43f655443dff20ec3f7e75e2af9ec2415ca813d21d0918a0e70fa2"},
      {63, "48d8e506b57c81c8257a8e1da7f04610191ef05bf96fa9dc4fb9bca39bbed2c6"},
      {64, "0251cf13aa5b18f1cbda7cddbe85f3dc536fc93df590c2d20ca9b28af1ed2c39"},
      {65, "b3ee368701a0d7056be60b0a489e173d9dc8621640d734693858e846d30c3f65"},
      {111, "ef899f7c886f8346795773c2d1e3a84de067fc6e2b672cc7a02fcf83b34458c0"},
      {112, "15e68db0e4bef8617614d7fab5b43f98e4a55c08d7735b7bcd45cd6e9c9d6abc"},
      {127, "fa3cd4a949bae0f7690ff5c8cbc6dc0332d192d790ab4d80dc97ba37b6569deb"},
      {128, "1c51c71b758998e7b841d7abde03b6f2b3e76b0313ed687269c30e16bb3aa488"},
      {135, "00ef96af9cf4b24c7f269d922294444a197d0a33638c2e56634c57e892103a8f"},
      {136, "742061bcad767ed4c4f5883b1dcb1aad11afdcc140dc469d953759b127b9f9ed"},
      {137, "e3371f61e770abf254c34239c3b0099ad90594507415bc81dd0a10b9692bbf2a"},
      {1060, "a65cf526be7dc35166a6d4bcec5dceb2db8286409f73dd0f50fefcd65dcb782e"},
  };
  for (const auto& [n, want] : vectors) {
    EXPECT_EQ(Hex(Keccak(256).Of(Pattern(n))), want) << "length " << n;
  }
}

TEST(PaddingBoundaries, Md2Vectors) {
  const std::pair<size_t, const char*> vectors[] = {
      {15, "2d8c34d1d20822665c3640dead29c4a7"},   {16, "56b6110ddc501f7f73fef8f49f40f04f"},
      {17, "1e07afa5ba6043ae44065e2eea0817dd"},   {31, "5394d16db5e1bdcf6103f93b5c8168f9"},
      {32, "289816dcafb6107c1fa1a512812fee79"},   {33, "45af673dc4e8a0234c5107987b540aa9"},
      {36, "2a890d982f3f6e705d274f6c2231f454"},   {64, "785b98925433117c6d1aa1293ec53675"},
      {1060, "85b906b8a7dbac9ecfe1ac58253eeb30"},
  };
  for (const auto& [n, want] : vectors) {
    EXPECT_EQ(Hex(Md2().Of(Pattern(n))), want) << "length " << n;
  }
}

// --- Piecewise feeding --------------------------------------------------------------------

TEST(PiecewiseFeeding, RandomPiecesEqualOnePiece) {
  std::mt19937 rng(20240601);
  for (const Family& f : AllVariants()) {
    for (int trial = 0; trial < 40; ++trial) {
      const std::vector<uint8_t> msg = powtest::Random(rng, rng() % 700);
      std::vector<size_t> pieces;
      size_t left = msg.size();
      while (left > 0) {
        // Zero-length pieces included on purpose: they must change nothing.
        size_t n = rng() % 4 == 0 ? 0 : 1 + rng() % (trial % 2 ? 200 : 9);
        if (n > left) n = left;
        pieces.push_back(n);
        left -= n;
      }
      EXPECT_EQ(Hex(f.hash(msg, pieces)), Hex(f.Of(msg))) << f.name << " length " << msg.size();
    }
  }
}

// --- Out-of-range parameters --------------------------------------------------------------

TEST(OutOfRangeParameters, AreClampedWithoutOverrunningTheContext) {
  // Key lengths above 64 act as 64; digest sizes outside 1..64 bytes are clamped.
  std::vector<uint8_t> long_key(200, 0x01);
  blake2b_ctx_t ctx;
  blake2b_init(&ctx, long_key.data(), 200, 256);
  blake2b_update(&ctx, "abc", 3);
  uint8_t out[64];
  blake2b_final(&ctx, out);
  EXPECT_EQ(Hex(out, 32), Hex(Blake2b(kOnesKey, 256).Of(Bytes("abc"))));
  blake2b_init(&ctx, kOnesKey.data(), 64, 4096);
  EXPECT_EQ(ctx.digestlen, 64u);

  // Keccak digest sizes are held to 32..512 bits so the rate fits the queue.
  keccak_ctx_t k;
  keccak_init(&k, 0);
  EXPECT_EQ(k.digestbitlen, 32u);
  EXPECT_LE(k.rate_bytes, sizeof k.q);
  keccak_init(&k, 100000);
  EXPECT_EQ(k.digestbitlen, 512u);
  const std::vector<uint8_t> msg = Pattern(500);
  keccak_update(&k, msg.data(), msg.size());
  keccak_final(&k, out);
  EXPECT_EQ(Hex(out, 64), Hex(Keccak(512).Of(msg)));
}

// --- SHA-256 mid-state image --------------------------------------------------------------

TEST(Sha256Midstate, ImageAfter108BytesAndContinuation) {
  const std::vector<uint8_t> msg = Pattern(124);
  SHA256_CTX ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, msg.data(), 108);
  EXPECT_EQ(ctx.datalen, 44u);
  EXPECT_EQ(ctx.bitlen, 512u);

  // The same values, read from the raw 112-byte image the device receives.
  uint8_t image[112];
  static_assert(sizeof image == sizeof ctx, "image size");
  std::memcpy(image, &ctx, sizeof image);
  EXPECT_EQ(std::memcmp(image, msg.data() + 64, 44), 0) << "buffer holds input bytes 64..107";
  const uint8_t fill_le[4] = {44, 0, 0, 0};
  EXPECT_EQ(std::memcmp(image + 64, fill_le, 4), 0);
  const uint8_t bits_le[8] = {0x00, 0x02, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(image + 72, bits_le, 8), 0);

  // Bytes 80..111 are the state after compressing bytes 0..63.
  SHA256_CTX first_block;
  sha256_init(&first_block);
  sha256_update(&first_block, msg.data(), 64);
  EXPECT_EQ(std::memcmp(image + 80, first_block.state, 32), 0);

  // A copy of the image continues exactly like the original.
  SHA256_CTX copy;
  std::memcpy(&copy, image, sizeof copy);
  sha256_update(&copy, msg.data() + 108, 16);
  uint8_t continued[32], one_shot[32];
  sha256_final(&copy, continued);
  sha256(msg.data(), 124, one_shot);
  EXPECT_EQ(Hex(continued, 32), Hex(one_shot, 32));
  EXPECT_EQ(Hex(one_shot, 32), Hex(OsslDigest("SHA256", msg)));
}

}  // namespace
