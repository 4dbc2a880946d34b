// End to end through the loopback middleware: every method and every family,
// with compact and fixed-layout request images. The codec tests prove the
// bytes; here the service's trace and the head of its answer show that the
// caller's request reached it whole and that the answer came back.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "method_cases.h"
#include "platform/kelm/kelm_loopback.h"
#include "support/os_layer.h"
#include "support/response_cases.h"

namespace pss_test {
namespace {

constexpr uint32_t kFixed = KELM_LOOPBACK_FIXED_LAYOUT;

struct Request {
    alignas(8) uint8_t auc[1024] = {};

    // Random fields, now and then 0 and so left out of the compact image; the
    // padding stays zero, as the service's checksum needs.
    Request(const MethodCase &c, uint32_t uiSeed) {
        std::mt19937 rng(uiSeed);
        FillRandom(*c.pstReqSchema, auc, rng, 0, nullptr);
        const uint32_t uiElements = 3;  // the service answers with uiHead2 % 4 of them
        if (c.HasResponse())
            memcpy(auc + offsetof(QOMA_PAT_STOP_PLUGIN_REQ, uiHead2), &uiElements, 4);
    }
    uint32_t Checksum(const MethodCase &c) const { return KelmLoopback_Checksum(auc, c.uiReqSize); }
};

struct Outcome {
    const MethodCase *pstCase;
    IdlCallResult stResult{};
    bool bCalled = false;
    std::optional<QOMA_PAT_APPCOMMON_RSP> head{};  // the head every response begins with
};

void OnComplete(IdlCallResult stResult, void *pvRsp, void *pvUserData) {
    Outcome &o = *static_cast<Outcome *>(pvUserData);
    o.stResult = stResult;
    o.bCalled = true;
    if (pvRsp != nullptr) memcpy(&o.head.emplace(), pvRsp, sizeof *o.head);
}

void ExpectAllGivenBack() {
    KelmLoopback_Drain();
    EXPECT_EQ(KelmLoopback_LiveBlocks(), 0u);
    EXPECT_EQ(LiveAllocations(), 0u);  // every decoded array released
}

class LoopbackTest : public ::testing::TestWithParam<MethodCase> {};

// s: synchronous, a: _async, o: _oneway, n: _async without a callback.
TEST_P(LoopbackTest, EveryFamilyWithBothImages) {
    const MethodCase &c = GetParam();
    IdlMsgOps stOps;
    c.pfnSetIdl(&stOps);
    KelmLoopbackTrace stTrace;
    for (uint32_t uiLayout : {0u, kFixed}) {
        for (char cFn : std::string(c.HasResponse() ? "sa" : "saon")) {
            SCOPED_TRACE(testing::Message() << cFn << ", layout " << uiLayout);
            const Request stReq(c, uiLayout * 16 + cFn);
            KelmLoopback_LastRequest(&stTrace);
            const uint32_t uiCount = stTrace.uiCount;
            Outcome o{&c};
            alignas(8) uint8_t aucRsp[512];
            memset(aucRsp, 0xCD, sizeof aucRsp);
            if (cFn == 's') {
                OnComplete(c.pfnSync(stReq.auc, aucRsp, uiLayout),
                           c.HasResponse() ? aucRsp : nullptr, &o);
                // The decoder's array, given back through the method's own release.
                EXPECT_EQ(LiveAllocations(), c.bArray ? 1u : 0u);
                TakeFrees();
                if (c.HasResponse()) stOps.pfnFreeUnpacked(aucRsp);
                for (const FreeRecord &stFree : TakeFrees()) {
                    EXPECT_EQ(stFree.tag, std::string(c.pcRsp) + "_free_unpacked");
                }
            } else if (cFn == 'a') {
                EXPECT_EQ(c.pfnAsync(stReq.auc, OnComplete, &o, uiLayout), 0u);
                KelmLoopback_Drain();
                EXPECT_TRUE(o.bCalled);
            } else {
                o.stResult.uiStatus = cFn == 'o'
                                          ? c.pfnOneway(stReq.auc, uiLayout)
                                          : c.pfnAsync(stReq.auc, nullptr, nullptr, uiLayout);
            }
            KelmLoopback_LastRequest(&stTrace);
            EXPECT_EQ(stTrace.uiCount, uiCount + 1);
            EXPECT_EQ(stTrace.uiMethod, c.uiNumber);
            EXPECT_EQ(stTrace.uiChecksum, stReq.Checksum(c));  // it decoded the caller's record
            const uint32_t uiImage =
                uiLayout == kFixed ? c.uiFixedSize : c.pfnRefPack(nullptr, stReq.auc);
            EXPECT_EQ(stTrace.uiImageSize, uiImage);
            EXPECT_EQ(o.stResult.uiStatus, KELM_OK);
            if (cFn == 's' || cFn == 'a') {
                EXPECT_EQ(o.stResult.uiValue, uiImage);
            }
            ASSERT_EQ(o.head.has_value(), c.HasResponse());
            if (!o.head) continue;
            // The answer to this very request.
            EXPECT_EQ(o.head->uiHead2, c.uiNumber);
            EXPECT_EQ(o.head->uiHead4, stReq.Checksum(c));
        }
    }
    ExpectAllGivenBack();
}

INSTANTIATE_TEST_SUITE_P(AllMethods, LoopbackTest, ::testing::ValuesIn(kMethodCases), CaseName);

// Many calls in flight from two caller threads, each completing on a worker
// of its own with the answer to its own request.
TEST(LoopbackConcurrency, AsyncCallsOfEveryMethodFromTwoThreads) {
    std::vector<Request> requests;
    std::vector<Outcome> done;
    for (size_t i = 0; i < 4 * std::size(kMethodCases); ++i) {
        requests.emplace_back(kMethodCases[i % std::size(kMethodCases)], i);
        done.push_back({&kMethodCases[i % std::size(kMethodCases)]});
    }
    auto caller = [&](size_t i) {
        for (; i < done.size(); i += 2) {
            const MethodCase &c = *done[i].pstCase;
            EXPECT_EQ(c.pfnAsync(requests[i].auc, OnComplete, &done[i], i / 2 % 2 * kFixed), 0u);
        }
    };
    std::thread first(caller, 0), second(caller, 1);
    first.join();
    second.join();
    KelmLoopback_Drain();
    for (size_t i = 0; i < done.size(); ++i) {
        const Outcome &o = done[i];
        EXPECT_TRUE(o.bCalled && o.stResult.uiStatus == KELM_OK) << i;
        const uint32_t uiSum = o.pstCase->HasResponse() ? requests[i].Checksum(*o.pstCase) : 0;
        EXPECT_EQ(o.head ? o.head->uiHead4 : 0, uiSum) << i;  // the answer to its own request
    }
    ExpectAllGivenBack();
}

}  // namespace
}  // namespace pss_test
