/* A plain C99 client: the public header compiles cleanly as C, and a C
 * program links the library and calls through it (here to the loopback
 * middleware). Exits non-zero on the first unexpected result. */
#include <stdio.h>
#include <string.h>

#include "patch_sdk_service_agent.h"
#include "platform/kelm/kelm_loopback.h"

#define EXPECT(cond)                                                       \
    if (!(cond)) {                                                         \
        fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
        return 1;                                                          \
    }

int main(void) {
    QOMA_PAT_ERROR_QUERY_REQ stReq = {0};
    QOMA_PAT_ERROR_QUERY_RSP stRsp;
    QOMA_PAT_STOP_PLUGIN_REQ stStop = {0};
    IdlMsgOps stOps;
    IdlCallResult stResult;

    stReq.uiHead0 = 7;
    stReq.uiHead2 = 2; /* two elements in the answer */
    stResult = PatchSdkService_QOMA_PAT_QueryErrorInfo(&stReq, &stRsp, 0);
    EXPECT(stResult.uiStatus == KELM_OK && stRsp.uiHead0 == 7 && stRsp.uiInfoNum == 2 &&
           stRsp.pstInfo != NULL);
    PatchSdkService_QOMA_PAT_QueryErrorInfoSetIdl(&stOps);
    stOps.pfnFreeUnpacked(&stRsp);
    EXPECT(stRsp.pstInfo == NULL);

    EXPECT(PatchSdkService_QOMA_PAT_StopPlugin_oneway(&stStop, KELM_LOOPBACK_FIXED_LAYOUT) ==
           KELM_OK);
    return 0;
}
