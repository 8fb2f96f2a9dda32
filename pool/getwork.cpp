#include "pool/getwork.h"

#include <cpprest/http_client.h>
#include <cpprest/json.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/utils.h"

namespace {

constexpr int32_t kNotReadyDiff = -1;  // no answer to a work poll yet
constexpr int32_t kNoWorkDiff = 0;     // the pool said it has no work
constexpr float kNoHashRate = -1.0f;   // UpdateHR not called yet

constexpr std::chrono::seconds kPollInterval{3};
constexpr std::chrono::seconds kHashRateInterval{60};
constexpr std::chrono::seconds kHashRateWaitStep{1};
constexpr std::chrono::seconds kRequestTimeout{30};

constexpr std::size_t kNonceOffset = 32;  // in work.decoded of a submission envelope
constexpr uint32_t kNonceBytes = 32;

const char kPollBody[] = "{\"r\" : \"mining\"}";
const char kNoWorkAnswer[] = "{\"error\" : 2}";
const char kAcceptedAnswer[] = "{\"error\" : 0}";
const char kContentType[] = "application/x-www-form-urlencoded";
const char kBodyMediaType[] = "text/plain; charset=utf-8";
const char kUserAgent[] = "kest-plo";

std::string OrEmpty(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

class JorlGetWork::Impl {
 public:
  Impl(const char* key, const char* url) : url_(OrEmpty(url)), key_(OrEmpty(key)) {}
  ~Impl() { Stop(); }

  void Start() {
    work_thread_ = std::make_shared<std::thread>([this] { WorkLoop(); });
    hr_thread_ = std::make_shared<std::thread>([this] { HashRateLoop(); });
  }

  // Raises the stop flag, wakes both threads from their pauses, cancels an exchange in
  // flight and waits for the threads.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    cancel_.cancel();
    for (auto* thread : {&work_thread_, &hr_thread_}) {
      if (*thread && (*thread)->joinable()) (*thread)->join();
      thread->reset();
    }
  }

  void GetWork(work* w) {
    if (w == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t len = std::min(job_text_.size(), Kest::kWorkTextMax);
    w->diff = diff_;
    w->text_len = static_cast<int32_t>(len);
    w->block = block_;
    std::memcpy(w->text, job_text_.data(), len);
    w->text[len] = '\0';
  }

  bool IsReady() {
    std::lock_guard<std::mutex> lock(mutex_);
    return diff_ != kNotReadyDiff;
  }

  bool HaveNewWork() {
    bool was_new;
    int32_t diff;
    uint64_t block;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      was_new = new_work_;
      diff = diff_;
      block = block_;
      new_work_ = false;
    }
    if (was_new && diff != kNoWorkDiff) {
      Kest::Printf("Received new work! Share diff: %d | Block:%llu\n", diff,
                   static_cast<unsigned long long>(block));
    }
    return was_new;
  }

  void UpdateHR(float rate) {
    std::lock_guard<std::mutex> lock(mutex_);
    hash_rate_ = rate;
  }

  bool SubmitWork(const work* w) {
    if (w == nullptr) return false;
    const std::string nonce = base64_encode(w->decoded + kNonceOffset, kNonceBytes);
    const std::string body =
        "{\"r\":\"res\", \"v0\":\"" + Kest::JsonEscape(key_) + "\", \"v1\":\"" + nonce + "\"}";
    try {
      std::string answer;
      if (!Exchange(body, &answer)) {
        Kest::Print(".");
      } else if (answer == kAcceptedAnswer) {
        Kest::Print("Pool accepted share!\n");
        return true;
      } else {
        Kest::Print(answer + "Failed share!\n");
      }
    } catch (...) {
      Kest::Print(".");
    }
    return false;
  }

 private:
  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }

