// A recording's start (from a call), its writer thread, its end, and the
// process's mode and exit.
#include "trace/recording.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "trace/calls.h"
#include "trace/clock.h"
#include "trace/control.h"
#include "trace/control_page.h"
#include "trace/output.h"
#include "trace/queue.h"

namespace pss::trace {

constinit std::atomic<uint32_t> g_uiOpenRecording{0};

namespace {

constexpr uint64_t kPollNs = 100000000;     // how often the writer looks at the switch
constexpr uint32_t kInFlightWaitMs = 1000;  // at a recording's end, for calls in flight
constexpr uint32_t kExitWaitMs = 6000;      // at exit, for the writer to end the recording

constinit std::atomic<bool> g_bWriterAlive{false};
constinit std::atomic<bool> g_bExiting{false};
constinit std::atomic<uint32_t> g_uiUntraced{0};
pthread_mutex_t g_startLock = PTHREAD_MUTEX_INITIALIZER;
constinit uint32_t g_uiLastRecording = 0;  // under g_startLock
// By the recording's number, odd and even: a call of the last recording may
// still be reading its options while the next one starts.
constinit Options g_astOptions[2] = {};
constinit char g_acRequest[control_page::kRequestSize + 1] = {};  // under g_startLock

// The recording's account, kept by whoever runs it: its start, then its writer.
struct Account {
    uint32_t uiRecording = 0;
    uint64_t ullSinceNs = 0;
    uint64_t ullSeen = 0;
    uint64_t ullTraced = 0;
    uint32_t uiCallsBefore = 0;  // the counters as last read
    uint32_t uiUntracedBefore = 0;
};
constinit Account g_stAccount;

void Publish(const char *pcState, uint64_t ullSinceNs, const char *pcFile, const char *pcError) {
    Account &stAccount = g_stAccount;
    // Counted on in 64 bits: a recording may outlast 2^32 calls.
    const uint32_t uiCalls = CallsNumbered();
    const uint32_t uiUntraced = g_uiUntraced.load(std::memory_order_relaxed);
    stAccount.ullTraced += uiCalls - stAccount.uiCallsBefore;
    stAccount.ullSeen +=
        (uiCalls - stAccount.uiCallsBefore) + (uiUntraced - stAccount.uiUntracedBefore);
    stAccount.uiCallsBefore = uiCalls;
    stAccount.uiUntracedBefore = uiUntraced;
    const Status stStatus = {
        pcState,           ullSinceNs,          stAccount.uiRecording, pcFile,
        stAccount.ullSeen, stAccount.ullTraced, LostPackets(),         pcError};
    PublishStatus(stStatus);
}

// A recording that cannot start: said on stderr and in the status, and the
// switch goes off, so that calls cost a test again.
uint32_t Refuse(const char *pcError) {
    fprintf(stderr, "pss-trace: %s; calls go on untraced\n", pcError);
    SwitchOff();
    Publish("failed", WallNs(), g_astOptions[g_stAccount.uiRecording & 1].acFile, pcError);
    return 0;
}

bool Ending() { return !SwitchOn() || g_bExiting.load(std::memory_order_acquire); }

void *WriterMain(void *pvRecording) {
    const uint32_t uiRecording = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pvRecording));
    bool bWriting = OpenOutput(&g_astOptions[uiRecording & 1], Ending);
    const char *pcError = nullptr;
    uint64_t ullPublishNs = 0;
    while (bWriting && !Ending()) {
        // The status as the switch is looked at, no more often.
        if (SteadyNs() >= ullPublishNs) {
            Publish("on", g_stAccount.ullSinceNs, OutputPath(), nullptr);
            ullPublishNs = SteadyNs() + kPollNs;
        }
        WritePackets(kPollNs, &bWriting);
    }
    if (!bWriting) {  // the file, or the next of a ring, could not be opened
        SwitchOff();
        pcError = OutputError();
    }
    // The end. No call is admitted from now on; those in flight get a moment
    // to hand over their packets, and what they still owe is counted lost.
    g_uiOpenRecording.store(0, std::memory_order_seq_cst);
    for (uint32_t uiMs = 0; uiMs < kInFlightWaitMs && CallsInFlight(uiRecording) != 0; ++uiMs) {
        WritePackets(1000000, &bWriting);
    }
    StopQueue(PacketsOwed);
    WritePackets(0, &bWriting);
    CloseOutput();
    FreeQueue();
    Publish(pcError != nullptr ? "failed" : "off", WallNs(), OutputPath(), pcError);
    const uint32_t uiLost = LostPackets();
    if (uiLost != 0 && pcError == nullptr) {
        fprintf(stderr, "pss-trace: %u packets lost (no room in the queue or in the file)\n",
                static_cast<unsigned>(uiLost));
    }
    g_bWriterAlive.store(false, std::memory_order_release);
    return nullptr;
}

