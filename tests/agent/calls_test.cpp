// The exported functions against a recording middleware: what each call
// hands over, in which order, and what it does when something is missing.
#include <gtest/gtest.h>

#include <functional>

#include "method_cases.h"
#include "recording_middleware.h"
#include "support/os_layer.h"

extern "C" void *ZEL_OsalMemCacheAlloc(uint32_t uiSize, uint32_t uiModuleId, const char *pcTag);

namespace pss_test {
namespace {

using Kinds = std::vector<Ev>;
constexpr uint32_t kArg = 0x5eed0001u;

void Callback(IdlCallResult, void *, void *) {}
int g_userData;

class CallTest : public ::testing::TestWithParam<MethodCase> {
  protected:
    void SetUp() override {
        g_recorder.Reset(C().uiReqSize, C().uiRspSize);
        TakeLogs();
        TakeFrees();
    }
    void TearDown() override {
        // Every block the agent created was destroyed or handed over.
        EXPECT_TRUE(g_recorder.live.empty());
    }
    const MethodCase &C() const { return GetParam(); }
    std::vector<uint8_t> ReqBytes() { return {stReq.aucBytes, stReq.aucBytes + C().uiReqSize}; }
    IdlMsgOps Bound() const {
        IdlMsgOps stOps;
        C().pfnSetIdl(&stOps);
        return stOps;
    }
    void ExpectInvoke(const Event &e) const {
        EXPECT_EQ(e.eKind, Ev::kInvoke);
        EXPECT_EQ(e.pstAddr, &g_stServerAddr_PatchSdkService);
        EXPECT_EQ(e.uiInvokeArg, kArg);
    }
    void ExpectIdentityAndOps(const Event &e) const {
        EXPECT_EQ(e.service, "PatchSdkService");
        EXPECT_EQ(e.method, std::string("QOMA_PAT_") + C().pcOp);
        EXPECT_EQ(memcmp(&e.stOps, &stBound, sizeof stBound), 0);
        EXPECT_EQ(e.pvInvoke == nullptr ? e.stCall.pvInvoke : e.pvInvoke, &g_invokeHandle);
    }
    void ExpectCreate(const Event &e, size_t uiSize, const std::string &tag) const {
        EXPECT_EQ(e.eKind, Ev::kCreate);
        EXPECT_EQ(e.uiSize, uiSize);
        EXPECT_EQ(e.tag, tag);
    }

    PatternedRecord stReq{GetParam()};
    PatternedRecord stRsp{GetParam(), 0x40};
    IdlMsgOps stBound = Bound();
};

// ---- SetIdl ----------------------------------------------------------------

TEST_P(CallTest, SetIdlWritesEverySlot) {
    IdlMsgOps stOps;
    memset(&stOps, 0xA5, sizeof stOps);
    C().pfnSetIdl(&stOps);
    EXPECT_EQ(stOps.pfnReserved, nullptr);
    EXPECT_NE(stOps.pfnPack, nullptr);
    ASSERT_NE(stOps.pfnPackFixed, nullptr);
    ASSERT_NE(stOps.pfnFixedSize, nullptr);
    EXPECT_EQ(stOps.pfnFixedSize(), C().uiFixedSize);
    if (!C().HasResponse()) {
        EXPECT_EQ(stOps.pfnUnpack, nullptr);
        EXPECT_EQ(stOps.pfnFreeUnpacked, nullptr);
    } else {
        EXPECT_NE(stOps.pfnUnpack, nullptr);
        EXPECT_NE(stOps.pfnFreeUnpacked, nullptr);
    }
    C().pfnSetIdl(nullptr);  // ignored, not written through
}

// The codecs inside the library name themselves in their log messages and
// hook calls, which tells which function sits in which slot.
TEST_P(CallTest, SetIdlBindsTheMethodsOwnCodecs) {
    uint8_t aucBuf[8];
    uint32_t uiCap = 3;
    const SerialBufDesc stBuf{aucBuf, &uiCap};
    EXPECT_EQ(stBound.pfnPack(&stBuf, stReq.Get()), 0u);
    auto logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].func, std::string(C().pcReq) + "_pack");

