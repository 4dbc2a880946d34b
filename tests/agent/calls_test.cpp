// The exported functions against a recording middleware: what each call
// hands over, in which order, and what it does when something is missing.
// The middleware is defined in this executable, so that its RPC_* entry
// points and g_uiKelmModuleId take precedence over the loopback library's,
// as a device process's own would.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>
#include <vector>

#include "method_cases.h"
#include "middleware/kelm_rpc.h"
#include "support/os_layer.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {
__attribute__((visibility("default"))) uint32_t g_uiKelmModuleId = 500;
}
// The loopback library's g_uiKelmModuleId is replaced on purpose: objections
// are wanted only when two definitions of one name differ in size.
TEST_EXPORT const char *__asan_default_options() { return "detect_odr_violation=1"; }

namespace pss_test {
namespace {

constexpr uint32_t kArg = 0x5eed0001u;
constexpr IdlCallResult kSyncResult{0xA1B2C3D4u, 0x77u};  // a middleware failure with a value
constexpr uint32_t kOnewayResult = 0x99u;

void Callback(IdlCallResult, void *, void *) {}

// What the call under test must hand over; the middleware checks it as it
// is called, while the blocks are still alive.
struct Expected {
    const MethodCase *pstCase;
    const void *pvReq;
    void *pvRsp, *pvUser;
    std::string tag;
    IdlMsgOps stOps;
} g_x;

int g_iHandle;
void *g_pvInvoke;              // what the lookup answers
int g_iFailCreate;             // the create to refuse, by order; -1 none
std::string g_trace;           // I lookup, C create, D destroy, S sync, A async, O one-way
std::vector<void *> g_blocks;  // created, in order
std::set<void *> g_live;       // created and neither destroyed nor handed over

void ExpectHandOver(const void *pvInvoke, const void *pvReq, const IdlMethodId *pstId,
                    const IdlMsgOps *pstOps) {
    const MethodCase &c = *g_x.pstCase;
    EXPECT_EQ(pvInvoke, &g_iHandle);
    ASSERT_TRUE(pstId && pstOps && pvReq);
    EXPECT_STREQ(pstId->pcServiceName, "PatchSdkService");
    EXPECT_EQ(pstId->pcMethodName, std::string("QOMA_PAT_") + c.pcOp);
    EXPECT_EQ(memcmp(pstOps, &g_x.stOps, sizeof *pstOps), 0);
    // A copy travels in the first block; without one, the caller's own record.
    EXPECT_EQ(pvReq, g_blocks.empty() ? g_x.pvReq : g_blocks[0]);
    EXPECT_EQ(memcmp(pvReq, g_x.pvReq, c.uiReqSize), 0);
}

// A record with every byte set from a pattern that differs per method,
// padding included, so that copies can be compared byte for byte.
struct Patterned {
    alignas(8) uint8_t auc[1024];
    Patterned(const MethodCase &c, int iSalt) {
        for (size_t i = 0; i < sizeof auc; ++i)
            auc[i] = uint8_t(i * 7 + c.uiNumber * 13 + size_t(iSalt));
    }
};

enum : unsigned { kNoHandle = 1, kNullReq = 2, kNullRsp = 4, kNullCb = 8, kNullUser = 16 };

struct Row {
    char cMethods;  // r: with a response, q: request only, *: all
    const char *pcWhat;
    char cFn;                // s: synchronous, a: _async, o: _oneway
    unsigned uFlags;         // what is missing
    int iFailCreate;         // the create the middleware refuses, by order; -1 none
    IdlCallResult stExpect;  // _async and _oneway: their result in uiStatus
    const char *pcTrace;     // the middleware calls, in order
};

const Row kRows[] = {
    {'r', "sync", 's', 0, -1, kSyncResult, "IS"},
    {'q', "sync", 's', 0, -1, kSyncResult, "ICSD"},
    {'*', "sync, no handle", 's', kNoHandle, -1, {0, 22}, "I"},
    {'*', "sync, null request", 's', kNullReq, -1, {0, 22}, "I"},
    {'r', "sync, null response", 's', kNullRsp, -1, {0, 22}, "I"},
    {'q', "sync, no block", 's', 0, 0, {0, 12}, "IC"},
    {'r', "async", 'a', 0, -1, {0, 0}, "ICCA"},
    {'q', "async", 'a', 0, -1, {0, 0}, "ICA"},
    {'r', "async, null user data", 'a', kNullUser, -1, {0, 0}, "ICCA"},
    {'q', "async, null user data", 'a', kNullUser, -1, {0, 0}, "ICA"},
    {'*', "async, no handle", 'a', kNoHandle, -1, {0, 22}, "I"},
    {'*', "async, null request", 'a', kNullReq, -1, {0, 22}, "I"},
    {'*', "async, no request block", 'a', 0, 0, {0, 12}, "IC"},
    {'r', "async, no response block", 'a', 0, 1, {0, 12}, "ICCD"},
    {'r', "async, null callback", 'a', kNullCb, -1, {0, 22}, "I"},
    {'q', "async without callback", 'a', kNullCb, -1, {0, kOnewayResult}, "IO"},
    {'q', "async without callback, no handle", 'a', kNullCb | kNoHandle, -1, {0, 22}, "I"},
    {'q', "async without callback, null request", 'a', kNullCb | kNullReq, -1, {0, 22}, "I"},
    {'q', "oneway", 'o', 0, -1, {0, kOnewayResult}, "IO"},
    {'q', "oneway, no handle", 'o', kNoHandle, -1, {0, 22}, "I"},
    {'q', "oneway, null request", 'o', kNullReq, -1, {0, 22}, "I"},
};

}  // namespace
}  // namespace pss_test

