// The Stratum line parser, the request lines and the line framer, without sockets.
#include "pool/stratum_parser.h"

#include "app/utils.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <memory>
#include <utility>
#include <sstream>

namespace {

struct Parsed {
  std::unique_ptr<reply_parser> reply;
  std::string printed;
};

// Parses `line`, keeping what the parser printed.
Parsed Parse(const std::string& line) {
  testing::internal::CaptureStdout();
  auto reply = std::make_unique<reply_parser>(line);
  return {std::move(reply), testing::internal::GetCapturedStdout()};
}

TEST(StratumParser, PongIsKindSixAndPrinted) {
  const Parsed pong = Parse("{\"method\":\"pong\"}");
  EXPECT_EQ(pong.printed, "ping from server\n");
  EXPECT_EQ(pong.reply->type(), Kest::kReplyPong);
  // A carriage return before the line feed stays on the line and counts as white space.
  EXPECT_EQ(Parse("{\"method\":\"pong\"}\r").reply->type(), Kest::kReplyPong);
}

// Base64 of a 160-byte trailer: 214 characters and "==".
const std::string kRoot = std::string(212, 'A') + "AQ==";

std::string Notify(const std::string& root, const std::string& diff, const std::string& block) {
  return "{\"method\":\"mining.notify\",\"root\":" + root + ",\"diff\":" + diff +
         ",\"block\":" + block + "}";
}

TEST(StratumParser, JobWithNumbersOrTexts) {
  const Parsed job = Parse(Notify("\"" + kRoot + "\"", "\"7\"", "18446744073709551615"));
  EXPECT_EQ(job.printed, "");
  ASSERT_EQ(job.reply->type(), Kest::kReplyJob);
  EXPECT_EQ(job.reply->root(), kRoot);
  EXPECT_EQ(job.reply->diff(), 7);
  EXPECT_EQ(job.reply->block(), 18446744073709551615ULL);

  const Parsed spaced = Parse(Notify("\"" + kRoot + "\"", "\" 12 \"", "\"5 \""));
  ASSERT_EQ(spaced.reply->type(), Kest::kReplyJob);
  EXPECT_EQ(spaced.reply->diff(), 12);
  EXPECT_EQ(spaced.reply->block(), 5u);
  // Without its padding the text is still a whole trailer.
  EXPECT_EQ(Parse(Notify("\"" + kRoot.substr(0, 214) + "\"", "255", "1")).reply->type(),
            Kest::kReplyJob);
}

// Each refusal names the field; nothing is printed by the parser itself.
TEST(StratumParser, JobWithBadOrMissingFieldIsRefusedNamingTheField) {
  const std::string root = "\"" + kRoot + "\"";
  const std::pair<std::string, std::string> bad[] = {
      {Notify(root, "7", "\"12x\""), "\"block\" 12x is not an unsigned 64-bit integer"},
      {"{\"method\":\"mining.notify\",\"root\":" + root + ",\"diff\":7}", "\"block\" is missing"},
      {"{\"method\":\"mining.notify\",\"diff\":7,\"block\":1}", "\"root\" is missing"},
      {Notify(root, "1.5", "1"), "\"diff\" 1.5 is not an integer"},
      {Notify(root, "\"12abc\"", "1"), "\"diff\" 12abc is not an integer"},
      {Notify(root, "\"\"", "1"), "\"diff\"  is not an integer"},
      {Notify(root, "2147483648", "1"), "\"diff\" 2147483648 is not an integer"},
      {Notify(root, "256", "1"), "\"diff\" 256 is outside 1..255"},
      {Notify(root, "0", "1"), "\"diff\" 0 is outside 1..255"},
      {Notify(root, "-1", "1"), "\"diff\" -1 is outside 1..255"},
      {Notify(root, "7", "-1"), "\"block\" -1 is not an unsigned 64-bit integer"},
      {Notify(root, "7", "18446744073709551616"), "\"block\" 18446744073709551616 is not"},
      {Notify("null", "7", "1"), "\"root\" null is not base64 of a 160-byte block trailer"},
      {Notify("\"" + kRoot.substr(0, 213) + "\"", "7", "1"), "\"root\" AAAA"},
      {Notify("\"" + kRoot + "=\"", "7", "1"), "\"root\" AAAA"},
      {Notify("\"" + kRoot.substr(0, 100) + "\\u001b\"", "7", "1"),
       "\"root\" " + std::string(40, 'A') + "... (101 characters) is not base64"},
  };
  for (const auto& entry : bad) {
    const Parsed job = Parse(entry.first);
    EXPECT_EQ(job.printed, "") << entry.first;
    EXPECT_EQ(job.reply->type(), Kest::kReplyNothing) << entry.first;
    EXPECT_EQ(job.reply->code(), 0) << entry.first;
    const std::string text = job.reply->errorText();
    EXPECT_EQ(text.rfind("Job refused: mining.notify field " + entry.second, 0), 0u)
        << entry.first << "\n"
        << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
  }
}

TEST(StratumParser, Template) {
  const Parsed full = Parse(
      "{\"method\":\"mining.template\",\"base64_prefix\":\"AQID\",\"num_prefix\":3,"
      "\"frame_id\":\"9\"}");
  ASSERT_EQ(full.reply->type(), Kest::kReplyTemplate);
  EXPECT_EQ(full.reply->base64_prefix(), "AQID");
  EXPECT_EQ(full.reply->num_prefix(), 3);
  EXPECT_EQ(full.reply->frame_id(), 9);

  const Parsed partial =
      Parse("{\"method\":\"mining.template\",\"base64_prefix\":\"AQID\",\"num_prefix\":3}");
  EXPECT_EQ(partial.reply->type(), Kest::kReplyNothing);
  EXPECT_EQ(partial.reply->errorText(),
            "Template refused: mining.template field \"frame_id\" is missing; keeping the "
            "current template");
}

TEST(StratumParser, ServerMessage) {
  const Parsed message = Parse("{\"method\":\"message\",\"value\":\"share accepted\"}");
  EXPECT_EQ(message.printed, " share accepted\n");
  EXPECT_EQ(message.reply->type(), Kest::kReplyMessage);
  const Parsed empty = Parse("{\"method\":\"message\"}");
  EXPECT_EQ(empty.printed, "");
  EXPECT_EQ(empty.reply->type(), Kest::kReplyNothing);
}

TEST(StratumParser, ErrorReplies) {
  const Parsed low = Parse("{\"error\":3,\"des\":\"low share\"}");
  EXPECT_EQ(low.printed, "Error code  3: low share\n");
  EXPECT_EQ(low.reply->type(), Kest::kReplyNothing);
  EXPECT_EQ(Parse("{\"error\":\"-4\"}").printed, "Error code  -4\n");

  const std::string word = "{\"error\":\"stale\",\"des\":\"x\"}";
  const Parsed stale = Parse(word);
  EXPECT_EQ(stale.printed, "Unhandled message: \n" + word + "\n");
  EXPECT_EQ(stale.reply->type(), Kest::kReplyNothing);
}

TEST(StratumParser, UnhandledMessages) {
  const char* lines[] = {"{\"method\":\"mining.set_target\",\"error\":3}",
                         "{\"method\":{\"nested\":1}}", "{\"id\":1,\"result\":true}", "[1,2]",
                         "{}"};
  for (const char* line : lines) {
    const Parsed other = Parse(line);
    EXPECT_EQ(other.printed, std::string("Unhandled message: \n") + line + "\n");
    EXPECT_EQ(other.reply->type(), Kest::kReplyNothing);
  }
}

TEST(StratumParser, NotJsonCarriesCodeAndDescription) {
  const char* lines[] = {"   ",          "not json", "{\"method\":\"pong\"} trailing",
                         "{\"method\":", "42",       "\"pong\""};
  for (const char* line : lines) {
    const Parsed bad = Parse(line);
    EXPECT_EQ(bad.printed, "") << line;
    EXPECT_EQ(bad.reply->type(), Kest::kReplyNothing) << line;
    EXPECT_EQ(bad.reply->code(), Kest::kNotJsonCode) << line;
    testing::internal::CaptureStdout();
    bad.reply->printError();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("Error Code: -15 \n Receive invalid message from server (Not JSON "
                          "format): \n") +
                  line + "\n Please send this to Pool owner!\n");
  }
}

