/* A plain C99 client: the public header compiles cleanly as C, and a C
 * program links the library and calls through it (here to the loopback
 * middleware). Exits non-zero on the first unexpected result. */
#include <stdio.h>
#include <string.h>

#include "patch_sdk_service_agent.h"
#include "platform/kelm/kelm_loopback.h"

static int g_iFailures;

#define EXPECT(cond)                                                           \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_iFailures;                                                     \
        }                                                                      \
    } while (0)

static void OnDone(IdlCallResult stResult, void *pvRsp, void *pvUserData) {
    QOMA_PAT_APPCOMMON_RSP *pstRsp = (QOMA_PAT_APPCOMMON_RSP *)pvRsp;
    uint32_t *puiHead0 = (uint32_t *)pvUserData;
    *puiHead0 = stResult.uiStatus == KELM_OK && pstRsp != NULL ? pstRsp->uiHead0 : 0u;
}

int main(void) {
    QOMA_PAT_ERROR_QUERY_REQ stReq;
    QOMA_PAT_ERROR_QUERY_RSP stRsp;
    QOMA_PAT_HEALTH_CHECK_REQ stCheck;
    QOMA_PAT_STOP_PLUGIN_REQ stStop;
    IdlMsgOps stOps;
    IdlCallResult stResult;
    uint32_t uiHead0 = 0;

    memset(&stReq, 0, sizeof stReq);
    stReq.uiHead0 = 7;
    stReq.uiHead2 = 2; /* two elements in the answer */
    stResult = PatchSdkService_QOMA_PAT_QueryErrorInfo(&stReq, &stRsp, 0);
    EXPECT(stResult.uiStatus == KELM_OK);
    EXPECT(stRsp.uiHead0 == 7 && stRsp.uiHead2 == 4 && stRsp.uiInfoNum == 2);
    EXPECT(stRsp.pstInfo != NULL && stRsp.pstInfo[1].uiField1 == 7 + 100 + 1);
    PatchSdkService_QOMA_PAT_QueryErrorInfoSetIdl(&stOps);
    EXPECT(stOps.pfnFreeUnpacked != NULL && stOps.pfnReserved == NULL);
    stOps.pfnFreeUnpacked(&stRsp);
    EXPECT(stRsp.pstInfo == NULL);

    stResult = PatchSdkService_QOMA_PAT_QueryErrorInfo(&stReq, NULL, 0);
    EXPECT(stResult.uiValue == 0 && stResult.uiStatus == PSS_AGENT_EINVAL);

    memset(&stCheck, 0, sizeof stCheck);
    stCheck.uiHead0 = 99;
    EXPECT(PatchSdkService_QOMA_PAT_HealthCheck_async(&stCheck, OnDone, &uiHead0, 0) ==
           PSS_AGENT_OK);
    KelmLoopback_Drain();
    EXPECT(uiHead0 == 99);

    memset(&stStop, 0, sizeof stStop);
    EXPECT(PatchSdkService_QOMA_PAT_StopPlugin_oneway(&stStop, KELM_LOOPBACK_FIXED_LAYOUT) ==
           KELM_OK);
    EXPECT(KelmLoopback_LiveBlocks() == 0);
    return g_iFailures == 0 ? 0 : 1;
}
