// The thirteen methods as a caller sees them, written out independently of
// the agent's own list: the exported functions, the records they take and
// what the method's IdlMsgOps must carry.
#ifndef PSS_TEST_METHOD_CASES_H
#define PSS_TEST_METHOD_CASES_H

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "messages/codecs.h"
#include "messages/schemas.h"
#include "patch_sdk_service_agent.h"

namespace pss_test {

struct MethodCase {
    uint32_t uiNumber;  // catalogue order, 1 to 13
    const char *pcOp;   // the method name after "QOMA_PAT_"
    const char *pcRsp;  // the response record's name, null without one
    uint32_t uiReqSize, uiRspSize, uiFixedSize;
    bool bArray;  // the decoder allocates an array inside the response
    void (*pfnSetIdl)(IdlMsgOps *pstOps);
    // pvRsp is not passed on without a response; pfnOneway is null with one.
    IdlCallResult (*pfnSync)(const void *pvReq, void *pvRsp, uint32_t uiArg);
    uint32_t (*pfnAsync)(const void *pvReq, IdlAsyncCallback pfnCb, void *pvUser, uint32_t uiArg);
    uint32_t (*pfnOneway)(const void *pvReq, uint32_t uiArg);
    // The test's own copies of the request encoders.
    uint32_t (*pfnRefPackFixed)(uint8_t *pucBuf, const void *pvReq);
    uint32_t (*pfnRefPack)(const SerialBufDesc *pstBuf, const void *pvReq);
    const korvo::TableDesc *pstReqSchema;

    bool HasResponse() const { return pcRsp != nullptr; }
    std::string Name() const { return std::string("PatchSdkService_QOMA_PAT_") + pcOp; }
};

inline void PrintTo(const MethodCase &c, std::ostream *pOs) { *pOs << c.pcOp; }
inline std::string CaseName(const ::testing::TestParamInfo<MethodCase> &info) {
    return info.param.pcOp;
}

// Whether the decoder allocates an array (pstInfo) inside the response.
template <class R>
constexpr bool kHasArray = requires {
    R::pstInfo;
};

#define PSS_CASE(N, Op, Req, Rsp, RspSize, Info, Fixed, Sync, Oneway)                           \
    {                                                                                           \
        N, #Op, Rsp, sizeof(Req), RspSize, Fixed, Info, PatchSdkService_QOMA_PAT_##Op##SetIdl,  \
            Sync,                                                                               \
            [](const void *q, IdlAsyncCallback c, void *u, uint32_t a) {                        \
                return PatchSdkService_QOMA_PAT_##Op##_async(static_cast<const Req *>(q), c, u, \
                                                             a);                                \
            },                                                                                  \
            Oneway, Req##_pack_fixed, Req##_pack, &korvo::Schema<Req>::kTable                   \
    }
#define PSS_CASE_REQ_RSP(N, Op, Req, Rsp, Fixed)                                   \
    PSS_CASE(N, Op, Req, #Rsp, sizeof(Rsp), kHasArray<Rsp>, Fixed,                 \
             ([](const void *q, void *r, uint32_t a) {                             \
                 return PatchSdkService_QOMA_PAT_##Op(static_cast<const Req *>(q), \
                                                      static_cast<Rsp *>(r), a);   \
             }),                                                                   \
             nullptr)
#define PSS_CASE_REQ_ONLY(N, Op, Req, Fixed)                                                    \
    PSS_CASE(N, Op, Req, nullptr, 0, false, Fixed, ([](const void *q, void *, uint32_t a) {     \
                 return PatchSdkService_QOMA_PAT_##Op(static_cast<const Req *>(q), a);          \
             }),                                                                                \
             ([](const void *q, uint32_t a) {                                                   \
                 return PatchSdkService_QOMA_PAT_##Op##_oneway(static_cast<const Req *>(q), a); \
             }))

inline const MethodCase kMethodCases[] = {
    PSS_CASE_REQ_RSP(1, Active, QOMA_PAT_ACTIVE_REQ, QOMA_PAT_ACTIVE_RSP, 520),
    PSS_CASE_REQ_RSP(2, QueryStateInfo, QOMA_PAT_STATE_QUERY_REQ, QOMA_PAT_STATE_QUERY_RSP, 296),
    PSS_CASE_REQ_RSP(3, QueryAppRegInfo, QOMA_PAT_APP_QUERY_REQ, QOMA_PAT_APP_QUERY_RSP, 64),
    PSS_CASE_REQ_RSP(4, QueryErrorInfo, QOMA_PAT_ERROR_QUERY_REQ, QOMA_PAT_ERROR_QUERY_RSP, 64),
    PSS_CASE_REQ_RSP(5, QueryMangInfo, QOMA_PAT_MANG_QUERY_REQ, QOMA_PAT_MANG_QUERY_RSP, 248),
    PSS_CASE_REQ_RSP(6, QueryInstInfo, QOMA_PAT_INST_QUERY_REQ, QOMA_PAT_INST_QUERY_RSP, 248),
    PSS_CASE_REQ_RSP(7, QueryDescInfo, QOMA_PAT_DESC_QUERY_REQ, QOMA_PAT_DESC_QUERY_RSP, 248),
    PSS_CASE_REQ_RSP(8, UpdatePkgInstCfg, QOMA_PAT_UPDATE_PKG_INST_CFG_REQ, QOMA_PAT_APPCOMMON_RSP,
                     840),
    PSS_CASE_REQ_RSP(9, UpdatePkgName, QOMA_PAT_UPDATE_PKG_NAME_REQ, QOMA_PAT_APPCOMMON_RSP, 736),
    PSS_CASE_REQ_RSP(10, HealthCheck, QOMA_PAT_HEALTH_CHECK_REQ, QOMA_PAT_APPCOMMON_RSP, 216),
    PSS_CASE_REQ_ONLY(11, StopPlugin, QOMA_PAT_STOP_PLUGIN_REQ, 40),
    PSS_CASE_REQ_ONLY(12, ProcAsyncActiveResult, QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ, 40),
    PSS_CASE_REQ_ONLY(13, ProcAsyncC2HResult, QOMA_PAT_ASYNC_C2H_RESULT_REQ, 80),
};

#undef PSS_CASE
#undef PSS_CASE_REQ_RSP
#undef PSS_CASE_REQ_ONLY

}  // namespace pss_test

#endif