TEST(StratumRequests, FixedLines) {
  EXPECT_EQ(Kest::PingLine(), "{\"method\":\"ping\"}\n");
  EXPECT_EQ(Kest::TemplateRequestLine(), "{\"method\":\"mining.xtemplate\"}\n");
  EXPECT_EQ(Kest::HashRateLine(1234.5f), "{\"method\":\"mining.update_hr\", \"hr\":1234.500000}\n");
  EXPECT_EQ(Kest::HashRateLine(0.0f), "{\"method\":\"mining.update_hr\", \"hr\":0.000000}\n");
}

TEST(StratumRequests, SubmitCarriesBase64Nonce) {
  const uint8_t zero[Kest::kNonceBytes] = {};
  EXPECT_EQ(Kest::SubmitLine(zero),
            "{\"method\":\"submit\", \"nonce\":\"" + std::string(43, 'A') + "=\"}\n");
  uint8_t nonce[Kest::kNonceBytes];
  for (std::size_t i = 0; i < sizeof(nonce); ++i) nonce[i] = static_cast<uint8_t>(i * 37 + 1);
  const std::string line = Kest::SubmitLine(nonce);
  const auto start = line.find("\"nonce\":\"") + 9;
  const std::string text = line.substr(start, 44);
  EXPECT_EQ(base64_decode(text), std::string(reinterpret_cast<char*>(nonce), sizeof(nonce)));
}

