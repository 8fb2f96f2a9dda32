#include "pool/stratum_parser.h"

// The JSON reader pulls in the old bind header; keep its placeholders where they were.
#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif

#include "app/records.h"
#include "app/utils.h"

#include <boost/optional.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cctype>
#include <cstdio>
#include <exception>
#include <locale>
#include <sstream>

namespace {
using Tree = boost::property_tree::ptree;

const char kNotJsonHead[] = "\n Receive invalid message from server (Not JSON format): \n";
const char kNotJsonTail[] = "\n Please send this to Pool owner!";

// Reads `line` as JSON; false unless it is an object or an array the reader accepts.
bool ReadJson(const std::string& line, Tree& tree) {
  const auto first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || (line[first] != '{' && line[first] != '[')) return false;
  try {
    std::istringstream in(line);
    boost::property_tree::read_json(in, tree);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Text of the top-level key `key`, as the reader holds it.
boost::optional<std::string> Text(const Tree& tree, const char* key) {
  const auto child = tree.get_child_optional(Tree::path_type(key, '\0'));
  if (!child) return boost::none;
  return child->data();
}

// True when only white space is left in `in`.
bool OnlySpaceLeft(std::istream& in) {
  for (int c = in.get(); c != std::char_traits<char>::eof(); c = in.get()) {
    if (!std::isspace(c)) return false;
  }
  return true;
}

template <typename T>
bool ExtractDecimal(const std::string& text, T& value, bool allow_minus) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> std::ws;
  if (!allow_minus && in.peek() == '-') return false;
  T parsed{};
  in >> parsed;
  if (in.fail()) return false;
  in.clear();
  if (!OnlySpaceLeft(in)) return false;
  value = parsed;
  return true;
}

// Longest field value quoted in a refusal line.
constexpr std::size_t kQuotedValueMax = 40;

std::string Quoted(const std::string& value) {
  if (value.size() <= kQuotedValueMax) return Kest::Printable(value);
  return Kest::Printable(value.substr(0, kQuotedValueMax)) + "... (" +
         std::to_string(value.size()) + " characters)";
}

// One refusal line: which field of which message, and why.
std::string Refusal(const char* what, const char* method, const char* kept, const char* field,
                    const std::string& reason) {
  return std::string(what) + " refused: " + method + " field \"" + field + "\" " + reason +
         "; keeping the current " + kept;
}

std::string JobRefusal(const char* field, const std::string& reason) {
  return Refusal("Job", "mining.notify", "job", field, reason);
}

std::string TemplateRefusal(const char* field, const std::string& reason) {
  return Refusal("Template", "mining.template", "template", field, reason);
}

// A job is taken only when all three fields are sound: the text is base64 of a whole block
// trailer and the difficulty one the search can use. Anything else leaves `kind` at 0 with
// the refusal in `refusal`.
void ParseJob(const Tree& tree, std::string& root, int32_t& diff, uint64_t& block, int32_t& kind,
              std::string& refusal) {
  const auto root_text = Text(tree, "root");
  std::string trailer;
  if (!root_text) {
    refusal = JobRefusal("root", "is missing");
    return;
  }
  if (!Kest::DecodeBase64Exact(*root_text, Kest::kTrailerSize, trailer)) {
    refusal = JobRefusal("root", Quoted(*root_text) + " is not base64 of a " +
                                     std::to_string(Kest::kTrailerSize) + "-byte block trailer");
    return;
  }
  const auto diff_text = Text(tree, "diff");
  int32_t difficulty = 0;
  if (!diff_text) {
    refusal = JobRefusal("diff", "is missing");
    return;
  }
  if (!Kest::ParseInt32(*diff_text, difficulty)) {
    refusal = JobRefusal("diff", Quoted(*diff_text) + " is not an integer");
    return;
  }
  if (difficulty < Kest::kMinShareDiff || difficulty > Kest::kMaxShareDiff) {
    refusal = JobRefusal("diff", std::to_string(difficulty) + " is outside " +
                                     std::to_string(Kest::kMinShareDiff) + ".." +
                                     std::to_string(Kest::kMaxShareDiff));
    return;
  }
  const auto block_text = Text(tree, "block");
  uint64_t number = 0;
  if (!block_text) {
    refusal = JobRefusal("block", "is missing");
    return;
  }
  if (!Kest::ParseUint64(*block_text, number)) {
    refusal = JobRefusal("block", Quoted(*block_text) + " is not an unsigned 64-bit integer");
    return;
  }
  root = *root_text;
  diff = difficulty;
  block = number;
  kind = Kest::kReplyJob;
}

void ParseTemplate(const Tree& tree, std::string& prefix, int32_t& num_prefix, int32_t& frame_id,
                   int32_t& kind, std::string& refusal) {
  const auto prefix_text = Text(tree, "base64_prefix");
  if (!prefix_text) {
    refusal = TemplateRefusal("base64_prefix", "is missing");
    return;
  }
  struct Field {
    const char* name;
    int32_t& value;
  };
  int32_t num = 0;
  int32_t frame = 0;
  for (const Field& field : {Field{"num_prefix", num}, Field{"frame_id", frame}}) {
    const auto text = Text(tree, field.name);
    if (!text) {
      refusal = TemplateRefusal(field.name, "is missing");
      return;
    }
    if (!Kest::ParseInt32(*text, field.value)) {
      refusal = TemplateRefusal(field.name, Quoted(*text) + " is not an integer");
      return;
    }
  }
  prefix = *prefix_text;
  num_prefix = num;
  frame_id = frame;
  kind = Kest::kReplyTemplate;
}

// Prints one report of a pool line: through `printer` when given, so that a pool repeating
// itself is summarised, else at once.
void Report(const std::string& text, Kest::RepeatPrinter* printer) {
  if (printer != nullptr) {
    printer->Print(text);
  } else {
    Kest::Print(text + "\n");
  }
}

void PrintUnhandled(const std::string& line, Kest::RepeatPrinter* printer) {
  Report("Unhandled message: \n" + Kest::Printable(line), printer);
}
}  // namespace

