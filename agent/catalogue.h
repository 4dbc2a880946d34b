// The method catalogue: per method its identity, its codec table and the
// sizes of its records. Constant data, shared by every call.
#ifndef PSS_CATALOGUE_H
#define PSS_CATALOGUE_H

#include <stdint.h>

#include "patch_sdk_service_agent.h"
#include "patch_sdk_service_agent_methods.h"

namespace pss {

#define PSS_METHOD_ENUM_REQ_RSP(Op, Req, Rsp) k##Op,
#define PSS_METHOD_ENUM_REQ_ONLY(Op, Req) k##Op,
enum Method : uint32_t {
    PSS_METHODS(PSS_METHOD_ENUM_REQ_RSP, PSS_METHOD_ENUM_REQ_ONLY) kMethodCount
};
#undef PSS_METHOD_ENUM_REQ_RSP
#undef PSS_METHOD_ENUM_REQ_ONLY

// Each method's service and method names, in catalogue order.
extern const IdlMethodId kMethodIds[kMethodCount];

// What a method's SetIdl binds and its calls copy: its codec table and the
// sizes of its records.
struct MethodBinding {
    IdlMsgOps stOps;
    uint32_t uiReqSize;
    uint32_t uiRspSize;  // 0 without a response
};
extern const MethodBinding kMethodBindings[kMethodCount];

// What every SetIdl writes: all six slots.
inline void BindCodecs(Method eMethod, IdlMsgOps *pstOps) {
    *pstOps = kMethodBindings[eMethod].stOps;
}

}  // namespace pss

#endif
