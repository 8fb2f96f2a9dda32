// Nighthash: the floating-point pass, the byte rounds and the eight-way dispatcher.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pow/nighthash.h"
#include "tests/pow/test_util.h"

namespace {

using powtest::Hex;
using powtest::OsslBlake2bMac;
using powtest::OsslDigest;

struct FpResult {
  std::vector<uint8_t> data;
  uint32_t op;
};

FpResult Fp(std::vector<uint8_t> data, uint32_t index, uint32_t op, bool transform) {
  fp_operation(data.data(), static_cast<uint32_t>(data.size()), index, &op, transform ? 1 : 0);
  return {data, op};
}

// --- fp_operation -------------------------------------------------------------------------

TEST(FpOperation, ShortInputsAreLeftAlone) {
  for (uint32_t n = 0; n < 4; ++n) {
    const std::vector<uint8_t> data(n, 0x3f);
    const FpResult r = Fp(data, 9, 12345, true);
    EXPECT_EQ(r.data, data) << n;
    EXPECT_EQ(r.op, 12345u) << n;
  }
}

TEST(FpOperation, TrailingPartialGroupIsNeitherReadNorChanged) {
  const std::vector<uint8_t> seven = {0x00, 0x00, 0x80, 0x3f, 0x11, 0x22, 0x33};
  const FpResult r7 = Fp(seven, 1, 0, true);
  const FpResult r4 = Fp({0x00, 0x00, 0x80, 0x3f}, 1, 0, true);
  EXPECT_EQ(r7.op, r4.op);
  EXPECT_EQ(std::vector<uint8_t>(r7.data.begin(), r7.data.begin() + 4), r4.data);
  EXPECT_EQ(r7.data[4], 0x11);
  EXPECT_EQ(r7.data[5], 0x22);
  EXPECT_EQ(r7.data[6], 0x33);
}

TEST(FpOperation, WorkedGroupOnePlusNegativeOperand) {
  // 1.0 + (-2147483520.0) rounds to -2147483520.0; op = 0xFF + 0xFF + 0xFF + 0xCE.
  for (uint32_t index : {0u, 5u, 1048575u}) {
    const FpResult r = Fp({0x00, 0x00, 0x80, 0x3f}, index, 0, true);
    EXPECT_EQ(Hex(r.data), "ffffffce") << index;
    EXPECT_EQ(r.op, 971u) << index;
  }
}

TEST(FpOperation, NanInputIsReplacedByTheIndexBeforeTheOperation) {
  // Quiet NaN: becomes 5.0, then 5.0 + (-2147483392.0).
  const FpResult quiet = Fp({0x00, 0x00, 0xc0, 0x7f}, 5, 0, true);
  EXPECT_EQ(Hex(quiet.data), "feffffce");
  EXPECT_EQ(quiet.op, 970u);

  // Signalling NaN 7F800001: s = 1, c += 0x7F, operand +0.0, c mod 4 = 3 divides:
  // 5.0 / +0.0 = +infinity.
  const FpResult inf = Fp({0x01, 0x00, 0x80, 0x7f}, 5, 0, true);
  EXPECT_EQ(Hex(inf.data), "0000807f");
  EXPECT_EQ(inf.op, 127u + 0x80 + 0x7f);

  // With index 0 the same group gives 0.0 / +0.0 = NaN, replaced by 0.0.
  const FpResult zero = Fp({0x01, 0x00, 0x80, 0x7f}, 0, 0, true);
  EXPECT_EQ(Hex(zero.data), "00000000");
  EXPECT_EQ(zero.op, 127u);

  // The index is converted with round-to-nearest-even: 0xFFFFFFFF -> 4294967296.0, and
  // 4294967296.0 + (-2147483392.0) = 2147483904.0 (4F000001). Truncation would give 4F000000.
  const FpResult big = Fp({0x00, 0x00, 0xc0, 0x7f}, 0xffffffffu, 0, true);
  EXPECT_EQ(Hex(big.data), "0100004f");
  EXPECT_EQ(big.op, 0x01u + 0x4f);
}

// The host batches the pass four groups at a time (fp_groups); it must agree bit for bit with
// the group-by-group form the device runs, also around NaN, infinities, zeros, subnormals and
// the largest finite values, in place and read-only, for every tail length.
TEST(FpOperation, BatchedHostPassMatchesGroupByGroupForm) {
  const uint32_t specials[] = {0x00000000u, 0x80000000u, 0x00000001u, 0x807fffffu, 0x00400000u,
                               0x7f800000u, 0xff800000u, 0x7fc00000u, 0xffc00001u, 0x7f800001u,
                               0x7f7fffffu, 0xff7fffffu, 0x00800000u, 0x3f800000u};
  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 4000; ++trial) {
    std::vector<uint8_t> data(1060);
    for (size_t j = 0; j < data.size(); j += 4) {
      uint32_t v = rng();
      if (rng() % 3 == 0) v = specials[rng() % (sizeof specials / sizeof specials[0])];
      if (rng() % 8 == 0) v &= 0x807fffffu;  // subnormal or zero
      std::memcpy(&data[j], &v, 4);
    }
    const uint32_t len = trial % 2 ? static_cast<uint32_t>(rng() % 1061) : 1060;
    const uint32_t index = rng(), c = rng();
    std::vector<uint8_t> batched = data, scalar = data;
    ASSERT_EQ(kest_pow::fp_groups(batched.data(), batched.data(), len, index, c),
              kest_pow::fp_groups_scalar(scalar.data(), scalar.data(), len, index, c))
        << "trial " << trial;
    ASSERT_EQ(batched, scalar) << "trial " << trial;
    ASSERT_EQ(kest_pow::fp_groups(data.data(), nullptr, len, index, c),
              kest_pow::fp_groups_scalar(data.data(), nullptr, len, index, c))
        << "trial " << trial;
  }
}

