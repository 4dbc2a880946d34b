// The thirteen methods as a caller sees them, written out independently of
// the agent's own list: what each exported function is called, which records
// it takes, and which codecs its IdlMsgOps must carry.
#ifndef PSS_TEST_METHOD_CASES_H
#define PSS_TEST_METHOD_CASES_H

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <ostream>
#include <string>
#include <vector>

#include "messages/codecs.h"
#include "messages/schemas.h"
#include "patch_sdk_service_agent.h"

namespace pss_test {

struct MethodCase {
    uint32_t uiNumber;  // catalogue order, 1 to 13
    const char *pcOp;   // the method name after "QOMA_PAT_"
    const char *pcReq;  // request record
    const char *pcRsp;  // response record; null without a response
    size_t uiReqSize;
    size_t uiRspSize;
    uint32_t uiFixedSize;
    bool bRspHasArray;    // the decoder allocates pstInfo
    size_t uiInfoOffset;  // of pstInfo, when there is one
    void (*pfnSetIdl)(IdlMsgOps *pstOps);
    IdlCallResult (*pfnSync)(const void *pvReq, void *pvRsp,
                             uint32_t uiArg);  // ignores pvRsp without a response
    uint32_t (*pfnAsync)(const void *pvReq, IdlAsyncCallback pfnCb, void *pvUser, uint32_t uiArg);
    uint32_t (*pfnOneway)(const void *pvReq, uint32_t uiArg);         // null with a response
    uint32_t (*pfnRefPackFixed)(uint8_t *pucBuf, const void *pvReq);  // the test's own codec copy
    uint32_t (*pfnRefPack)(const SerialBufDesc *pstBuf, const void *pvReq);
    const korvo::TableDesc *pstReqSchema;
    const korvo::TableDesc *pstRspSchema;  // null without a response

    bool HasResponse() const { return pcRsp != nullptr; }
    std::string Name() const { return std::string("PatchSdkService_QOMA_PAT_") + pcOp; }
};

inline std::ostream &operator<<(std::ostream &os, const MethodCase &stCase) {
    return os << stCase.pcOp;
}

template <class R>
constexpr size_t InfoOffset() {
    if constexpr (requires { R::pstInfo; }) {
        return offsetof(R, pstInfo);
    } else {
        return 0;
    }
}

#define PSS_CASE_REQ_RSP(N, Op, Req, Rsp, Fixed, Array)                                         \
    {                                                                                           \
        N, #Op, #Req, #Rsp, sizeof(Req), sizeof(Rsp), Fixed, Array, InfoOffset<Rsp>(),          \
            PatchSdkService_QOMA_PAT_##Op##SetIdl,                                              \
            [](const void *q, void *r, uint32_t a) {                                            \
                return PatchSdkService_QOMA_PAT_##Op(static_cast<const Req *>(q),               \
                                                     static_cast<Rsp *>(r), a);                 \
            },                                                                                  \
            [](const void *q, IdlAsyncCallback c, void *u, uint32_t a) {                        \
                return PatchSdkService_QOMA_PAT_##Op##_async(static_cast<const Req *>(q), c, u, \
                                                             a);                                \
            },                                                                                  \
            nullptr, Req##_pack_fixed, Req##_pack, &korvo::Schema<Req>::kTable,                 \
            &korvo::Schema<Rsp>::kTable                                                         \
    }
#define PSS_CASE_REQ_ONLY(N, Op, Req, Fixed)                                                    \
    {                                                                                           \
        N, #Op, #Req, nullptr, sizeof(Req), 0, Fixed, false, 0,                                 \
            PatchSdkService_QOMA_PAT_##Op##SetIdl,                                              \
            [](const void *q, void *, uint32_t a) {                                             \
                return PatchSdkService_QOMA_PAT_##Op(static_cast<const Req *>(q), a);           \
            },                                                                                  \
            [](const void *q, IdlAsyncCallback c, void *u, uint32_t a) {                        \
                return PatchSdkService_QOMA_PAT_##Op##_async(static_cast<const Req *>(q), c, u, \
                                                             a);                                \
            },                                                                                  \
            [](const void *q, uint32_t a) {                                                     \
                return PatchSdkService_QOMA_PAT_##Op##_oneway(static_cast<const Req *>(q), a);  \
            },                                                                                  \
            Req##_pack_fixed, Req##_pack, &korvo::Schema<Req>::kTable, nullptr                  \
    }

