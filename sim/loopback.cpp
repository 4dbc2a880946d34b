// The loopback middleware: the RPC_* entry points the agent imports.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <vector>

#include "sim/capture.h"
#include "sim/kelm_loopback.h"
#include "sim/replay.h"
#include "sim/simulated_service.h"

#define KELM_API extern "C" __attribute__((visibility("default")))

extern "C" {
__attribute__((visibility("default"))) uint32_t g_uiKelmModuleId = 0x4B454C4Du;  // "KELM"
}

namespace kelm {
namespace {

// One handle per combination of options; handles are never released.
struct Invoke {
    uint32_t uiOptions;
};
constexpr uint32_t kOptionMask = KELM_LOOPBACK_FIXED_LAYOUT | KELM_LOOPBACK_CORRUPT_ANSWER;
Invoke g_astInvoke[kOptionMask + 1] = {{0}, {1}, {2}, {3}};

std::atomic<uint32_t> g_uiLiveBlocks{0};

constexpr IdlCallResult Failed(uint32_t uiStatus) { return {0, uiStatus}; }

uint32_t Encode(const void *pvReq, const IdlMsgOps &stOps, bool bFixed,
                std::vector<uint8_t> *pImage) {
    std::vector<uint8_t> &image = *pImage;
    if (bFixed) {
        if (stOps.pfnFixedSize == nullptr || stOps.pfnPackFixed == nullptr)
            return KELM_ERR_BAD_CALL;
        image.assign(stOps.pfnFixedSize(), 0);
        stOps.pfnPackFixed(image.data(), pvReq);
        return KELM_OK;
    }
    if (stOps.pfnPack == nullptr) return KELM_ERR_BAD_CALL;
    uint32_t uiSize = stOps.pfnPack(nullptr, pvReq);
    if (uiSize == 0) return KELM_ERR_ENCODE;
    image.assign(uiSize, 0);
    const SerialBufDesc stBuf = {image.data(), &uiSize};
    return stOps.pfnPack(&stBuf, pvReq) == image.size() ? KELM_OK : KELM_ERR_ENCODE;
}

// A call answered from the replayed trace: the recorded answer goes to the
// decoder and the recorded result words back to the caller.
IdlCallResult Replay(uint32_t uiCall, const char *pcMethodName, const std::vector<uint8_t> &image,
                     void *pvRsp, const IdlMsgOps &stOps) {
    NoteRequest(pcMethodName, image);
    Replayed stRecorded;
    if (!ReplayCall(pcMethodName, image, &stRecorded)) return Failed(KELM_ERR_REPLAY);
    if (!stRecorded.bAnswer && pvRsp != nullptr && stRecorded.stResult.uiStatus == KELM_OK) {
        // Success with a record never filled would pass for an answer.
        fprintf(stderr, "kelm loopback: replay: %s: the recorded call has no answer to decode\n",
                pcMethodName);
        return Failed(KELM_ERR_REPLAY);
    }
    if (!stRecorded.bAnswer) return stRecorded.stResult;
    CaptureImage(uiCall, pcMethodName, true, stRecorded.answer);
    if (pvRsp == nullptr) return stRecorded.stResult;
    static const uint8_t kNoBytes = 0;
    const std::vector<uint8_t> &answer = stRecorded.answer;
    const uint8_t *pucAnswer = answer.empty() ? &kNoBytes : answer.data();
    const int32_t iAnswerLen = static_cast<int32_t>(answer.size());
    const bool bAccepted = stOps.pfnUnpack(pucAnswer, iAnswerLen, pvRsp) != nullptr;
    if (bAccepted && stRecorded.stResult.uiStatus != KELM_OK && !stRecorded.bRefused &&
        stOps.pfnFreeUnpacked != nullptr) {
        // A failed call's caller does not expect an array to give back.
        stOps.pfnFreeUnpacked(pvRsp);
    }
    if (bAccepted == !stRecorded.bRefused) return stRecorded.stResult;
    fprintf(stderr,
            "kelm loopback: replay: %s: the decoder %s the recorded answer, which it %s when "
            "recorded\n",
            pcMethodName, bAccepted ? "accepts" : "refuses", bAccepted ? "refused" : "accepted");
    return bAccepted ? IdlCallResult{stRecorded.stResult.uiValue, KELM_OK}
                     : Failed(KELM_ERR_BAD_ANSWER);
}

// The whole call: encode, serve, decode the answer into pvRsp.
IdlCallResult Call(void *pvInvoke, const void *pvReq, void *pvRsp, const IdlMethodId *pstMethodId,
                   const IdlMsgOps *pstOps) {
    if (pvInvoke == nullptr || pvReq == nullptr || pstMethodId == nullptr || pstOps == nullptr ||
        pstMethodId->pcMethodName == nullptr ||
        (pvRsp != nullptr && pstOps->pfnUnpack == nullptr)) {
        return Failed(KELM_ERR_BAD_CALL);
    }
    const uint32_t uiOptions = static_cast<const Invoke *>(pvInvoke)->uiOptions;
    std::vector<uint8_t> image, answer;
    bool bAnswered = false;
    uint32_t uiStatus =
        Encode(pvReq, *pstOps, (uiOptions & KELM_LOOPBACK_FIXED_LAYOUT) != 0, &image);
    if (uiStatus == KELM_OK) {
        const uint32_t uiCall = CaptureCall();
        CaptureImage(uiCall, pstMethodId->pcMethodName, false, image);
        if (Replaying()) return Replay(uiCall, pstMethodId->pcMethodName, image, pvRsp, *pstOps);
        uiStatus = Serve(pstMethodId->pcMethodName, image,
                         (uiOptions & KELM_LOOPBACK_CORRUPT_ANSWER) != 0, &answer, &bAnswered);
        if (bAnswered) CaptureImage(uiCall, pstMethodId->pcMethodName, true, answer);
    }
    if (uiStatus != KELM_OK) return Failed(uiStatus);
    if (pvRsp != nullptr) {
        // A method without an answer leaves nothing to decode.
        if (!bAnswered) return Failed(KELM_ERR_BAD_CALL);
        // An empty scripted answer reaches the decoder as it is: no bytes.
        static const uint8_t kNoBytes = 0;
        const uint8_t *pucAnswer = answer.empty() ? &kNoBytes : answer.data();
        if (pstOps->pfnUnpack(pucAnswer, static_cast<int32_t>(answer.size()), pvRsp) == nullptr) {
            return Failed(KELM_ERR_BAD_ANSWER);
        }
    }
    return {static_cast<uint32_t>(image.size()), KELM_OK};
}

// ---- asynchronous completion ------------------------------------------------

// What an asynchronous call keeps: the caller's records live on its stack and
// end when RPC_IdlMsgAsyncCall returns.
struct Pending {
    void *pvInvoke;
    void *pvReq;
    void *pvRsp;
    IdlAsyncCallback pfnCallback;
    void *pvUserData;
    IdlMethodId stMethodId;
    IdlMsgOps stOps;
    bool bValid;
};

pthread_mutex_t g_workLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_workDone = PTHREAD_COND_INITIALIZER;
uint32_t g_uiOutstanding = 0;
std::vector<pthread_t> g_workers;  // guarded by g_workLock, joined by KelmLoopback_Drain

void DestroyBlock(void *pvBlock) {
    if (pvBlock != nullptr) RPC_IdlMsgDestroy(pvBlock, g_uiKelmModuleId, "kelm loopback");
}

void Complete(Pending &stCall) {
    IdlCallResult stResult = Failed(KELM_ERR_BAD_CALL);
    if (stCall.bValid) {
        stResult =
            Call(stCall.pvInvoke, stCall.pvReq, stCall.pvRsp, &stCall.stMethodId, &stCall.stOps);
    }
    stCall.pfnCallback(stResult, stCall.pvRsp, stCall.pvUserData);
    // A failed decode has already given its array back; releasing again is harmless.
    if (stCall.pvRsp != nullptr && stCall.stOps.pfnFreeUnpacked != nullptr) {
        stCall.stOps.pfnFreeUnpacked(stCall.pvRsp);
    }
    DestroyBlock(stCall.pvReq);
    DestroyBlock(stCall.pvRsp);
}

void *Worker(void *pvCall) {
    Pending *pstCall = static_cast<Pending *>(pvCall);
    Complete(*pstCall);
    delete pstCall;
    pthread_mutex_lock(&g_workLock);
    --g_uiOutstanding;
    pthread_cond_broadcast(&g_workDone);
    pthread_mutex_unlock(&g_workLock);
    return nullptr;
}

void Drain() {
    pthread_mutex_lock(&g_workLock);
    while (g_uiOutstanding != 0) pthread_cond_wait(&g_workDone, &g_workLock);
    std::vector<pthread_t> workers;
    workers.swap(g_workers);
    pthread_mutex_unlock(&g_workLock);
    for (pthread_t stThread : workers) pthread_join(stThread, nullptr);
}

// Calls still running when the process ends are completed first.
struct DrainAtExit {
    ~DrainAtExit() { Drain(); }
} g_drainAtExit;

}  // namespace
}  // namespace kelm

