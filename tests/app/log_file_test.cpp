// The log file on a real file system, in a scratch directory.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/log_file.h"

namespace {

using Kest::LogFile;
using std::chrono::milliseconds;
using std::chrono::system_clock;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

uint64_t SizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The lines of a log file (from byte `from` on) with their timestamps checked and taken off.
std::vector<std::string> Texts(const std::string& path, size_t from = 0) {
  static const std::regex line(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d (.*)$)");
  std::vector<std::string> texts;
  std::istringstream in(ReadAll(path).substr(from));
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(l, m, line)) << l;
    texts.push_back(m.size() > 1 ? m[1].str() : l);
  }
  return texts;
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/log_file_test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/miner.log";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  LogFile::Reporter Collect() {
    return [this](const std::string& line) { reports_.push_back(line); };
  }

  std::string dir_;
  std::string path_;
  std::vector<std::string> reports_;
};

// Time zones written the POSIX way (the sign is west of UTC): the offset printed is east of it.
TEST(LogTimestamp, LocalTimeWithMillisecondsAndOffset) {
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz != nullptr ? old_tz : "";
  // 2026-12-09T06:12:03Z and 2026-12-09T01:00:00Z as seconds since 1970.
  const system_clock::time_point morning{std::chrono::seconds(1796796723)};
  const system_clock::time_point one_am{std::chrono::seconds(1796778000)};
  struct Case {
    const char* tz;
    system_clock::time_point t;
    const char* text;
  };
  const Case cases[] = {
      {"UTC0", morning + milliseconds(481), "2026-12-09T06:12:03.481+00:00"},
      {"<+0130>-1:30", morning + milliseconds(481), "2026-12-09T07:42:03.481+01:30"},
      {"<-0330>3:30", morning + milliseconds(7), "2026-12-09T02:42:03.007-03:30"},
      // The day before, and the last millisecond of a second is not rounded up.
      {"<-0330>3:30", one_am - milliseconds(1), "2026-12-08T21:29:59.999-03:30"},
  };
  for (const Case& c : cases) {
    ::setenv("TZ", c.tz, 1);
    ::tzset();
    EXPECT_EQ(Kest::LogTimestamp(c.t), c.text) << c.tz;
  }
  if (old_tz != nullptr) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

// Lines are written whole, each with its own timestamp, whatever pieces the console text came
// in; the file is appended to, and a line left open is written at exit.
TEST_F(LogFileTest, JoinsPartialLinesAndAppends) {
  const std::string before = "kept from before\n";
  std::ofstream(path_) << before;
  LogFile log(path_, 0, Collect());
  ASSERT_TRUE(log.Open());
  log.Write("one\ntwo\nthr");
  EXPECT_EQ(Texts(path_, before.size()), (std::vector<std::string>{"one", "two"}));
  log.Write("ee");
  log.Write("\n\n");
  log.Write("left open");
  log.FlushPartialLine();
  log.FlushPartialLine();  // nothing more to write
  EXPECT_EQ(ReadAll(path_).substr(0, before.size()), before);
  EXPECT_EQ(Texts(path_, before.size()),
            (std::vector<std::string>{"one", "two", "three", "", "left open"}));
  EXPECT_TRUE(reports_.empty());
}

// Past the limit the file becomes FILE.1 (replacing an older one) and a new one starts; no line
// is split or lost across the two, and a line longer than the limit still goes in whole.
TEST_F(LogFileTest, RotatesAtTheLimitKeepingOneGeneration) {
  constexpr uint64_t kLimit = 300;
  LogFile log(path_, kLimit, Collect());
  ASSERT_TRUE(log.Open());
  std::vector<std::string> written;
  for (int i = 0; i < 40; ++i) {
    written.push_back("line " + std::to_string(i));
    log.Write(written.back() + "\n");
    ASSERT_LE(SizeOf(path_), kLimit) << i;
  }
  EXPECT_TRUE(Exists(path_ + ".1"));
  EXPECT_FALSE(Exists(path_ + ".2"));
  EXPECT_LE(SizeOf(path_ + ".1"), kLimit);
  std::vector<std::string> kept = Texts(path_ + ".1");
  const std::vector<std::string> current = Texts(path_);
  ASSERT_FALSE(current.empty());
  kept.insert(kept.end(), current.begin(), current.end());
  // The newest lines, in order, without a gap; the oldest went with the replaced generation.
  ASSERT_LT(kept.size(), written.size());
  EXPECT_EQ(kept, std::vector<std::string>(written.end() - static_cast<long>(kept.size()),
                                           written.end()));

  const std::string huge(2 * kLimit, 'x');
  log.Write(huge + "\n");
  EXPECT_EQ(Texts(path_), std::vector<std::string>{huge});
  EXPECT_EQ(Texts(path_ + ".1").back(), written.back());
  EXPECT_TRUE(reports_.empty());
}

// What log rotation by another program does: move the file away, then ask for a reopen.
TEST_F(LogFileTest, ReopensAfterTheFileWasMovedAway) {
  LogFile log(path_, 0, Collect());
  ASSERT_TRUE(log.Open());
  log.Write("before\n");
  ASSERT_EQ(std::rename(path_.c_str(), (path_ + ".old").c_str()), 0);
  log.Write("still into the moved file\n");
  EXPECT_FALSE(Exists(path_));
  std::string error;
  ASSERT_TRUE(log.Reopen(&error)) << error;
  log.Write("after\n");
  EXPECT_EQ(Texts(path_ + ".old"),
            (std::vector<std::string>{"before", "still into the moved file"}));
  EXPECT_EQ(Texts(path_), std::vector<std::string>{"after"});

  // A reopen that cannot work says why; the lines after it are dropped without more reports.
  LogFile lost(dir_ + "/gone/miner.log", 0, Collect());
  EXPECT_FALSE(lost.Reopen(&error));
  EXPECT_EQ(error, "No such file or directory");
  lost.Write("dropped\n");
  EXPECT_TRUE(reports_.empty());
}

// A file that cannot be opened or written: one report with the reason per run of failures,
// the next one only after the file worked again.
TEST_F(LogFileTest, ReportsAFailingFileOncePerFailure) {
  const std::string missing = dir_ + "/no/such/dir.log";
  LogFile unopenable(missing, 0, Collect());
  EXPECT_FALSE(unopenable.Open());
  for (int i = 0; i < 5; ++i) unopenable.Write("line\n");
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], "Log file " + missing +
                             ": cannot open it (No such file or directory); its lines are "
                             "dropped until it works again\n");

  // Writes that fail: a full device.
  reports_.clear();
  LogFile full("/dev/full", 0, Collect());
  ASSERT_TRUE(full.Open());
  for (int i = 0; i < 5; ++i) full.Write("line\n");
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("cannot write it (No space left on device)"), std::string::npos);

  // A rotation that cannot rename (a directory is in the way of FILE.1), then can, then cannot.
  reports_.clear();
  LogFile log(path_, 100, Collect());
  ASSERT_TRUE(log.Open());
  log.Write("first, small enough\n");
  ASSERT_EQ(::mkdir((path_ + ".1").c_str(), 0755), 0);
  std::ofstream(path_ + ".1/blocker") << "x";
  for (int i = 0; i < 5; ++i) log.Write("a line that takes the file past its limit\n");
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("cannot rename it to its .1 file"), std::string::npos) << reports_[0];
  ASSERT_EQ(std::system(("rm -r '" + path_ + ".1'").c_str()), 0);
  log.Write("works again after a rotation\n");
  EXPECT_EQ(Texts(path_), std::vector<std::string>{"works again after a rotation"});
  ASSERT_EQ(std::remove((path_ + ".1").c_str()), 0);
  ASSERT_EQ(::mkdir((path_ + ".1").c_str(), 0755), 0);
  std::ofstream(path_ + ".1/blocker") << "x";
  for (int i = 0; i < 5; ++i) log.Write("a line that takes the file past its limit\n");
  EXPECT_EQ(reports_.size(), 2u);
}

}  // namespace
