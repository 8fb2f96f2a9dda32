// libFuzzer target: the getwork client's reader of work-poll answers on arbitrary bytes. Besides
// crashes and sanitizer reports it checks a few properties and aborts when one fails.
#include "app/utils.h"
#include "pool/getwork_answer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

// No control character: no byte below 0x20, no DEL and no C1 control (U+0080..U+009F, encoded
// as 0xC2 0x80..0x9F). Other bytes above 0x7F are well-formed UTF-8 the console may show.
bool Printable(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
    if (byte == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return false;
    }
  }
  return true;
}

// A job answer as a well-behaved pool would write it.
std::string JobBody(const Kest::GetworkAnswer& job) {
  return "{\"broot\":\"" + Kest::JsonEscape(job.broot) +
         "\", \"diff\":" + std::to_string(job.diff) + ", \"nblock\":" + std::to_string(job.nblock) +
         "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const Kest::GetworkAnswer answer = Kest::ParseGetworkAnswer(body);
  switch (answer.kind) {
    case Kest::GetworkAnswer::kNoWork:
      Require(body == "{\"error\" : 2}", "only the exact no-work body means no work");
      break;
    case Kest::GetworkAnswer::kRefused:
      Require(!answer.reason.empty(), "a refusal says why");
      Require(Printable(answer.reason), "a refusal is one printable line");
      Require(answer.reason.size() < 512, "a refusal is short");
      break;
    case Kest::GetworkAnswer::kJob: {
      Require(answer.reason.empty(), "a job carries no refusal");
      const Kest::GetworkAnswer again = Kest::ParseGetworkAnswer(JobBody(answer));
      Require(again.kind == Kest::GetworkAnswer::kJob, "a rewritten job is read again");
      Require(
          again.broot == answer.broot && again.diff == answer.diff && again.nblock == answer.nblock,
          "a rewritten job reads the same");
      break;
    }
  }
  const std::string shown = Kest::GetworkPrintable(body, 64);
  Require(Printable(shown), "printable text has no control bytes");
  Require(shown.size() <= 64 * 4 + 3, "printable text is bounded");
  return 0;
}