using namespace kelm;

KELM_API void *RPC_GetRpcInvoke(RpcServerAddr *pstAddr, uint32_t uiInvokeArg) {
    if (pstAddr == nullptr || pstAddr->pcServiceName == nullptr ||
        strcmp(pstAddr->pcServiceName, "PatchSdkService") != 0 ||
        (uiInvokeArg & KELM_LOOPBACK_UNREACHABLE) != 0) {
        return nullptr;
    }
    return &g_astInvoke[uiInvokeArg & kOptionMask];
}

KELM_API void *RPC_IdlMsgCreate(uint32_t uiSize, uint32_t, const char *) {
    void *pvBlock = malloc(uiSize != 0 ? uiSize : 1);
    if (pvBlock != nullptr) g_uiLiveBlocks.fetch_add(1, std::memory_order_relaxed);
    return pvBlock;
}

KELM_API void RPC_IdlMsgDestroy(void *pvMsg, uint32_t, const char *) {
    if (pvMsg == nullptr) return;
    free(pvMsg);
    g_uiLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
}

KELM_API IdlCallResult RPC_IdlMsgSyncCall(void *pvInvoke, const void *pvReq, void *pvRsp,
                                          const IdlMethodId *pstMethodId, const IdlMsgOps *pstOps) {
    return Call(pvInvoke, pvReq, pvRsp, pstMethodId, pstOps);
}

