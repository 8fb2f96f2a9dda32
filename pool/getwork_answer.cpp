#include "pool/getwork_answer.h"

#include "app/utils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace Kest {

namespace {

const char kNoWorkAnswer[] = "{\"error\" : 2}";
constexpr int kMaxDepth = 64;               // nesting the reader follows before it gives up
constexpr std::size_t kMaxQuoted = 40;      // pool text quoted in a refusal
constexpr std::size_t kMaxNumberText = 24;  // longer numbers are out of range anyway

enum class JsonType { kNone, kString, kNumber, kOther };

// One top-level member the answer reader wants: its type and, for strings and numbers, its
// decoded text.
struct Member {
  JsonType type = JsonType::kNone;
  std::string text;
};

// Strict reader of one JSON document whose top level is an object. Only the wanted top-level
// members are kept; everything else is checked for syntax and skipped.
class AnswerReader {
 public:
  explicit AnswerReader(const std::string& text) : s_(text) {}

  bool Read(Member* broot, Member* diff, Member* nblock) {
    wanted_[0] = {"broot", broot};
    wanted_[1] = {"diff", diff};
    wanted_[2] = {"nblock", nblock};
    SkipSpace();
    if (at_ >= s_.size() || s_[at_] != '{') return Fail("the answer is not a JSON object");
    if (!Value(0, nullptr, true)) return false;
    SkipSpace();
    if (at_ != s_.size()) return Fail("text after the JSON object");
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = what + " (at byte " + std::to_string(at_) + ")";
    return false;
  }

  void SkipSpace() {
    while (at_ < s_.size() &&
           (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) {
      ++at_;
    }
  }

  bool Literal(const char* word) {
    for (const char* c = word; *c != '\0'; ++c, ++at_) {
      if (at_ >= s_.size() || s_[at_] != *c) return Fail("invalid JSON literal");
    }
    return true;
  }

  // Reads one value at the current position. `out`, when given, receives its type and text.
  // `top` marks the answer's own object, whose members are matched against the wanted keys.
  bool Value(int depth, Member* out, bool top = false) {
    if (depth > kMaxDepth) return Fail("JSON nested too deeply");
    SkipSpace();
    if (at_ >= s_.size()) return Fail("the JSON text ends early");
    Member ignored;
    Member& m = out != nullptr ? *out : ignored;
    const char c = s_[at_];
    if (c == '"') {
      m.type = JsonType::kString;
      return String(&m.text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      m.type = JsonType::kNumber;
      return Number(&m.text);
    }
    m.type = JsonType::kOther;
    m.text.clear();
    if (c == '{') return Object(depth, top);
    if (c == '[') return Array(depth);
    if (c == 't') return Literal("true");
    if (c == 'f') return Literal("false");
    if (c == 'n') return Literal("null");
    return Fail("unexpected character in JSON");
  }

  bool Object(int depth, bool top) {
    ++at_;  // '{'
    SkipSpace();
    if (at_ < s_.size() && s_[at_] == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (at_ >= s_.size() || s_[at_] != '"') return Fail("a JSON member name is missing");
      std::string key;
      if (!String(&key)) return false;
      SkipSpace();
      if (at_ >= s_.size() || s_[at_] != ':') return Fail("':' is missing after a member name");
      ++at_;
      Member* target = nullptr;
      if (top) {
        for (auto& w : wanted_) {
          if (key == w.key) target = w.member;
        }
      }
      if (!Value(depth + 1, target)) return false;
      SkipSpace();
      if (at_ >= s_.size()) return Fail("the JSON text ends early");
      if (s_[at_] == '}') {
        ++at_;
        return true;
      }
      if (s_[at_] != ',') return Fail("',' or '}' expected in a JSON object");
      ++at_;
    }
  }

  bool Array(int depth) {
    ++at_;  // '['
    SkipSpace();
    if (at_ < s_.size() && s_[at_] == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      if (!Value(depth + 1, nullptr)) return false;
      SkipSpace();
      if (at_ >= s_.size()) return Fail("the JSON text ends early");
      if (s_[at_] == ']') {
        ++at_;
        return true;
      }
      if (s_[at_] != ',') return Fail("',' or ']' expected in a JSON array");
      ++at_;
    }
  }

  static void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  // Four hex digits after "\u"; false when they are not.
  bool Hex4(uint32_t* code) {
    if (s_.size() - at_ < 4) return false;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = s_[at_++];
      v <<= 4;
      if (h >= '0' && h <= '9') {
        v |= static_cast<uint32_t>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        v |= static_cast<uint32_t>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        v |= static_cast<uint32_t>(h - 'A' + 10);
      } else {
        return false;
      }
    }
    *code = v;
    return true;
  }

  bool String(std::string* out) {
    out->clear();
    ++at_;  // opening quote
    while (at_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return Fail("control character inside a JSON string");
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        ++at_;
        continue;
      }
      if (++at_ >= s_.size()) break;
      const char e = s_[at_++];
      switch (e) {
        case '"':
          out->push_back('"');
          break;
        case '\\':
          out->push_back('\\');
          break;
        case '/':
          out->push_back('/');
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          uint32_t code = 0;
          if (!Hex4(&code)) return Fail("invalid \\u escape in a JSON string");
          if (code >= 0xDC00 && code <= 0xDFFF) return Fail("lone surrogate in a JSON string");
          if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (s_.compare(at_, 2, "\\u") != 0) return Fail("lone surrogate in a JSON string");
            at_ += 2;
            if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
              return Fail("lone surrogate in a JSON string");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(code, out);
          break;
        }
        default:
          return Fail("invalid escape in a JSON string");
      }
    }
    return Fail("unterminated JSON string");
  }

