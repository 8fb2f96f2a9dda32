// The C_ST_ functions as an outside program sees them: loaded from libplopool.so by name,
// records handled as raw bytes at their documented offsets.
#include "app/utils.h"
#include "tests/pool/stratum_test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
using stratum_test::JobLine;
using stratum_test::Millis;
using stratum_test::StdoutCapture;
using stratum_test::TemplateLine;
using stratum_test::TestPool;
using stratum_test::WaitUntil;

const Millis kShort{3000};

// Offsets of the work record that outside programs rely on.
constexpr std::size_t kWorkSize = 3096;
constexpr std::size_t kDecodedAt = 2048;
constexpr std::size_t kNonceAt = 2080;
constexpr std::size_t kDiffAt = 3072;
constexpr std::size_t kTextLenAt = 3076;
constexpr std::size_t kBlockAt = 3080;
constexpr std::size_t kHrAt = 3088;

// The template record on x86-64: a pointer, 16 words, frame id, prefix word count.
struct TemplateRecord {
  char* prefix_text;
  uint32_t prefix[16];
  int32_t frame_id;
  int32_t num_prefix;
};

template <typename T>
T At(const std::vector<uint8_t>& record, std::size_t offset) {
  T value;
  std::memcpy(&value, record.data() + offset, sizeof(T));
  return value;
}

struct Api {
  void* (*factory)(const char*, const char*, const char*, const char*);
  void (*destroy)(void*);
  void (*get_work)(void*, void*);
  void (*get_template)(void*, void*);
  bool (*is_ready)(void*);
  bool (*have_new_work)(void*);
  bool (*have_new_template)(void*);
  void (*request_new_template)(void*);
  bool (*check_alive)(void*);
  void (*submit_work)(void*, uint8_t*);
  void (*update_hr)(void*, void*);
  void (*decode64)(uint8_t*);
};

class StratumCApi : public testing::Test {
 protected:
  void SetUp() override {
    library_ = dlopen(PLOPOOL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    Load(api_.factory, "C_ST_JorlStratumFactory");
    Load(api_.destroy, "C_ST_Destroy");
    Load(api_.get_work, "C_ST_GetWork");
    Load(api_.get_template, "C_ST_GetTemplate");
    Load(api_.is_ready, "C_ST_IsReady");
    Load(api_.have_new_work, "C_ST_HaveNewWork");
    Load(api_.have_new_template, "C_ST_HaveNewTemplate");
    Load(api_.request_new_template, "C_ST_RequestNewTemplate");
    Load(api_.check_alive, "C_ST_CheckAlive");
    Load(api_.submit_work, "C_ST_SubmitWork");
    Load(api_.update_hr, "C_ST_UpdateHR");
    Load(api_.decode64, "C_ST_Decode64");
  }

  void TearDown() override {
    if (library_) dlclose(library_);
  }

  template <typename F>
  void Load(F& function, const char* name) {
    void* symbol = dlsym(library_, name);
    ASSERT_NE(symbol, nullptr) << name << " is not exported";
    function = reinterpret_cast<F>(symbol);
  }

  void* library_ = nullptr;
  Api api_{};
};

TEST_F(StratumCApi, DrivesAClientThroughRawRecords) {
  TestPool pool;
  std::string trailer(160, '\0');
  for (std::size_t i = 0; i < trailer.size(); ++i) trailer[i] = static_cast<char>(255 - i);
  const std::string text =
      base64_encode(reinterpret_cast<const unsigned char*>(trailer.data()), 160);
  pool.SetSubscribeReply(JobLine(text, 11, 42));

  StdoutCapture out;
  void* client = api_.factory("acct", "pw", "127.0.0.1", pool.port_text().c_str());
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return api_.is_ready(client); }, kShort));
  EXPECT_TRUE(api_.have_new_work(client));
  EXPECT_FALSE(api_.have_new_work(client));
  EXPECT_EQ(out.Text(), "Received new work! Share diff: 11 | Block:42\n");

  std::vector<uint8_t> record(kWorkSize, 0x5A);
  api_.get_work(client, record.data());
  EXPECT_EQ(At<int32_t>(record, kDiffAt), 11);
  EXPECT_EQ(At<int32_t>(record, kTextLenAt), 216);
  EXPECT_EQ(At<uint64_t>(record, kBlockAt), 42u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.data()), 216), text);
  api_.decode64(record.data());
  EXPECT_EQ(std::memcmp(record.data() + kDecodedAt, trailer.data(), 160), 0);
  EXPECT_EQ(record[kDecodedAt + 160], 0x5A);

  for (std::size_t i = 0; i < 32; ++i) record[kNonceAt + i] = static_cast<uint8_t>(3 * i);
  api_.submit_work(client, record.data());
  const float rate = 250.75f;
  std::memcpy(record.data() + kHrAt, &rate, sizeof(rate));
  api_.update_hr(client, record.data());
  api_.request_new_template(client);
  ASSERT_TRUE(pool.WaitForLines(4, kShort));
  const auto lines = pool.lines();
  EXPECT_EQ(lines[1].text, "{\"method\":\"submit\", \"nonce\":\"" +
                               base64_encode(record.data() + kNonceAt, 32) + "\"}");
  EXPECT_EQ(lines[2].text, "{\"method\":\"mining.update_hr\", \"hr\":250.750000}");
  EXPECT_EQ(lines[3].text, "{\"method\":\"mining.xtemplate\"}");

  ASSERT_TRUE(pool.Send(TemplateLine("AAECAwQFBgcICQoLDA0ODxAR", 6, 8)));  // bytes 0..17
  ASSERT_TRUE(WaitUntil([&] { return api_.have_new_template(client); }, kShort));
  TemplateRecord t{};
  api_.get_template(client, &t);
  ASSERT_NE(t.prefix_text, nullptr);
  EXPECT_STREQ(t.prefix_text, "AAECAwQFBgcICQoLDA0ODxAR");
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(t.prefix[i], i);  // only the first 16 bytes
  EXPECT_EQ(t.frame_id, 8);
  EXPECT_EQ(t.num_prefix, 6);
  std::free(t.prefix_text);

  ASSERT_TRUE(pool.Send("{\"method\":\"pong\"}\n"));
  ASSERT_TRUE(out.WaitFor("ping from server", kShort));
  EXPECT_TRUE(api_.check_alive(client));
  api_.destroy(client);
}

}  // namespace
