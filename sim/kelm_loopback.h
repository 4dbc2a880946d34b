/*
 * libvandrikelm.so as built here: an in-process loopback Kelm RPC middleware
 * with a simulated PatchSdkService behind it. It implements the middleware
 * interface of middleware/kelm_rpc.h, plus the few controls below for demos and
 * tests. What the service answers, the environment variables it reads
 * (KELM_CAPTURE_DIR, KELM_SIM_ANSWERS, KELM_SIM_REPLAY, KELM_SIM_FAULTS...)
 * and the fault plans are described in docs/simulated-service.md.
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
#define KELM_ERR_BAD_CALL 0x4B01u    /* null handle, record, method or codec */
#define KELM_ERR_ENCODE 0x4B02u      /* the request encoder failed or disagreed with its size */
#define KELM_ERR_BAD_REQUEST 0x4B03u /* the request cannot be decoded, or its method is unknown */
#define KELM_ERR_BAD_ANSWER 0x4B04u  /* pfnUnpack rejected the answer */
#define KELM_ERR_NO_THREAD 0x4B05u   /* no worker thread could be started */
#define KELM_ERR_ANSWER 0x4B06u      /* the scripted answer (KELM_SIM_ANSWERS) could not be used */
#define KELM_ERR_REPLAY 0x4B07u      /* the replayed trace (KELM_SIM_REPLAY) has no answer */
#define KELM_ERR_TIMEOUT 0x4B08u     /* no answer in time (the status a fault plan gives) */
#define KELM_ERR_FAULT_PLAN 0x4B09u  /* the fault plan was refused: no call is served */

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
 * returned and its blocks are destroyed. Completions a fault plan holds back
 * in a window are delivered first; a call the plan never completes is not
 * waited for (its blocks are given back when the library unloads). */
KELM_LOOPBACK_API void KelmLoopback_Drain(void);

/* Blocks created and not yet destroyed (those of never completed calls too). */
KELM_LOOPBACK_API uint32_t KelmLoopback_LiveBlocks(void);

/* Fault plans, as KELM_SIM_FAULTS gives them, for in-process tests. Either
 * function replaces the plan in force, its counts starting again from 0:
 * _SetFaultPlanFile with the plan in file pcFile, read again whenever the file
 * changes; _SetFaultPlan with the plan as JSON text, whose answer files are
 * named relative to the current directory. Null leaves no plan. KELM_OK, or
 * KELM_ERR_FAULT_PLAN when the plan is refused (each error said on stderr):
 * every call then fails with that status until another plan is in force. */
KELM_LOOPBACK_API uint32_t KelmLoopback_SetFaultPlanFile(const char *pcFile);
KELM_LOOPBACK_API uint32_t KelmLoopback_SetFaultPlan(const char *pcJson);

/* How many calls each rule of the plan in force acted on, in the plan's order:
 * fills up to uiMax counts and returns the number of rules (0 without a plan
 * or with a refused one). */
KELM_LOOPBACK_API uint32_t KelmLoopback_FaultCounts(uint32_t *puiCounts, uint32_t uiMax);

#ifdef __cplusplus
}
#endif

#endif
