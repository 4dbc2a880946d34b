// The loopback middleware: the RPC_* entry points the agent imports.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <vector>

#include "sim/capture.h"
#include "sim/completion_order.h"
#include "sim/fault_plan.h"
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

const char *MethodName(const IdlMethodId *pstMethodId) {
    return pstMethodId != nullptr ? pstMethodId->pcMethodName : nullptr;
}

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

// What the service, simulated or replayed, made of a call: a failure before
// any answer, or the answer (if the method has one) and the result words a
// success carries.
struct Served {
    uint32_t uiStatus = KELM_OK;
    bool bAnswered = false;
    std::vector<uint8_t> answer;
    IdlCallResult stWords{0, KELM_OK};
    bool bReplayed = false;
    bool bRefusedWhenRecorded = false;
};

// A call answered from the replayed trace: the recorded answer and result
// words. False when the trace holds no answer for the call and the simulated
// service is to answer it instead.
bool Replay(const char *pcMethodName, const std::vector<uint8_t> &image, bool bWantsAnswer,
            Served *pstServed) {
    Served &stServed = *pstServed;
    Replayed stRecorded;
    if (!ReplayCall(pcMethodName, image, &stRecorded)) {
        if (ReplaySimulatesMissing()) return false;
        NoteRequest(pcMethodName, image);
        stServed.uiStatus = KELM_ERR_REPLAY;
        return true;
    }
    if (!stRecorded.bAnswer && bWantsAnswer && stRecorded.stResult.uiStatus == KELM_OK) {
        // Success with a record never filled would pass for an answer.
        const bool bSimulated = ReplaySimulatesMissing();
        fprintf(stderr, "kelm loopback: replay: %s: the recorded call has no answer to decode%s\n",
                pcMethodName, bSimulated ? "; the simulated service answers it" : "");
        if (bSimulated) return false;
        NoteRequest(pcMethodName, image);
        stServed.uiStatus = KELM_ERR_REPLAY;
        return true;
    }
    NoteRequest(pcMethodName, image);
    stServed.bReplayed = true;
    stServed.bAnswered = stRecorded.bAnswer;
    stServed.answer = std::move(stRecorded.answer);
    stServed.stWords = stRecorded.stResult;
    stServed.bRefusedWhenRecorded = stRecorded.bRefused;
    return true;
}

// A replayed answer is judged as it was when recorded; the decoder's verdict
// today is the one that counts when they differ.
IdlCallResult JudgeReplayed(const char *pcMethodName, const Served &stServed, bool bAccepted,
                            void *pvRsp, const IdlMsgOps &stOps) {
    const IdlCallResult &stRecorded = stServed.stWords;
    if (bAccepted && stRecorded.uiStatus != KELM_OK && !stServed.bRefusedWhenRecorded &&
        stOps.pfnFreeUnpacked != nullptr) {
        // A failed call's caller does not expect an array to give back.
        stOps.pfnFreeUnpacked(pvRsp);
    }
    if (bAccepted == !stServed.bRefusedWhenRecorded) return stRecorded;
    fprintf(stderr,
            "kelm loopback: replay: %s: the decoder %s the recorded answer, which it %s when "
            "recorded\n",
            pcMethodName, bAccepted ? "accepts" : "refuses", bAccepted ? "refused" : "accepted");
    return bAccepted ? IdlCallResult{stRecorded.uiValue, KELM_OK} : Failed(KELM_ERR_BAD_ANSWER);
}

// A chosen success result replaces the words of a call that succeeded.
IdlCallResult Chosen(const FaultAct &stAct, IdlCallResult stResult) {
    return stAct.bResult && stResult.uiStatus == KELM_OK ? stAct.stResult : stResult;
}

