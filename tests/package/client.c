/* A client built against an installed package: one synchronous query. Behind
 * the simulated service the answer echoes the request's head, numbers the
 * method 4 and carries uiHead2 % 4 elements whose field k of element i is
 * uiHead0 + 100 * i + k. */
#include <stdio.h>

#include "patch_sdk_service_agent.h"

int main(void) {
    QOMA_PAT_ERROR_QUERY_REQ stReq = {0};
    QOMA_PAT_ERROR_QUERY_RSP stRsp;
    IdlMsgOps stOps;
    IdlCallResult stResult;
    int iOk;

    stReq.uiHead0 = 7;
    stReq.uiHead2 = 2;
    stResult = PatchSdkService_QOMA_PAT_QueryErrorInfo(&stReq, &stRsp, 0);
    iOk = stResult.uiStatus == 0 && stRsp.uiHead0 == 7 && stRsp.uiHead2 == 4 &&
          stRsp.uiInfoNum == 2 && stRsp.pstInfo != NULL && stRsp.pstInfo[1].uiField1 == 108;
    printf("QueryErrorInfo: status %u, %u elements: %s\n", (unsigned)stResult.uiStatus,
           (unsigned)stRsp.uiInfoNum, iOk ? "as expected" : "WRONG");
    PatchSdkService_QOMA_PAT_QueryErrorInfoSetIdl(&stOps);
    stOps.pfnFreeUnpacked(&stRsp);
    return iOk ? 0 : 1;
}
