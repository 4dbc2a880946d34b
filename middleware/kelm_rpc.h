/*
 * What the agent needs from the Kelm RPC middleware (libvandrikelm.so): the
 * contract between the two, apart from both. The agent imports these symbols;
 * the device's middleware and the loopback stand-in (sim/) implement
 * them; a process may define its own, which then take precedence in the
 * global lookup.
 */
#ifndef PSS_KELM_RPC_H
#define PSS_KELM_RPC_H

#include <stddef.h>
#include <stdint.h>

#include "patch_sdk_service_agent.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One asynchronous call, handed to RPC_IdlMsgAsyncCall. The record, the method
 * identity and the codec table it points to live on the caller's stack: the
 * middleware copies what it keeps. The two blocks are the middleware's from
 * the call on, whatever the call returns. */
typedef struct IdlAsyncCall {
    void *pvInvoke;               /* handle from RPC_GetRpcInvoke */
    void *pvReq;                  /* block holding a copy of the request */
    void *pvRsp;                  /* zero-filled response block; null without a response */
    IdlAsyncCallback pfnCallback; /* never null */
    void *pvUserData;             /* the caller's word, untouched */
    const IdlMethodId *pstMethodId;
    const IdlMsgOps *pstOps;
    uintptr_t auiReserved[3]; /* zero */
} IdlAsyncCall;

/* An invoke handle for the service at pstAddr, or null when it cannot be
 * reached. Valid for the call; never released. */
void *RPC_GetRpcInvoke(RpcServerAddr *pstAddr, uint32_t uiInvokeArg);

/* A writable block of uiSize bytes, or null. The tag names the allocating
 * function; the same module id and tag come back with the destroy. */
void *RPC_IdlMsgCreate(uint32_t uiSize, uint32_t uiModuleId, const char *pcTag);
void RPC_IdlMsgDestroy(void *pvMsg, uint32_t uiModuleId, const char *pcTag);

/* Encodes the request through pstOps, completes the call and decodes the
 * answer into pvRsp (when not null) before it returns. */
IdlCallResult RPC_IdlMsgSyncCall(void *pvInvoke, const void *pvReq, void *pvRsp,
                                 const IdlMethodId *pstMethodId, const IdlMsgOps *pstOps);

/* Takes the call over and reports later through its callback. */
uint32_t RPC_IdlMsgAsyncCall(IdlAsyncCall *pstCall);

/* Sends the request without an answer; the record stays the caller's. */
uint32_t RPC_IdlMsgOnewayCall(void *pvInvoke, const void *pvReq, const IdlMethodId *pstMethodId,
                              const IdlMsgOps *pstOps);

/* The middleware's module id, read anew for every create and destroy. */
extern uint32_t g_uiKelmModuleId;

#ifdef __cplusplus
}

// The middleware reads these records by position.
static_assert(sizeof(IdlAsyncCall) == 10 * sizeof(void *), "IdlAsyncCall is ten words");
static_assert(offsetof(IdlAsyncCall, pstOps) == 6 * sizeof(void *));
static_assert(sizeof(IdlMsgOps) == 6 * sizeof(void *), "IdlMsgOps is six slots");
static_assert(sizeof(IdlMethodId) == 2 * sizeof(void *));
static_assert(sizeof(IdlCallResult) == 8 && offsetof(IdlCallResult, uiStatus) == 4);
static_assert(offsetof(RpcServerAddr, pcServiceName) >= 52);
#if UINTPTR_MAX == 0xffffffffu
static_assert(sizeof(IdlAsyncCall) == 40);
static_assert(sizeof(RpcServerAddr) == 56 && offsetof(RpcServerAddr, pcServiceName) == 52);
static_assert(sizeof(IdlMsgOps) == 24);
#endif
#endif

#endif
