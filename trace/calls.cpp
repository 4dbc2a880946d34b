// The middleware's three call entry points, interposed: each call is handed
// on to the next definition (the real middleware) with a codec table whose
// slots record what passes through them.
//
// The codec slots carry no context, so every call in flight gets a slot of
// its own in a fixed pool, and each pool slot has codec functions of its own
// (stamped from one template) that know which slot they belong to. That holds
// whichever thread the middleware encodes and decodes on. A call that finds
// the pool full is handed on untouched and its two packets count as lost.
//
// While no recording is wanted a call costs a test of the switch. A slot is
// marked with its call's recording before the recording is looked at again,
// so that a recording's end either finds the call (and waits for it, or
// counts what it still owes as lost) or the call finds the end and passes
// untraced: no call is split between two recordings.
#include "trace/calls.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <utility>

#include "middleware/kelm_rpc.h"
#include "trace/clock.h"
#include "trace/control.h"
#include "trace/packet.h"
#include "trace/queue.h"
#include "trace/recording.h"

#define PSS_TRACE_API extern "C" __attribute__((visibility("default")))

namespace pss::trace {
namespace {

using namespace pss::call_header;

constexpr uint32_t kSlots = 64;  // calls in flight at once that are traced
constexpr uint32_t kNoMiddleware = 22;

// A slot's mark: the recording, whether the call was admitted to it, and
// the packets the call has handed to the queue (0 to 2).
constexpr uint32_t kMarkShift = 3;
constexpr uint32_t kAdmitted = 4;
constexpr uint32_t kHandedOver = 3;

struct Slot {
    std::atomic<bool> bBusy{false};
    std::atomic<uint32_t> uiMark{0};
    uint32_t uiRecording = 0;
    uint32_t uiCap = 0;     // most bytes kept of an image; 0: all
    IdlMsgOps stReal{};     // the caller's codecs
    IdlMsgOps stWrapped{};  // what the middleware gets
    IdlAsyncCallback pfnCallback = nullptr;
    void *pvUserData = nullptr;
    CallNames stNames{};
    uint32_t uiCall = 0;
    uint32_t uiCaller = 0;  // thread that made the call
    Family eFamily{};       // all zero: the pool lies in .bss, not in the file
    bool bRequestDone = false;
    bool bAnswered = false;
    Verdict eVerdict = kNotDecoded;
    uint64_t ullStartSteady = 0;
    uint8_t *pucAnswer = nullptr;  // a copy of the bytes handed to the decoder; grows, kept
    uint32_t uiAnswerCap = 0;
    uint32_t uiAnswerKept = 0;
    uint32_t uiAnswerOriginal = 0;
};

// Constant-initialised, like every global here: a call may come from another
// library's constructor before this library's own have run.
constinit Slot g_astSlots[kSlots];
// Call numbers go on across recordings: readers pair by process and number.
constinit std::atomic<uint32_t> g_uiCalls{0};

uint32_t Kept(const Slot &stSlot, uint32_t uiOriginal) {
    return stSlot.uiCap != 0 && uiOriginal > stSlot.uiCap ? stSlot.uiCap : uiOriginal;
}

void Emit(Slot &stSlot, const PacketFacts &stFacts, uint64_t ullSteadyNs, const uint8_t *pucImage) {
    uint8_t aucHeader[kMaxHeader];
    const uint32_t uiHeader = PutCallHeader(aucHeader, stFacts, stSlot.stNames, ProcessId());
    Enqueue(stSlot.uiRecording, &stSlot.uiMark, ullSteadyNs, aucHeader, uiHeader, pucImage,
            stFacts.uiKept);
}

void EmitRequest(Slot &stSlot, Layout eLayout, const uint8_t *pucImage, uint32_t uiLen,
                 uint32_t uiThread, uint64_t ullSteadyNs) {
    stSlot.bRequestDone = true;
    PacketFacts stFacts{};
    stFacts.eDirection = kRequest;
    stFacts.eFamily = stSlot.eFamily;
    stFacts.eLayout = eLayout;
    stFacts.eVerdict = kNotDecoded;
    stFacts.uiCall = stSlot.uiCall;
    stFacts.uiThread = uiThread;
    stFacts.uiOriginal = uiLen;
    stFacts.uiKept = Kept(stSlot, uiLen);
    stFacts.ucFlags = stFacts.uiKept < uiLen ? kImageCut : 0;
    Emit(stSlot, stFacts, ullSteadyNs, pucImage);
}

// ---- the codec slots, per pool slot -----------------------------------------

uint32_t OnPack(Slot &stSlot, const SerialBufDesc *pstBuf, const void *pvReq) {
    // The capacity as the encoder was given it: it may write the length back.
    const uint32_t uiCapacity =
        pstBuf != nullptr && pstBuf->puiLen != nullptr ? *pstBuf->puiLen : 0xFFFFFFFFu;
    const uint32_t uiLen = stSlot.stReal.pfnPack(pstBuf, pvReq);
    // A size query (no buffer) makes no image; the first encoding is kept.
    if (pstBuf != nullptr && pstBuf->pucData != nullptr && uiLen != 0 && uiLen <= uiCapacity &&
        !stSlot.bRequestDone) {
        EmitRequest(stSlot, kCompact, pstBuf->pucData, uiLen, ThreadId(), SteadyNs());
    }
    return uiLen;
}

uint32_t OnPackFixed(Slot &stSlot, uint8_t *pucBuf, const void *pvReq) {
    const uint32_t uiResult = stSlot.stReal.pfnPackFixed(pucBuf, pvReq);
    // The image is as long as the method's fixed size says.
    if (uiResult == 0 && pucBuf != nullptr && stSlot.stReal.pfnFixedSize != nullptr &&
        !stSlot.bRequestDone) {
        EmitRequest(stSlot, kFixed, pucBuf, stSlot.stReal.pfnFixedSize(), ThreadId(), SteadyNs());
    }
    return uiResult;
}

void *OnUnpack(Slot &stSlot, const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp) {
    void *pvResult = stSlot.stReal.pfnUnpack(pucBuf, iBufLen, pvRsp);
    const uint32_t uiOriginal =
        pucBuf != nullptr && iBufLen > 0 ? static_cast<uint32_t>(iBufLen) : 0;
    uint32_t uiKept = Kept(stSlot, uiOriginal);
    if (uiKept > stSlot.uiAnswerCap) {
        uint8_t *pucBigger = static_cast<uint8_t *>(realloc(stSlot.pucAnswer, uiKept));
        if (pucBigger != nullptr) {
            stSlot.pucAnswer = pucBigger;
            stSlot.uiAnswerCap = uiKept;
        } else {
            uiKept = 0;  // shown as a cut image
        }
    }
    if (uiKept != 0) memcpy(stSlot.pucAnswer, pucBuf, uiKept);
    stSlot.bAnswered = true;
    stSlot.uiAnswerKept = uiKept;
    stSlot.uiAnswerOriginal = uiOriginal;
    stSlot.eVerdict = pvResult != nullptr ? kAccepted : kRefused;
    return pvResult;
}

template <size_t N>
uint32_t PackAt(const SerialBufDesc *pstBuf, const void *pvReq) {
    return OnPack(g_astSlots[N], pstBuf, pvReq);
}
template <size_t N>
uint32_t PackFixedAt(uint8_t *pucBuf, const void *pvReq) {
    return OnPackFixed(g_astSlots[N], pucBuf, pvReq);
}
template <size_t N>
void *UnpackAt(const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp) {
    return OnUnpack(g_astSlots[N], pucBuf, iBufLen, pvRsp);
}

struct SlotCodecs {
    IdlPackFunc apfnPack[kSlots];
    IdlPackFixedFunc apfnPackFixed[kSlots];
    IdlUnpackFunc apfnUnpack[kSlots];
};
template <size_t... N>
constexpr SlotCodecs MakeSlotCodecs(std::index_sequence<N...>) {
    return {{&PackAt<N>...}, {&PackFixedAt<N>...}, {&UnpackAt<N>...}};
}
constexpr SlotCodecs kSlotCodecs = MakeSlotCodecs(std::make_index_sequence<kSlots>{});

// ---- a call's start and end -----------------------------------------------

// A free slot, the thread's last one first: it is likely free and in this
// core's cache, and threads that keep to their own slots share no line.
Slot *TakeSlot() {
    static thread_local uint32_t t_uiLast __attribute__((tls_model("initial-exec"))) = kSlots;
    const uint32_t uiStart = t_uiLast < kSlots ? t_uiLast : ThreadId() % kSlots;
    for (uint32_t i = 0; i < kSlots; ++i) {
        const uint32_t uiIndex = (uiStart + i) % kSlots;
        Slot &stSlot = g_astSlots[uiIndex];
        bool bFree = false;
        if (!stSlot.bBusy.load(std::memory_order_relaxed) &&
            stSlot.bBusy.compare_exchange_strong(bFree, true, std::memory_order_acquire)) {
            t_uiLast = uiIndex;
            return &stSlot;
        }
    }
    return nullptr;
}

void GiveBack(Slot &stSlot) { stSlot.bBusy.store(false, std::memory_order_release); }

// A slot taken for a call that then passes untraced.
Slot *Untaken(Slot &stSlot) {
    stSlot.uiMark.store(0, std::memory_order_relaxed);
    GiveBack(stSlot);
    return nullptr;
}

// A slot for the call, or null when the call is not traced.
Slot *Begin(const IdlMethodId *pstMethodId, const IdlMsgOps *pstOps, Family eFamily) {
    if (pstMethodId == nullptr || pstOps == nullptr || pstMethodId->pcMethodName == nullptr) {
        return nullptr;
    }
    uint32_t uiRecording = g_uiOpenRecording.load(std::memory_order_acquire);
    if (uiRecording == 0 && (uiRecording = StartRecording()) == 0) return nullptr;
    Slot *pstSlot = TakeSlot();
    if (pstSlot == nullptr) {
        CountUntraced();
        CountLostCall(uiRecording);
        return nullptr;
    }
    Slot &stSlot = *pstSlot;
    stSlot.uiMark.store(uiRecording << kMarkShift, std::memory_order_seq_cst);
    if (g_uiOpenRecording.load(std::memory_order_seq_cst) != uiRecording) return Untaken(stSlot);
    const Options &stOptions = RecordingOptions(uiRecording);
    if (!MethodWanted(stOptions, pstMethodId->pcServiceName, pstMethodId->pcMethodName)) {
        CountUntraced();
        return Untaken(stSlot);
    }
    stSlot.uiRecording = uiRecording;
    stSlot.uiCap = stOptions.uiCap;
    stSlot.uiMark.store(uiRecording << kMarkShift | kAdmitted, std::memory_order_release);
    const size_t uiIndex = static_cast<size_t>(pstSlot - g_astSlots);
    stSlot.ullStartSteady = SteadyNs();
    stSlot.uiCall = g_uiCalls.fetch_add(1, std::memory_order_relaxed) + 1;
    stSlot.uiCaller = ThreadId();
    stSlot.eFamily = eFamily;
    stSlot.bRequestDone = false;
    stSlot.bAnswered = false;
    stSlot.eVerdict = kNotDecoded;
    stSlot.uiAnswerKept = 0;
    stSlot.uiAnswerOriginal = 0;
    SetNames(&stSlot.stNames, pstMethodId->pcServiceName, pstMethodId->pcMethodName);
    // Null slots stay null: the middleware may choose by them.
    stSlot.stReal = *pstOps;
    stSlot.stWrapped = *pstOps;
    if (pstOps->pfnPack != nullptr) stSlot.stWrapped.pfnPack = kSlotCodecs.apfnPack[uiIndex];
    if (pstOps->pfnPackFixed != nullptr) {
        stSlot.stWrapped.pfnPackFixed = kSlotCodecs.apfnPackFixed[uiIndex];
    }
    if (pstOps->pfnUnpack != nullptr) stSlot.stWrapped.pfnUnpack = kSlotCodecs.apfnUnpack[uiIndex];
    return pstSlot;
}

// The answer packet, after a request packet without image when the
// encoder made none.
void Finish(Slot &stSlot, IdlCallResult stResult) {
    const uint64_t ullEndSteady = SteadyNs();
    if (!stSlot.bRequestDone) {
        EmitRequest(stSlot, kNoImage, nullptr, 0, stSlot.uiCaller, stSlot.ullStartSteady);
    }
    PacketFacts stFacts{};
    stFacts.eDirection = kAnswer;
    stFacts.eFamily = stSlot.eFamily;
    stFacts.eLayout = stSlot.bAnswered ? kAnswerBytes : kNoImage;
    stFacts.eVerdict = stSlot.eVerdict;
    stFacts.ucFlags = static_cast<uint8_t>(
        kResultSet | (stSlot.uiAnswerKept < stSlot.uiAnswerOriginal ? kImageCut : 0));
    stFacts.uiCall = stSlot.uiCall;
    stFacts.uiValue = stResult.uiValue;
    stFacts.uiStatus = stResult.uiStatus;
    stFacts.uiThread = ThreadId();
    stFacts.uiOriginal = stSlot.uiAnswerOriginal;
    stFacts.uiKept = stSlot.uiAnswerKept;
    stFacts.ullDuration = ullEndSteady - stSlot.ullStartSteady;
    Emit(stSlot, stFacts, ullEndSteady, stSlot.pucAnswer);
}

void CompleteAsync(IdlCallResult stResult, void *pvRsp, void *pvSlot) {
    Slot &stSlot = *static_cast<Slot *>(pvSlot);
    const IdlAsyncCallback pfnCallback = stSlot.pfnCallback;
    void *const pvUserData = stSlot.pvUserData;
    Finish(stSlot, stResult);
    GiveBack(stSlot);
    pfnCallback(stResult, pvRsp, pvUserData);
}

// ---- the next definitions: the middleware itself --------------------------

template <typename Fn>
__attribute__((noinline, cold)) Fn FindNext(std::atomic<Fn> &pfnCached, const char *pcName) {
    const Fn pfnNext = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, pcName));
    if (pfnNext == nullptr) {
        fprintf(stderr, "pss-trace: no %s below the tracer; the call fails\n", pcName);
    }
    pfnCached.store(pfnNext, std::memory_order_relaxed);
    return pfnNext;
}
template <typename Fn>
inline Fn Next(std::atomic<Fn> &pfnCached, const char *pcName) {
    const Fn pfnNext = pfnCached.load(std::memory_order_relaxed);
    return pfnNext != nullptr ? pfnNext : FindNext(pfnCached, pcName);
}

