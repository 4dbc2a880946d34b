// pss_demo_cpp: a C++ client of the PatchSdkService agent through the
// header-only layer, against the loopback middleware. Every method is called
// synchronously; responses give their element arrays back by themselves.
// Then one asynchronous call, the one-way sends and a damaged answer.
#include <cstdio>
#include <string_view>

#include "patch_sdk_service_agent.hpp"
#include "sim/kelm_loopback.h"

namespace {

int g_iFailures = 0;

void Print(const char *pcLabel, std::string_view sText) {
    printf(" %s=\"%.*s\"", pcLabel, static_cast<int>(sText.size()), sText.data());
}

// One character member of each element type worth showing.
std::string_view Name(const QOMA_PAT_STATE_INFO &e) { return pss::text(e.acField8); }
std::string_view Name(const QOMA_PAT_ERROR_INFO &e) { return pss::text(e.acField5); }
std::string_view Name(const QOMA_PAT_INST_INFO &e) { return pss::text(e.acField8); }
std::string_view Name(const QOMA_PAT_DESC_INFO &e) { return pss::text(e.acField2); }

template <class M>
typename M::request MakeRequest(uint32_t uiNumber) {
    typename M::request stReq{};
    if constexpr (pss::has_response_v<M>) {
        stReq.uiHead0 = 1000 * uiNumber;
        stReq.uiHead2 = 3;  // the simulated service answers with three elements
    }
    return stReq;
}

template <class M>
void Call(uint32_t uiNumber) {
    const auto stReq = MakeRequest<M>(uiNumber);
    const auto result = pss::call<M>(stReq);
    printf("%s: uiValue=%u uiStatus=0x%x\n", M::name, result.status().uiValue,
           result.status().uiStatus);
    if (!result) {
        ++g_iFailures;
        return;
    }
    if constexpr (pss::has_response_v<M>) {
        const auto &rsp = *result;
        printf("    uiHead0=%u uiHead2=%u uiHead4=0x%08x\n", rsp->uiHead0, rsp->uiHead2,
               rsp->uiHead4);
        if constexpr (pss::has_infos_v<M>) {
            for (const auto &e : rsp.infos()) {
                printf("   ");
                Print("name", Name(e));
                printf("\n");
            }
        }
    }  // the element array goes back here, with the result
}

template <class... M>
void CallAll(pss::method_list<M...>) {
    uint32_t uiNumber = 0;
    (Call<M>(++uiNumber), ...);
}

}  // namespace

int main() {
    printf("== every method, synchronously ==\n");
    CallAll(pss::all_methods{});

    printf("\n== text members ==\n");
    QOMA_PAT_MANG_QUERY_REQ stMang{};
    const bool bFits = pss::set_text(stMang.stBody.acField0, "a-plugin-name-of-more-than-32-bytes");
    printf("fits: %s;", bFits ? "yes" : "no, cut");
    Print("acField0", pss::text(stMang.stBody.acField0));
    printf("\n");

    printf("\n== asynchronous, one-way ==\n");
    using ErrorQuery = pss::method::QueryErrorInfo;
    const auto stErrReq = MakeRequest<ErrorQuery>(4);
    const uint32_t uiHanded = pss::call_async<ErrorQuery>(
        stErrReq,
        [](IdlCallResult stResult, void *pvRsp, void *) {
            // The middleware owns the response and releases it after this returns.
            const auto *pstRsp = static_cast<const ErrorQuery::response *>(pvRsp);
            printf("%s completed: uiStatus=0x%x, %u elements\n", ErrorQuery::name,
                   stResult.uiStatus, pstRsp != nullptr ? pstRsp->uiInfoNum : 0);
        },
        nullptr, KELM_LOOPBACK_FIXED_LAYOUT);
    if (uiHanded != PSS_AGENT_OK) ++g_iFailures;
    KelmLoopback_Drain();
    const QOMA_PAT_STOP_PLUGIN_REQ stStop{};
    const uint32_t uiSent = pss::send_oneway<pss::method::StopPlugin>(stStop);
    printf("%s sent one-way: %u\n", pss::method::StopPlugin::name, uiSent);
    if (uiSent != KELM_OK) ++g_iFailures;

    printf("\n== a damaged answer ==\n");
    const auto refused = pss::call<ErrorQuery>(stErrReq, KELM_LOOPBACK_CORRUPT_ANSWER);
    printf("refused: %s (uiStatus=0x%x)\n", refused ? "NO" : "yes", refused.status().uiStatus);
    if (refused) ++g_iFailures;

    printf("\nmiddleware blocks left: %u; failures: %d\n", KelmLoopback_LiveBlocks(), g_iFailures);
    return g_iFailures == 0 && KelmLoopback_LiveBlocks() == 0 ? 0 : 1;
}
