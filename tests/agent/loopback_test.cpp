// End to end through the loopback middleware: every method and every family,
// with compact and fixed-layout request images, decoded answers checked
// field by field against what the simulated service derives from the request.
#include <gtest/gtest.h>
#include <stdio.h>

#include <thread>

#include "method_cases.h"
#include "platform/kelm/kelm_loopback.h"
#include "support/os_layer.h"

namespace pss_test {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

template <class T>
T Member(const uint8_t *pucRec, const FieldDesc &stField) {
    T value;
    memcpy(&value, pucRec + stField.usOffset, sizeof value);
    return value;
}

// Every field non-trivial except every third scalar, which stays 0 and so is
// left out of the compact image.
void FillRequest(const TableDesc &stDesc, uint8_t *pucRec, uint32_t uiSeed) {
    for (uint32_t k = 0; k < stDesc.uiSlots; ++k) {
        const FieldDesc &f = stDesc.pstFields[k];
        uint8_t *pucMember = pucRec + f.usOffset;
        const uint64_t ullValue = k % 3 == 2 ? 0 : (uint64_t{uiSeed + k} << 32) | (k + 7);
        if (f.eKind == Kind::kU32) {
            const uint32_t uiValue = static_cast<uint32_t>(ullValue != 0 ? uiSeed * 31 + k : 0);
            memcpy(pucMember, &uiValue, 4);
        } else if (f.eKind == Kind::kU64) {
            memcpy(pucMember, &ullValue, 8);
        } else if (f.eKind == Kind::kBytes) {
            snprintf(reinterpret_cast<char *>(pucMember), f.usLength, "req%u", k);
            pucMember[f.usLength - 1] = 'x';
        } else if (f.eKind == Kind::kTable) {
            FillRequest(*f.pstSub, pucMember, uiSeed + 1);
        }
    }
}

struct Request {
    alignas(8) uint8_t aucBytes[1024] = {};  // padding stays zero

