// Eight threads at once, each making synchronous, asynchronous (fixed layout)
// and one-way calls whose requests no other call repeats, so that a trace of
// the run can be matched call by call against what the service received.
// Checks its own results: every answer is its request's, every callback
// comes once with its own user data.
//   trace_load ROUNDS
// With "foreign": a call of another service, with names of 200 bytes, between
// two HealthCheck calls; prints each call's result words.
// With "serve": a long-running client, for switching its tracer from outside.
// It prints "pid P", then runs what each line of stdin asks, and says
// "calls C failures F" for it: a number N, N rounds; "busy", rounds until a
// line "stop".
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "middleware/kelm_rpc.h"
#include "patch_sdk_service_agent.h"
#include "sim/kelm_loopback.h"

namespace {

constexpr uint32_t kThreads = 8;
uint32_t g_uiRounds = 0;  // 0: until g_bStop
std::atomic<bool> g_bStop{false};
std::atomic<uint32_t> g_uiFailures{0};

struct Worker {
    uint32_t uiIndex;
    sem_t stDone;
    std::atomic<uint32_t> uiCallbacks{0};
    uint32_t uiRounds = 0;  // done
    uint32_t uiBase = 0;    // tags of earlier runs, so that no request repeats
};

void OnDone(IdlCallResult stResult, void *pvRsp, void *pvWorker) {
    auto *pstWorker = static_cast<Worker *>(pvWorker);
    if (stResult.uiStatus != 0 || pvRsp == nullptr) ++g_uiFailures;
    ++pstWorker->uiCallbacks;
    sem_post(&pstWorker->stDone);
}

void *Run(void *pvWorker) {
    auto *pstWorker = static_cast<Worker *>(pvWorker);
    IdlMsgOps stOps;
    PatchSdkService_QOMA_PAT_QueryDescInfoSetIdl(&stOps);
    for (uint32_t i = 0; g_uiRounds != 0 ? i < g_uiRounds : !g_bStop.load(); ++i) {
        const uint32_t uiTag = (pstWorker->uiBase + i) * kThreads * 3 + pstWorker->uiIndex * 3;
        QOMA_PAT_DESC_QUERY_REQ stDesc{};
        stDesc.uiHead0 = uiTag;
        stDesc.uiHead2 = 3;  // answers with three elements
        QOMA_PAT_DESC_QUERY_RSP stRsp{};
        const IdlCallResult stResult = PatchSdkService_QOMA_PAT_QueryDescInfo(&stDesc, &stRsp, 0);
        if (stResult.uiStatus != 0 || stRsp.uiHead0 != uiTag || stRsp.uiInfoNum != 3)
            ++g_uiFailures;
        stOps.pfnFreeUnpacked(&stRsp);

        QOMA_PAT_ERROR_QUERY_REQ stError{};
        stError.uiHead0 = uiTag + 1;
        // One call in flight per thread, so that the tracer's pool never runs dry.
        if (PatchSdkService_QOMA_PAT_QueryErrorInfo_async(&stError, OnDone, pstWorker,
                                                          KELM_LOOPBACK_FIXED_LAYOUT) != 0) {
            ++g_uiFailures;
        } else {
            sem_wait(&pstWorker->stDone);
        }

        QOMA_PAT_STOP_PLUGIN_REQ stStop{};
        stStop.uiHead0 = uiTag + 2;
        if (PatchSdkService_QOMA_PAT_StopPlugin_oneway(&stStop, 0) != 0) ++g_uiFailures;
        ++pstWorker->uiRounds;
    }
    return nullptr;
}

// One run of the eight threads; the calls made.
uint32_t RunAll(Worker *pstWorkers) {
    pthread_t astThreads[kThreads];
    for (uint32_t i = 0; i < kThreads; ++i) {
        pstWorkers[i].uiBase += pstWorkers[i].uiRounds;
        pstWorkers[i].uiRounds = 0;
        pthread_create(&astThreads[i], nullptr, Run, &pstWorkers[i]);
    }
    uint32_t uiCalls = 0;
    for (uint32_t i = 0; i < kThreads; ++i) {
        pthread_join(astThreads[i], nullptr);
        uiCalls += pstWorkers[i].uiRounds * 3;
    }
    KelmLoopback_Drain();
    return uiCalls;
}

struct Runner {
    Worker *pstWorkers;
    uint32_t uiCalls;
};

int Serve(Worker *pstWorkers) {
    printf("pid %d\n", static_cast<int>(getpid()));
    fflush(stdout);
    char acLine[64];
    while (fgets(acLine, sizeof acLine, stdin) != nullptr) {
        const std::string line(acLine, strcspn(acLine, "\n"));
        Runner stRunner{pstWorkers, 0};
        g_bStop = false;
        if (line == "busy") {
            // Rounds until "stop", on a thread of their own: this one reads on.
            g_uiRounds = 0;
            pthread_t stThread;
            pthread_create(
                &stThread, nullptr,
                [](void *pvRunner) -> void * {
                    auto *pstRunner = static_cast<Runner *>(pvRunner);
                    pstRunner->uiCalls = RunAll(pstRunner->pstWorkers);
                    return nullptr;
                },
                &stRunner);
            while (fgets(acLine, sizeof acLine, stdin) != nullptr &&
                   strcmp(acLine, "stop\n") != 0) {
            }
            g_bStop = true;
            pthread_join(stThread, nullptr);
        } else {
            g_uiRounds = static_cast<uint32_t>(atoi(line.c_str()));
            if (g_uiRounds != 0) stRunner.uiCalls = RunAll(pstWorkers);
        }
        printf("calls %u failures %u\n", stRunner.uiCalls, g_uiFailures.load());
        fflush(stdout);
    }
    return g_uiFailures == 0 ? 0 : 1;
}

// What another service's call through the same middleware looks like to the
// tracer: long names and a codec table of its own (borrowed here).
int Foreign() {
    QOMA_PAT_HEALTH_CHECK_REQ stReq{};
    QOMA_PAT_APPCOMMON_RSP stRsp{};
    const IdlCallResult stFirst = PatchSdkService_QOMA_PAT_HealthCheck(&stReq, &stRsp, 0);
    const std::string service(200, 'S'), method = "Other_" + std::string(194, 'M');
    const IdlMethodId stId = {service.c_str(), method.c_str()};
    IdlMsgOps stOps;
    PatchSdkService_QOMA_PAT_HealthCheckSetIdl(&stOps);
    void *pvInvoke = RPC_GetRpcInvoke(&g_stServerAddr_PatchSdkService, 0);
    const IdlCallResult stForeign = RPC_IdlMsgSyncCall(pvInvoke, &stReq, nullptr, &stId, &stOps);
    const IdlCallResult stLast = PatchSdkService_QOMA_PAT_HealthCheck(&stReq, &stRsp, 0);
    for (const IdlCallResult &stResult : {stFirst, stForeign, stLast})
        printf("value %u status 0x%x\n", stResult.uiValue, stResult.uiStatus);
    return stFirst.uiStatus == 0 && stLast.uiStatus == 0 && stForeign.uiStatus != 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::string(argv[1]) == "foreign") return Foreign();
    Worker astWorkers[kThreads];
    for (uint32_t i = 0; i < kThreads; ++i) {
        astWorkers[i].uiIndex = i;
        sem_init(&astWorkers[i].stDone, 0, 0);
    }
    if (argc > 1 && std::string(argv[1]) == "serve") return Serve(astWorkers);
    g_uiRounds = argc > 1 ? static_cast<uint32_t>(atoi(argv[1])) : 10;
    const uint32_t uiCalls = RunAll(astWorkers);
    for (const Worker &stWorker : astWorkers) {
        if (stWorker.uiCallbacks != g_uiRounds) ++g_uiFailures;
    }
    printf("%u calls, %u failures\n", uiCalls, g_uiFailures.load());
    return g_uiFailures == 0 ? 0 : 1;
}
