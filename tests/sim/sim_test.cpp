// Capture files and scripted answers of the simulated service, seen from a
// client: what lands in the capture directory, and what reaches the caller
// when a file answers for the service.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>

#include "agent/method_cases.h"
#include "middleware/kelm_rpc.h"
#include "platform/kelm/kelm_loopback.h"
#include "support/response_cases.h"

namespace pss_test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return {std::istreambuf_iterator<char>(in), {}};
}
void Spill(const fs::path &path, const Bytes &b) {
    std::ofstream(path, std::ios::binary) << std::string(b.begin(), b.end());
}
fs::path Dir(const char *pcVariable) { return getenv(pcVariable); }
void Clear(const fs::path &dir) {  // an earlier run's files
    for (const auto &entry : fs::directory_iterator(dir)) fs::remove_all(entry);
}
fs::path Captured(uint32_t uiCall, const char *pcOp, const char *pcKind) {
    char acName[96];
    snprintf(acName, sizeof acName, "%06u-%s-%s.bin", uiCall, pcOp, pcKind);
    return Dir("KELM_CAPTURE_DIR") / acName;
}

struct Request {
    alignas(8) uint8_t auc[1024] = {};
    Request(const MethodCase &c, uint32_t uiHead0) {
        std::mt19937 rng(uiHead0);
        FillRandom(*c.pstReqSchema, auc, rng, 0, nullptr);
        const uint32_t auiHead[] = {uiHead0, 0, 3};  // three elements in query answers
        memcpy(auc, auiHead, 4);
        memcpy(auc + offsetof(QOMA_PAT_STOP_PLUGIN_REQ, uiHead2), auiHead + 2, 4);
    }
};

const ResponseCase &ResponseOf(const MethodCase &c) {  // a stand-in record for one-way methods
    return ResponseNamed(c.HasResponse() ? c.pcRsp : "QOMA_PAT_ACTIVE_RSP");
}

// A decoded response as bytes: the record without its array pointer, then the array.
Bytes Flat(const ResponseCase &rc, const AnyRecord &r) {
    Bytes b = r.Copy(), e = r.Elements();
    if (rc.HasVector()) memset(b.data() + rc.Slot5()->usAux, 0, sizeof(void *));
    b.insert(b.end(), e.begin(), e.end());
    return b;
}