using SyncCall = IdlCallResult (*)(void *, const void *, void *, const IdlMethodId *,
                                   const IdlMsgOps *);
using AsyncCall = uint32_t (*)(IdlAsyncCall *);
using OnewayCall = uint32_t (*)(void *, const void *, const IdlMethodId *, const IdlMsgOps *);
constinit std::atomic<SyncCall> g_pfnSync{nullptr};
constinit std::atomic<AsyncCall> g_pfnAsync{nullptr};
constinit std::atomic<OnewayCall> g_pfnOneway{nullptr};

// ---- a call while a recording is wanted ------------------------------------
// Apart from the entry points, so that a call while off costs them no more
// than the test of the switch.

__attribute__((noinline)) IdlCallResult TracedSync(SyncCall pfnNext, void *pvInvoke,
                                                   const void *pvReq, void *pvRsp,
                                                   const IdlMethodId *pstMethodId,
                                                   const IdlMsgOps *pstOps) {
    Slot *pstSlot = Begin(pstMethodId, pstOps, kSync);
    if (pstSlot == nullptr) return pfnNext(pvInvoke, pvReq, pvRsp, pstMethodId, pstOps);
    const IdlCallResult stResult =
        pfnNext(pvInvoke, pvReq, pvRsp, pstMethodId, &pstSlot->stWrapped);
    Finish(*pstSlot, stResult);
    GiveBack(*pstSlot);
    return stResult;
}