using namespace pss_test;

TEST_EXPORT void *RPC_GetRpcInvoke(RpcServerAddr *pstAddr, uint32_t uiInvokeArg) {
    g_trace += 'I';
    EXPECT_EQ(pstAddr, &g_stServerAddr_PatchSdkService);
    EXPECT_EQ(uiInvokeArg, kArg);
    return g_pvInvoke;
}

TEST_EXPORT void *RPC_IdlMsgCreate(uint32_t uiSize, uint32_t uiModuleId, const char *pcTag) {
    g_trace += 'C';
    // The request block, then the response block.
    EXPECT_EQ(uiSize, g_blocks.empty() ? g_x.pstCase->uiReqSize : g_x.pstCase->uiRspSize);
    EXPECT_EQ(uiModuleId, g_uiKelmModuleId);
    EXPECT_EQ(pcTag, g_x.tag);
    ++g_uiKelmModuleId;  // so that a later create or destroy shows whether it was read again
    if (static_cast<int>(g_blocks.size()) == g_iFailCreate) return nullptr;
    // Filled with a marker, so that a block handed over unfilled shows.
    void *pvBlock = memset(malloc(uiSize), 0xEE, uiSize);
    g_blocks.push_back(pvBlock);
    g_live.insert(pvBlock);
    return pvBlock;
}

TEST_EXPORT void RPC_IdlMsgDestroy(void *pvMsg, uint32_t uiModuleId, const char *pcTag) {
    g_trace += 'D';
    EXPECT_EQ(pvMsg, g_blocks.empty() ? nullptr : g_blocks[0]);  // only ever the request block
    EXPECT_EQ(uiModuleId, g_uiKelmModuleId);
    EXPECT_EQ(pcTag, g_x.tag);
    if (g_live.erase(pvMsg) == 1) free(pvMsg);
}

TEST_EXPORT IdlCallResult RPC_IdlMsgSyncCall(void *pvInvoke, const void *pvReq, void *pvRsp,
                                             const IdlMethodId *pstId, const IdlMsgOps *pstOps) {
    g_trace += 'S';
    ExpectHandOver(pvInvoke, pvReq, pstId, pstOps);
    EXPECT_EQ(pvRsp, g_x.pstCase->HasResponse() ? g_x.pvRsp : nullptr);
    return kSyncResult;
}

TEST_EXPORT uint32_t RPC_IdlMsgAsyncCall(IdlAsyncCall *pstCall) {
    g_trace += 'A';
    ExpectHandOver(pstCall->pvInvoke, pstCall->pvReq, pstCall->pstMethodId, pstCall->pstOps);
    const uint32_t uiRspSize = g_x.pstCase->uiRspSize;
    EXPECT_EQ(pstCall->pvRsp, uiRspSize != 0 && g_blocks.size() == 2 ? g_blocks[1] : nullptr);
    const uint8_t *pucRsp = static_cast<const uint8_t *>(pstCall->pvRsp);
    EXPECT_EQ(std::vector<uint8_t>(pucRsp, pucRsp + uiRspSize), std::vector<uint8_t>(uiRspSize, 0));
    EXPECT_EQ(pstCall->pfnCallback, &Callback);
    EXPECT_EQ(pstCall->pvUserData, g_x.pvUser);
    for (uintptr_t uiWord : pstCall->auiReserved) EXPECT_EQ(uiWord, 0u);
    for (void *pv : {pstCall->pvReq, pstCall->pvRsp}) {  // the blocks are ours now
        if (g_live.erase(pv) == 1) free(pv);
    }
    return 0x4B01u;  // a failure that is not the caller's business
}