namespace Kest {

std::string SubscribeLine(const std::string& account) {
  return "{\"method\":\"subscribe\", \"account\":\"" + JsonEscape(account) + "\"}\n";
}

std::string PingLine() {
  return "{\"method\":\"ping\"}\n";
}

std::string SubmitLine(const uint8_t* nonce) {
  return "{\"method\":\"submit\", \"nonce\":\"" +
         base64_encode(nonce, static_cast<uint32_t>(kNonceBytes)) + "\"}\n";
}

std::string TemplateRequestLine() {
  return "{\"method\":\"mining.xtemplate\"}\n";
}

std::string HashRateLine(float hash_rate) {
  const double rate = hash_rate;
  const int size = std::snprintf(nullptr, 0, "%f", rate);
  std::string digits(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) std::snprintf(&digits[0], digits.size() + 1, "%f", rate);
  return "{\"method\":\"mining.update_hr\", \"hr\":" + digits + "}\n";
}

bool ParseInt32(const std::string& text, int32_t& value) {
  return ExtractDecimal(text, value, true);
}

bool ParseUint64(const std::string& text, uint64_t& value) {
  // Stream extraction would wrap a negative text around; a block number is never negative.
  return ExtractDecimal(text, value, false);
}

bool LineFramer::Append(const char* data, std::size_t size, std::vector<std::string>& lines) {
  pending_.append(data, size);
  const auto last_feed = pending_.rfind('\n');
  if (last_feed != std::string::npos) {
    std::vector<std::string> complete;
    SplitString(pending_.substr(0, last_feed + 1), "\n", complete);
    pending_.erase(0, last_feed + 1);
    for (auto& line : complete) {
      if (line.size() > max_line_) {
        pending_.clear();
        return false;
      }
      lines.push_back(std::move(line));
    }
  }
  if (pending_.size() > max_line_) {
    pending_.clear();
    return false;
  }
  return true;
}

}  // namespace Kest

reply_parser::reply_parser(const std::string& line, Kest::RepeatPrinter* printer) {
  Tree tree;
  if (!ReadJson(line, tree)) {
    code_ = Kest::kNotJsonCode;
    description_ = kNotJsonHead + Kest::Printable(line) + kNotJsonTail;
    return;
  }

  const auto method = Text(tree, "method");
  if (!method) {
    int32_t error = 0;
    const auto error_text = Text(tree, "error");
    if (error_text && Kest::ParseInt32(*error_text, error)) {
      error_reply_ = true;
      std::string report = "Error code  " + std::to_string(error);
      const auto des = Text(tree, "des");
      if (des) report += ": " + Kest::Printable(*des);
      Report(report, printer);
    } else {
      PrintUnhandled(line, printer);
    }
    return;
  }

  if (*method == "mining.notify") {
    ParseJob(tree, root_, diff_, block_, kind_, description_);
  } else if (*method == "mining.template") {
    ParseTemplate(tree, base64_prefix_, num_prefix_, frame_id_, kind_, description_);
  } else if (*method == "message") {
    const auto value = Text(tree, "value");
    if (!value) return;
    Report(" " + Kest::Printable(*value), printer);
    kind_ = Kest::kReplyMessage;
  } else if (*method == "pong") {
    Kest::Print("ping from server\n");
    kind_ = Kest::kReplyPong;
  } else {
    PrintUnhandled(line, printer);
  }
}

std::string reply_parser::errorText() const {
  if (code_ != 0) return "Error Code: " + std::to_string(code_) + " " + description_;
  return description_;
}

void reply_parser::printError() const {
  const std::string text = errorText();
  if (!text.empty()) Kest::Print(text + "\n");
}