// The whole call: encode, serve (or replay), let the fault plan act on the
// answer and the result, decode the answer into pvRsp.
IdlCallResult Call(void *pvInvoke, const void *pvReq, void *pvRsp, const IdlMethodId *pstMethodId,
                   const IdlMsgOps *pstOps, const FaultAct &stAct) {
    if (pvInvoke == nullptr || pvReq == nullptr || pstMethodId == nullptr || pstOps == nullptr ||
        pstMethodId->pcMethodName == nullptr ||
        (pvRsp != nullptr && pstOps->pfnUnpack == nullptr)) {
        return Failed(KELM_ERR_BAD_CALL);
    }
    if (stAct.bPlanRefused) return Failed(KELM_ERR_FAULT_PLAN);
    const char *pcMethodName = pstMethodId->pcMethodName;
    const uint32_t uiOptions = static_cast<const Invoke *>(pvInvoke)->uiOptions;
    std::vector<uint8_t> image;
    const uint32_t uiEncoded =
        Encode(pvReq, *pstOps, (uiOptions & KELM_LOOPBACK_FIXED_LAYOUT) != 0, &image);
    if (uiEncoded != KELM_OK) return Failed(uiEncoded);
    const uint32_t uiCall = CaptureCall();
    CaptureImage(uiCall, pcMethodName, false, image);
    if (stAct.bDrop) return {static_cast<uint32_t>(image.size()), KELM_OK};  // lost on the way

    Served stServed;
    if (!Replaying() || !Replay(pcMethodName, image, pvRsp != nullptr, &stServed)) {
        stServed.uiStatus =
            Serve(pcMethodName, image, (uiOptions & KELM_LOOPBACK_CORRUPT_ANSWER) != 0,
                  &stServed.answer, &stServed.bAnswered);
        stServed.stWords = {static_cast<uint32_t>(image.size()), KELM_OK};
    }
    if (stAct.Fails()) return stAct.stResult;  // the answer, if any, never arrives
    if (stServed.uiStatus != KELM_OK) return Failed(stServed.uiStatus);
    bool bFaulted = false;
    if (stServed.bAnswered) {
        bFaulted = ApplyAnswerFaults(stAct, &stServed.answer);
        CaptureImage(uiCall, pcMethodName, true, stServed.answer);
    }
    if (pvRsp == nullptr || (stServed.bReplayed && !stServed.bAnswered)) {
        return Chosen(stAct, stServed.stWords);
    }
    // A method without an answer leaves nothing to decode.
    if (!stServed.bAnswered) return Failed(KELM_ERR_BAD_CALL);
    // An empty answer reaches the decoder as it is: no bytes.
    static const uint8_t kNoBytes = 0;
    const std::vector<uint8_t> &answer = stServed.answer;
    const uint8_t *pucAnswer = answer.empty() ? &kNoBytes : answer.data();
    const bool bAccepted =
        pstOps->pfnUnpack(pucAnswer, static_cast<int32_t>(answer.size()), pvRsp) != nullptr;
    if (stServed.bReplayed && !bFaulted) {
        return Chosen(stAct, JudgeReplayed(pcMethodName, stServed, bAccepted, pvRsp, *pstOps));
    }
    // A simulated answer, or one the plan gave or damaged: the decoder alone judges it.
    if (!bAccepted) return Failed(KELM_ERR_BAD_ANSWER);
    return Chosen(stAct, {stServed.stWords.uiValue, KELM_OK});
}

// Sleeps for a delay a fault plan chose, whatever signals come. No delay is
// no system call: nanosleep of nothing still gives the processor away.
void Pause(uint32_t uiUs) {
    if (uiUs == 0) return;
    timespec stLeft = {static_cast<time_t>(uiUs / 1000000),
                       static_cast<long>(uiUs % 1000000) * 1000};
    while (nanosleep(&stLeft, &stLeft) != 0 && errno == EINTR) {
    }
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
    FaultAct stAct;
    WindowPlace stPlace;
    IdlCallResult stResult;
};