  // Pauses for `period`, waking at once when the client stops. True when stopping.
  bool PauseFor(std::chrono::seconds period) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, period, [this] { return stop_; });
  }

  // One POST exchange with a fresh HTTP client. Returns false when the status is not 200;
  // otherwise stores the body bytes in `answer`. Throws on any transport or URL failure,
  // and pplx::task_canceled when the client stops.
  bool Exchange(const std::string& body, std::string* answer) {
    web::http::client::http_client_config config;
    config.set_timeout(kRequestTimeout);
    web::http::client::http_client client(utility::conversions::to_string_t(url_), config);
    web::http::http_request request(web::http::methods::POST);
    request.headers().add(web::http::header_names::content_type, kContentType);
    request.headers().add(web::http::header_names::user_agent, kUserAgent);
    request.set_body(body, kBodyMediaType);
    web::http::http_response response = client.request(request, cancel_.get_token()).get();
    if (response.status_code() != web::http::status_codes::OK) return false;
    const std::vector<unsigned char> bytes = response.extract_vector().get();
    answer->assign(bytes.begin(), bytes.end());
    return true;
  }

  void WorkLoop() {
    while (!Stopping()) {
      PollOnce();
      if (PauseFor(kPollInterval)) return;
    }
  }

  void PollOnce() {
    try {
      std::string answer;
      if (!Exchange(kPollBody, &answer)) {
        Kest::Print(".");
        return;
      }
      if (answer == kNoWorkAnswer) {
        bool announce;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          announce = diff_ != kNoWorkDiff;
          if (announce) new_work_ = true;
          diff_ = kNoWorkDiff;
          block_ = 0;
        }
        if (announce) Kest::Print("... \n");
        return;
      }
      const web::json::value job = web::json::value::parse(answer);
      std::string broot = utility::conversions::to_utf8string(job.at("broot").as_string());
      const int32_t diff = job.at("diff").as_integer();
      const int32_t nblock = job.at("nblock").as_integer();
      std::lock_guard<std::mutex> lock(mutex_);
      if (broot != job_text_) {
        job_text_ = std::move(broot);
        diff_ = diff;
        block_ = static_cast<uint64_t>(static_cast<int64_t>(nblock));
        new_work_ = true;
      }
    } catch (const pplx::task_canceled&) {
      // the client is stopping
    } catch (const std::exception& e) {
      if (!Stopping()) Kest::Print(std::string(e.what()) + "\n");
    } catch (...) {
      if (!Stopping()) Kest::Print("unknown failure while polling for work\n");
    }
  }

  void HashRateLoop() {
    float rate;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stop_ && hash_rate_ == kNoHashRate) {
        wake_.wait_for(lock, kHashRateWaitStep, [this] { return stop_; });
      }
      if (stop_) return;
      rate = hash_rate_;
    }
    for (;;) {
      ReportHashRate(rate);
      if (PauseFor(kHashRateInterval)) return;
      std::lock_guard<std::mutex> lock(mutex_);
      rate = hash_rate_;
    }
  }

  void ReportHashRate(float rate) {
    char value[64];
    std::snprintf(value, sizeof(value), "%f", static_cast<double>(rate));
    const std::string body =
        "{\"r\":\"hr\", \"v0\":\"" + Kest::JsonEscape(key_) + "\", \"v1\":" + value + "}";
    try {
      std::string ignored;
      Exchange(body, &ignored);
    } catch (const pplx::task_canceled&) {
      // the client is stopping
    } catch (...) {
      if (!Stopping()) Kest::Print(".");
    }
  }

  const std::string url_;
  const std::string key_;

  std::mutex mutex_;  // guards every field below except the thread handles
  std::condition_variable wake_;
  int32_t diff_ = kNotReadyDiff;
  uint64_t block_ = 0;
  std::string job_text_;
  bool new_work_ = false;
  bool stop_ = false;
  float hash_rate_ = kNoHashRate;

  pplx::cancellation_token_source cancel_;
  std::shared_ptr<std::thread> work_thread_;  // touched only by Start and Stop
  std::shared_ptr<std::thread> hr_thread_;
};

JorlGetWork::JorlGetWork(const char* key, const char* password, const char* url)
    : impl_(std::make_unique<Impl>(key, url)) {
  impl_->Start();
}

JorlGetWork::~JorlGetWork() {
  impl_->Stop();
}

void JorlGetWork::GetWork(work* w) {
  impl_->GetWork(w);
}
bool JorlGetWork::IsReady() {
  return impl_->IsReady();
}
bool JorlGetWork::CheckAlive() {
  return true;
}
bool JorlGetWork::HaveNewWork() {
  return impl_->HaveNewWork();
}

void JorlGetWork::UpdateHR(work* w) {
  if (w != nullptr) impl_->UpdateHR(w->hr);
}

bool JorlGetWork::SubmitWork(work* w) {
  return impl_->SubmitWork(w);
}

std::unique_ptr<JorlGetWork> JorlGetWorkFactory(const char* key, const char* password,
                                                const char* url) {
  return std::make_unique<JorlGetWork>(key, password, url);
}

namespace {
JorlGetWork* AsClient(void* client) {
  return static_cast<JorlGetWork*>(client);
}
work* AsWork(uint8_t* record) {
  return reinterpret_cast<work*>(record);
}
}  // namespace

extern "C" {

void* C_JorlGetWorkFactory(const char* key, const char* password, const char* url) {
  try {
    return JorlGetWorkFactory(key, password, url).release();
  } catch (...) {
    return nullptr;
  }
}

void C_DestroyGetWork(void* client) {
  delete AsClient(client);
}

void C_GetWork(void* client, uint8_t* work_record) {
  if (client != nullptr) AsClient(client)->GetWork(AsWork(work_record));
}

int C_IsReady(void* client) {
  return client != nullptr && AsClient(client)->IsReady() ? 1 : 0;
}

int C_CheckAlive(void* /*client*/) {
  return 1;
}

int C_HaveNewWork(void* client) {
  return client != nullptr && AsClient(client)->HaveNewWork() ? 1 : 0;
}

void C_UpdateHR(void* client, uint8_t* work_record) {
  if (client != nullptr) AsClient(client)->UpdateHR(AsWork(work_record));
}

void C_SubmitWork(void* client, uint8_t* work_record) {
  if (client != nullptr) AsClient(client)->SubmitWork(AsWork(work_record));
}

void C_Decode64(uint8_t* work_record) {
  if (work_record != nullptr) Kest::DecodeJob(work_record);
}

}  // extern "C"