TEST(StratumRequests, SubscribeEscapesTheAccountKey) {
  EXPECT_EQ(Kest::SubscribeLine("Kx7_abc-123.def"),
            "{\"method\":\"subscribe\", \"account\":\"Kx7_abc-123.def\"}\n");

  const std::string hostile = "a\"}\n{\"method\":\"submit\\\x01";
  const std::string line = Kest::SubscribeLine(hostile);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);  // still one line
  boost::property_tree::ptree tree;
  std::istringstream in(line);
  ASSERT_NO_THROW(boost::property_tree::read_json(in, tree));
  EXPECT_EQ(tree.get<std::string>("method"), "subscribe");
  EXPECT_EQ(tree.get<std::string>("account"), hostile);
}

TEST(StratumFramer, LinesSplitOrJoinedComeOutOnceInOrder) {
  Kest::LineFramer framer;
  std::vector<std::string> lines;
  const std::string text = "{\"a\":1}\n\n{\"b\":2}\r\n{\"c\"";
  ASSERT_TRUE(framer.Append(text.data(), 5, lines));
  EXPECT_TRUE(lines.empty());
  ASSERT_TRUE(framer.Append(text.data() + 5, text.size() - 5, lines));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "{\"a\":1}");
  EXPECT_EQ(lines[1], "{\"b\":2}\r");
  EXPECT_EQ(framer.pending_size(), 4u);
  ASSERT_TRUE(framer.Append(":3}\n", 4, lines));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "{\"c\":3}");
  EXPECT_EQ(framer.pending_size(), 0u);
}

TEST(StratumFramer, LineLongerThanTheLimitIsRefused) {
  Kest::LineFramer framer;
  std::vector<std::string> lines;
  const std::string longest(Kest::kMaxLineBytes, 'x');
  ASSERT_TRUE(framer.Append(longest.data(), longest.size(), lines));
  ASSERT_TRUE(framer.Append("\n", 1, lines));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), Kest::kMaxLineBytes);

  // Without a line feed: refused as soon as the limit is passed, and the text is dropped.
  lines.clear();
  ASSERT_TRUE(framer.Append(longest.data(), longest.size(), lines));
  EXPECT_FALSE(framer.Append("y", 1, lines));
  EXPECT_EQ(framer.pending_size(), 0u);

  // A complete over-long line: the lines before it still come out.
  const std::string joined = "ok\n" + longest + "z\nafter\n";
  lines.clear();
  EXPECT_FALSE(framer.Append(joined.data(), joined.size(), lines));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "ok");
}

}  // namespace
