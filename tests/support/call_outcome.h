// What a call came back with, filled in by OnComplete as an asynchronous
// call's callback (or called by hand after a synchronous one): the result,
// whether it came at all, and the head every response begins with. The result
// starts as all ones, so that a callback that never ran cannot pass for
// success.
#ifndef PSS_TEST_CALL_OUTCOME_H
#define PSS_TEST_CALL_OUTCOME_H

#include <string.h>

#include <optional>

#include "patch_sdk_service_agent.h"

namespace pss_test {

struct CallOutcome {
    IdlCallResult stResult{~0u, ~0u};
    bool bCalled = false;
    std::optional<QOMA_PAT_APPCOMMON_RSP> head;
};

inline void OnComplete(IdlCallResult stResult, void *pvRsp, void *pvOutcome) {
    CallOutcome &o = *static_cast<CallOutcome *>(pvOutcome);
    o.stResult = stResult, o.bCalled = true;
    if (pvRsp != nullptr) memcpy(&o.head.emplace(), pvRsp, sizeof *o.head);
}

}  // namespace pss_test

#endif
