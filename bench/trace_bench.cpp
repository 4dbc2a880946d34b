// What the tracer costs a call, over the loopback middleware: run it as it
// is, armed (off), and on, and compare.
//   build/native/bench/trace_bench
//   build/native/trace/pss-trace --armed -- build/native/bench/trace_bench
//   PSS_TRACE_QUEUE_KB=16384 build/native/trace/pss-trace -o /tmp/b.pcapng --
//       build/native/bench/trace_bench --benchmark_filter=SyncCall
// The label says which library answered RPC_IdlMsgSyncCall and how the
// tracer stands. CPU times are the calling thread's; the tracer's writer
// thread runs beside it.
//
// BM_CallTheMiddlewareRefuses is a call the middleware turns away at once
// (no method), so that the tracer's cost while off (a test of its switch)
// shows apart from the loopback's own work: beside the same call made to the
// loopback's own entry point, past the tracer. BM_PacedCalls/R makes R calls a
// second for two seconds of wall time; the packets lost at that rate are in
// the trace (trace_check --lost-ok, or capinfos and the statistics block).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "middleware/kelm_rpc.h"
#include "patch_sdk_service_agent.h"

namespace {

std::string Label() {
    Dl_info stInfo{};
    void *pvCall = dlsym(RTLD_DEFAULT, "RPC_IdlMsgSyncCall");
    std::string label =
        pvCall != nullptr && dladdr(pvCall, &stInfo) != 0 ? stInfo.dli_fname : "none";
    const char *pcFile = getenv("PSS_TRACE_FILE");
    const char *pcArmed = getenv("PSS_TRACE_ARMED");
    const bool bOn = pcFile != nullptr && *pcFile != '\0';
    if (pcArmed != nullptr && *pcArmed != '\0')
        label += bOn ? " (armed, on)" : " (armed, off)";
    else if (bOn)
        label += " (on)";
    return label;
}

uint64_t NowNs() {
    timespec stNow;
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return static_cast<uint64_t>(stNow.tv_sec) * 1000000000u + static_cast<uint64_t>(stNow.tv_nsec);
}

void BM_SyncCallOverLoopback(benchmark::State &state) {
    QOMA_PAT_ERROR_QUERY_REQ stReq{};
    stReq.uiHead0 = 7;
    QOMA_PAT_ERROR_QUERY_RSP stRsp{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(PatchSdkService_QOMA_PAT_QueryErrorInfo(&stReq, &stRsp, 0));
    }
    state.SetLabel(Label());
}
// Bounded, so that a queue of 16 MiB holds what one repetition writes.
BENCHMARK(BM_SyncCallOverLoopback)->Iterations(40000)->Repetitions(15)->ReportAggregatesOnly(true);

using SyncCall = IdlCallResult (*)(void *, const void *, void *, const IdlMethodId *,
                                   const IdlMsgOps *);

// The process's RPC_IdlMsgSyncCall (the tracer's, when it is loaded), or the
// loopback's own: the two, measured in one process, differ by the tracer.
void RefusedCalls(benchmark::State &state, SyncCall pfnCall) {
    void *pvInvoke = RPC_GetRpcInvoke(&g_stServerAddr_PatchSdkService, 0);
    QOMA_PAT_ERROR_QUERY_REQ stReq{};
    IdlMsgOps stOps;
    PatchSdkService_QOMA_PAT_QueryErrorInfoSetIdl(&stOps);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pfnCall(pvInvoke, &stReq, nullptr, nullptr, &stOps));
    }
}
void BM_CallTheMiddlewareRefuses(benchmark::State &state) {
    RefusedCalls(state, RPC_IdlMsgSyncCall);
    state.SetLabel(Label());
}
void BM_CallTheMiddlewareRefusesPastTheTracer(benchmark::State &state) {
    void *pvLoopback = dlopen("libvandrikelm.so", RTLD_NOW | RTLD_NOLOAD);
    void *pvCall = pvLoopback != nullptr ? dlsym(pvLoopback, "RPC_IdlMsgSyncCall") : nullptr;
    if (pvCall == nullptr) {
        state.SkipWithError("no libvandrikelm.so loaded");
        return;
    }
    RefusedCalls(state, reinterpret_cast<SyncCall>(pvCall));
    state.SetLabel("the loopback's own");
}
BENCHMARK(BM_CallTheMiddlewareRefuses)->Repetitions(15)->ReportAggregatesOnly(true);
BENCHMARK(BM_CallTheMiddlewareRefusesPastTheTracer)->Repetitions(15)->ReportAggregatesOnly(true);

void BM_PacedCalls(benchmark::State &state) {
    const uint64_t ullGapNs = 1000000000u / static_cast<uint64_t>(state.range(0));
    QOMA_PAT_ERROR_QUERY_REQ stReq{};
    QOMA_PAT_ERROR_QUERY_RSP stRsp{};
    uint64_t ullCalls = 0;
    for (auto _ : state) {
        const uint64_t ullStart = NowNs();
        for (uint64_t ullNext = ullStart; ullNext < ullStart + 2000000000u; ullNext += ullGapNs) {
            while (NowNs() < ullNext) {
            }
            stReq.uiHead0 = static_cast<uint32_t>(ullCalls++);
            benchmark::DoNotOptimize(PatchSdkService_QOMA_PAT_QueryErrorInfo(&stReq, &stRsp, 0));
        }
    }
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(ullCalls), benchmark::Counter::kIsRate);
    state.SetLabel(Label());
}
BENCHMARK(BM_PacedCalls)
    ->Arg(50000)
    ->Arg(100000)
    ->Arg(200000)
    ->Arg(400000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
