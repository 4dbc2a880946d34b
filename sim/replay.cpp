// The trace is read whole when the library loads and kept for the process's
// life; calls take their recorded counterparts under a lock, method by method.
#include "sim/replay.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "host/call_pairing.h"
#include "host/trace_losses.h"
#include "host/trace_reader.h"
#include "sim/kelm_loopback.h"

namespace kelm {
namespace {

using pss_host::TracePacket;

// Far above a day of this service's calls; a trace beyond it is refused
// rather than taking the process's memory.
constexpr off_t kMaxTraceBytes = off_t{256} << 20;

// A call as the trace holds it: its packets point into the trace's bytes.
struct RecordedCall {
    uint32_t uiProcessOrder;  // its process among the trace's, in the order they appear
    uint32_t uiCall;
    std::string_view method;
    TracePacket stRequest, stAnswer;
    bool bRequest, bAnswer;
};

struct MethodCalls {
    std::string_view method;
    std::vector<const RecordedCall *> calls;  // in the order they started
    uint32_t uiNext;
};

struct Replay {
    const char *pcFile = nullptr;
    std::vector<uint8_t> bytes;
    std::vector<RecordedCall> calls;
    std::vector<MethodCalls> methods;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    bool bUnread = false;                // every call fails, whatever the policy
    bool bSimulateMissing = false;       // KELM_SIM_REPLAY_MISSING=simulate
    std::vector<std::string> simulated;  // methods said to be simulated, under the lock
};

const char *ReadTrace(const char *pcFile, std::vector<uint8_t> *pBytes) {
    std::vector<uint8_t> &bytes = *pBytes;
    // Without blocking: a FIFO named by mistake must not stall the library's loading.
    const int iFd = open(pcFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (iFd < 0) return strerror(errno);
    const char *pcError = nullptr;
    struct stat stInfo;
    if (fstat(iFd, &stInfo) != 0) {
        pcError = strerror(errno);
    } else if (!S_ISREG(stInfo.st_mode)) {
        pcError = "not a regular file";
    } else if (stInfo.st_size > kMaxTraceBytes) {
        pcError = "larger than 256 MiB";
    } else {
        bytes.resize(static_cast<size_t>(stInfo.st_size));
        for (size_t uiDone = 0; pcError == nullptr && uiDone < bytes.size();) {
            const ssize_t iRead = read(iFd, bytes.data() + uiDone, bytes.size() - uiDone);
            if (iRead < 0 && errno == EINTR) continue;
            if (iRead < 0) pcError = strerror(errno);
            if (iRead == 0) bytes.resize(uiDone);  // it shrank under us: read what is there
            if (iRead > 0) uiDone += static_cast<size_t>(iRead);
        }
    }
    close(iFd);
    return pcError;
}

// The recorded calls, method by method, each in the order its process
// started them (processes in the order the trace shows them).
void Index(Replay *pstReplay) {
    Replay &stReplay = *pstReplay;
    std::stable_sort(stReplay.calls.begin(), stReplay.calls.end(),
                     [](const RecordedCall &a, const RecordedCall &b) {
                         return a.uiProcessOrder != b.uiProcessOrder
                                    ? a.uiProcessOrder < b.uiProcessOrder
                                    : a.uiCall < b.uiCall;
                     });
    for (const RecordedCall &stCall : stReplay.calls) {
        auto it = std::find_if(
            stReplay.methods.begin(), stReplay.methods.end(),
            [&](const MethodCalls &stMethod) { return stMethod.method == stCall.method; });
        if (it == stReplay.methods.end()) {
            stReplay.methods.push_back({stCall.method, {}, 0});
            it = stReplay.methods.end() - 1;
        }
        it->calls.push_back(&stCall);
    }
}

// Reads the trace's calls, paired by the rule every trace reader follows,
// reporting damage as it goes; the trace is read past it.
void ReadCalls(Replay *pstReplay, const char *pcFile) {
    Replay &stReplay = *pstReplay;
    pss_host::TraceReader stReader(stReplay.bytes.data(), stReplay.bytes.size());
    pss_host::CallPairer stPairer(false);
    pss_host::TraceLosses stLosses;
    std::vector<uint32_t> processes;  // in the order they appear
    const auto keep = [&](const pss_host::TraceCall &stCall) {
        const TracePacket &stAny = stCall.Any();
        const auto it = std::find(processes.begin(), processes.end(), stAny.uiProcess);
        RecordedCall stRecorded{static_cast<uint32_t>(it - processes.begin()),
                                stAny.uiCall,
                                stAny.method,
                                {},
                                {},
                                stCall.pstRequest != nullptr,
                                stCall.pstAnswer != nullptr};
        if (it == processes.end()) processes.push_back(stAny.uiProcess);
        if (stRecorded.bRequest) stRecorded.stRequest = *stCall.pstRequest;
        if (stRecorded.bAnswer) stRecorded.stAnswer = *stCall.pstAnswer;
        stReplay.calls.push_back(stRecorded);
    };
    TracePacket stPacket;
    for (pss_host::TraceStep eStep;
         (eStep = stReader.Next(&stPacket)) != pss_host::TraceStep::kEnd;) {
        if (eStep == pss_host::TraceStep::kPacket) {
            stLosses.Packet(stPacket);
            stPairer.Add(stPacket, keep);
        } else if (eStep == pss_host::TraceStep::kStatistics) {
            stLosses.Closed(stReader.ClosedDrops());
        } else {
            fprintf(stderr, "kelm loopback: replay %s: %s at byte %llu: %s\n", pcFile,
                    eStep == pss_host::TraceStep::kNotATrace ? "no trace" : "damage",
                    static_cast<unsigned long long>(stReader.Offset()), stReader.Problem());
        }
    }
    stPairer.Finish(keep);
    if (const uint64_t ullLost = stLosses.Total()) {
        fprintf(stderr,
                "kelm loopback: replay %s: the tracer lost %llu packets; calls may not line up "
                "with the recorded ones\n",
                pcFile, static_cast<unsigned long long>(ullLost));
    }
}

// KELM_SIM_REPLAY_MISSING: "fail" (the default) or "simulate".
bool SimulateMissing() {
    const char *pcPolicy = getenv("KELM_SIM_REPLAY_MISSING");
    if (pcPolicy == nullptr || *pcPolicy == '\0' || strcmp(pcPolicy, "fail") == 0) return false;
    if (strcmp(pcPolicy, "simulate") == 0) return true;
    fprintf(stderr,
            "kelm loopback: KELM_SIM_REPLAY_MISSING=%s is neither fail nor simulate; calls the "
            "trace does not hold fail\n",
            pcPolicy);
    return false;
}

Replay *LoadReplay() {
    const char *pcVariable = getenv("KELM_SIM_REPLAY");
    if (pcVariable == nullptr || *pcVariable == '\0') return nullptr;
    Replay *pstReplay = new Replay;
    pstReplay->pcFile = strdup(pcVariable);
    if (pstReplay->pcFile == nullptr) pstReplay->pcFile = "the trace";
    pstReplay->bSimulateMissing = SimulateMissing();
    if (const char *pcError = ReadTrace(pcVariable, &pstReplay->bytes)) {
        fprintf(stderr, "kelm loopback: KELM_SIM_REPLAY=%s: %s; every call fails\n", pcVariable,
                pcError);
        pstReplay->bUnread = true;
        return pstReplay;
    }
    ReadCalls(pstReplay, pcVariable);
    Index(pstReplay);
    if (getenv("KELM_SIM_ANSWERS") != nullptr && !pstReplay->bSimulateMissing) {
        fprintf(stderr, "kelm loopback: KELM_SIM_REPLAY answers; KELM_SIM_ANSWERS is not used\n");
    }
    return pstReplay;
}

// Never destroyed: calls still running at exit are completed after static
// destructors have begun.
Replay *const g_pstReplay = LoadReplay();  // read when the library loads

bool FailCall(const char *pcMethodName, uint32_t uiNth, const char *pcWhy) {
    Replay &stReplay = *g_pstReplay;
    if (ReplaySimulatesMissing()) {
        // Once per method: a trace of one method leaves every other to the simulation.
        pthread_mutex_lock(&stReplay.lock);
        const auto &simulated = stReplay.simulated;
        const bool bFirst =
            std::find(simulated.begin(), simulated.end(), pcMethodName) == simulated.end();
        if (bFirst) stReplay.simulated.push_back(pcMethodName);
        pthread_mutex_unlock(&stReplay.lock);
        if (bFirst) {
            fprintf(stderr,
                    "kelm loopback: replay: %s call %u: %s; the simulated service answers "
                    "(said once per method)\n",
                    pcMethodName, uiNth, pcWhy);
        }
        return false;
    }
    fprintf(stderr, "kelm loopback: replay: %s call %u: %s; the call fails with 0x%X\n",
            pcMethodName, uiNth, pcWhy, KELM_ERR_REPLAY);
    return false;
}

void CompareRequest(const char *pcMethodName, uint32_t uiNth, const RecordedCall &stCall,
                    const std::vector<uint8_t> &request) {
    const TracePacket *pstRecorded = stCall.bRequest ? &stCall.stRequest : nullptr;
    if (pstRecorded == nullptr || pstRecorded->ucLayout == pss::call_header::kNoImage) return;
    const size_t uiKept = pstRecorded->uiImageLen;
    const size_t uiSame = std::min(uiKept, request.size());
    const uint8_t *pucRecorded = pstRecorded->pucImage;
    size_t uiAt = 0;
    while (uiAt < uiSame && request[uiAt] == pucRecorded[uiAt]) ++uiAt;
    char acWhat[96];
    if (uiAt < uiSame) {
        snprintf(acWhat, sizeof acWhat, "byte %zu is 0x%02x, recorded 0x%02x", uiAt, request[uiAt],
                 pucRecorded[uiAt]);
    } else if (request.size() != pstRecorded->uiOriginal &&
               (request.size() < uiKept || !pstRecorded->bImageCut)) {
        snprintf(acWhat, sizeof acWhat,
                 "it has %zu bytes, the recorded one %u (the first %zu alike)", request.size(),
                 pstRecorded->uiOriginal, uiSame);
    } else {
        return;
    }
    fprintf(stderr,
            "kelm loopback: replay: %s call %u (call %u of the trace): the request differs from "
            "the recorded one: %s; answered all the same\n",
            pcMethodName, uiNth, stCall.uiCall, acWhat);
}

}  // namespace

bool Replaying() { return g_pstReplay != nullptr; }

bool ReplaySimulatesMissing() {
    return g_pstReplay != nullptr && g_pstReplay->bSimulateMissing && !g_pstReplay->bUnread;
}

bool ReplayCall(const char *pcMethodName, const std::vector<uint8_t> &request, Replayed *pstOut) {
    Replay &stReplay = *g_pstReplay;
    const RecordedCall *pstCall = nullptr;
    uint32_t uiNth = 0, uiRecorded = 0;
    pthread_mutex_lock(&stReplay.lock);
    for (MethodCalls &stMethod : stReplay.methods) {
        if (stMethod.method != pcMethodName) continue;
        uiNth = ++stMethod.uiNext;
        uiRecorded = static_cast<uint32_t>(stMethod.calls.size());
        if (uiNth <= uiRecorded) pstCall = stMethod.calls[uiNth - 1];
    }
    pthread_mutex_unlock(&stReplay.lock);
    char acWhy[96];
    if (pstCall == nullptr) {
        snprintf(acWhy, sizeof acWhy, "the trace holds %u calls of the method", uiRecorded);
        return FailCall(pcMethodName, uiNth != 0 ? uiNth : 1, acWhy);
    }
    CompareRequest(pcMethodName, uiNth, *pstCall, request);
    const TracePacket *pstAnswer = pstCall->bAnswer ? &pstCall->stAnswer : nullptr;
    if (pstAnswer == nullptr) {
        snprintf(acWhy, sizeof acWhy, "call %u of the trace has no answer", pstCall->uiCall);
        return FailCall(pcMethodName, uiNth, acWhy);
    }
    if (pstAnswer->bImageCut) {
        snprintf(acWhy, sizeof acWhy, "its recorded answer keeps %u of %u bytes",
                 pstAnswer->uiImageLen, pstAnswer->uiOriginal);
        return FailCall(pcMethodName, uiNth, acWhy);
    }
    pstOut->bAnswer = pstAnswer->ucLayout != pss::call_header::kNoImage;
    pstOut->answer.assign(pstAnswer->pucImage, pstAnswer->pucImage + pstAnswer->uiImageLen);
    pstOut->stResult = {pstAnswer->uiValue, pstAnswer->uiStatus};
    pstOut->bRefused = pstAnswer->ucVerdict == pss::call_header::kRefused;
    return true;
}

}  // namespace kelm
