// HTTP getwork pool client: polls the pool for work over HTTP POST, submits solutions and
// reports the hash rate. All three exchanges carry small JSON bodies to one pool URL, an
// http:// or https:// address; each one opens its own connection and is time-limited.
#pragma once

#include <cstdint>
#include <memory>

#include "app/records.h"

class JorlGetWork {
 public:
  // Stores the URL and the account key (the password is not kept) and starts the work-poll
  // thread, then the hash-rate thread.
  JorlGetWork(const char* key, const char* password, const char* url);
  // Stops both threads (an exchange in flight is cancelled) and waits for them.
  ~JorlGetWork();

  JorlGetWork(const JorlGetWork&) = delete;
  JorlGetWork& operator=(const JorlGetWork&) = delete;

  // Copies the current job: diff, text_len, block and text_len characters of the job text
  // (at most 2047, followed by a NUL).
  void GetWork(work* w);
  // True once the pool has answered a work poll (a job or "no work").
  bool IsReady();
  // The getwork protocol has no liveness check: always true.
  bool CheckAlive();
  // Returns and clears the new-work flag; prints the new-work line for a real job.
  bool HaveNewWork();
  // Hands over the hash rate (w->hr) for the next report.
  void UpdateHR(work* w);
  // One submission exchange for the nonce in w->decoded[32..63], on the caller's thread;
  // true when the pool accepted the share.
  bool SubmitWork(work* w);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Returns a new client.
std::unique_ptr<JorlGetWork> JorlGetWorkFactory(const char* key, const char* password,
                                                const char* url);

// C-linkage facade: the client is an opaque handle (released with C_DestroyGetWork), work
// records are raw byte pointers laid out as `work`. Boolean results are 1 or 0; a null handle
// or record is ignored.
#define KEST_GETWORK_EXPORT __attribute__((visibility("default")))
extern "C" {
KEST_GETWORK_EXPORT void* C_JorlGetWorkFactory(const char* key, const char* password,
                                               const char* url);
KEST_GETWORK_EXPORT void C_DestroyGetWork(void* client);
KEST_GETWORK_EXPORT void C_GetWork(void* client, uint8_t* work_record);
KEST_GETWORK_EXPORT int C_IsReady(void* client);
KEST_GETWORK_EXPORT int C_CheckAlive(void* client);
KEST_GETWORK_EXPORT int C_HaveNewWork(void* client);
KEST_GETWORK_EXPORT void C_UpdateHR(void* client, uint8_t* work_record);
KEST_GETWORK_EXPORT void C_SubmitWork(void* client, uint8_t* work_record);
KEST_GETWORK_EXPORT void C_Decode64(uint8_t* work_record);
}