// Every call of every method, in both layouts: the request image byte for byte
// as the encoders write it, the answer decoding to what the caller got.
TEST(Capture, EveryCallLeavesItsImages) {
    Clear(Dir("KELM_CAPTURE_DIR"));
    uint32_t uiCall = 0;
    for (uint32_t uiLayout : {0u, unsigned{KELM_LOOPBACK_FIXED_LAYOUT}}) {
        for (const MethodCase &c : kMethodCases) {
            SCOPED_TRACE(testing::Message() << c.pcOp << " layout " << uiLayout);
            const Request q(c, ++uiCall);
            Bytes image(uiLayout != 0 ? c.uiFixedSize : c.pfnRefPack(nullptr, q.auc));
            uint32_t uiSize = uint32_t(image.size());
            const SerialBufDesc stBuf = {image.data(), &uiSize};
            uiLayout != 0 ? c.pfnRefPackFixed(image.data(), q.auc) : c.pfnRefPack(&stBuf, q.auc);
            const ResponseCase &rc = ResponseOf(c);
            AnyRecord got(rc), read(rc);
            ASSERT_EQ(c.pfnSync(q.auc, got.Bytes(), uiLayout).uiStatus, KELM_OK);
            EXPECT_EQ(Slurp(Captured(uiCall, c.pcOp, "request")), image);
            if (!c.HasResponse()) {
                EXPECT_FALSE(fs::exists(Captured(uiCall, c.pcOp, "response")));
                continue;
            }
            const Bytes answer = Slurp(Captured(uiCall, c.pcOp, "response"));
            ASSERT_NE(rc.pfnUnpack(answer.data(), int32_t(answer.size()), read.Bytes()), nullptr);
            EXPECT_EQ(Flat(rc, read), Flat(rc, got));
            rc.pfnFree(got.Bytes()), rc.pfnFree(read.Bytes());
        }
    }
    // From worker threads: one number per call, each used once.
    const IdlAsyncCallback pfnIgnore = [](IdlCallResult, void *, void *) {};
    for (const MethodCase &c : kMethodCases) c.pfnAsync(Request(c, 1).auc, pfnIgnore, nullptr, 0);
    KelmLoopback_Drain();
    // A caller's method name cannot lead the file out of the directory.
    const IdlMethodId stOdd = {"PatchSdkService", "../QOMA_PAT_x/y"};
    IdlMsgOps stOps;
    kMethodCases[0].pfnSetIdl(&stOps);
    const Request q(kMethodCases[0], 1);
    void *pvInvoke = RPC_GetRpcInvoke(&g_stServerAddr_PatchSdkService, 0);
    EXPECT_EQ(RPC_IdlMsgSyncCall(pvInvoke, q.auc, nullptr, &stOdd, &stOps).uiStatus,
              KELM_ERR_BAD_REQUEST);
    std::multiset<unsigned long> calls;  // every number used, each by one call's files
    for (const auto &e : fs::directory_iterator(Dir("KELM_CAPTURE_DIR")))
        calls.insert(std::stoul(e.path().filename()));
    EXPECT_EQ(std::set(calls.begin(), calls.end()).size(), 3 * 13u + 1);
    EXPECT_EQ(calls.size(), 3 * (13u + 10) + 1);
    EXPECT_TRUE(fs::exists(Captured(3 * 13 + 1, "___QOMA_PAT_x_y", "request")));
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
#ifdef SIM_JSON_ANSWERS
#define SIM_JSON(status, head, err) status, head, err
#else
#define SIM_JSON(status, head, err) KELM_ERR_ANSWER, 0, "not supported"
#endif
const AnswerCase kAnswers[] = {
    {"none", kNone, -1, false, "", KELM_OK, 42, ""},
    {"bin", kBin, -1, false, "", KELM_OK, 1, ""},
    {"bin, root past the end", kBin, -1, true, "", KELM_ERR_BAD_ANSWER, 0, ""},
    {"bin, truncated", kBin, 10, false, "", KELM_ERR_BAD_ANSWER, 0, ""},
    {"bin, empty", kBin, 0, false, "", KELM_ERR_BAD_ANSWER, 0, ""},
    {"bin, a directory", kDir, -1, false, "", KELM_ERR_ANSWER, 0, "not a regular file"},
    {"both", kBoth, -1, false, "", KELM_ERR_ANSWER, 0, "both exist"},
    {"json", kJson, 0, false, R"({"uiHead0": 7, "uiInfoNum": 1, "pstInfo": [{"acField0": "j"}]})",
     SIM_JSON(KELM_OK, 7, "")},
    {"json, unknown member", kJson, 0, false, R"({"uiInfoNum": 1, "pstInfo": [{"acFieldX": ""}]})",
     SIM_JSON(KELM_ERR_ANSWER, 0, "pstInfo[0].acFieldX")},
    {"json, malformed", kJson, 0, false, "{", KELM_ERR_ANSWER, 0, "QueryErrorInfo.json"},
};

TEST(Answers, FromFilesAsTheyAre) {
    const MethodCase &c = kMethodCases[3];
    const ResponseCase &rc = ResponseNamed(c.pcRsp);
    const fs::path bin = Dir("KELM_SIM_ANSWERS") / "QueryErrorInfo.bin",
                   json = Dir("KELM_SIM_ANSWERS") / "QueryErrorInfo.json";
    fs::create_directories(Dir("KELM_SIM_ANSWERS"));
    Clear(Dir("KELM_CAPTURE_DIR")), Clear(Dir("KELM_SIM_ANSWERS"));
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
        testing::internal::CaptureStderr();
        const IdlCallResult r = c.pfnSync(Request(c, 42).auc, got.Bytes(), 0);
        const std::string err = testing::internal::GetCapturedStderr();
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
}

TEST(Unwritable, ReportedOnceWhileCallsGoOn) {
    testing::internal::CaptureStderr();
    for (const MethodCase &c : kMethodCases) {
        AnyRecord rsp(ResponseOf(c));
        EXPECT_EQ(c.pfnSync(Request(c, 1).auc, rsp.Bytes(), 0).uiStatus, KELM_OK) << c.pcOp;
        if (c.HasResponse()) ResponseOf(c).pfnFree(rsp.Bytes());
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot write /dev/null/capture/000001-Active-request.bin"), err.npos)
        << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
}

}  // namespace
}  // namespace pss_test