    Request(const MethodCase &stCase, uint32_t uiSeed, uint32_t uiElements) {
        FillRequest(*stCase.pstReqSchema, aucBytes, uiSeed);
        if (stCase.HasResponse()) {  // the service answers with uiHead2 % 4 elements
            memcpy(aucBytes + stCase.pstReqSchema->pstFields[2].usOffset, &uiElements, 4);
        }
    }
    uint32_t Head0(const MethodCase &c) const {
        return Member<uint32_t>(aucBytes, c.pstReqSchema->pstFields[0]);
    }
    uint64_t Head1(const MethodCase &c) const {
        return Member<uint64_t>(aucBytes, c.pstReqSchema->pstFields[1]);
    }
};

// One element as the service fills it.
void ExpectElement(const TableDesc &stDesc, const uint8_t *pucRec, const MethodCase &c,
                   uint32_t uiSeed, uint32_t i) {
    for (uint32_t k = 0; k < stDesc.uiSlots; ++k) {
        SCOPED_TRACE(testing::Message() << "element " << i << " slot " << k);
        const FieldDesc &f = stDesc.pstFields[k];
        if (f.eKind == Kind::kU8) {
            EXPECT_EQ(pucRec[f.usOffset], 16 * i + k);
        } else if (f.eKind == Kind::kU32) {
            EXPECT_EQ(Member<uint32_t>(pucRec, f), uiSeed + 100 * i + k);
        } else {
            ASSERT_EQ(f.eKind, Kind::kBytes);
            std::vector<char> expected(f.usLength, 0);
            snprintf(expected.data(), f.usLength, "%s#%u.%u", c.pcOp, i, k);
            expected.back() = '~';
            EXPECT_EQ(memcmp(pucRec + f.usOffset, expected.data(), f.usLength), 0);
        }
    }
}

// The decoded answer: the head echoes the request, then the element(s).
void ExpectAnswer(const MethodCase &c, const Request &stReq, uint32_t uiImageSize,
                  const uint8_t *pucRsp, const uint8_t *pucElements) {
    const TableDesc &r = *c.pstRspSchema;
    const uint32_t uiHead0 = stReq.Head0(c);
    EXPECT_EQ(Member<uint32_t>(pucRsp, r.pstFields[0]), uiHead0);
    EXPECT_EQ(Member<uint64_t>(pucRsp, r.pstFields[1]), stReq.Head1(c));
    EXPECT_EQ(Member<uint32_t>(pucRsp, r.pstFields[2]), c.uiNumber);
    EXPECT_EQ(Member<uint32_t>(pucRsp, r.pstFields[3]), uiImageSize);
    EXPECT_EQ(Member<uint32_t>(pucRsp, r.pstFields[4]),
              KelmLoopback_Checksum(stReq.aucBytes, c.uiReqSize));
    if (r.uiSlots == 5) return;
    const FieldDesc &stInfo = r.pstFields[5];
    if (stInfo.eKind == Kind::kTable) {
        ExpectElement(*stInfo.pstSub, pucRsp + stInfo.usOffset, c, uiHead0, 0);
        return;
    }
    const uint32_t uiHead2 = Member<uint32_t>(stReq.aucBytes, c.pstReqSchema->pstFields[2]);
    const uint32_t uiCount = Member<uint32_t>(pucRsp, stInfo);
    ASSERT_EQ(uiCount, uiHead2 % 4);
    ASSERT_EQ(pucElements == nullptr, uiCount == 0);
    for (uint32_t i = 0; i < uiCount; ++i) {
        ExpectElement(*stInfo.pstSub, pucElements + size_t{i} * stInfo.pstSub->uiRecordSize, c,
                      uiHead0, i);
    }
}

const uint8_t *Elements(const MethodCase &c, const uint8_t *pucRsp) {
    if (!c.bRspHasArray) return nullptr;
    const uint8_t *puc;
    memcpy(&puc, pucRsp + c.uiInfoOffset, sizeof puc);
    return puc;
}

uint32_t ImageSize(const MethodCase &c, const Request &stReq, uint32_t uiLayout) {
    return uiLayout == KELM_LOOPBACK_FIXED_LAYOUT ? c.uiFixedSize
                                                  : c.pfnRefPack(nullptr, stReq.aucBytes);
}

// What an asynchronous completion saw, copied out before the middleware
// releases it.
struct Completion {
    bool bCalled = false;
    IdlCallResult stResult{};
    bool bRspNull = true;
    std::vector<uint8_t> rsp, elements;
    const MethodCase *pstCase = nullptr;
};

void OnComplete(IdlCallResult stResult, void *pvRsp, void *pvUserData) {
    Completion &stDone = *static_cast<Completion *>(pvUserData);
    const MethodCase &c = *stDone.pstCase;
    stDone.stResult = stResult;
    stDone.bRspNull = pvRsp == nullptr;
    if (pvRsp != nullptr) {
        const uint8_t *puc = static_cast<const uint8_t *>(pvRsp);
        stDone.rsp.assign(puc, puc + c.uiRspSize);
        if (const uint8_t *pucElements = Elements(c, puc)) {
            const FieldDesc &stInfo = c.pstRspSchema->pstFields[5];
            const size_t uiBytes =
                size_t{Member<uint32_t>(puc, stInfo)} * stInfo.pstSub->uiRecordSize;
            stDone.elements.assign(pucElements, pucElements + uiBytes);
        }
    }
    stDone.bCalled = true;
}

class LoopbackTest : public ::testing::TestWithParam<MethodCase> {
  protected:
    void SetUp() override { TakeLogs(); }
    void TearDown() override {
        KelmLoopback_Drain();
        EXPECT_EQ(KelmLoopback_LiveBlocks(), 0u);
        EXPECT_EQ(LiveAllocations(), 0u);  // every decoded array given back
    }
    const MethodCase &C() const { return GetParam(); }
    void ExpectDelivered(const Request &stReq, uint32_t uiImageSize, uint32_t uiCountBefore) {
        KelmLoopbackTrace stTrace;
        KelmLoopback_LastRequest(&stTrace);
        EXPECT_EQ(stTrace.uiMethod, C().uiNumber);
        EXPECT_EQ(stTrace.uiImageSize, uiImageSize);
        EXPECT_EQ(stTrace.uiChecksum, KelmLoopback_Checksum(stReq.aucBytes, C().uiReqSize));
        EXPECT_EQ(stTrace.uiCount, uiCountBefore + 1);
    }
    static uint32_t Count() {
        KelmLoopbackTrace stTrace;
        KelmLoopback_LastRequest(&stTrace);
        return stTrace.uiCount;
    }
};

constexpr uint32_t kLayouts[] = {0, KELM_LOOPBACK_FIXED_LAYOUT};

TEST_P(LoopbackTest, SyncCallDecodesTheAnswer) {
    IdlMsgOps stOps;
    C().pfnSetIdl(&stOps);
    for (uint32_t uiLayout : kLayouts) {
        for (uint32_t uiElements : {3u, 4u, 1u}) {
            SCOPED_TRACE(testing::Message() << "layout " << uiLayout << ", uiHead2 " << uiElements);
            const Request stReq(C(), 10 + uiLayout, uiElements);
            const uint32_t uiSize = ImageSize(C(), stReq, uiLayout);
            alignas(8) uint8_t aucRsp[512];
            memset(aucRsp, 0xCD, sizeof aucRsp);
            const uint32_t uiBefore = Count();
            const IdlCallResult stResult = C().pfnSync(stReq.aucBytes, aucRsp, uiLayout);
            EXPECT_EQ(stResult.uiStatus, KELM_OK);
            EXPECT_EQ(stResult.uiValue, uiSize);
            ExpectDelivered(stReq, uiSize, uiBefore);
            if (C().HasResponse()) {
                ExpectAnswer(C(), stReq, uiSize, aucRsp, Elements(C(), aucRsp));
                stOps.pfnFreeUnpacked(aucRsp);
                stOps.pfnFreeUnpacked(aucRsp);  // a second release gives nothing back
            }
        }
    }
}

TEST_P(LoopbackTest, AsyncCallCompletesThroughTheCallback) {
    for (uint32_t uiLayout : kLayouts) {
        SCOPED_TRACE(testing::Message() << "layout " << uiLayout);
        const Request stReq(C(), 20 + uiLayout, 2);
        Completion stDone;
        stDone.pstCase = &C();
        const uint32_t uiBefore = Count();
        EXPECT_EQ(C().pfnAsync(stReq.aucBytes, OnComplete, &stDone, uiLayout), 0u);
        KelmLoopback_Drain();
        ASSERT_TRUE(stDone.bCalled);
        const uint32_t uiSize = ImageSize(C(), stReq, uiLayout);
        EXPECT_EQ(stDone.stResult.uiStatus, KELM_OK);
        EXPECT_EQ(stDone.stResult.uiValue, uiSize);
        EXPECT_EQ(stDone.bRspNull, !C().HasResponse());
        ExpectDelivered(stReq, uiSize, uiBefore);
        if (C().HasResponse()) {
            ExpectAnswer(C(), stReq, uiSize, stDone.rsp.data(),
                         stDone.elements.empty() ? nullptr : stDone.elements.data());
        }
    }
}

class LoopbackOnewayTest : public LoopbackTest {};
class LoopbackAnswerTest : public LoopbackTest {};

TEST_P(LoopbackOnewayTest, SendIsDelivered) {
    for (uint32_t uiLayout : kLayouts) {
        const Request stReq(C(), 30 + uiLayout, 0);
        const uint32_t uiSize = ImageSize(C(), stReq, uiLayout);
        uint32_t uiBefore = Count();
        EXPECT_EQ(C().pfnOneway(stReq.aucBytes, uiLayout), KELM_OK);
        ExpectDelivered(stReq, uiSize, uiBefore);
        uiBefore = Count();
        EXPECT_EQ(C().pfnAsync(stReq.aucBytes, nullptr, nullptr, uiLayout), KELM_OK);
        ExpectDelivered(stReq, uiSize, uiBefore);
    }
}

TEST_P(LoopbackTest, UnreachableServiceIsRefused) {
    const Request stReq(C(), 40, 1);
    alignas(8) uint8_t aucRsp[512] = {};
    const IdlCallResult stResult = C().pfnSync(stReq.aucBytes, aucRsp, KELM_LOOPBACK_UNREACHABLE);
    EXPECT_EQ(stResult.uiValue, 0u);
    EXPECT_EQ(stResult.uiStatus, 22u);
    Completion stDone;
    stDone.pstCase = &C();
    EXPECT_EQ(C().pfnAsync(stReq.aucBytes, OnComplete, &stDone, KELM_LOOPBACK_UNREACHABLE), 22u);
    KelmLoopback_Drain();
    EXPECT_FALSE(stDone.bCalled);
}

TEST_P(LoopbackAnswerTest, CorruptedAnswerIsRejectedAndLogged) {
    const Request stReq(C(), 50, 3);
    alignas(8) uint8_t aucRsp[512] = {};
    const IdlCallResult stResult =
        C().pfnSync(stReq.aucBytes, aucRsp, KELM_LOOPBACK_CORRUPT_ANSWER);
    EXPECT_EQ(stResult.uiStatus, KELM_ERR_BAD_ANSWER);
    const auto logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].func, std::string(C().pcRsp) + "_unpack");
    EXPECT_EQ(logs[0].text.rfind("[KORVO]:Table offset(", 0), 0u) << logs[0].text;

    Completion stDone;
    stDone.pstCase = &C();
    EXPECT_EQ(C().pfnAsync(stReq.aucBytes, OnComplete, &stDone, KELM_LOOPBACK_CORRUPT_ANSWER), 0u);
    KelmLoopback_Drain();
    ASSERT_TRUE(stDone.bCalled);
    EXPECT_EQ(stDone.stResult.uiStatus, KELM_ERR_BAD_ANSWER);
}

