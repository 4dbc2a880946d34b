// The queue between the calls and the writer thread, and the writer: pcapng
// files, written block by block, rotated through a ring when asked.
//
// A call copies its packet into the queue under a short lock and goes on; it
// wakes the writer only when the writer sleeps on an empty queue or the queue
// fills up, so that a steady stream of calls makes no system call for it. A
// packet that does not fit is lost and counted, never waited for.
#include "trace/sink.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "trace/clock.h"
#include "trace/options.h"
#include "trace/packet.h"

namespace pss::trace {
namespace {

enum State : int { kIdle, kRunning, kOff };
enum Wait : int { kAwake, kEmpty, kNap };

constexpr uint32_t kEntryHead = 16;          // entry length, data length, monotonic time
constexpr uint32_t kBatchBytes = 64 * 1024;  // what the writer hands to one write
constexpr uint64_t kNapNs = 20000000;        // how long the writer lets packets gather
constexpr uint32_t kFlushWaitMs = 5000;      // at exit, for the writer to finish

// Never destroyed: calls may still complete while the process exits.
struct Queue {
    pthread_mutex_t stLock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t stWake = PTHREAD_COND_INITIALIZER;  // set to the monotonic clock with the writer
    uint8_t *pucRing = nullptr;
    uint32_t uiSize = 0;  // a power of two
    uint32_t uiHead = 0;  // free-running positions; the used part is [head, tail)
    uint32_t uiTail = 0;
    Wait eWait = kAwake;
    bool bStop = false;
};
constinit Queue g_stQueue;
constinit std::atomic<int> g_iState{kIdle};
constinit std::atomic<uint32_t> g_uiLost{0};
constinit std::atomic<bool> g_bWriterDone{false};
pthread_mutex_t g_startLock = PTHREAD_MUTEX_INITIALIZER;

// ---- the writer's side: only its thread touches this -----------------------

struct Output {
    int iFd = -1;
    bool bRegular = false;
    bool bWriteReported = false;
    bool bHeadless = false;    // the file's head could not be written
    uint32_t uiIndex = 0;      // of the current file in the ring
    uint64_t ullBytes = 0;     // written to the current file
    uint32_t uiPackets = 0;    // written to the current file
    uint32_t uiShownLost = 0;  // losses the file has been told of
    uint8_t *pucBatch = nullptr;
    uint32_t uiBatchCap = 0;
    uint32_t uiBatchLen = 0;
    uint32_t uiBatchPackets = 0;
    uint32_t uiShownBefore = 0;  // uiShownLost before the batch
};
constinit Output g_stOut;
constinit char g_acPath[4096] = {};  // the current file; apart, so that it lies in .bss

uint32_t Digits(uint32_t uiValue) {
    uint32_t uiDigits = 1;
    while (uiValue >= 10) {
        uiValue /= 10;
        ++uiDigits;
    }
    return uiDigits;
}

// How much of the data reached the file.
size_t WriteAll(int iFd, const uint8_t *pucData, size_t uiLen) {
    size_t uiDone = 0;
    while (uiDone < uiLen) {
        const ssize_t iDone = write(iFd, pucData + uiDone, uiLen - uiDone);
        if (iDone < 0 && errno == EINTR) continue;
        if (iDone <= 0) {
            if (iDone == 0) errno = EIO;
            break;
        }
        uiDone += static_cast<size_t>(iDone);
    }
    return uiDone;
}

// Writes whole blocks and returns how many reached the file. Of a write that
// fails part way (a full disk, a size limit) the whole blocks stay and the
// file is cut back to the last of them, so that it reads to its end.
uint32_t WriteBlocks(const uint8_t *pucData, uint32_t uiLen) {
    Output &stOut = g_stOut;
    const size_t uiDone = WriteAll(stOut.iFd, pucData, uiLen);
    const int iError = errno;
    uint32_t uiKept = 0, uiBlocks = 0;
    while (uiKept < uiLen) {
        const uint32_t uiBlock = GetHost<uint32_t>(pucData + uiKept + 4);
        if (uiBlock > uiDone - uiKept) break;
        uiKept += uiBlock;
        ++uiBlocks;
    }
    stOut.ullBytes += uiKept;
    if (uiDone == uiLen) return uiBlocks;
    if (stOut.bRegular) {
        (void)!ftruncate(stOut.iFd, static_cast<off_t>(stOut.ullBytes));
        (void)lseek(stOut.iFd, static_cast<off_t>(stOut.ullBytes), SEEK_SET);
    }
    if (!stOut.bWriteReported) {
        stOut.bWriteReported = true;
        fprintf(stderr, "pss-trace: cannot write %s (%s); packets are lost and counted\n", g_acPath,
                strerror(iError));
    }
    return uiBlocks;
}

// The batch holds only packets: those not written are lost, and the next
// packet written tells of them.
void Flush() {
    Output &stOut = g_stOut;
    if (stOut.uiBatchLen == 0) return;
    const uint32_t uiWritten = stOut.bHeadless ? 0 : WriteBlocks(stOut.pucBatch, stOut.uiBatchLen);
    stOut.uiPackets += uiWritten;
    if (uiWritten != stOut.uiBatchPackets) {
        g_uiLost.fetch_add(stOut.uiBatchPackets - uiWritten, std::memory_order_relaxed);
        // Shown so far: what the last packet written said.
        uint32_t uiAt = 0;
        for (uint32_t i = 1; i < uiWritten; ++i)
            uiAt += GetHost<uint32_t>(stOut.pucBatch + uiAt + 4);
        stOut.uiShownLost = uiWritten != 0 ? ch::GetLe(stOut.pucBatch + uiAt + 28, ch::kDrops)
                                           : stOut.uiShownBefore;
    }
    stOut.uiBatchLen = 0;
    stOut.uiBatchPackets = 0;
}

bool OpenFile() {
    Output &stOut = g_stOut;
    const Options &stOptions = TraceOptions();
    if (stOptions.ullRotateBytes == 0) {
        snprintf(g_acPath, sizeof g_acPath, "%s", stOptions.pcFile);
    } else {
        const int iWidth =
            stOptions.uiFiles != 0 ? static_cast<int>(Digits(stOptions.uiFiles - 1)) : 1;
        snprintf(g_acPath, sizeof g_acPath, "%s%0*u", stOptions.pcFile, iWidth,
                 static_cast<unsigned>(stOut.uiIndex));
    }
    // Opened here, not in a call: a FIFO without a reader blocks only this thread.
    stOut.iFd = open(g_acPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (stOut.iFd < 0) {
        fprintf(stderr, "pss-trace: cannot open %s (%s); calls go on untraced\n", g_acPath,
                strerror(errno));
        return false;
    }
    struct stat stFile;
    stOut.bRegular = fstat(stOut.iFd, &stFile) == 0 && S_ISREG(stFile.st_mode);
    // Traces hold whatever the service carries: an older file keeps no wider mode.
    if (stOut.bRegular) (void)fchmod(stOut.iFd, 0600);
    stOut.ullBytes = 0;
    stOut.uiPackets = 0;
    uint8_t aucHead[kFileHeadSize];
    const uint32_t uiSnapLen = stOptions.uiCap != 0 ? stOptions.uiCap + ch::kMaxHeader : 0;
    // Packets mean nothing without the file's head: none follow a head cut short.
    stOut.bHeadless = WriteBlocks(aucHead, PutFileHead(aucHead, uiSnapLen)) != 2;
    if (stOut.bHeadless && stOut.bRegular) (void)!ftruncate(stOut.iFd, 0);
    return true;
}

void CloseFile() {
    Output &stOut = g_stOut;
    Flush();
    uint8_t aucStatistics[kStatisticsSize];
    if (!stOut.bHeadless) {
        const uint32_t uiLost = g_uiLost.load(std::memory_order_relaxed);
        (void)WriteBlocks(aucStatistics, PutStatistics(aucStatistics, WallNs(), uiLost));
    }
    close(stOut.iFd);
    stOut.iFd = -1;
}

// tcpdump's -C/-W: the next file of the ring, overwritten when it exists.
bool NextFile() {
    Output &stOut = g_stOut;
    CloseFile();
    const uint32_t uiFiles = TraceOptions().uiFiles;
    stOut.uiIndex = uiFiles != 0 ? (stOut.uiIndex + 1) % uiFiles : stOut.uiIndex + 1;
    return OpenFile();
}

// One packet from the queue into the batch as an Enhanced Packet Block, with
// the losses so far in its header and, when there were new ones, in
// epb_dropcount.
bool AddPacket(const uint8_t *pucData, uint32_t uiData, uint64_t ullWallNs) {
    Output &stOut = g_stOut;
    const Options &stOptions = TraceOptions();
    const uint32_t uiLost = g_uiLost.load(std::memory_order_relaxed);
    const uint32_t uiBlock = EnhancedPacketSize(uiData, uiLost != stOut.uiShownLost);
    if (stOut.uiPackets + stOut.uiBatchPackets != 0 &&
        RotationDue(stOut.ullBytes + stOut.uiBatchLen, uiBlock, stOptions.ullRotateBytes)) {
        Flush();
        if (!NextFile()) return false;
    }
    if (stOut.uiBatchLen + uiBlock > stOut.uiBatchCap) {
        Flush();
        if (uiBlock > stOut.uiBatchCap) {
            uint8_t *pucBigger = static_cast<uint8_t *>(realloc(stOut.pucBatch, uiBlock));
            if (pucBigger == nullptr) {
                g_uiLost.fetch_add(1, std::memory_order_relaxed);
                return true;
            }
            stOut.pucBatch = pucBigger;
            stOut.uiBatchCap = uiBlock;
        }
    }
    if (stOut.uiBatchPackets == 0) stOut.uiShownBefore = stOut.uiShownLost;
    uint8_t *pucBlock = stOut.pucBatch + stOut.uiBatchLen;
    const uint32_t uiOriginal = ch::HeaderLength(pucData) + ch::GetLe(pucData, ch::kOriginal);
    PutEnhancedPacket(pucBlock, ullWallNs, pucData, uiData, uiOriginal, uiLost - stOut.uiShownLost);
    ch::PutLe(pucBlock + 28, ch::kDrops, uiLost);
    stOut.uiShownLost = uiLost;
    stOut.uiBatchLen += uiBlock;
    ++stOut.uiBatchPackets;
    if (stOut.uiBatchLen >= kBatchBytes) Flush();
    return true;
}

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
            *pbWriting = false;  // the next file of the ring could not be opened
            g_iState.store(kOff, std::memory_order_release);
        }
        uiFrom += uiEntry;
    }
    if (*pbWriting) Flush();
}

