// The writer's files: pcapng blocks batched into few writes, whole blocks
// only, and tcpdump's rotation through a ring of files.
#include "trace/output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "trace/clock.h"
#include "trace/packet.h"
#include "trace/queue.h"

namespace pss::trace {
namespace {

constexpr uint32_t kBatchBytes = 64 * 1024;  // what the writer hands to one write
constexpr int kPollMs = 100;                 // a FIFO's reader is looked for this often
constexpr uint32_t kStallMs = 2000;          // and, once the recording ends, waited for

struct Output {
    const Options *pstOptions = nullptr;
    bool (*pfnEnding)() = nullptr;
    int iFd = -1;
    bool bStalled = false;  // a reader that took nothing for kStallMs at the end
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
// Apart, so that they lie in .bss: the current file, and why one could not be opened.
constinit char g_acPath[sizeof(Options::acFile) + 16] = {};  // the ring's number appended
constinit char g_acError[sizeof g_acPath + 128] = {};

uint32_t Digits(uint32_t uiValue) {
    uint32_t uiDigits = 1;
    while (uiValue >= 10) {
        uiValue /= 10;
        ++uiDigits;
    }
    return uiDigits;
}

// How much of the data reached the file. A FIFO is written without blocking,
// so that a reader that takes nothing holds the writer only while the
// recording goes on, and a bounded time once it ends.
size_t WriteAll(int iFd, const uint8_t *pucData, size_t uiLen) {
    Output &stOut = g_stOut;
    size_t uiDone = 0;
    uint32_t uiStalledMs = 0;
    while (uiDone < uiLen) {
        const ssize_t iDone = write(iFd, pucData + uiDone, uiLen - uiDone);
        if (iDone > 0) {
            uiDone += static_cast<size_t>(iDone);
            uiStalledMs = 0;
            continue;
        }
        if (iDone < 0 && errno == EINTR) continue;
        if (iDone < 0 && errno == EAGAIN && !stOut.bStalled) {
            if (stOut.pfnEnding() && (uiStalledMs += kPollMs) > kStallMs) {
                stOut.bStalled = true;
            } else {
                pollfd stPoll = {iFd, POLLOUT, 0};
                (void)poll(&stPoll, 1, kPollMs);
                continue;
            }
        }
        if (iDone == 0) errno = EIO;
        break;
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
                stOut.bStalled ? "its reader takes nothing" : strerror(iError));
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
        AddLostPackets(stOut.uiBatchPackets - uiWritten);
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
    const Options &stOptions = *stOut.pstOptions;
    if (stOptions.ullRotateBytes == 0) {
        snprintf(g_acPath, sizeof g_acPath, "%s", stOptions.acFile);
    } else {
        const int iWidth =
            stOptions.uiFiles != 0 ? static_cast<int>(Digits(stOptions.uiFiles - 1)) : 1;
        snprintf(g_acPath, sizeof g_acPath, "%s%0*u", stOptions.acFile, iWidth,
                 static_cast<unsigned>(stOut.uiIndex));
    }
    // Opened here, not in a call: a FIFO without a reader holds only this
    // thread, and only until the recording ends.
    const timespec stPause = {0, kPollMs * 1000000L};
    for (;;) {
        stOut.iFd = open(g_acPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0600);
        if (stOut.iFd >= 0 || errno != ENXIO || stOut.pfnEnding()) break;
        nanosleep(&stPause, nullptr);
    }
    if (stOut.iFd < 0) {
        snprintf(g_acError, sizeof g_acError, "cannot open %s (%s)", g_acPath, strerror(errno));
        fprintf(stderr, "pss-trace: %s; calls go on untraced\n", g_acError);
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
        (void)WriteBlocks(aucStatistics, PutStatistics(aucStatistics, WallNs(), LostPackets()));
    }
    close(stOut.iFd);
    stOut.iFd = -1;
}

// tcpdump's -C/-W: the next file of the ring, overwritten when it exists.
bool NextFile() {
    Output &stOut = g_stOut;
    CloseFile();
    const uint32_t uiFiles = stOut.pstOptions->uiFiles;
    stOut.uiIndex = uiFiles != 0 ? (stOut.uiIndex + 1) % uiFiles : stOut.uiIndex + 1;
    return OpenFile();
}

}  // namespace

bool OpenOutput(const Options *pstOptions, bool (*pfnEnding)()) {
    Output &stOut = g_stOut;
    stOut = Output{};
    stOut.pstOptions = pstOptions;
    stOut.pfnEnding = pfnEnding;
    g_acError[0] = '\0';
    stOut.uiBatchCap = kBatchBytes + 4096;
    stOut.pucBatch = static_cast<uint8_t *>(malloc(stOut.uiBatchCap));
    if (stOut.pucBatch == nullptr) {
        snprintf(g_acError, sizeof g_acError, "no memory for writing %s", pstOptions->acFile);
        fprintf(stderr, "pss-trace: %s; calls go on untraced\n", g_acError);
        return false;
    }
    if (OpenFile()) return true;
    free(stOut.pucBatch);
    stOut.pucBatch = nullptr;
    return false;
}

bool AddPacket(const uint8_t *pucData, uint32_t uiData, uint64_t ullWallNs) {
    Output &stOut = g_stOut;
    const Options &stOptions = *stOut.pstOptions;
    const uint32_t uiLost = LostPackets();
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
                AddLostPackets(1);
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

void FlushOutput() { Flush(); }

void CloseOutput() {
    Output &stOut = g_stOut;
    if (stOut.iFd >= 0) CloseFile();
    free(stOut.pucBatch);
    stOut.pucBatch = nullptr;
}

const char *OutputPath() { return g_acPath; }
const char *OutputError() { return g_acError; }

}  // namespace pss::trace