INSTANTIATE_TEST_SUITE_P(AllMethods, LoopbackTest, ::testing::ValuesIn(kMethodCases), CaseName);
INSTANTIATE_TEST_SUITE_P(WithoutResponse, LoopbackOnewayTest,
                         ::testing::ValuesIn(CasesWithResponse(false)), CaseName);
INSTANTIATE_TEST_SUITE_P(WithResponse, LoopbackAnswerTest,
                         ::testing::ValuesIn(CasesWithResponse(true)), CaseName);

// Many calls in flight at once, from two caller threads, each completing on
// its own worker.
TEST(LoopbackConcurrency, AsyncCallsOfEveryMethodFromTwoThreads) {
    constexpr int kRounds = 4;
    constexpr size_t kMethods = sizeof kMethodCases / sizeof kMethodCases[0];
    std::vector<Request> requests;
    for (const MethodCase &c : kMethodCases) requests.emplace_back(c, 60, 3);
    std::vector<Completion> done(2 * kRounds * kMethods);
    auto caller = [&](size_t uiFirst) {
        for (int r = 0; r < kRounds; ++r) {
            for (size_t m = 0; m < kMethods; ++m) {
                Completion &stDone = done[uiFirst + r * kMethods + m];
                stDone.pstCase = &kMethodCases[m];
                EXPECT_EQ(kMethodCases[m].pfnAsync(requests[m].aucBytes, OnComplete, &stDone,
                                                   r % 2 == 0 ? 0 : KELM_LOOPBACK_FIXED_LAYOUT),
                          0u);
            }
        }
    };
    std::thread first(caller, 0), second(caller, kRounds * kMethods);
    first.join();
    second.join();
    KelmLoopback_Drain();
    for (const Completion &stDone : done) {
        EXPECT_TRUE(stDone.bCalled);
        EXPECT_EQ(stDone.stResult.uiStatus, KELM_OK);
    }
    EXPECT_EQ(KelmLoopback_LiveBlocks(), 0u);
    EXPECT_EQ(LiveAllocations(), 0u);
}

}  // namespace
}  // namespace pss_test
