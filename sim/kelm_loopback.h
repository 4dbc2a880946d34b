/*
 * libvandrikelm.so as built here: an in-process loopback Kelm RPC middleware
 * with a simulated PatchSdkService behind it. It implements the middleware
 * interface of middleware/kelm_rpc.h, plus the few controls below for demos and
 * tests.
 *
 * A call encodes the request through the IdlMsgOps it was handed, the service
 * decodes it and answers, and the answer is decoded into the caller's record
 * through pfnUnpack. Asynchronous calls complete on a worker thread of their
 * own: the call is run, the callback gets the result, the response block and
 * the user data, and then the decoded array is given back through
 * pfnFreeUnpacked and both blocks are destroyed. Every outcome of an accepted
 * asynchronous call, failures included, reaches the callback.
 *
 * The simulated service answers a method with a response so:
 *   uiHead0, ullHead1   the request's uiHead0 and ullHead1
 *   uiHead2             the method's number in the catalogue, 1 to 10
 *   uiHead3             the size in bytes of the request image it received
 *   uiHead4             KelmLoopback_Checksum of the request record it decoded
 *   stInfo / pstInfo    element records filled from the request: the query
 *                       responses with an array carry (request uiHead2 % 4)
 *                       elements; in element i, the 32-bit field of slot k
 *                       holds uiHead0 + 100 * i + k, the 8-bit one (16 * i + k),
 *                       a character array the text "<Op>#<i>.<k>" and '~' in
 *                       its last byte.
 * A successful call's uiValue is the size of the request image sent.
 *
 * Three environment variables, read when the library loads:
 *   KELM_CAPTURE_DIR=DIR  every image that crosses the middleware is written
 *                         to DIR (made if missing) as NNNNNN-<Op>-request.bin
 *                         and, for methods with a response,
 *                         NNNNNN-<Op>-response.bin: NNNNNN numbers the calls
 *                         of the process from 000001, <Op> is the method name
 *                         after "QOMA_PAT_", and each file holds the image as
 *                         it was sent (compact or fixed layout; a damaged or
 *                         scripted answer as it is). Files of an earlier run
 *                         are overwritten. The first write that fails is
 *                         reported on stderr and capturing stops; calls go on.
 *   KELM_SIM_ANSWERS=DIR  a method with a response is answered with
 *                         DIR/<Op>.bin, exactly its bytes (a damaged answer
 *                         reaches the decoder as it is), or with DIR/<Op>.json,
 *                         the response record as JSON, encoded compact. The
 *                         directory is looked at for every call; without a
 *                         file the service answers itself. The request is
 *                         still decoded and traced first. An answer file that
 *                         cannot be read, a .json that is not a valid record
 *                         (or any .json where the library was built without
 *                         JSON support, as in cross builds), or both files
 *                         for one method are reported on stderr and the call
 *                         fails with KELM_ERR_ANSWER.
 *   KELM_SIM_REPLAY=FILE  a call trace (pss-trace's pcapng) answers in the
 *                         service's place: the n-th call of a method gets the
 *                         n-th recorded call of that method, whatever its
 *                         family: the recorded answer bytes go to the
 *                         decoder (a damaged one as it is) and the recorded
 *                         uiValue and uiStatus come back, a failed call's
 *                         included. A request unlike the recorded one is
 *                         reported on stderr (the call and the first
 *                         differing byte) and answered all the same; so is a
 *                         decoder that now accepts an answer it refused when
 *                         recorded (the call then succeeds) or the other way
 *                         round (it fails with KELM_ERR_BAD_ANSWER). A call
 *                         beyond the recording, one recorded without its
 *                         answer or with a cut one, one that takes an answer
 *                         where the recorded call succeeded without one
 *                         (a one-way call), and every call when
 *                         FILE cannot be read fail with KELM_ERR_REPLAY,
 *                         said on stderr. The request is still decoded for
 *                         KelmLoopback_LastRequest; KELM_SIM_ANSWERS and
 *                         KELM_LOOPBACK_CORRUPT_ANSWER are not used.
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
