// The agent's own cost per call, with a middleware that returns at once,
// beside a plain function call and a direct call of the same middleware.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "stub_middleware.h"

BENCH_EXPORT IdlCallResult RPC_IdlMsgSyncCall(void *, const void *pvReq, void *pvRsp,
                                              const IdlMethodId *, const IdlMsgOps *) {
    benchmark::DoNotOptimize(pvReq);
    benchmark::DoNotOptimize(pvRsp);
    return {0, 0};
}

namespace {

void Callback(IdlCallResult, void *, void *) {}

__attribute__((noipa)) IdlCallResult PlainFunction(const void *pvReq, void *pvRsp, uint32_t uiArg) {
    benchmark::DoNotOptimize(pvReq);
    benchmark::DoNotOptimize(pvRsp);
    return {uiArg, 0};
}

void ReportCreates(benchmark::State &state, uint64_t ullBefore) {
    state.counters["creates/call"] = benchmark::Counter(static_cast<double>(g_creates - ullBefore) /
                                                        static_cast<double>(state.iterations()));
}

void BM_PlainFunctionCall(benchmark::State &state) {
    QOMA_PAT_ACTIVE_REQ stReq{};
    QOMA_PAT_ACTIVE_RSP stRsp{};
    for (auto _ : state) benchmark::DoNotOptimize(PlainFunction(&stReq, &stRsp, 0));
}
BENCHMARK(BM_PlainFunctionCall);

// What a caller would pay talking to the middleware itself.
void BM_DirectMiddlewareCall(benchmark::State &state) {
    QOMA_PAT_ACTIVE_REQ stReq{};
    QOMA_PAT_ACTIVE_RSP stRsp{};
    const IdlMethodId stId{"PatchSdkService", "QOMA_PAT_Active"};
    IdlMsgOps stOps{};
    for (auto _ : state) {
        void *pvInvoke = RPC_GetRpcInvoke(&g_stServerAddr_PatchSdkService, 0);
        benchmark::DoNotOptimize(RPC_IdlMsgSyncCall(pvInvoke, &stReq, &stRsp, &stId, &stOps));
    }
}
BENCHMARK(BM_DirectMiddlewareCall);

void BM_SyncCall(benchmark::State &state) {
    QOMA_PAT_ACTIVE_REQ stReq{};
    QOMA_PAT_ACTIVE_RSP stRsp{};
    const uint64_t ullBefore = g_creates;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PatchSdkService_QOMA_PAT_Active(&stReq, &stRsp, 0));
    }
    ReportCreates(state, ullBefore);
}
BENCHMARK(BM_SyncCall);

void BM_SyncCallWithoutResponse(benchmark::State &state) {
    QOMA_PAT_STOP_PLUGIN_REQ stReq{};
    const uint64_t ullBefore = g_creates;
    for (auto _ : state) benchmark::DoNotOptimize(PatchSdkService_QOMA_PAT_StopPlugin(&stReq, 0));
    ReportCreates(state, ullBefore);
}
BENCHMARK(BM_SyncCallWithoutResponse);

void BM_AsyncCall(benchmark::State &state) {
    QOMA_PAT_ACTIVE_REQ stReq{};
    const uint64_t ullBefore = g_creates;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            PatchSdkService_QOMA_PAT_Active_async(&stReq, Callback, nullptr, 0));
    }
    ReportCreates(state, ullBefore);
}
BENCHMARK(BM_AsyncCall);

void BM_OnewaySend(benchmark::State &state) {
    QOMA_PAT_STOP_PLUGIN_REQ stReq{};
    for (auto _ : state)
        benchmark::DoNotOptimize(PatchSdkService_QOMA_PAT_StopPlugin_oneway(&stReq, 0));
}
BENCHMARK(BM_OnewaySend);

}  // namespace

BENCHMARK_MAIN();