pthread_mutex_t g_workLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_workDone = PTHREAD_COND_INITIALIZER;
uint32_t g_uiOutstanding = 0;      // accepted and not yet delivered or held for ever
std::vector<pthread_t> g_workers;  // guarded by g_workLock, joined by KelmLoopback_Drain
// Workers that have ended, guarded by g_workLock: joined when the next one
// starts, so that a client that runs for long and never drains keeps no
// stacks of threads long gone (a 32-bit process runs out of room for them).
std::vector<pthread_t> g_ended;
// Calls a fault plan never completes, guarded by g_workLock: their blocks are
// given back when the library unloads. Never destroyed, like the plan.
std::vector<Pending *> &NeverCompleted() {
    static auto *const pNever = new std::vector<Pending *>;
    return *pNever;
}
std::atomic<uint32_t> g_uiPlanSeen{0};  // the generation of the plan the last call met

void DestroyBlock(void *pvBlock) {
    if (pvBlock != nullptr) RPC_IdlMsgDestroy(pvBlock, g_uiKelmModuleId, "kelm loopback");
}

// The callback gets the result, then the decoded array and both blocks go.
void Deliver(Pending *pstCall) {
    Pending &stCall = *pstCall;
    stCall.pfnCallback(stCall.stResult, stCall.pvRsp, stCall.pvUserData);
    // A failed decode has already given its array back; releasing again is harmless.
    if (stCall.pvRsp != nullptr && stCall.stOps.pfnFreeUnpacked != nullptr) {
        stCall.stOps.pfnFreeUnpacked(stCall.pvRsp);
    }
    DestroyBlock(stCall.pvReq);
    DestroyBlock(stCall.pvRsp);
    delete pstCall;
    pthread_mutex_lock(&g_workLock);
    --g_uiOutstanding;
    pthread_cond_broadcast(&g_workDone);
    pthread_mutex_unlock(&g_workLock);
}

// A batch of held completions, and the batches of its rule that follow it.
void DeliverBatch(Batch stBatch) {
    while (!stBatch.completions.empty()) {
        for (void *pvCall : stBatch.completions) Deliver(static_cast<Pending *>(pvCall));
        stBatch = Delivered(stBatch.ullRule);
    }
}

void DeliverAll(const std::vector<Batch> &batches) {
    for (const Batch &stBatch : batches) DeliverBatch(stBatch);
}

// Runs the call, then delivers it, or holds it in its window, or for ever.
void Complete(Pending *pstCall) {
    Pending &stCall = *pstCall;
    const bool bNever = stCall.stAct.eComplete == Completion::kNever;
    stCall.stResult = Failed(KELM_ERR_BAD_CALL);
    if (stCall.bValid) {
        // A call that never completes is sent and served, but nothing is decoded.
        stCall.stResult = Call(stCall.pvInvoke, stCall.pvReq, bNever ? nullptr : stCall.pvRsp,
                               &stCall.stMethodId, &stCall.stOps, stCall.stAct);
    }
    if (bNever) {
        pthread_mutex_lock(&g_workLock);
        NeverCompleted().push_back(pstCall);
        --g_uiOutstanding;
        pthread_cond_broadcast(&g_workDone);
        pthread_mutex_unlock(&g_workLock);
        return;
    }
    Pause(stCall.stAct.uiDelayUs);
    if (stCall.stPlace.pWindow != nullptr) {
        const WindowPlace stPlace = stCall.stPlace;  // the call may be delivered and gone
        DeliverBatch(Fill(stPlace, pstCall));
        return;
    }
    Deliver(pstCall);
}

// A worker's last step: from the running to the ended, unless Drain has
// taken it to join already.
void *Ended() {
    const pthread_t stSelf = pthread_self();
    pthread_mutex_lock(&g_workLock);
    for (auto it = g_workers.begin(); it != g_workers.end(); ++it) {
        if (pthread_equal(*it, stSelf)) {
            g_workers.erase(it);
            g_ended.push_back(stSelf);
            break;
        }
    }
    pthread_mutex_unlock(&g_workLock);
    return nullptr;
}

// Under g_workLock, before a worker starts: the ended ones, to be joined.
std::vector<pthread_t> TakeEnded() {
    std::vector<pthread_t> ended;
    ended.swap(g_ended);
    return ended;
}
void JoinAll(const std::vector<pthread_t> &threads) {
    for (pthread_t stThread : threads) pthread_join(stThread, nullptr);
}