// Under g_startLock, with the switch on and no recording open or ending.
uint32_t Start() {
    const uint32_t uiRecording = ++g_uiLastRecording;
    // The buffer this recording's options go to was the one before last's.
    while (uiRecording > 2 && RecordingOptionsInUse(uiRecording - 2)) sched_yield();
    Options &stOptions = g_astOptions[uiRecording & 1];
    Account &stAccount = g_stAccount;
    stAccount = Account{};
    stAccount.uiRecording = uiRecording;
    stAccount.ullSinceNs = WallNs();
    stAccount.uiCallsBefore = CallsNumbered();
    stAccount.uiUntracedBefore = g_uiUntraced.load(std::memory_order_relaxed);
    stOptions.acFile[0] = '\0';
    char acError[256];
    const char *pcRequest = TakeRequest(g_acRequest, sizeof g_acRequest);
    if (!ReadOptions(pcRequest, &stOptions, acError, sizeof acError)) {
        return Refuse(acError[0] != '\0' ? acError : "the request names no PSS_TRACE_FILE");
    }
    if (!OpenQueue(uiRecording, stOptions.uiQueueBytes)) {
        snprintf(acError, sizeof acError, "no memory for a %u byte queue",
                 static_cast<unsigned>(stOptions.uiQueueBytes));
        return Refuse(acError);
    }
    // Open before the writer runs: a writer that cannot open its file ends
    // the recording at once, and must find it open to end it.
    g_bWriterAlive.store(true, std::memory_order_relaxed);
    g_uiOpenRecording.store(uiRecording, std::memory_order_seq_cst);
    Publish("on", stAccount.ullSinceNs, stOptions.acFile, nullptr);
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
    const int iError = pthread_create(&stWriter, &stThread, WriterMain,
                                      reinterpret_cast<void *>(uintptr_t{uiRecording}));
    pthread_attr_destroy(&stThread);
    pthread_sigmask(SIG_SETMASK, &stOld, nullptr);
    if (iError != 0) {
        g_uiOpenRecording.store(0, std::memory_order_seq_cst);
        g_bWriterAlive.store(false, std::memory_order_relaxed);
        StopQueue([](uint32_t) { return 0u; });
        FreeQueue();
        snprintf(acError, sizeof acError, "no writer thread (%s)", strerror(iError));
        return Refuse(acError);
    }
    return uiRecording;
}

// A forked child has no writer, and its copy of the files means nothing: it
// goes on untraced.
void AfterForkInChild() {
    ForgetControlInChild();
    g_bExiting.store(true, std::memory_order_relaxed);
    g_bWriterAlive.store(false, std::memory_order_relaxed);
    g_uiOpenRecording.store(0, std::memory_order_relaxed);
}

// Traced from the start (PSS_TRACE_FILE), armed (PSS_TRACE_ARMED), both, or
// neither: then every call is passed on after a test of the switch.
void DecideOnce() {
    const char *pcArmed = getenv("PSS_TRACE_ARMED");
    const char *pcFile = getenv("PSS_TRACE_FILE");
    const bool bFile = pcFile != nullptr && *pcFile != '\0';
    const bool bArmed = pcArmed != nullptr && *pcArmed != '\0' && ArmControl(pcArmed, bFile);
    if (!bArmed) UseOwnSwitch(bFile);
    if (bArmed || bFile) pthread_atfork(nullptr, nullptr, AfterForkInChild);
}

void DecideMode() {
    static pthread_once_t s_stOnce = PTHREAD_ONCE_INIT;
    pthread_once(&s_stOnce, DecideOnce);
}

// At load, so that an armed process can be switched before its first call;
// or at the first call, when another library's constructor calls first.
__attribute__((constructor)) void DecideAtLoad() { DecideMode(); }

// Destructors run after the program's atexit work: the recording that is on
// ends, with a bounded wait, before the file is gone.
__attribute__((destructor)) void EndAtExit() {
    g_bExiting.store(true, std::memory_order_release);
    SwitchOff();
    if (g_bWriterAlive.load(std::memory_order_acquire)) {
        WakeWriter();
        const timespec stPause = {0, 1000000};
        for (uint32_t uiMs = 0;
             uiMs < kExitWaitMs && g_bWriterAlive.load(std::memory_order_acquire); ++uiMs) {
            nanosleep(&stPause, nullptr);
        }
        if (g_bWriterAlive.load(std::memory_order_acquire)) {
            fprintf(stderr,
                    "pss-trace: %s not finished in time (a FIFO nobody reads?); what was "
                    "still queued is lost\n",
                    OutputPath());
        }
    }
    ForgetControl();
}

}  // namespace

uint32_t StartRecording() {
    DecideMode();
    if (!SwitchOn()) return 0;  // the first call of a process that is not traced
    pthread_mutex_lock(&g_startLock);
    uint32_t uiRecording = g_uiOpenRecording.load(std::memory_order_acquire);
    if (uiRecording == 0 && SwitchOn() && !g_bWriterAlive.load(std::memory_order_acquire) &&
        !g_bExiting.load(std::memory_order_acquire)) {
        uiRecording = Start();
    }
    pthread_mutex_unlock(&g_startLock);
    return uiRecording;
}

const Options &RecordingOptions(uint32_t uiRecording) { return g_astOptions[uiRecording & 1]; }

void CountUntraced() { g_uiUntraced.fetch_add(1, std::memory_order_relaxed); }

}  // namespace pss::trace
