#include "recording_middleware.h"

#include <stdlib.h>
#include <string.h>

extern "C" __attribute__((visibility("default"))) uint32_t g_uiKelmModuleId;

namespace pss_test {

Recorder g_recorder;
int g_invokeHandle;

void Recorder::Reset(size_t uiReq, size_t uiRsp) {
    for (void *pv : live) free(pv);
    *this = Recorder{};
    pvInvoke = &g_invokeHandle;
    uiReqSize = uiReq;
    uiRspSize = uiRsp;
    g_uiKelmModuleId = 500;
}

std::vector<Ev> Recorder::Kinds() const {
    std::vector<Ev> kinds;
    for (const Event &e : events) kinds.push_back(e.eKind);
    return kinds;
}

namespace {

std::vector<uint8_t> Bytes(const void *pv, size_t uiSize) {
    const uint8_t *puc = static_cast<const uint8_t *>(pv);
    return pv != nullptr ? std::vector<uint8_t>(puc, puc + uiSize) : std::vector<uint8_t>{};
}

void Describe(Event &e, const IdlMethodId *pstId, const IdlMsgOps *pstOps) {
    if (pstId != nullptr) {
        e.service = pstId->pcServiceName != nullptr ? pstId->pcServiceName : "(null)";
        e.method = pstId->pcMethodName != nullptr ? pstId->pcMethodName : "(null)";
    }
    if (pstOps != nullptr) e.stOps = *pstOps;
}

}  // namespace
}  // namespace pss_test

using pss_test::Ev;
using pss_test::Event;
using pss_test::g_recorder;

#define PSS_TEST_EXPORT extern "C" __attribute__((visibility("default")))

// Each create moves the module id on, so that a destroy shows whether the id
// was read again rather than remembered.
extern "C" {
__attribute__((visibility("default"))) uint32_t g_uiKelmModuleId = 500;
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PSS_TEST_ASAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define PSS_TEST_ASAN 1
#endif
#ifdef PSS_TEST_ASAN
// The executable replaces the loopback library's g_uiKelmModuleId on purpose,
// as a device process would: AddressSanitizer is to object only when two
// definitions of one name differ in size.
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options() {
    return "detect_odr_violation=1";
}
#endif

PSS_TEST_EXPORT void *RPC_GetRpcInvoke(RpcServerAddr *pstAddr, uint32_t uiInvokeArg) {
    Event e(Ev::kInvoke);
    e.pstAddr = pstAddr;
    e.uiInvokeArg = uiInvokeArg;
    g_recorder.events.push_back(e);
    return g_recorder.pvInvoke;
}

PSS_TEST_EXPORT void *RPC_IdlMsgCreate(uint32_t uiSize, uint32_t uiModuleId, const char *pcTag) {
    Event e(Ev::kCreate);
    e.uiSize = uiSize;
    e.uiModuleId = uiModuleId;
    e.tag = pcTag != nullptr ? pcTag : "(null)";
    if (g_recorder.iCreates++ != g_recorder.iFailCreateAt) {
        // Filled with a marker, so that a block handed over unfilled shows.
        e.pvBlock = malloc(uiSize);
        memset(e.pvBlock, 0xEE, uiSize);
        g_recorder.live.insert(e.pvBlock);
    }
    g_recorder.events.push_back(e);
    ++g_uiKelmModuleId;
    return e.pvBlock;
}

PSS_TEST_EXPORT void RPC_IdlMsgDestroy(void *pvMsg, uint32_t uiModuleId, const char *pcTag) {
    Event e(Ev::kDestroy);
    e.pvBlock = pvMsg;
    e.uiModuleId = uiModuleId;
    e.tag = pcTag != nullptr ? pcTag : "(null)";
    g_recorder.events.push_back(e);
    if (g_recorder.live.erase(pvMsg) == 1) free(pvMsg);
}

PSS_TEST_EXPORT IdlCallResult RPC_IdlMsgSyncCall(void *pvInvoke, const void *pvReq, void *pvRsp,
                                                 const IdlMethodId *pstMethodId,
                                                 const IdlMsgOps *pstOps) {
    Event e(Ev::kSync);
    e.pvInvoke = pvInvoke;
    e.pvReq = pvReq;
    e.pvRsp = pvRsp;
    e.reqBytes = pss_test::Bytes(pvReq, g_recorder.uiReqSize);
    pss_test::Describe(e, pstMethodId, pstOps);
    g_recorder.events.push_back(e);
    return g_recorder.stSyncResult;
}

PSS_TEST_EXPORT uint32_t RPC_IdlMsgAsyncCall(IdlAsyncCall *pstCall) {
    Event e(Ev::kAsync);
    e.stCall = *pstCall;
    e.pvReq = pstCall->pvReq;
    e.pvRsp = pstCall->pvRsp;
    e.reqBytes = pss_test::Bytes(pstCall->pvReq, g_recorder.uiReqSize);
    e.rspBytes = pss_test::Bytes(pstCall->pvRsp, g_recorder.uiRspSize);
    pss_test::Describe(e, pstCall->pstMethodId, pstCall->pstOps);
    g_recorder.events.push_back(e);
    // The blocks are ours now.
    for (void *pv : {pstCall->pvReq, pstCall->pvRsp}) {
        if (g_recorder.live.erase(pv) == 1) free(pv);
    }
    return g_recorder.uiAsyncResult;
}

PSS_TEST_EXPORT uint32_t RPC_IdlMsgOnewayCall(void *pvInvoke, const void *pvReq,
                                              const IdlMethodId *pstMethodId,
                                              const IdlMsgOps *pstOps) {
    Event e(Ev::kOneway);
    e.pvInvoke = pvInvoke;
    e.pvReq = pvReq;
    e.reqBytes = pss_test::Bytes(pvReq, g_recorder.uiReqSize);
    pss_test::Describe(e, pstMethodId, pstOps);
    g_recorder.events.push_back(e);
    return g_recorder.uiOnewayResult;
}
