// libFuzzer target: the job decode (Kest::DecodeJob over a work record) and base64, with the
// job text and its announced length taken from arbitrary bytes. Besides crashes and sanitizer
// reports it checks that the decode writes nothing but decoded bytes and that a well-formed job
// always comes through whole, and aborts when that fails.
#include "app/records.h"
#include "app/utils.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr unsigned char kFill = 0x5A;
constexpr std::size_t kTrailerBytes = sizeof(BTRAILER);

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

bool Untouched(const uint8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] != kFill) return false;
  }
  return true;
}

// A record filled with a known pattern, with `text` copied in and `text_len` as given.
std::unique_ptr<work> Record(const std::string& text, int32_t text_len) {
  auto record = std::make_unique<work>();
  std::memset(record.get(), kFill, sizeof(work));
  std::memcpy(record->text, text.data(), std::min(text.size(), sizeof(record->text)));
  record->text_len = text_len;
  return record;
}

// Arbitrary text and an arbitrary announced length (negative, beyond the text, beyond the
// record): only the decoded bytes may change.
void CheckArbitraryText(const std::string& text, int32_t text_len) {
  auto record = Record(text, text_len);
  const int32_t diff = record->diff;
  const std::size_t written = Kest::DecodeJob(reinterpret_cast<uint8_t*>(record.get()));
  Require(written <= sizeof(record->decoded), "the decode stays inside the record");
  Require(Untouched(record->decoded + written, sizeof(record->decoded) - written),
          "bytes past the decoded length keep their contents");
  Require(record->diff == diff && record->text_len == text_len, "only decoded bytes change");
}

// The bytes as a pool would send a job: base64 of exactly one trailer.
void CheckWellFormedJob(const std::string& bytes) {
  std::string trailer = bytes.substr(0, kTrailerBytes);
  trailer.resize(kTrailerBytes, '\0');
  const std::string text =
      base64_encode(reinterpret_cast<const unsigned char*>(trailer.data()), kTrailerBytes);
  auto record = Record(text, static_cast<int32_t>(text.size()));
  const std::size_t written = Kest::DecodeJob(reinterpret_cast<uint8_t*>(record.get()));
  Require(written == kTrailerBytes, "a well-formed job decodes to one trailer");
  Require(std::memcmp(record->decoded, trailer.data(), kTrailerBytes) == 0,
          "a well-formed job decodes to its own bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < sizeof(int32_t)) return 0;
  int32_t text_len = 0;
  std::memcpy(&text_len, data, sizeof(text_len));
  const std::string text(reinterpret_cast<const char*>(data + sizeof(text_len)),
                         size - sizeof(text_len));
  CheckArbitraryText(text, text_len);
  CheckWellFormedJob(text);
  return 0;
}
