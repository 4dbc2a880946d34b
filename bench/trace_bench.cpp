// A synchronous call through the agent over the loopback middleware, for the
// tracer's cost per call: run it as it is and under pss-trace, and compare.
//   build/native/bench/trace_bench
//   build/native/trace/pss-trace -o /tmp/bench.pcapng -- build/native/bench/trace_bench
// The label says which library answered RPC_IdlMsgSyncCall. The CPU time is
// the calling thread's; the tracer's writer thread runs beside it.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include "patch_sdk_service_agent.h"

namespace {

const char *Middleware() {
    Dl_info stInfo{};
    void *pvCall = dlsym(RTLD_DEFAULT, "RPC_IdlMsgSyncCall");
    return pvCall != nullptr && dladdr(pvCall, &stInfo) != 0 ? stInfo.dli_fname : "none";
}

void BM_SyncCallOverLoopback(benchmark::State &state) {
    QOMA_PAT_ERROR_QUERY_REQ stReq{};
    stReq.uiHead0 = 7;
    QOMA_PAT_ERROR_QUERY_RSP stRsp{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(PatchSdkService_QOMA_PAT_QueryErrorInfo(&stReq, &stRsp, 0));
    }
    state.SetLabel(Middleware());
}
BENCHMARK(BM_SyncCallOverLoopback)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