    // The fixed-layout encoder writes the image of its request, byte for byte.
    std::vector<uint8_t> image(C().uiFixedSize + 8, 0x3C), expected(image);
    stBound.pfnPackFixed(image.data(), stReq.Get());
    C().pfnRefPackFixed(expected.data(), stReq.Get());
    EXPECT_EQ(image, expected);
    EXPECT_EQ(image[C().uiFixedSize], 0x3C);

    if (!C().HasResponse()) return;
    EXPECT_EQ(stBound.pfnUnpack(nullptr, 8, stRsp.Get()), nullptr);
    logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].func, std::string(C().pcRsp) + "_unpack");

    // A response with an array gives it back through its own release
    // function; the others own nothing and leave the record alone.
    std::vector<uint8_t> rsp(C().uiRspSize, 0);
    void *pvArray = nullptr;
    if (C().bRspHasArray) {
        pvArray = ZEL_OsalMemCacheAlloc(16, 12, "test");
        memcpy(rsp.data() + C().uiInfoOffset, &pvArray, sizeof pvArray);
    } else {
        memset(rsp.data(), 0x5A, rsp.size());
    }
    const std::vector<uint8_t> before = rsp;
    stBound.pfnFreeUnpacked(rsp.data());
    const auto frees = TakeFrees();
    if (C().bRspHasArray) {
        ASSERT_EQ(frees.size(), 1u);
        EXPECT_EQ(frees[0].pvMem, pvArray);
        EXPECT_EQ(frees[0].tag, std::string(C().pcRsp) + "_free_unpacked");
    } else {
        EXPECT_TRUE(frees.empty());
        EXPECT_EQ(rsp, before);
    }
}

// ---- synchronous -----------------------------------------------------------

TEST_P(CallTest, SyncHandsOverAndReturnsTheMiddlewaresResultWordForWord) {
    const IdlCallResult stResult = C().pfnSync(stReq.Get(), stRsp.Get(), kArg);
    EXPECT_EQ(stResult.uiValue, 0xA1B2C3D4u);
    EXPECT_EQ(stResult.uiStatus, 0x77u);
    const auto &ev = g_recorder.events;
    if (C().HasResponse()) {
        // The caller's own records, nothing allocated.
        ASSERT_EQ(g_recorder.Kinds(), (Kinds{Ev::kInvoke, Ev::kSync}));
        EXPECT_EQ(ev[1].pvReq, stReq.Get());
        EXPECT_EQ(ev[1].pvRsp, stRsp.Get());
        // The response is left to the middleware.
        EXPECT_EQ(memcmp(stRsp.aucBytes, PatternedRecord(C(), 0x40).aucBytes, C().uiRspSize), 0);
    } else {
        // A copy in a block tagged with the function's name, destroyed after
        // the call with the module id read again.
        ASSERT_EQ(g_recorder.Kinds(), (Kinds{Ev::kInvoke, Ev::kCreate, Ev::kSync, Ev::kDestroy}));
        ExpectCreate(ev[1], C().uiReqSize, C().Name());
        EXPECT_EQ(ev[1].uiModuleId, 500u);
        EXPECT_EQ(ev[2].pvReq, ev[1].pvBlock);
        EXPECT_NE(ev[2].pvReq, stReq.Get());
        EXPECT_EQ(ev[2].pvRsp, nullptr);
        EXPECT_EQ(ev[3].pvBlock, ev[1].pvBlock);
        EXPECT_EQ(ev[3].tag, C().Name());
        EXPECT_EQ(ev[3].uiModuleId, 501u);
    }
    ExpectInvoke(ev[0]);
    const Event &stSync = ev[ev.size() - (C().HasResponse() ? 1 : 2)];
    EXPECT_EQ(stSync.reqBytes, ReqBytes());
    ExpectIdentityAndOps(stSync);
}

