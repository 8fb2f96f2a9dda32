// Proof-of-work benchmarks: each hash family against OpenSSL on the two message sizes the
// proof of work hashes (36-byte tile seeds and segments, 1060-byte jump seeds), nighthash per
// call, tile generation, the jump, and full `peach` checks on one core.
//
// OpenSSL 3.0 has no Keccak-256 with the pre-standard padding and no MD2: Keccak-256 is shown
// next to OpenSSL's SHA3-256 (same permutation and rate, other padding byte) and MD2 has no
// counterpart. Both keyed BLAKE2b variants exist there as BLAKE2BMAC (key 32 or 64 bytes,
// 32-byte output).
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <random>
#include <vector>

#include "app/records.h"
#include "pow/blake2b.h"
#include "pow/keccak.h"
#include "pow/md2.h"
#include "pow/md5.h"
#include "pow/nighthash.h"
#include "pow/peach.h"
#include "pow/sha1.h"
#include "pow/sha256.h"

namespace {

constexpr size_t kSeedBytes = 36;
constexpr size_t kJumpBytes = 1060;

std::vector<uint8_t> Message(size_t n) {
  std::vector<uint8_t> m(n);
  std::mt19937 rng(static_cast<uint32_t>(n));
  for (auto& b : m) b = static_cast<uint8_t>(rng());
  return m;
}

template <typename Ctx, typename Init, typename Update, typename Final>
void RunOurs(benchmark::State& state, Init init, Update update, Final fin) {
  const std::vector<uint8_t> msg = Message(static_cast<size_t>(state.range(0)));
  uint8_t out[64];
  for (auto _ : state) {
    Ctx ctx;
    init(&ctx);
    update(&ctx, msg.data(), msg.size());
    fin(&ctx, out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

void OursSha1(benchmark::State& s) {
  RunOurs<SHA1_CTX>(s, sha1_init, sha1_update, sha1_final);
}
void OursSha256(benchmark::State& s) {
  RunOurs<SHA256_CTX>(s, sha256_init, sha256_update, sha256_final);
}
void OursMd5(benchmark::State& s) {
  RunOurs<MD5_CTX>(s, md5_init, md5_update, md5_final);
}
void OursMd2(benchmark::State& s) {
  RunOurs<MD2_CTX>(s, md2_init, md2_update, md2_final);
}
void OursSha3_256(benchmark::State& s) {
  RunOurs<keccak_ctx_t>(
      s, [](keccak_ctx_t* c) { keccak_sha3_init(c, 256); }, keccak_update, keccak_final);
}
void OursKeccak256(benchmark::State& s) {
  RunOurs<keccak_ctx_t>(
      s, [](keccak_ctx_t* c) { keccak_init(c, 256); }, keccak_update, keccak_final);
}
void OursBlake2bKey32(benchmark::State& s) {
  static const uint8_t key[32] = {};
  RunOurs<blake2b_ctx_t>(
      s, [](blake2b_ctx_t* c) { blake2b_init(c, key, sizeof key, 256); }, blake2b_update,
      blake2b_final);
}
void OursBlake2bKey64(benchmark::State& s) {
  static uint8_t key[64];
  std::memset(key, 0x01, sizeof key);
  RunOurs<blake2b_ctx_t>(
      s, [](blake2b_ctx_t* c) { blake2b_init(c, key, sizeof key, 256); }, blake2b_update,
      blake2b_final);
}

void OpensslDigest(benchmark::State& state, const char* name) {
  const std::vector<uint8_t> msg = Message(static_cast<size_t>(state.range(0)));
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  uint8_t out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, msg.data(), msg.size());
    EVP_DigestFinal_ex(ctx, out, &n);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

void OpensslBlake2bMac(benchmark::State& state, size_t key_len, uint8_t key_byte) {
  const std::vector<uint8_t> msg = Message(static_cast<size_t>(state.range(0)));
  const std::vector<uint8_t> key(key_len, key_byte);
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "BLAKE2BMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  size_t outlen = 32;
  OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t("size", &outlen), OSSL_PARAM_construct_end()};
  uint8_t out[64];
  size_t n = 0;
  for (auto _ : state) {
    EVP_MAC_init(ctx, key.data(), key.size(), params);
    EVP_MAC_update(ctx, msg.data(), msg.size());
    EVP_MAC_final(ctx, out, &n, sizeof out);
    benchmark::DoNotOptimize(out);
  }
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

#define KEST_SIZES Arg(kSeedBytes)->Arg(kJumpBytes)

BENCHMARK(OursSha1)->Name("hash/SHA-1/ours")->KEST_SIZES;
BENCHMARK_CAPTURE(OpensslDigest, sha1, "SHA1")->Name("hash/SHA-1/openssl")->KEST_SIZES;
BENCHMARK(OursSha256)->Name("hash/SHA-256/ours")->KEST_SIZES;
BENCHMARK_CAPTURE(OpensslDigest, sha256, "SHA256")->Name("hash/SHA-256/openssl")->KEST_SIZES;
BENCHMARK(OursMd5)->Name("hash/MD5/ours")->KEST_SIZES;
BENCHMARK_CAPTURE(OpensslDigest, md5, "MD5")->Name("hash/MD5/openssl")->KEST_SIZES;
BENCHMARK(OursMd2)->Name("hash/MD2/ours (no OpenSSL MD2)")->KEST_SIZES;
BENCHMARK(OursSha3_256)->Name("hash/SHA3-256/ours")->KEST_SIZES;
BENCHMARK_CAPTURE(OpensslDigest, sha3, "SHA3-256")->Name("hash/SHA3-256/openssl")->KEST_SIZES;
BENCHMARK(OursKeccak256)->Name("hash/Keccak-256/ours (OpenSSL: SHA3-256 above)")->KEST_SIZES;
BENCHMARK(OursBlake2bKey32)->Name("hash/BLAKE2b-256 key 32x00/ours")->KEST_SIZES;
BENCHMARK_CAPTURE(OpensslBlake2bMac, key32, 32, 0x00)
    ->Name("hash/BLAKE2b-256 key 32x00/openssl")
    ->KEST_SIZES;
BENCHMARK(OursBlake2bKey64)->Name("hash/BLAKE2b-256 key 64x01/ours")->KEST_SIZES;
BENCHMARK_CAPTURE(OpensslBlake2bMac, key64, 64, 0x01)
    ->Name("hash/BLAKE2b-256 key 64x01/openssl")
    ->KEST_SIZES;

// One tile-segment nighthash: transform init over 32 bytes, hash them and the index, finish.
void NighthashSegment(benchmark::State& state) {
  const uint32_t type = static_cast<uint32_t>(state.range(0));
  uint8_t segment[32] = {};
  const uint8_t index[4] = {1, 2, 3, 4};
  uint8_t out[32];
  nighthash_ctx_t ctx;
  for (auto _ : state) {
    uint32_t op = 0;
    fp_operation(segment, sizeof segment, 0x4321, &op, 1);
    bitbyte_transform(segment, sizeof segment, &op);
    nighthash_init(&ctx, type, 256);  // the type is forced; the passes still run
    nighthash_update(&ctx, segment, sizeof segment);
    nighthash_update(&ctx, index, sizeof index);
    nighthash_final(&ctx, out);
    std::memcpy(segment, out, sizeof segment);
  }
}
BENCHMARK(NighthashSegment)->Name("nighthash/segment 36 B/type")->DenseRange(0, 7);

// The data-chosen mix, as tile generation meets it.
void NighthashSegmentMixed(benchmark::State& state) {
  uint8_t segment[32] = {1};
  const uint8_t index[4] = {1, 2, 3, 4};
  nighthash_ctx_t ctx;
  for (auto _ : state) {
    nighthash_transform_init(&ctx, segment, sizeof segment, 0x4321, 256);
    nighthash_update(&ctx, segment, sizeof segment);
    nighthash_update(&ctx, index, sizeof index);
    nighthash_final(&ctx, segment);
  }
}
BENCHMARK(NighthashSegmentMixed)->Name("nighthash/segment 36 B/data-chosen");

void NighthashPasses(benchmark::State& state) {
  uint8_t data[32] = {7};
  for (auto _ : state) {
    uint32_t op = 0;
    fp_operation(data, sizeof data, 0x4321, &op, 1);
    bitbyte_transform(data, sizeof data, &op);
    benchmark::DoNotOptimize(op);
  }
}
BENCHMARK(NighthashPasses)->Name("nighthash/fp_operation+bitbyte_transform 32 B");

void TileGeneration(benchmark::State& state) {
  uint8_t phash[32];
  for (int i = 0; i < 32; ++i) phash[i] = static_cast<uint8_t>(i * 13);
  uint8_t tile[PEACH_TILE_LENGTH];
  uint32_t index = 0;
  for (auto _ : state) {
    kest_pow::build_tile(tile, index, phash, nullptr);
    index = (index + 7919) & PEACH_TILE_INDEX_MASK;
    benchmark::DoNotOptimize(tile);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(TileGeneration)->Name("peach/tiles generated");

void NextIndex(benchmark::State& state) {
  const std::vector<uint8_t> tile = Message(PEACH_TILE_LENGTH);
  std::vector<uint8_t> nonce = Message(32);
  uint32_t index = 12345;
  for (auto _ : state) {
    index = next_index(index, tile.data(), nonce.data());
    nonce[0] = static_cast<uint8_t>(index);  // vary the chosen algorithm
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(NextIndex)->Name("peach/next_index (1060 B)");

// Full checks over 64 distinct valid trailers (the header bytes vary, the haikus are valid).
void PeachCheck(benchmark::State& state) {
  const uint8_t haiku[16] = {13, 83, 1, 5, 129, 1, 18, 0};
  std::vector<BTRAILER> trailers(64);
  for (size_t i = 0; i < trailers.size(); ++i) {
    std::memset(&trailers[i], 0, sizeof(BTRAILER));
    trailers[i].header[0] = static_cast<uint8_t>(i);
    trailers[i].phash[0] = static_cast<uint8_t>(i * 3);
    std::memcpy(trailers[i].nonce, haiku, 16);
    std::memcpy(trailers[i].nonce + 16, haiku, 16);
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(peach(&trailers[i], 0, nullptr));
    i = (i + 1) % trailers.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PeachCheck)->Name("peach/checks (one core)")->Unit(benchmark::kMicrosecond);

}  // namespace
