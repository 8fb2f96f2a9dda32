// libFuzzer target: the pool line framer, the line parser and the base64 codec on arbitrary
// bytes. Besides crashes and sanitizer reports it checks a few properties and aborts when one
// fails.
#include "app/records.h"
#include "app/utils.h"
#include "pool/stratum_parser.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

// Feeds `text` to a framer in pieces whose sizes come from `pieces`; returns whether every
// append was accepted.
bool Frame(const std::string& text, const std::vector<std::size_t>& pieces,
           std::vector<std::string>& lines) {
  Kest::LineFramer framer;
  std::size_t at = 0;
  std::size_t piece = 0;
  while (at < text.size()) {
    const std::size_t size = std::min(text.size() - at, pieces[piece++ % pieces.size()]);
    if (!framer.Append(text.data() + at, size, lines)) return false;
    at += size;
  }
  return true;
}

void CheckFramingAndParsing(const std::string& text, uint8_t cut_seed) {
  std::vector<std::string> whole;
  std::vector<std::string> split;
  const bool whole_ok = Frame(text, {text.size() + 1}, whole);
  const bool split_ok =
      Frame(text, {1u + cut_seed % 7u, 1u + cut_seed % 13u, 1u + cut_seed % 64u}, split);
  Require(whole_ok == split_ok, "framing accepts the same text whatever the read sizes");
  if (whole_ok) Require(whole == split, "framing gives the same lines whatever the read sizes");
  for (const auto& line : whole) {
    Require(!line.empty() && line.find('\n') == std::string::npos, "lines are non-empty");
    const reply_parser reply(line);
    const int kind = reply.type();
    Require(kind == Kest::kReplyNothing || kind == Kest::kReplyJob || kind == Kest::kReplyMessage ||
                kind == Kest::kReplyTemplate || kind == Kest::kReplyPong,
            "known result kind");
    if (reply.code() == Kest::kNotJsonCode) Require(kind == Kest::kReplyNothing, "not JSON: 0");
    if (kind != Kest::kReplyNothing) Require(reply.code() == 0, "only bad lines carry a code");
  }
}

void CheckBase64(const std::string& bytes) {
  const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::string text = base64_encode(raw, static_cast<uint32_t>(bytes.size()));
  Require(text.size() == (bytes.size() + 2) / 3 * 4, "encoded length");
  Require(base64_decode(text) == bytes, "decode(encode(x)) == x");

  // The same bytes read as base64 text: decoding never grows and is stable.
  const std::string decoded = base64_decode(bytes);
  Require(decoded.size() <= bytes.size() / 4 * 3 + 2, "decoded length");
  const auto* again = reinterpret_cast<const unsigned char*>(decoded.data());
  Require(base64_decode(base64_encode(again, static_cast<uint32_t>(decoded.size()))) == decoded,
          "decoded bytes survive a round trip");
}

void CheckJobDecode(const std::string& bytes) {
  auto record = std::make_unique<work>();
  std::memset(record.get(), 0x77, sizeof(work));
  const std::size_t length = std::min(bytes.size(), sizeof(record->text));
  std::memcpy(record->text, bytes.data(), length);
  record->text_len = static_cast<int32_t>(bytes.size());
  const std::size_t written = Kest::DecodeJob(reinterpret_cast<uint8_t*>(record.get()));
  Require(written <= sizeof(record->decoded), "job decode stays inside the record");
  Require(record->diff == 0x77777777, "job decode writes only decoded bytes");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parser reports on standard output; the fuzzer reports on standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  CheckFramingAndParsing(text, data[0]);
  CheckBase64(text);
  CheckJobDecode(text);
  return 0;
}