__attribute__((noinline)) uint32_t TracedOneway(OnewayCall pfnNext, void *pvInvoke,
                                                const void *pvReq, const IdlMethodId *pstMethodId,
                                                const IdlMsgOps *pstOps) {
    Slot *pstSlot = Begin(pstMethodId, pstOps, kOneway);
    if (pstSlot == nullptr) return pfnNext(pvInvoke, pvReq, pstMethodId, pstOps);
    const uint32_t uiStatus = pfnNext(pvInvoke, pvReq, pstMethodId, &pstSlot->stWrapped);
    Finish(*pstSlot, {0, uiStatus});
    GiveBack(*pstSlot);
    return uiStatus;
}

// The middleware gets a copy of the call with the wrapped codecs and the
// tracer's completion, whose user data is the slot; the slot stays taken
// until the completion, which hands the caller's user data to the caller's
// callback. A middleware that refuses a call and never calls back keeps its
// slot taken.
__attribute__((noinline)) uint32_t TracedAsync(AsyncCall pfnNext, IdlAsyncCall *pstCall) {
    if (pstCall == nullptr || pstCall->pfnCallback == nullptr) return pfnNext(pstCall);
    Slot *pstSlot = Begin(pstCall->pstMethodId, pstCall->pstOps, kAsync);
    if (pstSlot == nullptr) return pfnNext(pstCall);
    pstSlot->pfnCallback = pstCall->pfnCallback;
    pstSlot->pvUserData = pstCall->pvUserData;
    IdlAsyncCall stCall = *pstCall;
    stCall.pfnCallback = CompleteAsync;
    stCall.pvUserData = pstSlot;
    stCall.pstOps = &pstSlot->stWrapped;
    return pfnNext(&stCall);
}

}  // namespace

