/* C-linkage access to the Stratum pool client, exported by libplopool.so.
 *
 * The handle is the client object; `work` and `work_template` records are passed as raw
 * pointers with the layout of app/records.h (text at 0, decoded at 2048, diff at 3072,
 * text_len at 3076, block at 3080, hr at 3088; the submitted nonce is at bytes 2080..2111).
 * Every handle from C_ST_JorlStratumFactory is released with C_ST_Destroy. */
#ifndef KEST_POOL_STRATUM_C_H
#define KEST_POOL_STRATUM_C_H

#ifdef __cplusplus
#include <cstdint>
extern "C" {
#else
#include <stdbool.h>
#include <stdint.h>
#endif

#define KEST_ST_EXPORT __attribute__((visibility("default")))

/* Returns a new client, or NULL when it could not be started. */
KEST_ST_EXPORT void* C_ST_JorlStratumFactory(const char* account, const char* password,
                                             const char* host, const char* port);
KEST_ST_EXPORT void C_ST_Destroy(void* handle);
KEST_ST_EXPORT void C_ST_GetWork(void* handle, void* work_record);
KEST_ST_EXPORT void C_ST_GetTemplate(void* handle, void* template_record);
KEST_ST_EXPORT bool C_ST_IsReady(void* handle);
KEST_ST_EXPORT bool C_ST_HaveNewWork(void* handle);
KEST_ST_EXPORT bool C_ST_HaveNewTemplate(void* handle);
KEST_ST_EXPORT void C_ST_RequestNewTemplate(void* handle);
KEST_ST_EXPORT bool C_ST_CheckAlive(void* handle);
KEST_ST_EXPORT void C_ST_SubmitWork(void* handle, uint8_t* work_bytes);
KEST_ST_EXPORT void C_ST_UpdateHR(void* handle, void* work_record);
/* Job decode: base64-decodes the record's text (text_len characters, at most 2047) into its
 * decoded bytes; takes no handle. */
KEST_ST_EXPORT void C_ST_Decode64(uint8_t* work_bytes);

#ifdef __cplusplus
}
#endif

#endif /* KEST_POOL_STRATUM_C_H */