void *Worker(void *pvCall) {
    Complete(static_cast<Pending *>(pvCall));
    return Ended();
}

void *DeliverWorker(void *pvBatches) {
    auto *pBatches = static_cast<std::vector<Batch> *>(pvBatches);
    DeliverAll(*pBatches);
    delete pBatches;
    return Ended();
}

// A call that meets a newer plan than the last one closes the windows of the
// plan replaced, so that their completions are not held for ever. They are
// delivered on a thread of their own: the caller may hold a lock its
// callbacks take.
void NotePlan(const FaultAct &stAct) {
    if (g_uiPlanSeen.exchange(stAct.uiGeneration, std::memory_order_relaxed) ==
        stAct.uiGeneration) {
        return;
    }
    auto *pReady = new std::vector<Batch>(CloseWindows());
    if (pReady->empty()) {
        delete pReady;
        return;
    }
    pthread_mutex_lock(&g_workLock);
    const std::vector<pthread_t> ended = TakeEnded();
    pthread_t stThread;
    const bool bStarted = pthread_create(&stThread, nullptr, DeliverWorker, pReady) == 0;
    if (bStarted) g_workers.push_back(stThread);
    pthread_mutex_unlock(&g_workLock);
    JoinAll(ended);
    if (!bStarted) DeliverWorker(pReady);  // late rather than never
}

void Drain() {
    DeliverAll(CloseWindows());
    pthread_mutex_lock(&g_workLock);
    while (g_uiOutstanding != 0) pthread_cond_wait(&g_workDone, &g_workLock);
    std::vector<pthread_t> workers = TakeEnded();
    workers.insert(workers.end(), g_workers.begin(), g_workers.end());
    g_workers.clear();
    pthread_mutex_unlock(&g_workLock);
    JoinAll(workers);
}

// Calls still running when the process ends are completed first; those a
// fault plan never completes give their blocks back.
struct DrainAtExit {
    ~DrainAtExit() {
        Drain();
        pthread_mutex_lock(&g_workLock);
        std::vector<Pending *> never;
        never.swap(NeverCompleted());
        pthread_mutex_unlock(&g_workLock);
        for (Pending *pstCall : never) {
            DestroyBlock(pstCall->pvReq);
            DestroyBlock(pstCall->pvRsp);
            delete pstCall;
        }
        if (!FaultReportWanted()) return;
        ReportFaultCounts();
        if (!never.empty()) {
            fprintf(stderr,
                    "kelm loopback: at exit: asynchronous calls never completed: %zu, their "
                    "blocks given back; blocks left: %u\n",
                    never.size(), g_uiLiveBlocks.load(std::memory_order_relaxed));
        }
    }
} g_drainAtExit;

// A call's blocks are created one after another on the caller's thread, before
// the call is handed over: a creation with the tag of the one before it and no
// call between them is the same call's response block, which the plan's
// create_fails leaves be (the call has met it at its first block).
thread_local char t_acFirstBlockOf[96];  // empty: no block is waiting for its second

}  // namespace
}  // namespace kelm

using namespace kelm;

KELM_API void *RPC_GetRpcInvoke(RpcServerAddr *pstAddr, uint32_t uiInvokeArg) {
    if (pstAddr == nullptr || pstAddr->pcServiceName == nullptr ||
        strcmp(pstAddr->pcServiceName, "PatchSdkService") != 0 ||
        (uiInvokeArg & KELM_LOOPBACK_UNREACHABLE) != 0) {
        return nullptr;
    }
    const FaultAct stAct = DecideLookup();
    NotePlan(stAct);
    Pause(stAct.uiDelayUs);
    return stAct.bNoHandle ? nullptr : &g_astInvoke[uiInvokeArg & kOptionMask];
}