TEST(FpOperation, DivisionByPositiveZeroGivesSignedInfinity) {
  // x = -1.0000001 (BF800001 little-endian), s = 1: c += 0xBF -> divide by +0.0.
  const FpResult r = Fp({0x01, 0x00, 0x80, 0xbf}, 7, 0, true);
  EXPECT_EQ(Hex(r.data), "000080ff");
  EXPECT_EQ(r.op, 0xbfu + 0x80 + 0xff);
}

TEST(FpOperation, SubnormalsAreKept) {
  // s = 3: c = 3 + p0 = 6 -> multiply by the operand byte p1 = 1 (+1.0). The subnormal
  // 0x00000103 must survive (flush-to-zero would give 0).
  const FpResult r = Fp({0x03, 0x01, 0x00, 0x00}, 0, 3, true);
  EXPECT_EQ(Hex(r.data), "03010000");
  EXPECT_EQ(r.op, 6u + 0x03 + 0x01);
}

TEST(FpOperation, SeedModeLeavesDataAndAgreesOnOp) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 200; ++trial) {
    const std::vector<uint8_t> data = powtest::Random(rng, rng() % 80);
    const uint32_t index = rng() & 0xfffff, op = rng();
    const FpResult seed = Fp(data, index, op, false);
    const FpResult transform = Fp(data, index, op, true);
    EXPECT_EQ(seed.data, data);
    EXPECT_EQ(seed.op, transform.op);
  }
}

// --- bitbyte_transform --------------------------------------------------------------------

TEST(BitbyteTransform, WorkedRunOverZeros) {
  // Selectors 0, 129, 258, 384, 639, 639, 639, 639: operations 0, 1, 2, 0, 7, 7, 7, 7.
  std::vector<uint8_t> data(32, 0);
  uint32_t op = 0;
  bitbyte_transform(data.data(), 32, &op);
  EXPECT_EQ(op, 639u);
  EXPECT_EQ(Hex(data), "ffffffff00000000ffffffff00000000ffffffff00000000ffffffff00000000");
}

