// End to end through the loopback middleware and its simulated service, seen
// from a client: every method through every family with compact and
// fixed-layout images, the capture files the calls leave, calls in flight
// from two threads, answers scripted from files, and a capture directory
// that cannot be written. The codec tests prove the bytes; here the service's
// trace, the capture and the answer show that the caller's request reached it
// whole and that the answer came back.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "agent/method_cases.h"
#include "middleware/kelm_rpc.h"
#include "patch_sdk_service_agent.hpp"
#include "sim/kelm_loopback.h"
#include "support/call_outcome.h"
#include "support/os_layer.h"
#include "support/response_cases.h"

namespace pss_test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t kFixed = KELM_LOOPBACK_FIXED_LAYOUT;

Bytes Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return {std::istreambuf_iterator<char>(in), {}};
}
void Spill(const fs::path &path, const Bytes &b) {
    std::ofstream(path, std::ios::binary) << std::string(b.begin(), b.end());
}
fs::path Dir(const char *pcVariable = "KELM_CAPTURE_DIR") { return getenv(pcVariable); }
void Clear(const fs::path &dir) {  // an earlier run's files
    for (const auto &entry : fs::directory_iterator(dir)) fs::remove_all(entry);
}
fs::path Captured(uint32_t uiCall, const char *pcOp, const char *pcKind) {
    char acName[96];
    snprintf(acName, sizeof acName, "%06u-%s-%s.bin", uiCall, pcOp, pcKind);
    return Dir() / acName;
}

// Random fields, now and then 0 and so left out of the compact image, with the
// padding zero as the service's checksum needs; uiHead0 as given (the service
// echoes it) and uiHead2 3, for three elements in query answers.
struct Request {
    alignas(8) uint8_t auc[1024] = {};
    const MethodCase &c;
    Request(const MethodCase &stCase, uint32_t uiHead0) : c(stCase) {
        std::mt19937 rng(uiHead0);
        FillRandom(*c.pstReqSchema, auc, rng, 0, nullptr);
        const uint32_t auiHead[] = {uiHead0, 0, 3};
        memcpy(auc, auiHead, 4);
        memcpy(auc + offsetof(QOMA_PAT_STOP_PLUGIN_REQ, uiHead2), auiHead + 2, 4);
    }
    uint32_t Checksum() const { return KelmLoopback_Checksum(auc, c.uiReqSize); }
    Bytes Image(uint32_t uiLayout) const {  // as the encoders write it
        Bytes image(uiLayout != 0 ? c.uiFixedSize : c.pfnRefPack(nullptr, auc));
        uint32_t uiSize = uint32_t(image.size());
        const SerialBufDesc stBuf = {image.data(), &uiSize};
        uiLayout != 0 ? c.pfnRefPackFixed(image.data(), auc) : c.pfnRefPack(&stBuf, auc);
        return image;
    }
};

const ResponseCase &ResponseOf(const MethodCase &c) {  // a stand-in record for one-way methods
    return ResponseNamed(c.HasResponse() ? c.pcRsp : "QOMA_PAT_ACTIVE_RSP");
}

// A decoded response as bytes: the record without its array pointer, then the array.
Bytes Flat(const ResponseCase &rc, const AnyRecord &r) {
    Bytes b = r.Copy(), e = r.Elements();
    if (rc.HasVector()) memset(b.data() + rc.Slot5()->usPointerOffset, 0, sizeof(void *));
    b.insert(b.end(), e.begin(), e.end());
    return b;
}

// What fn writes to stderr, through any stream or descriptor.
template <class F>
std::string Stderr(F fn) {
    FILE *pstFile = tmpfile();
    const int iSaved = dup(2);
    EXPECT_TRUE(pstFile != nullptr && fflush(stderr) == 0 && dup2(fileno(pstFile), 2) == 2);
    fn();
    fflush(stderr);
    dup2(iSaved, 2), close(iSaved);
    std::string text(static_cast<size_t>(ftell(pstFile)), '\0');
    rewind(pstFile);
    text.resize(fread(text.data(), 1, text.size(), pstFile));
    fclose(pstFile);
    return text;
}

void ExpectAllGivenBack() {
    KelmLoopback_Drain();
    EXPECT_EQ(KelmLoopback_LiveBlocks(), 0u);
    EXPECT_EQ(LiveAllocations(), 0u);  // every decoded array released
}

