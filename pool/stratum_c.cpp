#include "pool/stratum_c.h"

#include "app/records.h"
#include "app/utils.h"
#include "pool/stratum.h"

#include <exception>
#include <string>

namespace {
JorlStratum* Client(void* handle) {
  return static_cast<JorlStratum*>(handle);
}
}  // namespace

extern "C" {

void* C_ST_JorlStratumFactory(const char* account, const char* password, const char* host,
                              const char* port) {
  try {
    return JorlStratumFactory(account, password, host, port);
  } catch (const std::exception& e) {
    Kest::Print(std::string("Stratum client could not start: ") + e.what() + "\n");
    return nullptr;
  }
}

void C_ST_Destroy(void* handle) {
  delete Client(handle);
}

void C_ST_GetWork(void* handle, void* work_record) {
  if (handle) Client(handle)->GetWork(static_cast<work*>(work_record));
}

void C_ST_GetTemplate(void* handle, void* template_record) {
  if (handle) Client(handle)->GetTemplate(static_cast<work_template*>(template_record));
}

bool C_ST_IsReady(void* handle) {
  return handle && Client(handle)->IsReady();
}

bool C_ST_HaveNewWork(void* handle) {
  return handle && Client(handle)->HaveNewWork();
}

bool C_ST_HaveNewTemplate(void* handle) {
  return handle && Client(handle)->HaveNewTemplate();
}

void C_ST_RequestNewTemplate(void* handle) {
  if (handle) Client(handle)->RequestNewTemplate();
}

bool C_ST_CheckAlive(void* handle) {
  return handle && Client(handle)->CheckAlive();
}

void C_ST_SubmitWork(void* handle, uint8_t* work_bytes) {
  if (handle) Client(handle)->SubmitWork(reinterpret_cast<work*>(work_bytes));
}

void C_ST_UpdateHR(void* handle, void* work_record) {
  if (handle) Client(handle)->UpdateHR(static_cast<work*>(work_record));
}

void C_ST_Decode64(uint8_t* work_bytes) {
  if (work_bytes) Kest::DecodeJob(work_bytes);
}

}  // extern "C"
