// What the C++ layer costs over the C calls it wraps, in one run: a
// synchronous call through pss::call beside the same C call (record zeroed,
// status tested, array given back through the method's pfnFreeUnpacked), and
// a response's release through its owner beside the explicit pfnFreeUnpacked.
// The middleware here returns at once, so that only the caller's side is
// measured; for the description query it hands back a freshly allocated
// three-element array, as the decoder would. Without an OS layer in this
// process the release gives the array back with free(), matching malloc().
// Run with --benchmark_repetitions=20 --benchmark_enable_random_interleaving=true
// --benchmark_report_aggregates_only=true.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "patch_sdk_service_agent.hpp"
#include "stub_middleware.h"

namespace {
bool g_bAnswerWithArray;  // answer as a QOMA_PAT_DESC_QUERY_RSP with three elements

using Active = pss::method::Active;
using Desc = pss::method::QueryDescInfo;

QOMA_PAT_DESC_INFO *NewElements() {
    return static_cast<QOMA_PAT_DESC_INFO *>(malloc(3 * sizeof(QOMA_PAT_DESC_INFO)));
}
}  // namespace

BENCH_EXPORT IdlCallResult RPC_IdlMsgSyncCall(void *, const void *pvReq, void *pvRsp,
                                              const IdlMethodId *, const IdlMsgOps *) {
    benchmark::DoNotOptimize(pvReq);
    if (g_bAnswerWithArray) {
        auto *pstRsp = static_cast<QOMA_PAT_DESC_QUERY_RSP *>(pvRsp);
        pstRsp->uiInfoNum = 3;
        pstRsp->pstInfo = NewElements();
    }
    benchmark::ClobberMemory();
    return {0, 0};
}

namespace {

// ---- a call whose response owns nothing -----------------------------------

void BM_C_SyncActive(benchmark::State &state) {
    g_bAnswerWithArray = false;
    const QOMA_PAT_ACTIVE_REQ stReq{};
    for (auto _ : state) {
        QOMA_PAT_ACTIVE_RSP stRsp{};
        const IdlCallResult stResult = PatchSdkService_QOMA_PAT_Active(&stReq, &stRsp, 0);
        if (stResult.uiStatus == PSS_AGENT_OK) benchmark::DoNotOptimize(stRsp.uiHead0);
    }
}
BENCHMARK(BM_C_SyncActive);

void BM_Cpp_SyncActive(benchmark::State &state) {
    g_bAnswerWithArray = false;
    const QOMA_PAT_ACTIVE_REQ stReq{};
    for (auto _ : state) {
        const auto result = pss::call<Active>(stReq);
        if (result) benchmark::DoNotOptimize((*result)->uiHead0);
    }
}
BENCHMARK(BM_Cpp_SyncActive);

// ---- a query: the call, then the array given back -----------------------

void BM_C_SyncQueryAndRelease(benchmark::State &state) {
    g_bAnswerWithArray = true;
    const QOMA_PAT_DESC_QUERY_REQ stReq{};
    for (auto _ : state) {
        QOMA_PAT_DESC_QUERY_RSP stRsp{};
        const IdlCallResult stResult = PatchSdkService_QOMA_PAT_QueryDescInfo(&stReq, &stRsp, 0);
        if (stResult.uiStatus == PSS_AGENT_OK) benchmark::DoNotOptimize(stRsp.uiInfoNum);
        IdlMsgOps stOps;
        PatchSdkService_QOMA_PAT_QueryDescInfoSetIdl(&stOps);
        stOps.pfnFreeUnpacked(&stRsp);
    }
}
BENCHMARK(BM_C_SyncQueryAndRelease);

void BM_Cpp_SyncQueryAndRelease(benchmark::State &state) {
    g_bAnswerWithArray = true;
    const QOMA_PAT_DESC_QUERY_REQ stReq{};
    for (auto _ : state) {
        const auto result = pss::call<Desc>(stReq);
        if (result) benchmark::DoNotOptimize(result->infos().size());
    }
}
BENCHMARK(BM_Cpp_SyncQueryAndRelease);

// ---- the release alone, of a record holding a three-element array ---------

void BM_C_ReleaseExplicit(benchmark::State &state) {
    for (auto _ : state) {
        QOMA_PAT_DESC_QUERY_RSP stRsp{};
        stRsp.uiInfoNum = 3;
        stRsp.pstInfo = NewElements();
        benchmark::ClobberMemory();
        IdlMsgOps stOps;
        PatchSdkService_QOMA_PAT_QueryDescInfoSetIdl(&stOps);
        stOps.pfnFreeUnpacked(&stRsp);
    }
}
BENCHMARK(BM_C_ReleaseExplicit);

void BM_Cpp_ReleaseThroughOwner(benchmark::State &state) {
    for (auto _ : state) {
        QOMA_PAT_DESC_QUERY_RSP stRsp{};
        stRsp.uiInfoNum = 3;
        stRsp.pstInfo = NewElements();
        benchmark::ClobberMemory();
        pss::Response<Desc> owner = pss::Response<Desc>::adopt(stRsp);
    }
}
BENCHMARK(BM_Cpp_ReleaseThroughOwner);

}  // namespace

BENCHMARK_MAIN();
