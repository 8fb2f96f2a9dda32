// Stratum wire protocol: the request lines the client sends, the parser for one received line,
// and the framer that cuts the received byte stream into lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Kest {
class RepeatPrinter;

// Result kinds of reply_parser::type().
constexpr int kReplyNothing = 0;   // error reply, unhandled message or malformed line
constexpr int kReplyJob = 1;       // "mining.notify"
constexpr int kReplyMessage = 4;   // "message" text from the server
constexpr int kReplyTemplate = 5;  // "mining.template"
constexpr int kReplyPong = 6;      // "pong"

// Share difficulties a job may carry: the search compares at most 255 leading zero bits, and
// 0 would make every candidate a share.
constexpr int32_t kMinShareDiff = 1;
constexpr int32_t kMaxShareDiff = 255;

// Error code reported for a received line that is not JSON.
constexpr int kNotJsonCode = -15;

// Longest line accepted from a pool (without its line feed); anything longer is a transport
// error, so a peer that never sends a line feed cannot make the client buffer without end.
constexpr std::size_t kMaxLineBytes = 64 * 1024;

// Bytes of the nonce carried by a submit line.
constexpr std::size_t kNonceBytes = 32;

// Request lines, each ending in a line feed.
std::string SubscribeLine(const std::string& account);  // the key is escaped as JSON content
std::string PingLine();
std::string SubmitLine(const uint8_t* nonce);  // kNonceBytes bytes, sent as base64
std::string TemplateRequestLine();
std::string HashRateLine(float hash_rate);  // "%f" form of the rate widened to double

// Decimal conversions used for received values: leading and trailing white space allowed,
// nothing else; false when the text is not a number of the type or does not fit it.
bool ParseInt32(const std::string& text, int32_t& value);
bool ParseUint64(const std::string& text, uint64_t& value);

// Cuts received text into lines. Text after the last line feed is kept and joins the next
// append, so a line split over several reads comes out once, whole. Empty lines are dropped;
// a carriage return before a line feed stays at the end of its line.
class LineFramer {
 public:
  explicit LineFramer(std::size_t max_line = kMaxLineBytes) : max_line_(max_line) {}

  // Appends `size` received bytes and adds every line completed by them to `lines`, in order.
  // Returns false when a line (complete or not) is longer than the limit; the lines before
  // it are still added and the buffered text is dropped.
  bool Append(const char* data, std::size_t size, std::vector<std::string>& lines);

  // Drops the buffered partial line (a new connection starts a new stream).
  void Reset() { pending_.clear(); }

  std::size_t pending_size() const { return pending_.size(); }

 private:
  std::size_t max_line_;
  std::string pending_;
};
}  // namespace Kest

// One received line, parsed on construction; read-only afterwards. Bad input never throws:
// it yields kind 0. A line that is not JSON carries error code -15 and a description; a job or
// template with a missing or unsound field carries a description naming the field. Text from
// the pool is printed with its control characters made visible (Kest::Printable).
class reply_parser {
 public:
  // What the parser prints (messages, error replies, unhandled lines) goes through `printer`
  // when one is given.
  explicit reply_parser(const std::string& line, Kest::RepeatPrinter* printer = nullptr);

  int type() const { return kind_; }

  // The report of a kind-0 line: "Error Code: -15 " and the description for a line that is not
  // JSON, the refusal for an unsound job or template, else empty (an error reply or an
  // unhandled message has been printed already).
  std::string errorText() const;
  // Prints errorText() and a line end, unless it is empty.
  void printError() const;
  // An error reply from the pool ("error" with an integer, no "method").
  bool is_error_reply() const { return error_reply_; }

  const std::string& root() const { return root_; }
  const std::string& base64_prefix() const { return base64_prefix_; }
  int32_t num_prefix() const { return num_prefix_; }
  int32_t frame_id() const { return frame_id_; }
  int32_t diff() const { return diff_; }
  uint64_t block() const { return block_; }
  const std::string& description() const { return description_; }
  int32_t code() const { return code_; }

 private:
  std::string root_ = "null";
  std::string base64_prefix_;
  int32_t num_prefix_ = 0;
  int32_t frame_id_ = 0;
  int32_t diff_ = 0;
  uint64_t block_ = 0;
  int32_t kind_ = Kest::kReplyNothing;
  std::string description_;
  int32_t code_ = 0;  // 0 unless the line was not JSON
  bool error_reply_ = false;
};
