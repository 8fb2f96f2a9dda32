#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/records.h"
#include "app/utils.h"

namespace {

using namespace std::string_literals;

std::string Encode(const std::string& s) {
  return base64_encode(reinterpret_cast<const unsigned char*>(s.data()),
                       static_cast<uint32_t>(s.size()));
}

TEST(Base64, Rfc4648Vectors) {
  const std::vector<std::pair<std::string, std::string>> vectors = {{"", ""},
                                                                    {"f", "Zg=="},
                                                                    {"fo", "Zm8="},
                                                                    {"foo", "Zm9v"},
                                                                    {"foob", "Zm9vYg=="},
                                                                    {"fooba", "Zm9vYmE="},
                                                                    {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(Encode(plain), encoded) << plain;
    EXPECT_EQ(base64_decode(encoded), plain) << encoded;
  }
}

TEST(Base64, RoundTripsEveryByteValueAndLength) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  for (size_t len = 0; len <= bytes.size(); len += 7) {
    const std::string part = bytes.substr(0, len);
    EXPECT_EQ(base64_decode(Encode(part)), part) << len;
  }
}

TEST(Base64, DecodeStopsAtFirstCharacterOutsideTheAlphabet) {
  // "Zm9v" + "YmE" is foo + ba; the '*' ends the text, everything after it is ignored.
  EXPECT_EQ(base64_decode("Zm9vYmE*Zm9v"), "fooba");
  EXPECT_EQ(base64_decode("Zm9vYg*"), "foob");  // partial group of two gives one byte
  EXPECT_EQ(base64_decode("Zm9vY"), "foo");     // a single leftover character gives nothing
  EXPECT_EQ(base64_decode("Zg==Zm9v"), "f");    // stops at the first '='
  EXPECT_EQ(base64_decode("\nZm9v"), "");       // white space is outside the alphabet too
}

TEST(Base64, AllZeroNonceEncodesAs43LettersAndOnePad) {
  const unsigned char nonce[32] = {};
  EXPECT_EQ(base64_encode(nonce, 32), std::string(43, 'A') + "=");
}

TEST(SplitString, SkipsEmptyPiecesAndAppends) {
  std::vector<std::string> out{"keep"};
  Kest::SplitString("a::b:c:", ":", out);
  EXPECT_EQ(out, (std::vector<std::string>{"keep", "a", "b", "c"}));
  out.clear();
  Kest::SplitString("x\ny;z", "\n;", out);
  EXPECT_EQ(out, (std::vector<std::string>{"x", "y", "z"}));
  out.clear();
  Kest::SplitString("::::", ":", out);
  EXPECT_TRUE(out.empty());
}

TEST(EraseSubStr, RemovesOnlyTheFirstOccurrence) {
  std::string s = "stratum+tcp://host:3333/stratum+tcp://";
  Kest::eraseSubStr(s, "stratum+tcp://");
  EXPECT_EQ(s, "host:3333/stratum+tcp://");
  std::string unchanged = "http://host";
  Kest::eraseSubStr(unchanged, "https://");
  EXPECT_EQ(unchanged, "http://host");
}

TEST(JsonEscape, EscapesOnlyWhatJsonRequires) {
  EXPECT_EQ(Kest::JsonEscape("0xABCdef0123.worker_1"), "0xABCdef0123.worker_1");
  EXPECT_EQ(Kest::JsonEscape("a\"b\\c"), "a\\\"b\\\\c");
  EXPECT_EQ(Kest::JsonEscape(std::string("n\nt\t\x01", 5)), "n\\nt\\t\\u0001");
}

TEST(ComputerName, FirstTokenEmptyOrNull) {
  const char* path = "hostname_test.txt";
  {
    std::ofstream f(path);
    f << "  rig-07 \nsecond\n";
  }
  EXPECT_EQ(Kest::GetComputerName(path), "rig-07");
  { std::ofstream f(path); }
  EXPECT_EQ(Kest::GetComputerName(path), "");
  std::remove(path);
  EXPECT_EQ(Kest::GetComputerName(path), "null");
  EXPECT_FALSE(Kest::is_file_exist(path));
}

TEST(JobDecode, Decodes216CharactersIntoTheTrailerAndLeavesTheRest) {
  work w;
  std::memset(&w, 0xEE, sizeof(w));
  unsigned char trailer[160];
  for (int i = 0; i < 160; ++i) trailer[i] = static_cast<unsigned char>(i * 7);
  const std::string text = base64_encode(trailer, 160);
  ASSERT_EQ(text.size(), 216u);
  std::memcpy(w.text, text.data(), text.size());  // the writer adds no terminator
  w.text_len = static_cast<int32_t>(text.size());
  EXPECT_EQ(Kest::DecodeJob(reinterpret_cast<uint8_t*>(&w)), 160u);
  EXPECT_EQ(std::memcmp(w.decoded, trailer, 160), 0);
  for (size_t i = 160; i < sizeof(w.decoded); ++i) ASSERT_EQ(w.decoded[i], 0xEE) << i;
  EXPECT_EQ(w.diff, static_cast<int32_t>(0xEEEEEEEE));
}

TEST(JobDecode, ReadsExactlyTextLenCharacters) {
  work w;
  std::memset(&w, 0, sizeof(w));
  // A longer previous job left text behind: only the new text_len characters count.
  std::memcpy(w.text, "Zm9vYmFyZm9vYmFy", 16);
  w.text_len = 8;
  std::memset(w.decoded, 0x55, sizeof(w.decoded));
  EXPECT_EQ(Kest::DecodeJob(reinterpret_cast<uint8_t*>(&w)), 6u);
  EXPECT_EQ(std::memcmp(w.decoded, "foobar", 6), 0);
  EXPECT_EQ(w.decoded[6], 0x55);

  // A text filling the whole buffer with no terminator is read only up to 2047 characters,
  // and what it decodes to never runs past the 1024-byte `decoded` field.
  std::memset(w.text, 'A', sizeof(w.text));
  std::memset(w.decoded, 0x55, sizeof(w.decoded));
  w.text_len = 5000;
  EXPECT_EQ(Kest::DecodeJob(reinterpret_cast<uint8_t*>(&w)), sizeof(w.decoded));
  EXPECT_EQ(w.decoded[1023], 0);
  EXPECT_EQ(w.diff, 0);
  w.text_len = -3;
  EXPECT_EQ(Kest::DecodeJob(reinterpret_cast<uint8_t*>(&w)), 0u);
}

TEST(MySleep, ZeroReturnsAtOnceAndOtherValuesSleep) {
  auto t0 = std::chrono::steady_clock::now();
  Kest::mySleep(0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(5));
  t0 = std::chrono::steady_clock::now();
  Kest::mySleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
}

TEST(Printable, ControlCharactersAndBrokenUtf8AreShownAsHex) {
  const std::string raw =
      "a\x1b[2J\r\n\t\x7f"s + '\0' + "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
  EXPECT_EQ(Kest::Printable(raw),
            "a\\x1b[2J\\x0d\\x0a\\x09\\x7f\\x00caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  // C1 controls (U+009B is a one-byte CSI), stray or cut continuation bytes, overlong forms,
  // surrogates and code points past U+10FFFF are escaped byte by byte.
  EXPECT_EQ(Kest::Printable("\xc2\x9b|\x9b|\xc3|\xe2\x82|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80"),
            "\\xc2\\x9b|\\x9b|\\xc3|\\xe2\\x82|\\xc0\\xaf|\\xed\\xa0\\x80|"
            "\\xf4\\x90\\x80\\x80");
}

TEST(Base64Exact, OnlyTheWholeTextOfExactlyTheSizeIsTaken) {
  const std::string bytes = "\x01\x02\x03\x04";
  std::string out;
  EXPECT_TRUE(Kest::DecodeBase64Exact("AQIDBA==", 4, out));
  EXPECT_EQ(out, bytes);
  EXPECT_TRUE(Kest::DecodeBase64Exact("AQIDBA", 4, out));  // padding may be left out
  for (const char* bad : {"AQIDBA=", "AQIDBA===", "AQIDBAA=", "AQID", "AQIDBA==AA",
                          " AQIDBA==", "AQI*BA==", "AQIDB", ""}) {
    EXPECT_FALSE(Kest::DecodeBase64Exact(bad, 4, out)) << bad;
  }
}

TEST(RepeatPrinter, RunsOfOneLineAreCountedAndReportedOnceTheIntervalHasPassed) {
  testing::internal::CaptureStdout();
  {
    Kest::RepeatPrinter printer(1000, std::chrono::milliseconds(300));
    printer.Print("down");
    printer.Print("down");
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    printer.Print("down");  // the interval has passed: the run so far is reported
    printer.Print("down");
    printer.Print("up");
    printer.Print("down");
    printer.Print("down");
    printer.Tick();  // too early: nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    printer.Tick();
    printer.Tick();
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "down\ndown (repeated 2 times)\ndown (repeated 1 time)\nup\ndown\n"
            "down (repeated 1 time)\n");
}

}  // namespace