void NapUntil(uint64_t ullNs) {
    timespec stUntil;
    stUntil.tv_sec = static_cast<time_t>(ullNs / 1000000000u);
    stUntil.tv_nsec = static_cast<long>(ullNs % 1000000000u);
    (void)pthread_cond_timedwait(&g_stQueue.stWake, &g_stQueue.stLock, &stUntil);
}

void *WriterMain(void *) {
    Queue &stQueue = g_stQueue;
    bool bWriting = OpenFile();
    // Calls go on untraced from now on; those in flight find their packets lost.
    if (!bWriting) g_iState.store(kOff, std::memory_order_release);
    pthread_mutex_lock(&stQueue.stLock);
    for (;;) {
        if (stQueue.uiHead == stQueue.uiTail && !stQueue.bStop) {
            stQueue.eWait = kEmpty;
            pthread_cond_wait(&stQueue.stWake, &stQueue.stLock);
            stQueue.eWait = kAwake;
            continue;
        }
        // Let a stream of packets gather, so that they go out in few writes.
        if (!stQueue.bStop && stQueue.uiTail - stQueue.uiHead < stQueue.uiSize / 4) {
            stQueue.eWait = kNap;
            NapUntil(SteadyNs() + kNapNs);
            stQueue.eWait = kAwake;
        }
        const uint32_t uiFrom = stQueue.uiHead, uiTo = stQueue.uiTail;
        const bool bStop = stQueue.bStop;
        pthread_mutex_unlock(&stQueue.stLock);
        Drain(uiFrom, uiTo, &bWriting);
        pthread_mutex_lock(&stQueue.stLock);
        stQueue.uiHead = uiTo;
        if (bStop && stQueue.uiHead == stQueue.uiTail) break;
    }
    pthread_mutex_unlock(&stQueue.stLock);
    if (bWriting) CloseFile();
    g_bWriterDone.store(true, std::memory_order_release);
    return nullptr;
}

