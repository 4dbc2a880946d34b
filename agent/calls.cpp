// The exported functions. Each call shape is written once below and stamped
// once per method from the method list; a function's tag, for the blocks it
// allocates, is its own name. The functions only bind codecs: encoding and
// decoding happen inside the middleware, through the IdlMsgOps handed over.
#include "agent/catalogue.h"
#include "middleware/kelm_rpc.h"
#include "platform/secmem/secmem.h"

namespace pss {
namespace {

constexpr IdlCallResult Refused(uint32_t uiStatus) { return {0, uiStatus}; }

// What every call holds on its stack. The invoke lookup and the binding come
// before any argument test, so a refused call has made them too.
struct CallFrame {
    IdlMethodId stMethodId;
    IdlMsgOps stOps;
    void *pvInvoke;

    CallFrame(Method eMethod, uint32_t uiInvokeArg) : stMethodId(kMethodIds[eMethod]) {
        pvInvoke = RPC_GetRpcInvoke(&g_stServerAddr_PatchSdkService, uiInvokeArg);
        BindCodecs(eMethod, &stOps);
    }
};

// The module id is the middleware's and may change: read it for every block.
void *CreateBlock(uint32_t uiSize, const char *pcTag) {
    return RPC_IdlMsgCreate(uiSize, g_uiKelmModuleId, pcTag);
}
void DestroyBlock(void *pvBlock, const char *pcTag) {
    RPC_IdlMsgDestroy(pvBlock, g_uiKelmModuleId, pcTag);
}

// Request copy in a middleware block. Destination size and count are equal,
// so the checked copy cannot fail.
void *CopyRequest(const void *pvReq, uint32_t uiSize, const char *pcTag) {
    void *pvBlock = CreateBlock(uiSize, pcTag);
    if (pvBlock != nullptr) {
        (void)memcpy_s(pvBlock, uiSize, pvReq, uiSize);
    }
    return pvBlock;
}

uint32_t HandOver(const CallFrame &stFrame, void *pvReqBlock, void *pvRspBlock,
                  IdlAsyncCallback pfnCallback, void *pvUserData) {
    IdlAsyncCall stCall{};
    stCall.pvInvoke = stFrame.pvInvoke;
    stCall.pvReq = pvReqBlock;
    stCall.pvRsp = pvRspBlock;
    stCall.pfnCallback = pfnCallback;
    stCall.pvUserData = pvUserData;
    stCall.pstMethodId = &stFrame.stMethodId;
    stCall.pstOps = &stFrame.stOps;
    // From here on both blocks are the middleware's; it reports through the
    // callback, so its immediate status is not the caller's business.
    (void)RPC_IdlMsgAsyncCall(&stCall);
    return PSS_AGENT_OK;
}

// Request/response, synchronous: the caller's records are used in place and
// nothing is allocated.
IdlCallResult CallWithResponse(Method eMethod, const void *pvReq, void *pvRsp,
                               uint32_t uiInvokeArg) {
    const CallFrame stFrame(eMethod, uiInvokeArg);
    if (stFrame.pvInvoke == nullptr || pvReq == nullptr || pvRsp == nullptr) {
        return Refused(PSS_AGENT_EINVAL);
    }
    return RPC_IdlMsgSyncCall(stFrame.pvInvoke, pvReq, pvRsp, &stFrame.stMethodId, &stFrame.stOps);
}

// Request only, synchronous: a copy travels, and never outlives the call.
IdlCallResult CallRequestOnly(Method eMethod, const void *pvReq, uint32_t uiInvokeArg,
                              const char *pcTag) {
    const CallFrame stFrame(eMethod, uiInvokeArg);
    if (stFrame.pvInvoke == nullptr || pvReq == nullptr) {
        return Refused(PSS_AGENT_EINVAL);
    }
    void *pvCopy = CopyRequest(pvReq, kMethodBindings[eMethod].uiReqSize, pcTag);
    if (pvCopy == nullptr) {
        return Refused(PSS_AGENT_ENOMEM);
    }
    const IdlCallResult stResult =
        RPC_IdlMsgSyncCall(stFrame.pvInvoke, pvCopy, nullptr, &stFrame.stMethodId, &stFrame.stOps);
    DestroyBlock(pvCopy, pcTag);
    return stResult;
}

// Request/response, asynchronous: a request copy and a zeroed response block
// go to the middleware, which owns both from then on.
uint32_t AsyncWithResponse(Method eMethod, const void *pvReq, IdlAsyncCallback pfnCallback,
                           void *pvUserData, uint32_t uiInvokeArg, const char *pcTag) {
    const CallFrame stFrame(eMethod, uiInvokeArg);
    if (stFrame.pvInvoke == nullptr || pvReq == nullptr || pfnCallback == nullptr) {
        return PSS_AGENT_EINVAL;
    }
    const MethodBinding &stBinding = kMethodBindings[eMethod];
    void *pvReqBlock = CreateBlock(stBinding.uiReqSize, pcTag);
    if (pvReqBlock == nullptr) {
        return PSS_AGENT_ENOMEM;
    }
    void *pvRspBlock = CreateBlock(stBinding.uiRspSize, pcTag);
    if (pvRspBlock == nullptr) {
        DestroyBlock(pvReqBlock, pcTag);
        return PSS_AGENT_ENOMEM;
    }
    (void)memset_s(pvRspBlock, stBinding.uiRspSize, 0, stBinding.uiRspSize);
    (void)memcpy_s(pvReqBlock, stBinding.uiReqSize, pvReq, stBinding.uiReqSize);
    return HandOver(stFrame, pvReqBlock, pvRspBlock, pfnCallback, pvUserData);
}

// Request only, asynchronous; without a callback it is a one-way send of the
// caller's own record.
uint32_t AsyncRequestOnly(Method eMethod, const void *pvReq, IdlAsyncCallback pfnCallback,
                          void *pvUserData, uint32_t uiInvokeArg, const char *pcTag) {
    const CallFrame stFrame(eMethod, uiInvokeArg);
    if (stFrame.pvInvoke == nullptr || pvReq == nullptr) {
        return PSS_AGENT_EINVAL;
    }
    if (pfnCallback == nullptr) {
        return RPC_IdlMsgOnewayCall(stFrame.pvInvoke, pvReq, &stFrame.stMethodId, &stFrame.stOps);
    }
    void *pvCopy = CopyRequest(pvReq, kMethodBindings[eMethod].uiReqSize, pcTag);
    if (pvCopy == nullptr) {
        return PSS_AGENT_ENOMEM;
    }
    return HandOver(stFrame, pvCopy, nullptr, pfnCallback, pvUserData);
}

// One-way: the caller's record is handed over as it is; nothing is copied.
uint32_t SendOneway(Method eMethod, const void *pvReq, uint32_t uiInvokeArg) {
    const CallFrame stFrame(eMethod, uiInvokeArg);
    if (stFrame.pvInvoke == nullptr || pvReq == nullptr) {
        return PSS_AGENT_EINVAL;
    }
    return RPC_IdlMsgOnewayCall(stFrame.pvInvoke, pvReq, &stFrame.stMethodId, &stFrame.stOps);
}

void SetIdl(Method eMethod, IdlMsgOps *pstOps) {
    // Exported, so callers other than the agent reach it: a null record is
    // ignored rather than written through.
    if (pstOps != nullptr) {
        BindCodecs(eMethod, pstOps);
    }
}

}  // namespace
}  // namespace pss

