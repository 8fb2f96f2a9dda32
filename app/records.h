// Fixed-size records passed between the pool layer, the mining engine and the proof of work.
// They are plain, trivially copyable and laid out exactly as the C facades of the pool clients
// expect: those take a `work` record as a raw byte pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Block trailer: the first 124 bytes are the input of the proof of work.
struct BTRAILER {
  uint8_t phash[32];   // previous-block hash: seeds every tile of the map
  uint8_t header[60];  // opaque header fields
  uint8_t nonce[32];   // first haiku (bytes 92..107) and second haiku (108..123)
  uint8_t tail[36];    // carried along, not hashed
};

// Job record; also carries a submission (decoded 0..63) or a hash rate (hr) to a client.
struct work {
  char text[2048];        // base64 job text as the pool sent it; text_len characters are valid
  uint8_t decoded[1024];  // job: the trailer in bytes 0..159; submission: phash, then nonce
  int32_t diff;           // share difficulty; 0 means no job yet
  int32_t text_len;       // characters of `text` written by the last GetWork
  uint64_t block;         // block number; non-zero asks every device to rebuild its map
  float hr;               // hash rate to report, in kH/s
};

// Haiku prefix template sent by a pool.
struct work_template {
  char* prefix_text;    // 128-byte buffer owned by the holder of the record (allocated on demand)
  uint32_t prefix[16];  // first 16 decoded prefix bytes, one per entry
  int32_t frame_id;
  int32_t num_prefix;
};

// A solution: the previous-block hash it was found for and its 32-byte nonce.
struct HostOutput {
  uint8_t phash[32];
  uint8_t nonce[32];
};

namespace Kest {
constexpr std::size_t kWorkTextCapacity = sizeof(work::text);  // 2048
constexpr std::size_t kWorkTextMax = kWorkTextCapacity - 1;    // longest job text accepted
constexpr std::size_t kTemplatePrefixCapacity = 128;
constexpr std::size_t kTrailerSize = sizeof(BTRAILER);           // 160
constexpr std::size_t kNonceOffset = offsetof(BTRAILER, nonce);  // 92
constexpr std::size_t kSecondHalfOffset = kNonceOffset + 16;     // 108
constexpr std::size_t kHashedPrefix = 124;                       // bytes 0..123 are hashed

// Job decode: base64-decodes exactly `text_len` characters of `text` (at most 2047, stopping
// early at a NUL) into `decoded`, starting at its first byte. Bytes beyond the decoded length
// keep their previous contents; nothing else changes. Returns the number of bytes written.
std::size_t DecodeJob(uint8_t* work_record);
}  // namespace Kest

// Layout checks: the C facades and the device code rely on these exact sizes and offsets.
static_assert(std::is_trivially_copyable<BTRAILER>::value, "BTRAILER must be plain");
static_assert(sizeof(BTRAILER) == 160, "BTRAILER is 160 bytes");
static_assert(offsetof(BTRAILER, phash) == 0, "phash at 0");
static_assert(offsetof(BTRAILER, nonce) == 92, "nonce at 92");
static_assert(offsetof(BTRAILER, tail) == 124, "tail at 124");

static_assert(std::is_trivially_copyable<work>::value, "work must be plain");
static_assert(offsetof(work, text) == 0, "text at 0");
static_assert(offsetof(work, decoded) == 2048, "decoded at 2048");
static_assert(offsetof(work, diff) == 3072, "diff at 3072");
static_assert(offsetof(work, text_len) == 3076, "text_len at 3076");
static_assert(offsetof(work, block) == 3080, "block at 3080");
static_assert(offsetof(work, hr) == 3088, "hr at 3088");

static_assert(std::is_trivially_copyable<work_template>::value, "work_template must be plain");
static_assert(std::is_trivially_copyable<HostOutput>::value, "HostOutput must be plain");
static_assert(sizeof(HostOutput) == 64, "HostOutput is 64 bytes");
static_assert(offsetof(HostOutput, nonce) == 32, "nonce follows phash");