// A forked child has no writer, and its copy of the file position means
// nothing: it goes on untraced.
void AfterFork() { g_iState.store(kOff, std::memory_order_relaxed); }

bool StartWriter() {
    const Options &stOptions = TraceOptions();
    if (stOptions.pcFile == nullptr) return false;
    Queue &stQueue = g_stQueue;
    stQueue.uiSize = 1u << 31;
    while (stQueue.uiSize > stOptions.uiQueueBytes) stQueue.uiSize >>= 1;
    stQueue.pucRing = static_cast<uint8_t *>(malloc(stQueue.uiSize));
    g_stOut.uiBatchCap = kBatchBytes + 4096;
    g_stOut.pucBatch = static_cast<uint8_t *>(malloc(g_stOut.uiBatchCap));
    pthread_condattr_t stAttr;
    pthread_condattr_init(&stAttr);
    pthread_condattr_setclock(&stAttr, CLOCK_MONOTONIC);
    pthread_cond_init(&stQueue.stWake, &stAttr);
    pthread_condattr_destroy(&stAttr);
    if (stQueue.pucRing == nullptr || g_stOut.pucBatch == nullptr) {
        fprintf(stderr, "pss-trace: no memory for a %u byte queue; calls go on untraced\n",
                static_cast<unsigned>(stQueue.uiSize));
        return false;
    }
    // The writer takes no signal of the process: a reader that leaves a FIFO
    // or a file size limit then shows as a failed write, not as SIGPIPE or
    // SIGXFSZ, and the program's own signals go to the program's threads.
    sigset_t stAll, stOld;
    sigfillset(&stAll);
    pthread_sigmask(SIG_SETMASK, &stAll, &stOld);
    pthread_attr_t stThread;
    pthread_attr_init(&stThread);
    pthread_attr_setdetachstate(&stThread, PTHREAD_CREATE_DETACHED);
    pthread_t stWriter;
    const int iError = pthread_create(&stWriter, &stThread, WriterMain, nullptr);
    pthread_attr_destroy(&stThread);
    pthread_sigmask(SIG_SETMASK, &stOld, nullptr);
    if (iError != 0) {
        fprintf(stderr, "pss-trace: no writer thread (%s); calls go on untraced\n",
                strerror(iError));
        return false;
    }
    pthread_atfork(nullptr, nullptr, AfterFork);
    return true;
}

}  // namespace