TEST_P(CallTest, SyncRefusals) {
    struct Row {
        const char *pcWhat;
        bool bNoInvoke, bNoReq, bNoRsp, bFailCreate;
        uint32_t uiStatus;
        Kinds calls;
    };
    std::vector<Row> rows = {
        {"no invoke handle", true, false, false, false, 22, {Ev::kInvoke}},
        {"null request", false, true, false, false, 22, {Ev::kInvoke}},
    };
    if (C().HasResponse()) {
        rows.push_back({"null response", false, false, true, false, 22, {Ev::kInvoke}});
    } else {
        rows.push_back({"no block", false, false, false, true, 12, {Ev::kInvoke, Ev::kCreate}});
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.pcWhat);
        g_recorder.Reset(C().uiReqSize, C().uiRspSize);
        if (row.bNoInvoke) g_recorder.pvInvoke = nullptr;
        if (row.bFailCreate) g_recorder.iFailCreateAt = 0;
        const IdlCallResult stResult = C().pfnSync(row.bNoReq ? nullptr : stReq.Get(),
                                                   row.bNoRsp ? nullptr : stRsp.Get(), kArg);
        EXPECT_EQ(stResult.uiValue, 0u);
        EXPECT_EQ(stResult.uiStatus, row.uiStatus);
        EXPECT_EQ(g_recorder.Kinds(), row.calls);
        ExpectInvoke(g_recorder.events[0]);
    }
}

// ---- asynchronous ----------------------------------------------------------

TEST_P(CallTest, AsyncHandsOverCopiesAndReturnsZeroWhateverTheMiddlewareSays) {
    const std::string tag = C().Name() + "_async";
    for (void *pvUser : {static_cast<void *>(&g_userData), static_cast<void *>(nullptr)}) {
        g_recorder.Reset(C().uiReqSize, C().uiRspSize);
        EXPECT_EQ(C().pfnAsync(stReq.Get(), Callback, pvUser, kArg), 0u);
        const auto &ev = g_recorder.events;
        if (C().HasResponse()) {
            ASSERT_EQ(g_recorder.Kinds(),
                      (Kinds{Ev::kInvoke, Ev::kCreate, Ev::kCreate, Ev::kAsync}));
            ExpectCreate(ev[2], C().uiRspSize, tag);
            EXPECT_EQ(ev[3].pvRsp, ev[2].pvBlock);
            EXPECT_EQ(ev[3].rspBytes, std::vector<uint8_t>(C().uiRspSize, 0));
        } else {
            ASSERT_EQ(g_recorder.Kinds(), (Kinds{Ev::kInvoke, Ev::kCreate, Ev::kAsync}));
            EXPECT_EQ(ev[2].pvRsp, nullptr);
        }
        ExpectInvoke(ev[0]);
        ExpectCreate(ev[1], C().uiReqSize, tag);
        const Event &stAsync = ev.back();
        EXPECT_EQ(stAsync.pvReq, ev[1].pvBlock);
        EXPECT_EQ(stAsync.reqBytes, ReqBytes());
        EXPECT_EQ(stAsync.stCall.pfnCallback, &Callback);
        EXPECT_EQ(stAsync.stCall.pvUserData, pvUser);
        EXPECT_NE(stAsync.stCall.pstMethodId, nullptr);
        EXPECT_NE(stAsync.stCall.pstOps, nullptr);
        for (uintptr_t uiWord : stAsync.stCall.auiReserved) EXPECT_EQ(uiWord, 0u);
        ExpectIdentityAndOps(stAsync);
    }
}

