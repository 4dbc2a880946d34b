/*
 * libvandrikelm.so as built here: an in-process loopback Kelm RPC middleware
 * with a simulated PatchSdkService behind it. It implements the middleware
 * interface of middleware/kelm_rpc.h, plus the few controls below for demos and
 * tests. What the service answers and the environment variables it reads
 * (KELM_CAPTURE_DIR, KELM_SIM_ANSWERS, KELM_SIM_REPLAY) are described in
 * docs/simulated-service.md.
 */
#ifndef KELM_LOOPBACK_H
#define KELM_LOOPBACK_H

#include <stddef.h>
#include <stdint.h>

#include "middleware/kelm_rpc.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KELM_LOOPBACK_API __attribute__((visibility("default")))

/* Bits of uiInvokeArg. */
#define KELM_LOOPBACK_FIXED_LAYOUT 0x1u   /* send the fixed-layout image, not the compact one */
#define KELM_LOOPBACK_CORRUPT_ANSWER 0x2u /* the service answers with a damaged buffer */
#define KELM_LOOPBACK_UNREACHABLE 0x4u    /* no invoke handle: the service cannot be reached */

/* uiStatus of a failed call, and the result of a failed one-way or
 * asynchronous hand-over. Distinct from the agent's own 12 and 22. */
#define KELM_OK 0u
#define KELM_ERR_BAD_CALL 0x4B01u /* null handle, record, method or codec */
#define KELM_ERR_ENCODE 0x4B02u   /* the request encoder failed or disagreed with its size */
#define KELM_ERR_BAD_REQUEST \
    0x4B03u /* the service could not decode the request, or does not know the method */
#define KELM_ERR_BAD_ANSWER 0x4B04u /* pfnUnpack rejected the answer */
#define KELM_ERR_NO_THREAD 0x4B05u  /* no worker thread could be started */
#define KELM_ERR_ANSWER 0x4B06u     /* the scripted answer (KELM_SIM_ANSWERS) could not be used */
#define KELM_ERR_REPLAY 0x4B07u     /* the replayed trace (KELM_SIM_REPLAY) has no answer */

/* The last request the service decoded. */
typedef struct KelmLoopbackTrace {
    uint32_t uiMethod;    /* catalogue number, 1 to 13; 0 before the first request */
    uint32_t uiImageSize; /* bytes of the request image */
    uint32_t uiChecksum;  /* KelmLoopback_Checksum of the decoded request record */
    uint32_t uiCount;     /* requests decoded so far */
} KelmLoopbackTrace;

KELM_LOOPBACK_API void KelmLoopback_LastRequest(KelmLoopbackTrace *pstTrace);

/* FNV-1a over a record's bytes; zero the record's padding before filling it. */
KELM_LOOPBACK_API uint32_t KelmLoopback_Checksum(const void *pvRec, size_t uiSize);

/* Waits until every accepted asynchronous call has completed, its callback
 * returned and its blocks are destroyed. */
KELM_LOOPBACK_API void KelmLoopback_Drain(void);

/* Blocks created and not yet destroyed. */
KELM_LOOPBACK_API uint32_t KelmLoopback_LiveBlocks(void);

#ifdef __cplusplus
}
#endif

#endif