bool SinkReady() {
    const int iState = g_iState.load(std::memory_order_acquire);
    if (iState != kIdle) return iState == kRunning;
    pthread_mutex_lock(&g_startLock);
    if (g_iState.load(std::memory_order_relaxed) == kIdle) {
        g_iState.store(StartWriter() ? kRunning : kOff, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_startLock);
    return g_iState.load(std::memory_order_acquire) == kRunning;
}

void CountLost(uint32_t uiPackets) { g_uiLost.fetch_add(uiPackets, std::memory_order_relaxed); }

void Enqueue(uint64_t ullSteadyNs, const uint8_t *pucHeader, uint32_t uiHeaderLen,
             const uint8_t *pucImage, uint32_t uiImageLen) {
    Queue &stQueue = g_stQueue;
    const uint64_t ullEntry = (kEntryHead + uint64_t{uiHeaderLen} + uiImageLen + 7) & ~7ull;
    bool bTaken = false, bWake = false;
    if (g_iState.load(std::memory_order_acquire) == kRunning && ullEntry <= stQueue.uiSize) {
        const uint32_t uiEntry = static_cast<uint32_t>(ullEntry);
        pthread_mutex_lock(&stQueue.stLock);
        uint32_t uiPos = stQueue.uiTail & (stQueue.uiSize - 1);
        const uint32_t uiToEnd = stQueue.uiSize - uiPos;
        const uint64_t ullNeed = uiEntry <= uiToEnd ? uiEntry : uint64_t{uiToEnd} + uiEntry;
        if (!stQueue.bStop && ullNeed <= stQueue.uiSize - (stQueue.uiTail - stQueue.uiHead)) {
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
            bTaken = true;
            bWake =
                stQueue.eWait == kEmpty ||
                (stQueue.eWait == kNap && stQueue.uiTail - stQueue.uiHead >= stQueue.uiSize / 4);
            if (bWake) stQueue.eWait = kAwake;  // one wake-up is enough
        }
        pthread_mutex_unlock(&stQueue.stLock);
    }
    if (bWake) pthread_cond_signal(&stQueue.stWake);
    if (!bTaken) g_uiLost.fetch_add(1, std::memory_order_relaxed);
}

void FinishSink() {
    if (g_iState.load(std::memory_order_acquire) != kRunning) return;
    Queue &stQueue = g_stQueue;
    pthread_mutex_lock(&stQueue.stLock);
    stQueue.bStop = true;
    pthread_mutex_unlock(&stQueue.stLock);
    pthread_cond_signal(&stQueue.stWake);
    // Bounded: a FIFO nobody reads must not hold the process.
    const timespec stPause = {0, 1000000};
    for (uint32_t uiMs = 0; uiMs < kFlushWaitMs && !g_bWriterDone.load(std::memory_order_acquire);
         ++uiMs) {
        nanosleep(&stPause, nullptr);
    }
    g_iState.store(kOff, std::memory_order_release);
    if (!g_bWriterDone.load(std::memory_order_acquire)) {
        fprintf(stderr,
                "pss-trace: %s not finished in time (a FIFO nobody reads?); what was "
                "still queued is lost\n",
                TraceOptions().pcFile);
    }
    const uint32_t uiLost = g_uiLost.load(std::memory_order_relaxed);
    if (uiLost != 0) {
        fprintf(stderr, "pss-trace: %u packets lost (no room in the queue or in the file)\n",
                static_cast<unsigned>(uiLost));
    }
}

}  // namespace pss::trace