// s: synchronous, a: _async, o: _oneway, n: _async without a callback. Every
// call takes the next capture number: a call made twice or not at all shows.
TEST(Capture, EveryFamilyOfEveryMethodWithBothImages) {
    Clear(Dir());
    uint32_t uiCall = 0;
    for (const uint32_t uiLayout : {0u, kFixed}) {
        for (const MethodCase &c : kMethodCases) {
            for (const char cFn : std::string(c.HasResponse() ? "sa" : "saon")) {
                SCOPED_TRACE(testing::Message() << c.pcOp << " " << cFn << " layout " << uiLayout);
                const Request q(c, ++uiCall);
                const ResponseCase &rc = ResponseOf(c);
                AnyRecord got(rc, 0xCD);
                CallOutcome o;
                if (cFn == 's') {
                    OnComplete(c.pfnSync(q.auc, got.Bytes(), uiLayout),
                               c.HasResponse() ? got.Bytes() : nullptr, &o);
                } else if (cFn == 'a') {
                    EXPECT_EQ(c.pfnAsync(q.auc, OnComplete, &o, uiLayout), 0u);
                    KelmLoopback_Drain();
                    EXPECT_TRUE(o.bCalled);
                } else {
                    o.stResult.uiStatus = cFn == 'o'
                                              ? c.pfnOneway(q.auc, uiLayout)
                                              : c.pfnAsync(q.auc, nullptr, nullptr, uiLayout);
                }
                KelmLoopbackTrace stTrace;
                KelmLoopback_LastRequest(&stTrace);
                EXPECT_EQ(stTrace.uiMethod, c.uiNumber);
                EXPECT_EQ(stTrace.uiChecksum, q.Checksum());  // it decoded the caller's record
                const Bytes image = q.Image(uiLayout);
                EXPECT_EQ(Slurp(Captured(uiCall, c.pcOp, "request")), image);
                EXPECT_EQ(o.stResult.uiStatus, KELM_OK);
                if (cFn == 's' || cFn == 'a') {
                    EXPECT_EQ(o.stResult.uiValue, image.size());
                }
                const fs::path answer = Captured(uiCall, c.pcOp, "response");
                ASSERT_EQ(o.head.has_value(), c.HasResponse());
                EXPECT_EQ(fs::exists(answer), c.HasResponse());
                if (!o.head) continue;
                EXPECT_EQ(o.head->uiHead2, c.uiNumber);  // the answer to this very request
                EXPECT_EQ(o.head->uiHead4, q.Checksum());
                if (cFn != 's') continue;
                // The captured answer decodes to what the caller got, whose
                // array goes back through the method's own release.
                EXPECT_EQ(LiveAllocations(), c.bArray ? 1u : 0u);
                const Bytes bytes = Slurp(answer);
                AnyRecord read(rc);
                ASSERT_NE(rc.pfnUnpack(bytes.data(), int32_t(bytes.size()), read.Bytes()), nullptr);
                EXPECT_EQ(Flat(rc, read), Flat(rc, got));
                TakeFrees();
                rc.pfnFree(got.Bytes()), rc.pfnFree(read.Bytes());
                for (const FreeRecord &stFree : TakeFrees()) EXPECT_EQ(stFree.tag, rc.FreeTag());
            }
        }
    }
    // A caller's method name cannot lead the file out of the directory.
    const IdlMethodId stOdd = {"PatchSdkService", "../QOMA_PAT_x/y"};
    IdlMsgOps stOps;
    kMethodCases[0].pfnSetIdl(&stOps);
    void *pvInvoke = RPC_GetRpcInvoke(&g_stServerAddr_PatchSdkService, 0);
    EXPECT_EQ(RPC_IdlMsgSyncCall(pvInvoke, Request(kMethodCases[0], 1).auc, nullptr, &stOdd, &stOps)
                  .uiStatus,
              KELM_ERR_BAD_REQUEST);
    EXPECT_TRUE(fs::exists(Captured(uiCall + 1, "___QOMA_PAT_x_y", "request")));
    // A call without a method is refused, in every family.
    const IdlMethodId stNoName = {"PatchSdkService", nullptr};
    for (const IdlMethodId *pstId : {static_cast<const IdlMethodId *>(nullptr), &stNoName}) {
        const Request stReq(kMethodCases[0], 2);
        EXPECT_EQ(RPC_IdlMsgSyncCall(pvInvoke, stReq.auc, nullptr, pstId, &stOps).uiStatus,
                  KELM_ERR_BAD_CALL);
        EXPECT_EQ(RPC_IdlMsgOnewayCall(pvInvoke, stReq.auc, pstId, &stOps), KELM_ERR_BAD_CALL);
    }
    ExpectAllGivenBack();
}