KELM_API void *RPC_IdlMsgCreate(uint32_t uiSize, uint32_t, const char *pcTag) {
    const bool bSecond = pcTag != nullptr && *pcTag != '\0' && strcmp(pcTag, t_acFirstBlockOf) == 0;
    t_acFirstBlockOf[0] = '\0';
    if (!bSecond) {
        const FaultAct stAct = DecideCreate(pcTag);
        NotePlan(stAct);
        Pause(stAct.uiDelayUs);
        if (stAct.bCreateFails) return nullptr;
    }
    void *pvBlock = malloc(uiSize != 0 ? uiSize : 1);
    if (pvBlock == nullptr) return nullptr;
    g_uiLiveBlocks.fetch_add(1, std::memory_order_relaxed);
    if (!bSecond && pcTag != nullptr && strlen(pcTag) < sizeof t_acFirstBlockOf) {
        strcpy(t_acFirstBlockOf, pcTag);
    }
    return pvBlock;
}

KELM_API void RPC_IdlMsgDestroy(void *pvMsg, uint32_t, const char *) {
    if (pvMsg == nullptr) return;
    free(pvMsg);
    g_uiLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
}

KELM_API IdlCallResult RPC_IdlMsgSyncCall(void *pvInvoke, const void *pvReq, void *pvRsp,
                                          const IdlMethodId *pstMethodId, const IdlMsgOps *pstOps) {
    t_acFirstBlockOf[0] = '\0';
    const FaultAct stAct = DecideCall(MethodName(pstMethodId), kSync, pvReq);
    NotePlan(stAct);
    const IdlCallResult stResult = Call(pvInvoke, pvReq, pvRsp, pstMethodId, pstOps, stAct);
    Pause(stAct.uiDelayUs);
    return stResult;
}

KELM_API uint32_t RPC_IdlMsgOnewayCall(void *pvInvoke, const void *pvReq,
                                       const IdlMethodId *pstMethodId, const IdlMsgOps *pstOps) {
    t_acFirstBlockOf[0] = '\0';
    const FaultAct stAct = DecideCall(MethodName(pstMethodId), kOneway, pvReq);
    NotePlan(stAct);
    const uint32_t uiStatus = Call(pvInvoke, pvReq, nullptr, pstMethodId, pstOps, stAct).uiStatus;
    Pause(stAct.uiDelayUs);
    return uiStatus;
}

KELM_API uint32_t RPC_IdlMsgAsyncCall(IdlAsyncCall *pstCall) {
    t_acFirstBlockOf[0] = '\0';
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
                                      false,
                                      {},
                                      {},
                                      {0, 0}};
    if (pstCall->pstMethodId != nullptr && pstCall->pstOps != nullptr) {
        pstPending->stMethodId = *pstCall->pstMethodId;
        pstPending->stOps = *pstCall->pstOps;
        pstPending->bValid = true;
        // Decided here, in the callers' order, whichever worker runs first.
        FaultAct &stAct = pstPending->stAct;
        stAct = DecideCall(pstPending->stMethodId.pcMethodName, kAsync, pstCall->pvReq);
        NotePlan(stAct);
        if (stAct.eComplete == Completion::kReverse || stAct.eComplete == Completion::kShuffle) {
            const uint64_t ullRule = uint64_t{stAct.uiGeneration} << 32 | stAct.uiRule;
            pstPending->stPlace =
                TakePlace(ullRule, stAct.uiWindow, stAct.eComplete == Completion::kShuffle,
                          stAct.uiOrderSeed);
        }
    }
    pthread_mutex_lock(&g_workLock);
    ++g_uiOutstanding;
    const std::vector<pthread_t> ended = TakeEnded();
    pthread_t stThread;
    const bool bStarted = pthread_create(&stThread, nullptr, Worker, pstPending) == 0;
    if (bStarted) g_workers.push_back(stThread);
    pthread_mutex_unlock(&g_workLock);
    JoinAll(ended);
    if (!bStarted) {
        // Still completed, on the caller's thread, so that nothing is lost.
        Complete(pstPending);
        return KELM_ERR_NO_THREAD;
    }
    return KELM_OK;
}

extern "C" void KelmLoopback_Drain(void) { Drain(); }

extern "C" uint32_t KelmLoopback_LiveBlocks(void) {
    return g_uiLiveBlocks.load(std::memory_order_relaxed);
}
