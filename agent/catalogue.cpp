#include "agent/catalogue.h"

#include "messages/codecs.h"

namespace pss {
namespace {
constexpr char kServiceName[] = PSS_SERVICE_NAME;
}  // namespace

#define PSS_METHOD_ID_REQ_RSP(Op, Req, Rsp) {kServiceName, PSS_METHOD_NAME(Op)},
#define PSS_METHOD_ID_REQ_ONLY(Op, Req) {kServiceName, PSS_METHOD_NAME(Op)},
const IdlMethodId kMethodIds[kMethodCount] = {
    PSS_METHODS(PSS_METHOD_ID_REQ_RSP, PSS_METHOD_ID_REQ_ONLY)};

// Slot order: unpack, pack, free_unpacked, reserved, pack_fixed, fixed_size.
#define PSS_BINDING_REQ_RSP(Op, Req, Rsp)                                                          \
    {{Rsp##_unpack, Req##_pack, Rsp##_free_unpacked, nullptr, Req##_pack_fixed, Req##_fixed_size}, \
     sizeof(Req),                                                                                  \
     sizeof(Rsp)},
#define PSS_BINDING_REQ_ONLY(Op, Req) \
    {{nullptr, Req##_pack, nullptr, nullptr, Req##_pack_fixed, Req##_fixed_size}, sizeof(Req), 0},
const MethodBinding kMethodBindings[kMethodCount] = {
    PSS_METHODS(PSS_BINDING_REQ_RSP, PSS_BINDING_REQ_ONLY)};

}  // namespace pss

// Handed to the middleware by address; its first 52 bytes are the middleware's.
RpcServerAddr g_stServerAddr_PatchSdkService = {{0}, pss::kServiceName};