#define PSS_STAMP_REQ_RSP(Op, Req, Rsp)                                                            \
    void PatchSdkService_QOMA_PAT_##Op##SetIdl(IdlMsgOps *pstOps) {                                \
        pss::SetIdl(pss::k##Op, pstOps);                                                           \
    }                                                                                              \
    IdlCallResult PatchSdkService_QOMA_PAT_##Op(const Req *pstReq, Rsp *pstRsp,                    \
                                                uint32_t uiInvokeArg) {                            \
        return pss::CallWithResponse(pss::k##Op, pstReq, pstRsp, uiInvokeArg);                     \
    }                                                                                              \
    uint32_t PatchSdkService_QOMA_PAT_##Op##_async(                                                \
        const Req *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData, uint32_t uiInvokeArg) { \
        return pss::AsyncWithResponse(pss::k##Op, pstReq, pfnCallback, pvUserData, uiInvokeArg,    \
                                      __func__);                                                   \
    }

#define PSS_STAMP_REQ_ONLY(Op, Req)                                                                \
    void PatchSdkService_QOMA_PAT_##Op##SetIdl(IdlMsgOps *pstOps) {                                \
        pss::SetIdl(pss::k##Op, pstOps);                                                           \
    }                                                                                              \
    IdlCallResult PatchSdkService_QOMA_PAT_##Op(const Req *pstReq, uint32_t uiInvokeArg) {         \
        return pss::CallRequestOnly(pss::k##Op, pstReq, uiInvokeArg, __func__);                    \
    }                                                                                              \
    uint32_t PatchSdkService_QOMA_PAT_##Op##_async(                                                \
        const Req *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData, uint32_t uiInvokeArg) { \
        return pss::AsyncRequestOnly(pss::k##Op, pstReq, pfnCallback, pvUserData, uiInvokeArg,     \
                                     __func__);                                                    \
    }                                                                                              \
    uint32_t PatchSdkService_QOMA_PAT_##Op##_oneway(const Req *pstReq, uint32_t uiInvokeArg) {     \
        return pss::SendOneway(pss::k##Op, pstReq, uiInvokeArg);                                   \
    }

extern "C" {
PSS_METHODS(PSS_STAMP_REQ_RSP, PSS_STAMP_REQ_ONLY)
}