// ---- what a recording asks of the pool ---------------------------------------

uint32_t CallsInFlight(uint32_t uiRecording) {
    uint32_t uiCalls = 0;
    for (const Slot &stSlot : g_astSlots) {
        uiCalls += stSlot.bBusy.load(std::memory_order_acquire) &&
                   stSlot.uiMark.load(std::memory_order_seq_cst) >> kMarkShift == uiRecording;
    }
    return uiCalls;
}

// Calls that took a slot but were not admitted yet are counted too: had
// they been, their packets would be dropped from now on.
uint32_t PacketsOwed(uint32_t uiRecording) {
    uint32_t uiPackets = 0;
    for (const Slot &stSlot : g_astSlots) {
        const uint32_t uiMark = stSlot.uiMark.load(std::memory_order_seq_cst);
        if (stSlot.bBusy.load(std::memory_order_acquire) && uiMark >> kMarkShift == uiRecording) {
            uiPackets += 2 - (uiMark & kHandedOver);
        }
    }
    return uiPackets;
}

bool RecordingOptionsInUse(uint32_t uiRecording) {
    for (const Slot &stSlot : g_astSlots) {
        const uint32_t uiMark = stSlot.uiMark.load(std::memory_order_seq_cst);
        if (stSlot.bBusy.load(std::memory_order_acquire) && uiMark >> kMarkShift == uiRecording &&
            (uiMark & kAdmitted) == 0) {
            return true;
        }
    }
    return false;
}

