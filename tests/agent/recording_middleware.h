// A recording Kelm middleware, defined in the test executable so that its
// RPC_* entry points and g_uiKelmModuleId take precedence over those of the
// loopback library, as a device process's own would.
#ifndef PSS_TEST_RECORDING_MIDDLEWARE_H
#define PSS_TEST_RECORDING_MIDDLEWARE_H

#include <stdint.h>

#include <set>
#include <string>
#include <vector>

#include "agent/kelm_rpc.h"

namespace pss_test {

enum class Ev { kInvoke, kCreate, kDestroy, kSync, kAsync, kOneway };

struct Event {
    explicit Event(Ev e) : eKind(e) {}

    Ev eKind;
    // kInvoke
    const RpcServerAddr *pstAddr = nullptr;
    uint32_t uiInvokeArg = 0;
    // kCreate, kDestroy
    uint32_t uiSize = 0;
    uint32_t uiModuleId = 0;
    std::string tag;
    void *pvBlock = nullptr;  // the block created (null when refused) or destroyed
    // kSync, kAsync, kOneway
    void *pvInvoke = nullptr;
    const void *pvReq = nullptr;
    void *pvRsp = nullptr;
    std::vector<uint8_t> reqBytes;  // the request as handed over
    std::vector<uint8_t> rspBytes;  // kAsync: the response block as handed over
    std::string service, method;
    IdlMsgOps stOps{};
    IdlAsyncCall stCall{};  // kAsync
};

struct Recorder {
    std::vector<Event> events;
    void *pvInvoke;          // what RPC_GetRpcInvoke answers
    int iFailCreateAt = -1;  // index of the create to refuse; -1 refuses none
    int iCreates = 0;
    IdlCallResult stSyncResult{0xA1B2C3D4u, 0x77u};
    uint32_t uiAsyncResult = 0x4B01u;
    uint32_t uiOnewayResult = 0x99u;
    size_t uiReqSize = 0;  // bytes of the request to snapshot
    size_t uiRspSize = 0;
    std::set<void *> live;  // blocks created and neither destroyed nor handed over

    void Reset(size_t uiReq, size_t uiRsp);
    std::vector<Ev> Kinds() const;
};

extern Recorder g_recorder;
extern int g_invokeHandle;

}  // namespace pss_test

#endif