// Many calls in flight from two caller threads, each completing on a worker
// of its own with the answer to its own request, under a number of its own.
TEST(Capture, AsyncCallsOfEveryMethodFromTwoThreads) {
    Clear(Dir());
    std::vector<Request> requests;
    std::vector<CallOutcome> done(4 * std::size(kMethodCases));
    for (uint32_t i = 0; i < done.size(); ++i)
        requests.emplace_back(kMethodCases[i % std::size(kMethodCases)], i);
    auto caller = [&](size_t i) {
        for (; i < done.size(); i += 2) {
            const MethodCase &c = requests[i].c;
            EXPECT_EQ(c.pfnAsync(requests[i].auc, OnComplete, &done[i], i / 2 % 2 * kFixed), 0u);
        }
    };
    std::thread first(caller, 0), second(caller, 1);
    first.join();
    second.join();
    KelmLoopback_Drain();
    for (size_t i = 0; i < done.size(); ++i) {
        const CallOutcome &o = done[i];
        EXPECT_TRUE(o.bCalled && o.stResult.uiStatus == KELM_OK) << i;
        const uint32_t uiSum = requests[i].c.HasResponse() ? requests[i].Checksum() : 0;
        EXPECT_EQ(o.head ? o.head->uiHead4 : 0, uiSum) << i;  // the answer to its own request
    }
    std::multiset<unsigned long> calls;  // every number used, each by one call's files
    for (const auto &e : fs::directory_iterator(Dir()))
        calls.insert(std::stoul(e.path().filename()));
    EXPECT_EQ(std::set(calls.begin(), calls.end()).size(), done.size());
    EXPECT_EQ(calls.size(), 4 * (13u + 10));
    ExpectAllGivenBack();
}

// Answers of QueryErrorInfo. A .bin holds iKeep bytes (-1: all) of a first
// answer of the service's own, its root offset past the end if bPastEnd.
enum File { kNone, kBin, kJson, kDir, kBoth };
struct AnswerCase {
    const char *pcWhat;
    File eFile;
    int iKeep;
    bool bPastEnd;
    const char *pcJson;
    uint32_t uiStatus, uiHead0;  // uiHead0 of the caller's response
    const char *pcStderr;        // part of what stderr says
};
const AnswerCase kAnswers[] = {
    {"none", kNone, -1, false, "", KELM_OK, 42, ""},
    {"bin", kBin, -1, false, "", KELM_OK, 1, ""},
    {"bin, root past the end", kBin, -1, true, "", KELM_ERR_BAD_ANSWER, 0, ""},
    {"bin, truncated", kBin, 10, false, "", KELM_ERR_BAD_ANSWER, 0, ""},
    {"bin, empty", kBin, 0, false, "", KELM_ERR_BAD_ANSWER, 0, ""},
    {"bin, a directory", kDir, -1, false, "", KELM_ERR_ANSWER, 0, "not a regular file"},
    {"both", kBoth, -1, false, "", KELM_ERR_ANSWER, 0, "both exist"},
    {"json", kJson, 0, false, R"({"uiHead0": 7, "uiInfoNum": 1, "pstInfo": [{"acField0": "j"}]})",
     KELM_OK, 7, ""},
    {"json, unknown member", kJson, 0, false, R"({"uiInfoNum": 1, "pstInfo": [{"acFieldX": ""}]})",
     KELM_ERR_ANSWER, 0, "pstInfo[0].acFieldX"},
    {"json, malformed", kJson, 0, false, "{", KELM_ERR_ANSWER, 0, "QueryErrorInfo.json"},
};

TEST(Answers, FromFilesAsTheyAre) {
    const MethodCase &c = kMethodCases[3];
    const ResponseCase &rc = ResponseNamed(c.pcRsp);
    const fs::path bin = Dir("KELM_SIM_ANSWERS") / "QueryErrorInfo.bin",
                   json = Dir("KELM_SIM_ANSWERS") / "QueryErrorInfo.json";
    fs::create_directories(Dir("KELM_SIM_ANSWERS"));
    Clear(Dir()), Clear(Dir("KELM_SIM_ANSWERS"));
    AnyRecord first(rc);
    ASSERT_EQ(c.pfnSync(Request(c, 1).auc, first.Bytes(), 0).uiStatus, KELM_OK);
    rc.pfnFree(first.Bytes());
    const Bytes good = Slurp(Captured(1, c.pcOp, "response"));
    uint32_t uiCall = 1;
    for (const AnswerCase &a : kAnswers) {
        SCOPED_TRACE(a.pcWhat);
        fs::remove_all(bin), fs::remove_all(json);
        Bytes given(good.begin(), a.iKeep < 0 ? good.end() : good.begin() + a.iKeep);
        if (a.bPastEnd) given[0] = uint8_t(given.size()), given[1] = uint8_t(given.size() >> 8);
        if (a.eFile == kJson) given.assign(a.pcJson, a.pcJson + strlen(a.pcJson));
        if (a.eFile == kBin || a.eFile == kBoth) Spill(bin, given);
        if (a.eFile == kJson || a.eFile == kBoth) Spill(json, given);
        if (a.eFile == kDir) fs::create_directory(bin);
        AnyRecord got(rc);
        IdlCallResult r;
        const std::string err = Stderr([&] { r = c.pfnSync(Request(c, 42).auc, got.Bytes(), 0); });
        EXPECT_EQ(r.uiStatus, a.uiStatus);
        EXPECT_EQ(err.empty(), *a.pcStderr == '\0') << err;
        EXPECT_NE(err.find(a.pcStderr), std::string::npos) << err;
        EXPECT_EQ(*reinterpret_cast<uint32_t *>(got.Bytes()), a.uiHead0);  // 0 when refused
        rc.pfnFree(got.Bytes());
        // What reached the decoder is exactly what the file holds.
        const fs::path sent = Captured(++uiCall, c.pcOp, "response");
        EXPECT_EQ(a.eFile == kBin ? Slurp(sent) : given, given);
        EXPECT_EQ(fs::exists(sent), a.uiStatus != KELM_ERR_ANSWER);
    }
    // Through the C++ layer, an answer that fails after its head was decoded
    // leaves a cleared record, not what the decoder had filled.
    fs::remove_all(bin), fs::remove_all(json);
    Spill(bin, Bytes(good.begin(), good.end() - 1));
    const auto r = pss::call<pss::method::QueryErrorInfo>(QOMA_PAT_ERROR_QUERY_REQ{});
    EXPECT_EQ(r.status().uiStatus, KELM_ERR_BAD_ANSWER);
    EXPECT_EQ((*r)->uiHead0, 0u);
}