TEST_EXPORT uint32_t RPC_IdlMsgOnewayCall(void *pvInvoke, const void *pvReq,
                                          const IdlMethodId *pstId, const IdlMsgOps *pstOps) {
    g_trace += 'O';
    ExpectHandOver(pvInvoke, pvReq, pstId, pstOps);
    return kOnewayResult;
}

namespace pss_test {
namespace {

class CallTest : public ::testing::TestWithParam<MethodCase> {
  protected:
    void SetUp() override {
        TakeLogs();
        C().pfnSetIdl(&stBound);
    }
    const MethodCase &C() const { return GetParam(); }

    Patterned stReq{GetParam(), 1}, stRsp{GetParam(), 0x40};
    IdlMsgOps stBound{};
};

// The codecs in their slots show end to end in the simulated service's tests.
TEST_P(CallTest, SetIdlBindsTheMethodsOwnCodecs) {
    IdlMsgOps stOps;
    memset(&stOps, 0xA5, sizeof stOps);
    C().pfnSetIdl(&stOps);
    C().pfnSetIdl(nullptr);  // ignored, not written through
    EXPECT_EQ(stOps.pfnReserved, nullptr);
    EXPECT_EQ(stOps.pfnUnpack != nullptr, C().HasResponse());
    EXPECT_EQ(stOps.pfnFreeUnpacked != nullptr, C().HasResponse());
    ASSERT_TRUE(stOps.pfnPack && stOps.pfnPackFixed && stOps.pfnFixedSize);
    EXPECT_EQ(stOps.pfnFixedSize(), C().uiFixedSize);
}

TEST_P(CallTest, EveryCallShapeHandsOverOrRefuses) {
    const MethodCase &c = C();
    int iUser;
    for (const Row &row : kRows) {
        if (row.cMethods != '*' && row.cMethods != (c.HasResponse() ? 'r' : 'q')) continue;
        SCOPED_TRACE(row.pcWhat);
        const void *pvReq = row.uFlags & kNullReq ? nullptr : stReq.auc;
        void *pvUser = row.uFlags & kNullUser ? nullptr : &iUser;
        g_x = {&c, pvReq, stRsp.auc, pvUser, c.Name() + (row.cFn == 'a' ? "_async" : ""), stBound};
        g_pvInvoke = row.uFlags & kNoHandle ? nullptr : &g_iHandle;
        g_iFailCreate = row.iFailCreate;
        g_trace.clear();
        g_blocks.clear();
        IdlCallResult stResult{};
        if (row.cFn == 's') {
            stResult = c.pfnSync(pvReq, row.uFlags & kNullRsp ? nullptr : stRsp.auc, kArg);
        } else if (row.cFn == 'a') {
            stResult.uiStatus =
                c.pfnAsync(pvReq, row.uFlags & kNullCb ? nullptr : Callback, pvUser, kArg);
        } else {
            stResult.uiStatus = c.pfnOneway(pvReq, kArg);
        }
        EXPECT_EQ(stResult.uiValue, row.stExpect.uiValue);
        EXPECT_EQ(stResult.uiStatus, row.stExpect.uiStatus);
        EXPECT_EQ(g_trace, row.pcTrace);
        EXPECT_TRUE(g_live.empty());       // every block destroyed or handed over
        for (void *pv : g_live) free(pv);  // a leak reported once, not again by later rows
        g_live.clear();
        // The caller's response is the middleware's to fill, never the agent's.
        EXPECT_EQ(memcmp(stRsp.auc, Patterned(c, 0x40).auc, sizeof stRsp.auc), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(AllMethods, CallTest, ::testing::ValuesIn(kMethodCases), CaseName);

TEST(Catalogue, ServerAddressStartsZeroWithTheServiceName) {
    for (uint8_t uc : g_stServerAddr_PatchSdkService.aucRpcPrivate) EXPECT_EQ(uc, 0);
    EXPECT_STREQ(g_stServerAddr_PatchSdkService.pcServiceName, "PatchSdkService");
}

}  // namespace
}  // namespace pss_test