uint32_t CallsNumbered() { return g_uiCalls.load(std::memory_order_relaxed); }

}  // namespace pss::trace

using namespace pss::trace;

PSS_TRACE_API IdlCallResult RPC_IdlMsgSyncCall(void *pvInvoke, const void *pvReq, void *pvRsp,
                                               const IdlMethodId *pstMethodId,
                                               const IdlMsgOps *pstOps) {
    const SyncCall pfnNext = Next(g_pfnSync, "RPC_IdlMsgSyncCall");
    if (pfnNext == nullptr) return {0, kNoMiddleware};
    if (!SwitchOn()) return pfnNext(pvInvoke, pvReq, pvRsp, pstMethodId, pstOps);
    return TracedSync(pfnNext, pvInvoke, pvReq, pvRsp, pstMethodId, pstOps);
}

PSS_TRACE_API uint32_t RPC_IdlMsgOnewayCall(void *pvInvoke, const void *pvReq,
                                            const IdlMethodId *pstMethodId,
                                            const IdlMsgOps *pstOps) {
    const OnewayCall pfnNext = Next(g_pfnOneway, "RPC_IdlMsgOnewayCall");
    if (pfnNext == nullptr) return kNoMiddleware;
    if (!SwitchOn()) return pfnNext(pvInvoke, pvReq, pstMethodId, pstOps);
    return TracedOneway(pfnNext, pvInvoke, pvReq, pstMethodId, pstOps);
}

PSS_TRACE_API uint32_t RPC_IdlMsgAsyncCall(IdlAsyncCall *pstCall) {
    const AsyncCall pfnNext = Next(g_pfnAsync, "RPC_IdlMsgAsyncCall");
    if (pfnNext == nullptr) return kNoMiddleware;
    if (!SwitchOn()) return pfnNext(pstCall);
    return TracedAsync(pfnNext, pstCall);
}
