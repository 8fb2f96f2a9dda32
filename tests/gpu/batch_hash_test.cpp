// The exported batch hashing entry points of libplogpu against published vectors and the CPU
// hash code.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gpu/plogpu.h"
#include "pow/blake2b.h"
#include "pow/keccak.h"
#include "pow/md2.h"
#include "pow/md5.h"
#include "pow/sha1.h"
#include "pow/sha256.h"
#include "tests/gpu/device_test_util.h"

namespace {

using devtest::Bytes;
using devtest::Hex;

constexpr uint8_t kUntouched = 0xcd;
constexpr std::size_t kSlack = 64;  // bytes after the digests that must stay untouched

using Batch = std::function<void(const uint8_t*, uint32_t, uint8_t*, uint32_t)>;
using Reference = std::function<void(const uint8_t*, uint32_t, uint8_t*)>;

struct Fixed {
  const char* name;
  uint32_t digest;
  Batch batch;
  Reference cpu;
};

template <class Ctx, void (*Init)(Ctx*), void (*Update)(Ctx*, const void*, size_t),
          void (*Final)(Ctx*, void*)>
void CpuHash(const uint8_t* in, uint32_t len, uint8_t* out) {
  Ctx ctx;
  Init(&ctx);
  Update(&ctx, in, len);
  Final(&ctx, out);
}

std::vector<Fixed> FixedLengthFamilies() {
  return {
      {"md2", 16, plo_cuda_md2_hash_batch, CpuHash<MD2_CTX, md2_init, md2_update, md2_final>},
      {"md5", 16, plo_cuda_md5_hash_batch, CpuHash<MD5_CTX, md5_init, md5_update, md5_final>},
      {"sha1", 20, plo_cuda_sha1_hash_batch, CpuHash<SHA1_CTX, sha1_init, sha1_update, sha1_final>},
      {"sha256", 32, plo_cuda_sha256_hash_batch,
       CpuHash<SHA256_CTX, sha256_init, sha256_update, sha256_final>},
  };
}

std::vector<uint8_t> Output(std::size_t digests_bytes) {
  return std::vector<uint8_t>(digests_bytes + kSlack, kUntouched);
}

bool SlackUntouched(const std::vector<uint8_t>& out, std::size_t digests_bytes) {
  for (std::size_t i = digests_bytes; i < out.size(); ++i) {
    if (out[i] != kUntouched) return false;
  }
  return true;
}

std::string Digest(const std::vector<uint8_t>& out, std::size_t item, std::size_t length) {
  return Hex(out.data() + item * length, length);
}

void CpuKeccak(const uint8_t* in, uint32_t len, uint32_t bits, uint8_t* out) {
  keccak_ctx_t ctx;
  keccak_init(&ctx, bits);
  keccak_update(&ctx, in, len);
  keccak_final(&ctx, out);
}

void CpuBlake2b(const std::vector<uint8_t>& key, const uint8_t* in, uint32_t len, uint32_t bits,
                uint8_t* out) {
  blake2b_ctx_t ctx;
  blake2b_init(&ctx, key.data(), static_cast<uint32_t>(key.size()), bits);
  blake2b_update(&ctx, in, len);
  blake2b_final(&ctx, out);
}

TEST(BatchHash, PublishedVectors) {
  const std::vector<uint8_t> abc = Bytes("abc");
  std::vector<uint8_t> out(64);
  plo_cuda_md2_hash_batch(abc.data(), 3, out.data(), 1);
  EXPECT_EQ(Hex(out.data(), 16), "da853b0d3f88d99b30283a69e6ded6bb");
  plo_cuda_md5_hash_batch(abc.data(), 3, out.data(), 1);
  EXPECT_EQ(Hex(out.data(), 16), "900150983cd24fb0d6963f7d28e17f72");
  plo_cuda_sha1_hash_batch(abc.data(), 3, out.data(), 1);
  EXPECT_EQ(Hex(out.data(), 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  plo_cuda_sha256_hash_batch(abc.data(), 3, out.data(), 1);
  EXPECT_EQ(Hex(out.data(), 32),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Keccak-256 (pre-standard padding), empty message and "abc".
  plo_cuda_keccak_hash_batch(abc.data(), 0, out.data(), 256, 1);
  EXPECT_EQ(Hex(out.data(), 32),
            "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470");
  plo_cuda_keccak_hash_batch(abc.data(), 3, out.data(), 256, 1);
  EXPECT_EQ(Hex(out.data(), 32),
            "4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45");
  // BLAKE2b-512 of "abc" without a key (RFC 7693, appendix A).
  plo_cuda_blake2b_hash_batch(nullptr, 0, abc.data(), 3, out.data(), 512, 1);
  EXPECT_EQ(Hex(out.data(), 64),
            "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
            "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
  // Keyed BLAKE2b-512 of the empty message with the key 00 01 .. 3f (BLAKE2 known answers).
  std::vector<uint8_t> key(64);
  for (int i = 0; i < 64; ++i) key[i] = static_cast<uint8_t>(i);
  plo_cuda_blake2b_hash_batch(key.data(), 64, abc.data(), 0, out.data(), 512, 1);
  EXPECT_EQ(Hex(out.data(), 64),
            "10ebb67700b1868efb4417987acf4690ae9d972fb7a590c2f02871799aaa4786"
            "b5e996e8f0f4eb981fc214b005f42d2ff4233499391653df7aefcbc13fc51568");
}

// Lengths around the block and padding boundaries of every family, and item counts around the
// 256-thread block.
const uint32_t kLengths[] = {0,   1,   15,  16,  17,  55,  56,  63,  64, 65,
                             111, 112, 127, 128, 129, 135, 136, 137, 300};
const uint32_t kCounts[] = {1, 255, 257};

TEST(BatchHash, FixedDigestFamiliesMatchTheCpu) {
  std::mt19937 rng(1);
  for (const Fixed& f : FixedLengthFamilies()) {
    for (const uint32_t len : kLengths) {
      for (const uint32_t count : kCounts) {
        const std::vector<uint8_t> in = devtest::RandomBytes(rng, std::size_t{len} * count);
        std::vector<uint8_t> out = Output(std::size_t{f.digest} * count);
        f.batch(in.data(), len, out.data(), count);
        for (uint32_t k = 0; k < count; ++k) {
          std::vector<uint8_t> cpu(f.digest);
          f.cpu(in.data() + std::size_t{k} * len, len, cpu.data());
          ASSERT_EQ(Digest(out, k, f.digest), Hex(cpu))
              << f.name << " length " << len << " item " << k << " of " << count;
        }
        EXPECT_TRUE(SlackUntouched(out, std::size_t{f.digest} * count)) << f.name;
      }
    }
  }
}

TEST(BatchHash, KeccakDigestLengthsAreWholeBytes) {
  std::mt19937 rng(2);
  // Bits that are not a multiple of 8 are truncated: 263 is 32 bytes, 519 is 64.
  const uint32_t bits_list[] = {32, 224, 256, 263, 384, 512, 519};
  for (const uint32_t bits : bits_list) {
    const uint32_t digest = bits / 8;
    for (const uint32_t len : {0u, 71u, 72u, 135u, 136u, 200u}) {
      const uint32_t count = 300;
      const std::vector<uint8_t> in = devtest::RandomBytes(rng, std::size_t{len} * count);
      std::vector<uint8_t> out = Output(std::size_t{digest} * count);
      plo_cuda_keccak_hash_batch(in.data(), len, out.data(), bits, count);
      for (uint32_t k = 0; k < count; k += 37) {
        std::vector<uint8_t> cpu(digest);
        CpuKeccak(in.data() + std::size_t{k} * len, len, digest * 8, cpu.data());
        ASSERT_EQ(Digest(out, k, digest), Hex(cpu)) << bits << " bits, length " << len;
      }
      EXPECT_TRUE(SlackUntouched(out, std::size_t{digest} * count)) << bits << " bits";
    }
  }
}

TEST(BatchHash, Blake2bKeyedWithItsContextImage) {
  std::mt19937 rng(3);
  struct Case {
    std::vector<uint8_t> key;
    uint32_t bits;
  };
  const std::vector<Case> cases = {
      {std::vector<uint8_t>(32, 0x00), 256},  // the nighthash keys
      {std::vector<uint8_t>(64, 0x01), 256}, {devtest::RandomBytes(rng, 1), 512},
      {devtest::RandomBytes(rng, 63), 160},  {devtest::RandomBytes(rng, 64), 8},
      {devtest::RandomBytes(rng, 17), 263},  // 32 bytes
  };
  for (const Case& c : cases) {
    const uint32_t digest = c.bits / 8;
    for (const uint32_t len : {0u, 1u, 127u, 128u, 129u, 256u, 257u}) {
      const uint32_t count = 260;
      const std::vector<uint8_t> in = devtest::RandomBytes(rng, std::size_t{len} * count);
      std::vector<uint8_t> out = Output(std::size_t{digest} * count);
      plo_cuda_blake2b_hash_batch(c.key.data(), static_cast<uint32_t>(c.key.size()), in.data(), len,
                                  out.data(), c.bits, count);
      for (uint32_t k = 0; k < count; k += 29) {
        std::vector<uint8_t> cpu(digest);
        CpuBlake2b(c.key, in.data() + std::size_t{k} * len, len, digest * 8, cpu.data());
        ASSERT_EQ(Digest(out, k, digest), Hex(cpu))
            << "key " << c.key.size() << " bytes, " << c.bits << " bits, length " << len;
      }
      EXPECT_TRUE(SlackUntouched(out, std::size_t{digest} * count));
    }
  }
}

TEST(BatchHash, RefusedArgumentsWriteNothing) {
  std::vector<uint8_t> key(65, 7);
  const std::vector<uint8_t> in(64, 1);
  std::vector<uint8_t> out = Output(0);

  testing::internal::CaptureStdout();
  plo_cuda_blake2b_hash_batch(key.data(), 65, in.data(), 64, out.data(), 256, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error cuda blake2b hash: key longer than 64 bytes refused \n");

  testing::internal::CaptureStdout();
  plo_cuda_blake2b_hash_batch(key.data(), 32, in.data(), 64, out.data(), 520, 1);
  plo_cuda_blake2b_hash_batch(key.data(), 32, in.data(), 64, out.data(), 7, 1);
  plo_cuda_keccak_hash_batch(in.data(), 64, out.data(), 31, 1);
  plo_cuda_keccak_hash_batch(in.data(), 64, out.data(), 520, 1);
  plo_cuda_blake2b_hash_batch(nullptr, 5, in.data(), 64, out.data(), 256, 1);
  plo_cuda_sha256_hash_batch(nullptr, 64, out.data(), 1);
  plo_cuda_md5_hash_batch(in.data(), 64, nullptr, 1);
  const std::string refusals = testing::internal::GetCapturedStdout();
  EXPECT_NE(refusals.find("Error cuda blake2b hash: digest length"), std::string::npos);
  EXPECT_NE(refusals.find("Error cuda keccak hash: digest length"), std::string::npos);
  EXPECT_NE(refusals.find("Error cuda blake2b hash: no key buffer"), std::string::npos);
  EXPECT_NE(refusals.find("Error cuda sha256 hash: no input buffer"), std::string::npos);
  EXPECT_NE(refusals.find("Error cuda md5 hash: no output buffer"), std::string::npos);

  // No items: nothing to do and nothing to report.
  testing::internal::CaptureStdout();
  plo_cuda_sha1_hash_batch(in.data(), 64, out.data(), 0);
  plo_cuda_blake2b_hash_batch(key.data(), 64, in.data(), 64, out.data(), 512, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(SlackUntouched(out, 0));
}

}  // namespace
