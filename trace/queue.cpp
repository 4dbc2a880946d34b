// The queue between the calls and the writer thread.
//
// A call copies its packet into the queue under a short lock and goes on; it
// wakes the writer only when the writer sleeps on an empty queue or the queue
// fills up, so that a steady stream of calls makes no system call for it. A
// packet that does not fit is lost and counted, never waited for.
#include "trace/queue.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "trace/clock.h"
#include "trace/output.h"
#include "trace/packet.h"

namespace pss::trace {
namespace {

enum Wait : int { kAwake, kEmpty, kNap };

constexpr uint32_t kEntryHead = 16;    // entry length, data length, monotonic time
constexpr uint64_t kNapNs = 20000000;  // how long the writer lets packets gather

// Never destroyed: calls may still complete while the process exits.
struct Queue {
    pthread_mutex_t stLock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t stWake{};  // set to the monotonic clock with the first recording
    bool bWakeReady = false;
    uint8_t *pucRing = nullptr;
    uint32_t uiSize = 0;  // a power of two
    uint32_t uiHead = 0;  // free-running positions; the used part is [head, tail)
    uint32_t uiTail = 0;
    uint32_t uiRecording = 0;
    Wait eWait = kAwake;
    bool bStopped = true;
    bool bWoken = false;
};
constinit Queue g_stQueue;
constinit std::atomic<uint32_t> g_uiLost{0};

// Packets of [uiFrom, uiTo) into the file; the callers leave that part alone.
void Drain(uint32_t uiFrom, uint32_t uiTo, bool *pbWriting) {
    Queue &stQueue = g_stQueue;
    // Monotonic to wall-clock time as the clocks stand now: the packets are
    // at most a nap old, and the wall clock may have been set since the start.
    const uint64_t ullToWall = WallNs() - SteadyNs();
    while (uiFrom != uiTo) {
        const uint32_t uiPos = uiFrom & (stQueue.uiSize - 1);
        const uint8_t *pucEntry = stQueue.pucRing + uiPos;
        const uint32_t uiEntry = GetHost<uint32_t>(pucEntry);
        if (uiEntry == 0) {  // the rest of the ring is unused: wrap
            uiFrom += stQueue.uiSize - uiPos;
            continue;
        }
        if (*pbWriting && !AddPacket(pucEntry + kEntryHead, GetHost<uint32_t>(pucEntry + 4),
                                     GetHost<uint64_t>(pucEntry + 8) + ullToWall)) {
            *pbWriting = false;
        }
        uiFrom += uiEntry;
    }
    if (*pbWriting) FlushOutput();
}

void NapUntil(uint64_t ullNs) {
    timespec stUntil;
    stUntil.tv_sec = static_cast<time_t>(ullNs / 1000000000u);
    stUntil.tv_nsec = static_cast<long>(ullNs % 1000000000u);
    (void)pthread_cond_timedwait(&g_stQueue.stWake, &g_stQueue.stLock, &stUntil);
}

}  // namespace

bool OpenQueue(uint32_t uiRecording, uint32_t uiBytes) {
    Queue &stQueue = g_stQueue;
    pthread_mutex_lock(&stQueue.stLock);
    if (!stQueue.bWakeReady) {
        pthread_condattr_t stAttr;
        pthread_condattr_init(&stAttr);
        pthread_condattr_setclock(&stAttr, CLOCK_MONOTONIC);
        pthread_cond_init(&stQueue.stWake, &stAttr);
        pthread_condattr_destroy(&stAttr);
        stQueue.bWakeReady = true;
    }
    free(stQueue.pucRing);
    stQueue.pucRing = static_cast<uint8_t *>(malloc(uiBytes));
    stQueue.uiSize = stQueue.pucRing != nullptr ? uiBytes : 0;
    stQueue.uiHead = stQueue.uiTail = 0;
    stQueue.uiRecording = uiRecording;
    stQueue.eWait = kAwake;
    stQueue.bStopped = stQueue.pucRing == nullptr;
    stQueue.bWoken = false;
    g_uiLost.store(0, std::memory_order_relaxed);
    const bool bReady = stQueue.pucRing != nullptr;
    pthread_mutex_unlock(&stQueue.stLock);
    return bReady;
}

void Enqueue(uint32_t uiRecording, std::atomic<uint32_t> *puiMark, uint64_t ullSteadyNs,
             const uint8_t *pucHeader, uint32_t uiHeaderLen, const uint8_t *pucImage,
             uint32_t uiImageLen) {
    Queue &stQueue = g_stQueue;
    const uint64_t ullEntry = (kEntryHead + uint64_t{uiHeaderLen} + uiImageLen + 7) & ~7ull;
    bool bWake = false;
    pthread_mutex_lock(&stQueue.stLock);
    if (!stQueue.bStopped && stQueue.uiRecording == uiRecording) {
        // Only hand-overs change a mark once its call is admitted, and they
        // hold this lock: no read-modify-write needed.
        puiMark->store(puiMark->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        uint32_t uiPos = stQueue.uiTail & (stQueue.uiSize - 1);
        const uint32_t uiToEnd = stQueue.uiSize - uiPos;
        const uint64_t ullNeed = ullEntry <= uiToEnd ? ullEntry : uiToEnd + ullEntry;
        if (ullNeed <= stQueue.uiSize - (stQueue.uiTail - stQueue.uiHead)) {
            const uint32_t uiEntry = static_cast<uint32_t>(ullEntry);
            if (uiEntry > uiToEnd) {
                PutHost<uint32_t>(stQueue.pucRing + uiPos, 0);
                stQueue.uiTail += uiToEnd;
                uiPos = 0;
            }
            uint8_t *pucEntry = stQueue.pucRing + uiPos;
            PutHost<uint32_t>(pucEntry, uiEntry);
            PutHost<uint32_t>(pucEntry + 4, uiHeaderLen + uiImageLen);
            PutHost<uint64_t>(pucEntry + 8, ullSteadyNs);
            memcpy(pucEntry + kEntryHead, pucHeader, uiHeaderLen);
            if (uiImageLen != 0) memcpy(pucEntry + kEntryHead + uiHeaderLen, pucImage, uiImageLen);
            stQueue.uiTail += uiEntry;
            bWake =
                stQueue.eWait == kEmpty ||
                (stQueue.eWait == kNap && stQueue.uiTail - stQueue.uiHead >= stQueue.uiSize / 4);
            if (bWake) stQueue.eWait = kAwake;  // one wake-up is enough
        } else {
            g_uiLost.fetch_add(1, std::memory_order_relaxed);
        }
    }
    pthread_mutex_unlock(&stQueue.stLock);
    if (bWake) pthread_cond_signal(&stQueue.stWake);
}

void CountLostCall(uint32_t uiRecording) {
    Queue &stQueue = g_stQueue;
    pthread_mutex_lock(&stQueue.stLock);
    if (!stQueue.bStopped && stQueue.uiRecording == uiRecording) {
        g_uiLost.fetch_add(2, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&stQueue.stLock);
}

uint32_t LostPackets() { return g_uiLost.load(std::memory_order_relaxed); }
void AddLostPackets(uint32_t uiPackets) {
    g_uiLost.fetch_add(uiPackets, std::memory_order_relaxed);
}

void WritePackets(uint64_t ullWaitNs, bool *pbWriting) {
    Queue &stQueue = g_stQueue;
    pthread_mutex_lock(&stQueue.stLock);
    if (stQueue.uiHead == stQueue.uiTail && !stQueue.bWoken && ullWaitNs != 0) {
        stQueue.eWait = kEmpty;
        NapUntil(SteadyNs() + ullWaitNs);
        stQueue.eWait = kAwake;
    }
    // Let a stream of packets gather, so that they go out in few writes.
    if (stQueue.uiHead != stQueue.uiTail && !stQueue.bWoken && !stQueue.bStopped &&
        ullWaitNs != 0 && stQueue.uiTail - stQueue.uiHead < stQueue.uiSize / 4) {
        stQueue.eWait = kNap;
        NapUntil(SteadyNs() + (ullWaitNs < kNapNs ? ullWaitNs : kNapNs));
        stQueue.eWait = kAwake;
    }
    stQueue.bWoken = false;
    const uint32_t uiFrom = stQueue.uiHead, uiTo = stQueue.uiTail;
    pthread_mutex_unlock(&stQueue.stLock);
    Drain(uiFrom, uiTo, pbWriting);
    pthread_mutex_lock(&stQueue.stLock);
    stQueue.uiHead = uiTo;
    pthread_mutex_unlock(&stQueue.stLock);
}

void WakeWriter() {
    Queue &stQueue = g_stQueue;
    pthread_mutex_lock(&stQueue.stLock);
    stQueue.bWoken = true;
    const bool bSleeping = stQueue.eWait != kAwake;
    pthread_mutex_unlock(&stQueue.stLock);
    if (bSleeping) pthread_cond_signal(&stQueue.stWake);
}

void StopQueue(uint32_t (*pfnOwed)(uint32_t uiRecording)) {
    Queue &stQueue = g_stQueue;
    pthread_mutex_lock(&stQueue.stLock);
    stQueue.bStopped = true;
    g_uiLost.fetch_add(pfnOwed(stQueue.uiRecording), std::memory_order_relaxed);
    pthread_mutex_unlock(&stQueue.stLock);
}

void FreeQueue() {
    Queue &stQueue = g_stQueue;
    pthread_mutex_lock(&stQueue.stLock);
    free(stQueue.pucRing);
    stQueue.pucRing = nullptr;
    stQueue.uiSize = 0;
    stQueue.uiHead = stQueue.uiTail = 0;
    pthread_mutex_unlock(&stQueue.stLock);
}

}  // namespace pss::trace
