// The method catalogue: per method its identity, its codec table and the
// sizes of its records. Constant data, shared by every call.
#ifndef PSS_CATALOGUE_H
#define PSS_CATALOGUE_H

#include <stdint.h>

#include "messages/method_list.h"
#include "patch_sdk_service_agent.h"

namespace pss {

#define PSS_METHOD_ENUM_REQ_RSP(Op, Req, Rsp) k##Op,
#define PSS_METHOD_ENUM_REQ_ONLY(Op, Req) k##Op,
enum Method : uint32_t {
    PSS_METHODS(PSS_METHOD_ENUM_REQ_RSP, PSS_METHOD_ENUM_REQ_ONLY) kMethodCount
};
#undef PSS_METHOD_ENUM_REQ_RSP
#undef PSS_METHOD_ENUM_REQ_ONLY

// The method table, in catalogue order.
extern const IdlMethodId kMethodTable[kMethodCount];

struct MethodRecords {
    IdlMsgOps stOps;
    uint32_t uiReqSize;
    uint32_t uiRspSize;  // 0 without a response
};
extern const MethodRecords kMethodRecords[kMethodCount];

// What every SetIdl writes: all six slots.
inline void BindCodecs(Method eMethod, IdlMsgOps *pstOps) {
    *pstOps = kMethodRecords[eMethod].stOps;
}

}  // namespace pss

#endif