  bool Digits() {
    const std::size_t from = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > from;
  }

  bool Number(std::string* out) {
    const std::size_t from = at_;
    if (s_[at_] == '-') ++at_;
    if (at_ < s_.size() && s_[at_] == '0') {
      ++at_;
    } else if (!Digits()) {
      return Fail("invalid JSON number");
    }
    if (at_ < s_.size() && s_[at_] == '.') {
      ++at_;
      if (!Digits()) return Fail("invalid JSON number");
    }
    if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
      if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
      if (!Digits()) return Fail("invalid JSON number");
    }
    out->assign(s_, from, at_ - from);
    return true;
  }

  struct Wanted {
    const char* key;
    Member* member;
  };

  const std::string& s_;
  std::size_t at_ = 0;
  Wanted wanted_[3] = {};
  std::string error_;
};

// A signed 32-bit integer from a JSON number's text; false for fractions, exponents and values
// out of range.
bool ToInt32(const std::string& text, int32_t* value) {
  if (text.size() > kMaxNumberText || text.find_first_of(".eE") != std::string::npos) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  *value = static_cast<int32_t>(v);
  return true;
}

GetworkAnswer Refuse(const std::string& reason) {
  GetworkAnswer answer;
  answer.kind = GetworkAnswer::kRefused;
  answer.reason = reason;
  return answer;
}

// Checks one integer member; on failure sets `reason`.
bool TakeInteger(const char* key, const Member& m, int32_t* value, std::string* reason) {
  const std::string name = std::string("\"") + key + "\"";
  if (m.type == JsonType::kNone) {
    *reason = "the answer has no " + name;
  } else if (m.type != JsonType::kNumber) {
    *reason = name + " of the answer is not a number";
  } else if (!ToInt32(m.text, value)) {
    *reason =
        name + " of the answer is not a 32-bit integer: " + GetworkPrintable(m.text, kMaxQuoted);
  } else {
    return true;
  }
  return false;
}

}  // namespace

GetworkAnswer ParseGetworkAnswer(const std::string& body) {
  if (body == kNoWorkAnswer) {
    GetworkAnswer answer;
    answer.kind = GetworkAnswer::kNoWork;
    return answer;
  }
  if (body.size() > kGetworkMaxAnswer) return Refuse("the answer is too large");
  Member broot;
  Member diff;
  Member nblock;
  AnswerReader reader(body);
  if (!reader.Read(&broot, &diff, &nblock)) {
    return Refuse("not a valid answer: " + reader.error() + ": " +
                  GetworkPrintable(body, kMaxQuoted));
  }
  if (broot.type == JsonType::kNone) return Refuse("the answer has no \"broot\"");
  if (broot.type != JsonType::kString) return Refuse("\"broot\" of the answer is not a string");
  GetworkAnswer answer;
  std::string reason;
  if (!TakeInteger("diff", diff, &answer.diff, &reason) ||
      !TakeInteger("nblock", nblock, &answer.nblock, &reason)) {
    return Refuse(reason);
  }
  answer.kind = GetworkAnswer::kJob;
  answer.broot = std::move(broot.text);
  return answer;
}

std::string GetworkPrintable(const std::string& text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return Printable(text);
  return Printable(text.substr(0, max_bytes)) + "...";
}

}  // namespace Kest