TEST_P(CallTest, AsyncRefusals) {
    const std::string tag = C().Name() + "_async";
    struct Row {
        const char *pcWhat;
        bool bNoInvoke, bNoReq, bNoCallback;
        int iFailCreateAt;
        uint32_t uiResult;
        Kinds calls;
    };
    std::vector<Row> rows = {
        {"no invoke handle", true, false, false, -1, 22, {Ev::kInvoke}},
        {"null request", false, true, false, -1, 22, {Ev::kInvoke}},
        {"no request block", false, false, false, 0, 12, {Ev::kInvoke, Ev::kCreate}},
    };
    if (C().HasResponse()) {
        rows.push_back({"null callback", false, false, true, -1, 22, {Ev::kInvoke}});
        rows.push_back({"no response block",
                        false,
                        false,
                        false,
                        1,
                        12,
                        {Ev::kInvoke, Ev::kCreate, Ev::kCreate, Ev::kDestroy}});
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.pcWhat);
        g_recorder.Reset(C().uiReqSize, C().uiRspSize);
        if (row.bNoInvoke) g_recorder.pvInvoke = nullptr;
        g_recorder.iFailCreateAt = row.iFailCreateAt;
        EXPECT_EQ(C().pfnAsync(row.bNoReq ? nullptr : stReq.Get(),
                               row.bNoCallback ? nullptr : Callback, &g_userData, kArg),
                  row.uiResult);
        ASSERT_EQ(g_recorder.Kinds(), row.calls);
        ExpectInvoke(g_recorder.events[0]);
        if (row.calls.size() == 4) {
            // Only the request block goes back, with the tag it was made with.
            const auto &ev = g_recorder.events;
            EXPECT_EQ(ev[3].pvBlock, ev[1].pvBlock);
            EXPECT_EQ(ev[3].tag, tag);
            EXPECT_EQ(ev[3].uiModuleId, 502u);
        }
    }
}

// ---- one-way ---------------------------------------------------------------

class OnewayCallTest : public CallTest {};

TEST_P(OnewayCallTest, SendsTheCallersOwnRecord) {
    // _oneway, and _async without a callback, send alike: nothing copied.
    using Send = std::function<uint32_t(const void *)>;
    const Send sends[] = {
        [&](const void *pv) { return C().pfnOneway(pv, kArg); },
        [&](const void *pv) { return C().pfnAsync(pv, nullptr, &g_userData, kArg); },
    };
    for (const Send &send : sends) {
        g_recorder.Reset(C().uiReqSize, C().uiRspSize);
        EXPECT_EQ(send(stReq.Get()), 0x99u);
        ASSERT_EQ(g_recorder.Kinds(), (Kinds{Ev::kInvoke, Ev::kOneway}));
        ExpectInvoke(g_recorder.events[0]);
        EXPECT_EQ(g_recorder.events[1].pvReq, stReq.Get());
        ExpectIdentityAndOps(g_recorder.events[1]);

        g_recorder.Reset(C().uiReqSize, C().uiRspSize);
        EXPECT_EQ(send(nullptr), 22u);
        g_recorder.pvInvoke = nullptr;
        EXPECT_EQ(send(stReq.Get()), 22u);
        EXPECT_EQ(g_recorder.Kinds(), (Kinds{Ev::kInvoke, Ev::kInvoke}));
    }
}

INSTANTIATE_TEST_SUITE_P(AllMethods, CallTest, ::testing::ValuesIn(kMethodCases), CaseName);
INSTANTIATE_TEST_SUITE_P(WithoutResponse, OnewayCallTest,
                         ::testing::ValuesIn(CasesWithResponse(false)), CaseName);

// ---- the catalogue as a whole ----------------------------------------------

TEST(Catalogue, UpdatesAndHealthCheckShareDecoderAndRelease) {
    IdlMsgOps astOps[3];
    PatchSdkService_QOMA_PAT_UpdatePkgInstCfgSetIdl(&astOps[0]);
    PatchSdkService_QOMA_PAT_UpdatePkgNameSetIdl(&astOps[1]);
    PatchSdkService_QOMA_PAT_HealthCheckSetIdl(&astOps[2]);
    for (const IdlMsgOps &stOps : astOps) {
        EXPECT_EQ(stOps.pfnUnpack, astOps[0].pfnUnpack);
        EXPECT_EQ(stOps.pfnFreeUnpacked, astOps[0].pfnFreeUnpacked);
    }
    EXPECT_NE(astOps[0].pfnPack, astOps[1].pfnPack);
}

TEST(Catalogue, ServerAddressStartsZeroWithTheServiceName) {
    const RpcServerAddr &stAddr = g_stServerAddr_PatchSdkService;
    for (uint8_t uc : stAddr.aucRpcPrivate) EXPECT_EQ(uc, 0);
    EXPECT_STREQ(stAddr.pcServiceName, "PatchSdkService");
}

}  // namespace
}  // namespace pss_test