inline const MethodCase kMethodCases[] = {
    PSS_CASE_REQ_RSP(1, Active, QOMA_PAT_ACTIVE_REQ, QOMA_PAT_ACTIVE_RSP, 520, false),
    PSS_CASE_REQ_RSP(2, QueryStateInfo, QOMA_PAT_STATE_QUERY_REQ, QOMA_PAT_STATE_QUERY_RSP, 296,
                     true),
    PSS_CASE_REQ_RSP(3, QueryAppRegInfo, QOMA_PAT_APP_QUERY_REQ, QOMA_PAT_APP_QUERY_RSP, 64, false),
    PSS_CASE_REQ_RSP(4, QueryErrorInfo, QOMA_PAT_ERROR_QUERY_REQ, QOMA_PAT_ERROR_QUERY_RSP, 64,
                     true),
    PSS_CASE_REQ_RSP(5, QueryMangInfo, QOMA_PAT_MANG_QUERY_REQ, QOMA_PAT_MANG_QUERY_RSP, 248,
                     false),
    PSS_CASE_REQ_RSP(6, QueryInstInfo, QOMA_PAT_INST_QUERY_REQ, QOMA_PAT_INST_QUERY_RSP, 248, true),
    PSS_CASE_REQ_RSP(7, QueryDescInfo, QOMA_PAT_DESC_QUERY_REQ, QOMA_PAT_DESC_QUERY_RSP, 248, true),
    PSS_CASE_REQ_RSP(8, UpdatePkgInstCfg, QOMA_PAT_UPDATE_PKG_INST_CFG_REQ, QOMA_PAT_APPCOMMON_RSP,
                     840, false),
    PSS_CASE_REQ_RSP(9, UpdatePkgName, QOMA_PAT_UPDATE_PKG_NAME_REQ, QOMA_PAT_APPCOMMON_RSP, 736,
                     false),
    PSS_CASE_REQ_RSP(10, HealthCheck, QOMA_PAT_HEALTH_CHECK_REQ, QOMA_PAT_APPCOMMON_RSP, 216,
                     false),
    PSS_CASE_REQ_ONLY(11, StopPlugin, QOMA_PAT_STOP_PLUGIN_REQ, 40),
    PSS_CASE_REQ_ONLY(12, ProcAsyncActiveResult, QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ, 40),
    PSS_CASE_REQ_ONLY(13, ProcAsyncC2HResult, QOMA_PAT_ASYNC_C2H_RESULT_REQ, 80),
};

#undef PSS_CASE_REQ_RSP
#undef PSS_CASE_REQ_ONLY

// The methods with a response, or those without one.
inline std::vector<MethodCase> CasesWithResponse(bool bResponse) {
    std::vector<MethodCase> cases;
    for (const MethodCase &c : kMethodCases) {
        if (c.HasResponse() == bResponse) cases.push_back(c);
    }
    return cases;
}

inline std::string CaseName(const ::testing::TestParamInfo<MethodCase> &info) {
    return info.param.pcOp;
}

// A request record with every byte set from a pattern that differs per
// method, padding included, so that copies can be compared byte for byte.
struct PatternedRecord {
    alignas(8) uint8_t aucBytes[1024];

    explicit PatternedRecord(const MethodCase &stCase, uint8_t ucSalt = 0) {
        for (size_t i = 0; i < sizeof aucBytes; ++i) {
            aucBytes[i] = static_cast<uint8_t>(i * 7 + stCase.uiNumber * 13 + ucSalt + 1);
        }
    }
    void *Get() { return aucBytes; }
};

}  // namespace pss_test

#endif
