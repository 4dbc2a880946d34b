// The thirteen methods as a caller sees them, stamped from the method list:
// the exported functions, the records they take and what the method's
// IdlMsgOps must carry.
#ifndef PSS_TEST_METHOD_CASES_H
#define PSS_TEST_METHOD_CASES_H

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "messages/codecs.h"
#include "messages/schemas.h"
#include "patch_sdk_service_agent.h"
#include "patch_sdk_service_agent_methods.h"

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

#define PSS_CASE(Op, Req, Rsp, RspSize, Info, Sync, Oneway)                                     \
    {                                                                                           \
        0, #Op, Rsp, sizeof(Req), RspSize, Req##_fixed_size(), Info,                            \
            PatchSdkService_QOMA_PAT_##Op##SetIdl, Sync,                                        \
            [](const void *q, IdlAsyncCallback c, void *u, uint32_t a) {                        \
                return PatchSdkService_QOMA_PAT_##Op##_async(static_cast<const Req *>(q), c, u, \
                                                             a);                                \
            },                                                                                  \
            Oneway, Req##_pack_fixed, Req##_pack, &korvo::Schema<Req>::kTable                   \
    }
#define PSS_CASE_REQ_RSP(Op, Req, Rsp)                                                             \
    PSS_CASE(Op, Req, #Rsp, sizeof(Rsp), kHasArray<Rsp>, ([](const void *q, void *r, uint32_t a) { \
                 return PatchSdkService_QOMA_PAT_##Op(static_cast<const Req *>(q),                 \
                                                      static_cast<Rsp *>(r), a);                   \
             }),                                                                                   \
             nullptr),
#define PSS_CASE_REQ_ONLY(Op, Req)                                                              \
    PSS_CASE(Op, Req, nullptr, 0, false, ([](const void *q, void *, uint32_t a) {               \
                 return PatchSdkService_QOMA_PAT_##Op(static_cast<const Req *>(q), a);          \
             }),                                                                                \
             ([](const void *q, uint32_t a) {                                                   \
                 return PatchSdkService_QOMA_PAT_##Op##_oneway(static_cast<const Req *>(q), a); \
             })),

// Catalogue numbers follow the list's order.
inline const std::vector<MethodCase> kMethodCases = [] {
    std::vector<MethodCase> cases = {PSS_METHODS(PSS_CASE_REQ_RSP, PSS_CASE_REQ_ONLY)};
    for (size_t i = 0; i < cases.size(); ++i) cases[i].uiNumber = static_cast<uint32_t>(i + 1);
    return cases;
}();

#undef PSS_CASE
#undef PSS_CASE_REQ_RSP
#undef PSS_CASE_REQ_ONLY

}  // namespace pss_test

#endif
