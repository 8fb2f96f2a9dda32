#include "pool/stratum_parser.h"

// The JSON reader pulls in the old bind header; keep its placeholders where they were.
#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif

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

void ParseJob(const Tree& tree, std::string& root, int32_t& diff, uint64_t& block, int32_t& kind) {
  const auto root_text = Text(tree, "root");
  if (!root_text) return;
  root = *root_text;
  const auto diff_text = Text(tree, "diff");
  if (!diff_text || !Kest::ParseInt32(*diff_text, diff)) return;
  const auto block_text = Text(tree, "block");
  if (!block_text || !Kest::ParseUint64(*block_text, block)) return;
  kind = Kest::kReplyJob;
}

void ParseTemplate(const Tree& tree, std::string& prefix, int32_t& num_prefix, int32_t& frame_id,
                   int32_t& kind) {
  const auto prefix_text = Text(tree, "base64_prefix");
  if (!prefix_text) return;
  prefix = *prefix_text;
  const auto num_text = Text(tree, "num_prefix");
  if (!num_text || !Kest::ParseInt32(*num_text, num_prefix)) return;
  const auto frame_text = Text(tree, "frame_id");
  if (!frame_text || !Kest::ParseInt32(*frame_text, frame_id)) return;
  kind = Kest::kReplyTemplate;
}

void PrintUnhandled(const std::string& line) {
  Kest::Print("Unhandled message: \n" + line + "\n");
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

reply_parser::reply_parser(const std::string& line) {
  Tree tree;
  if (!ReadJson(line, tree)) {
    code_ = Kest::kNotJsonCode;
    description_ = kNotJsonHead + line + kNotJsonTail;
    return;
  }

  const auto method = Text(tree, "method");
  if (!method) {
    int32_t error = 0;
    const auto error_text = Text(tree, "error");
    if (error_text && Kest::ParseInt32(*error_text, error)) {
      std::string report = "Error code  " + std::to_string(error);
      const auto des = Text(tree, "des");
      if (des) report += ": " + *des;
      Kest::Print(report + "\n");
    } else {
      PrintUnhandled(line);
    }
    return;
  }

  if (*method == "mining.notify") {
    ParseJob(tree, root_, diff_, block_, kind_);
  } else if (*method == "mining.template") {
    ParseTemplate(tree, base64_prefix_, num_prefix_, frame_id_, kind_);
  } else if (*method == "message") {
    const auto value = Text(tree, "value");
    if (!value) return;
    Kest::Print(" " + *value + "\n");
    kind_ = Kest::kReplyMessage;
  } else if (*method == "pong") {
    Kest::Print("ping from server\n");
    kind_ = Kest::kReplyPong;
  } else {
    PrintUnhandled(line);
  }
}

void reply_parser::printError() const {
  Kest::Print("Error Code: " + std::to_string(code_) + " " + description_ + "\n");
}
