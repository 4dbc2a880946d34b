// A middleware that returns at once, defined in the benchmark executable so
// that the agent's imports bind to it ahead of the loopback library: only the
// caller's side of a call is measured. It counts the blocks it creates; an
// asynchronous call takes its blocks over and releases them at once. Each
// benchmark defines RPC_IdlMsgSyncCall itself, since what a synchronous call
// answers is part of what it measures.
#ifndef PSS_BENCH_STUB_MIDDLEWARE_H
#define PSS_BENCH_STUB_MIDDLEWARE_H

#include <stdint.h>
#include <stdlib.h>

#include "middleware/kelm_rpc.h"

#define BENCH_EXPORT extern "C" __attribute__((visibility("default"), noipa))

namespace {
int g_invoke;
uint64_t g_creates;
}  // namespace

extern "C" {
__attribute__((visibility("default"))) uint32_t g_uiKelmModuleId = 1;
}

BENCH_EXPORT void *RPC_GetRpcInvoke(RpcServerAddr *, uint32_t) { return &g_invoke; }
BENCH_EXPORT void *RPC_IdlMsgCreate(uint32_t uiSize, uint32_t, const char *) {
    ++g_creates;
    return malloc(uiSize);
}
BENCH_EXPORT void RPC_IdlMsgDestroy(void *pvMsg, uint32_t, const char *) { free(pvMsg); }
BENCH_EXPORT uint32_t RPC_IdlMsgAsyncCall(IdlAsyncCall *pstCall) {
    free(pstCall->pvReq);
    free(pstCall->pvRsp);
    return 0;
}
BENCH_EXPORT uint32_t RPC_IdlMsgOnewayCall(void *, const void *, const IdlMethodId *,
                                           const IdlMsgOps *) {
    return 0;
}

#endif