// Against the demo's trace (13 synchronous calls, 13 asynchronous, 3 one-way,
// then the damaged answer): each method's calls take the demo's in turn,
// whatever their family; every request here differs from the demo's.
struct ReplayStep {
    uint32_t uiCase;
    char cFn;  // s: synchronous, a: _async, o: _oneway
    uint32_t uiStatus, uiHead0;
    const char *pcStderr;  // the one line it says
};
const ReplayStep kReplay[] = {
    {0, 's', KELM_OK, 1000,
     "QOMA_PAT_Active call 1 (call 1 of the trace): the request differs from the recorded one: "
     "byte "},
    {0, 'a', KELM_OK, 1000, "QOMA_PAT_Active call 2 (call 14 of the trace)"},
    {0, 's', KELM_ERR_REPLAY, 0,
     "QOMA_PAT_Active call 3: the trace holds 2 calls of the method; the call fails with 0x4B07"},
    {3, 'a', KELM_OK, 4000, "QOMA_PAT_QueryErrorInfo call 1 (call 4 of the trace)"},
    {3, 's', KELM_OK, 4000, "QOMA_PAT_QueryErrorInfo call 2 (call 17 of the trace)"},
    // The damaged answer is refused again, with the status recorded.
    {3, 's', KELM_ERR_BAD_ANSWER, 0, "QOMA_PAT_QueryErrorInfo call 3 (call 30 of the trace)"},
    {10, 'o', KELM_OK, 0, "QOMA_PAT_StopPlugin call 1 (call 11 of the trace)"},
};

TEST(Replay, EachMethodsCallsInTurn) {
    for (const ReplayStep &r : kReplay) {
        const MethodCase &c = kMethodCases[r.uiCase];
        SCOPED_TRACE(testing::Message() << c.pcOp << " " << r.cFn);
        AnyRecord got(ResponseOf(c));
        CallOutcome o;
        testing::internal::CaptureStderr();
        if (r.cFn == 's') {
            OnComplete(c.pfnSync(Request(c, 1).auc, got.Bytes(), 0),
                       c.HasResponse() ? got.Bytes() : nullptr, &o);
        } else if (r.cFn == 'a') {
            EXPECT_EQ(c.pfnAsync(Request(c, 1).auc, OnComplete, &o, 0), 0u);
            KelmLoopback_Drain();
        } else {
            o.stResult.uiStatus = c.pfnOneway(Request(c, 1).auc, 0);
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(o.stResult.uiStatus, r.uiStatus);
        EXPECT_EQ(o.head ? o.head->uiHead0 : 0, r.uiHead0);
        if (r.cFn == 's' && c.HasResponse()) ResponseOf(c).pfnFree(got.Bytes());
        EXPECT_NE(err.find(r.pcStderr), err.npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
    ExpectAllGivenBack();
}

TEST(Unwritable, ReportedOnceWhileCallsGoOn) {
    const std::string err = Stderr([] {
        for (const MethodCase &c : kMethodCases) {
            AnyRecord rsp(ResponseOf(c));
            EXPECT_EQ(c.pfnSync(Request(c, 1).auc, rsp.Bytes(), 0).uiStatus, KELM_OK) << c.pcOp;
            if (c.HasResponse()) ResponseOf(c).pfnFree(rsp.Bytes());
        }
    });
    EXPECT_NE(err.find("cannot write /dev/null/capture/000001-Active-request.bin"), err.npos)
        << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
}

}  // namespace
}  // namespace pss_test