KELM_API uint32_t RPC_IdlMsgOnewayCall(void *pvInvoke, const void *pvReq,
                                       const IdlMethodId *pstMethodId, const IdlMsgOps *pstOps) {
    return Call(pvInvoke, pvReq, nullptr, pstMethodId, pstOps).uiStatus;
}

KELM_API uint32_t RPC_IdlMsgAsyncCall(IdlAsyncCall *pstCall) {
    if (pstCall == nullptr) return KELM_ERR_BAD_CALL;
    if (pstCall->pfnCallback == nullptr) {
        // Nobody to report to: the blocks are ours all the same.
        DestroyBlock(pstCall->pvReq);
        DestroyBlock(pstCall->pvRsp);
        return KELM_ERR_BAD_CALL;
    }
    Pending *pstPending = new Pending{pstCall->pvInvoke,
                                      pstCall->pvReq,
                                      pstCall->pvRsp,
                                      pstCall->pfnCallback,
                                      pstCall->pvUserData,
                                      {},
                                      {},
                                      false};
    if (pstCall->pstMethodId != nullptr && pstCall->pstOps != nullptr) {
        pstPending->stMethodId = *pstCall->pstMethodId;
        pstPending->stOps = *pstCall->pstOps;
        pstPending->bValid = true;
    }
    pthread_mutex_lock(&g_workLock);
    pthread_t stThread;
    const bool bStarted = pthread_create(&stThread, nullptr, Worker, pstPending) == 0;
    if (bStarted) {
        ++g_uiOutstanding;
        g_workers.push_back(stThread);
    }
    pthread_mutex_unlock(&g_workLock);
    if (!bStarted) {
        // Still completed, on the caller's thread, so that nothing is lost.
        Complete(*pstPending);
        delete pstPending;
        return KELM_ERR_NO_THREAD;
    }
    return KELM_OK;
}

extern "C" void KelmLoopback_Drain(void) { Drain(); }

extern "C" uint32_t KelmLoopback_LiveBlocks(void) {
    return g_uiLiveBlocks.load(std::memory_order_relaxed);
}