TEST(BitbyteTransform, EachOperationOnAnOddLengthBuffer) {
  // Expected bytes worked out by hand from the operation table; length 9 is odd, so the swap
  // (1) and the ordering (6) must leave the last byte where it is.
  const std::vector<uint8_t> start = {0x00, 0x68, 0x7f, 0x80, 0xff, 0x10, 0x68, 0x01, 0x05};
  const struct {
    uint32_t round, selector;
    const char* expect;
  } cases[] = {
      {0, 0, "81e9fe017e91e98084"}, {0, 1, "ff10680100687f8005"},
      {0, 2, "ff97807f00ef97fefa"}, {0, 3, "0167807f000f690006"},
      {2, 4, "fe6a7d82fd12660303"}, {0, 4, "00687f80ff10680105"},  // round 0: no change
      {0, 5, "00487f80ff10480105"}, {0, 6, "00106801ff687f8005"},
      {0, 7, "006817976878101114"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> data = start;
    kest_pow::bitbyte_round(data.data(), 9, c.round, c.selector);
    EXPECT_EQ(Hex(data), c.expect) << "operation " << c.selector << " round " << c.round;
  }
}

TEST(BitbyteTransform, RoundZeroOperationFourStillAdvancesTheSelector) {
  // Round 0 selects operation 4 (0 + 4) and changes nothing, so round 1 reads data[1] as given:
  // 4 + 4 = 8 selects operation 0. Running both rounds by hand gives the same as the full run's
  // first two rounds, checked through the selector the full run ends with.
  std::vector<uint8_t> data = {0x04, 0x04, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
  std::vector<uint8_t> manual = data;
  uint32_t c = 0;
  for (uint32_t round = 0; round < 8; ++round) {
    c += manual[round];
    if (round == 0) {
      EXPECT_EQ(c % 8, 4u);
    } else if (round == 1) {
      EXPECT_EQ(c % 8, 0u);
    }
    kest_pow::bitbyte_round(manual.data(), 8, round, c);
    if (round == 0) {
      EXPECT_EQ(manual, data) << "round 0, operation 4 leaves the data";
    }
  }
  uint32_t op = 0;
  bitbyte_transform(data.data(), 8, &op);
  EXPECT_EQ(data, manual);
  EXPECT_EQ(op, c);
}

TEST(BitbyteTransform, ShortBuffersAreRejectedUntouched) {
  std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7};
  uint32_t op = 42;
  bitbyte_transform(data.data(), 7, &op);
  EXPECT_EQ(op, 42u);
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
}

// --- nighthash dispatcher -----------------------------------------------------------------

std::vector<uint8_t> Night(uint32_t type, uint32_t bits, const std::vector<uint8_t>& msg) {
  nighthash_ctx_t ctx;
  EXPECT_EQ(nighthash_init(&ctx, type, bits), 0);
  EXPECT_EQ(nighthash_update(&ctx, msg.data(), static_cast<uint32_t>(msg.size())), 0);
  std::vector<uint8_t> out(bits / 8, 0xee);
  EXPECT_EQ(nighthash_final(&ctx, out.data()), 0);
  return out;
}

std::vector<uint8_t> Padded(std::vector<uint8_t> digest, size_t len) {
  digest.resize(len, 0);
  return digest;
}

std::vector<uint8_t> Md2Of(const std::vector<uint8_t>& msg) {
  MD2_CTX c;
  md2_init(&c);
  md2_update(&c, msg.data(), msg.size());
  std::vector<uint8_t> out(16);
  md2_final(&c, out.data());
  return out;
}

std::vector<uint8_t> KeccakOf(const std::vector<uint8_t>& msg, uint32_t bits) {
  keccak_ctx_t c;
  keccak_init(&c, bits);
  keccak_update(&c, msg.data(), msg.size());
  std::vector<uint8_t> out(bits / 8);
  keccak_final(&c, out.data());
  return out;
}

TEST(NighthashDispatch, EachTypeIsItsVariantZeroFilledToTheDigestLength) {
  const std::vector<uint8_t> msg = powtest::Pattern(36);
  const std::vector<uint8_t> zero_key(32, 0), ones_key(64, 1);
  for (uint32_t bits : {256u, 512u}) {
    const size_t len = bits / 8;
    SCOPED_TRACE(bits);
    EXPECT_EQ(Night(0, bits, msg), OsslBlake2bMac(zero_key, msg, len));
    EXPECT_EQ(Night(1, bits, msg), OsslBlake2bMac(ones_key, msg, len));
    EXPECT_EQ(Night(2, bits, msg), Padded(OsslDigest("SHA1", msg), len));
    EXPECT_EQ(Night(3, bits, msg), Padded(OsslDigest("SHA256", msg), len));
    EXPECT_EQ(Night(4, bits, msg), OsslDigest(bits == 256 ? "SHA3-256" : "SHA3-512", msg));
    EXPECT_EQ(Night(5, bits, msg), KeccakOf(msg, bits));
    EXPECT_EQ(Night(6, bits, msg), Padded(Md2Of(msg), len));
    EXPECT_EQ(Night(7, bits, msg), Padded(OsslDigest("MD5", msg), len));
  }
  // The tails the proof of work relies on, at 32 bytes.
  EXPECT_EQ(Hex(Night(2, 256, msg)).substr(40), std::string(24, '0'));
  EXPECT_EQ(Hex(Night(6, 256, msg)).substr(32), std::string(32, '0'));
  EXPECT_EQ(Hex(Night(7, 256, msg)).substr(32), std::string(32, '0'));
}

// The fixed-type form the search kernels use: every type, parts split at block boundaries and
// inside blocks, equals the dispatched nighthash of the concatenation.
TEST(NighthashDispatch, FixedTypeFormEqualsTheDispatchedForm) {
  const std::vector<uint8_t> msg = powtest::Pattern(1060);
  const uint32_t splits[][2] = {{32, 36}, {0, 0}, {17, 200}, {128, 1060}, {1, 1059}};
  for (uint32_t type = 0; type < NIGHTHASH_TYPE_COUNT; ++type) {
    const std::vector<uint8_t> want = Night(type, 256, msg);
    for (const auto& split : splits) {
      std::vector<uint8_t> got(32, 0xee);
      const uint8_t* p = msg.data();
      kest_pow::nighthash256_typed(type, p, split[0], p + split[0], split[1] - split[0],
                                   p + split[1], 1060 - split[1], got.data());
      EXPECT_EQ(got, want) << "type " << type << " split " << split[0] << "/" << split[1];
    }
  }
}

TEST(NighthashDispatch, InitZeroesTheRecordAndRecordsTypeAndLength) {
  nighthash_ctx_t ctx;
  std::memset(&ctx, 0xab, sizeof ctx);
  ASSERT_EQ(nighthash_init(&ctx, 7, 256), 0);
  EXPECT_EQ(ctx.algo_type, 7u);
  EXPECT_EQ(ctx.digestlen, 32u);
  EXPECT_EQ(ctx.sha256.datalen, 0u);  // contexts of other types are zeroed, not set up
  EXPECT_EQ(ctx.sha256.state[0], 0u);
  EXPECT_EQ(ctx.md5.state[0], 0x67452301u);
}

TEST(NighthashDispatch, BadDigestBitsAndTypesAreRefused) {
  nighthash_ctx_t ctx;
  std::memset(&ctx, 0xab, sizeof ctx);
  nighthash_ctx_t before;
  std::memcpy(&before, &ctx, sizeof ctx);
  for (uint32_t bits : {0u, 128u, 384u, 1024u}) {
    EXPECT_EQ(nighthash_init(&ctx, 3, bits), -1) << bits;
    EXPECT_EQ(std::memcmp(&ctx, &before, sizeof ctx), 0) << "context left untouched";
  }

  testing::internal::CaptureStdout();
  EXPECT_EQ(nighthash_init(&ctx, 8, 256), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Fatal: Invalid night hash algo type (8)\n");

  ASSERT_EQ(nighthash_init(&ctx, 3, 256), 0);
  ctx.algo_type = 11;  // a record that was damaged after initialisation
  uint8_t out[32];
  testing::internal::CaptureStdout();
  EXPECT_EQ(nighthash_update(&ctx, "abc", 3), -1);
  EXPECT_EQ(nighthash_final(&ctx, out), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Fatal: Invalid night hash algo type (11)\n"
            "Fatal: Invalid night hash algo type (11)\n");
}

TEST(NighthashDispatch, SeedAndTransformInitChooseTheTypeFromTheirPasses) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 100; ++trial) {
    const std::vector<uint8_t> data = powtest::Random(rng, 32 + rng() % 8);
    const uint32_t index = rng() & 0xfffff;
    const uint32_t n = static_cast<uint32_t>(data.size());

    // Seed mode: fp_operation alone, data unchanged.
    std::vector<uint8_t> seed_data = data;
    nighthash_ctx_t ctx;
    ASSERT_EQ(nighthash_seed_init(&ctx, seed_data.data(), n, index, 256), 0);
    EXPECT_EQ(seed_data, data);
    uint32_t op = 0;
    std::vector<uint8_t> scratch = data;
    fp_operation(scratch.data(), n, index, &op, 0);
    EXPECT_EQ(ctx.algo_type, op % 8);

    // Transform mode: fp_operation then bitbyte_transform, both rewriting the data.
    std::vector<uint8_t> transformed = data;
    ASSERT_EQ(nighthash_transform_init(&ctx, transformed.data(), n, index, 256), 0);
    std::vector<uint8_t> manual = data;
    op = 0;
    fp_operation(manual.data(), n, index, &op, 1);
    bitbyte_transform(manual.data(), n, &op);
    EXPECT_EQ(transformed, manual);
    EXPECT_EQ(ctx.algo_type, op % 8);
  }
}

}  // namespace
