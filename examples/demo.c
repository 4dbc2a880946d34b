/*
 * pss_demo: a C client of the PatchSdkService agent, run against the loopback
 * middleware (libvandrikelm.so as built here).
 *
 * It calls all thirteen methods synchronously (compact request images), then
 * all thirteen asynchronously (fixed-layout images) and waits for every
 * callback that is to come, sends the three one-way methods, and finally shows a damaged
 * answer being refused. For each request it prints the sizes of its two
 * images; for each answer the decoded record, element arrays included, which
 * it then releases with the pfnFreeUnpacked that the method's SetIdl gives.
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "patch_sdk_service_agent.h"
#include "patch_sdk_service_agent_methods.h"
#include "sim/kelm_loopback.h"

/* ---- the OS layer's log writer, found by the library at run time --------- */

typedef struct LogModule {
    const char *pcModule;
    const char *pcSubModule;
    uint32_t uiModuleCode;
    uint32_t uiReserved;
} LogModule;

__attribute__((visibility("default"))) void ZEL_OsalLogWrite(const LogModule *pstModule,
                                                             uint32_t uiLevel, uint32_t uiCode,
                                                             const char *pcFile, uint32_t uiLine,
                                                             const char *pcFunc, const char *pcFmt,
                                                             ...) {
    va_list args;
    (void)pcFile;
    printf("    log: %s/%s level %u code %u in %s (line %u): ", pstModule->pcModule,
           pstModule->pcSubModule, (unsigned)uiLevel, (unsigned)uiCode, pcFunc, (unsigned)uiLine);
    va_start(args, pcFmt);
    vprintf(pcFmt, args);
    va_end(args);
    printf("\n");
}

/* ---- printing records ------------------------------------------------- */

/* Character arrays are data, not strings: print up to the first NUL. */
static int TextLen(const char *pcText, size_t uiSize) {
    const char *pcNul = memchr(pcText, 0, uiSize);
    return (int)(pcNul != NULL ? (size_t)(pcNul - pcText) : uiSize);
}

#define NUM(rec, f) printf(" " #f "=%u", (unsigned)(rec)->f)
#define TXT(rec, f) printf(" " #f "=\"%.*s\"", TextLen((rec)->f, sizeof(rec)->f), (rec)->f)

static void PrintHead(const void *pvRsp) {
    /* Every response begins with the same five fields. */
    const QOMA_PAT_APPCOMMON_RSP *p = (const QOMA_PAT_APPCOMMON_RSP *)pvRsp;
    printf("    head: uiHead0=%u ullHead1=0x%llx uiHead2=%u uiHead3=%u uiHead4=0x%08x\n",
           (unsigned)p->uiHead0, (unsigned long long)p->ullHead1, (unsigned)p->uiHead2,
           (unsigned)p->uiHead3, (unsigned)p->uiHead4);
}

/* clang-format off: one line per group of fields reads better here */
static void PrintOperFail(const QOMA_PAT_OPERFAILINFO *e) {
    NUM(e, uiField0);
    NUM(e, uiField1);
    NUM(e, uiField2);
    NUM(e, uiField3);
    NUM(e, uiField4);
    TXT(e, acField5);
    TXT(e, acField6);
    TXT(e, acField7);
    TXT(e, acField8);
}
static void PrintMang(const QOMA_PAT_MANG_INFO *e) {
    NUM(e, uiField0);
    NUM(e, uiField1);
    NUM(e, uiField2);
    NUM(e, uiField3);
    NUM(e, uiField4);
    TXT(e, acField5);
    TXT(e, acField6);
    TXT(e, acField7);
}
static void PrintApp(const QOMA_PAT_APP_INFO *e) {
    NUM(e, uiField0);
    NUM(e, uiField1);
    TXT(e, acField2);
}
static void PrintState(const QOMA_PAT_STATE_INFO *e) {
    TXT(e, acField0);
    NUM(e, uiField1);
    NUM(e, uiField2);
    NUM(e, uiField3);
    NUM(e, uiField4);
    NUM(e, uiField5);
    NUM(e, uiField6);
    NUM(e, uiField7);
    TXT(e, acField8);
    NUM(e, uiField9);
    TXT(e, acField10);
    TXT(e, acField11);
    TXT(e, acField12);
    TXT(e, acField13);
    TXT(e, acField14);
    TXT(e, acField15);
    TXT(e, acField16);
    TXT(e, acField17);
    TXT(e, acField18);
}
static void PrintError(const QOMA_PAT_ERROR_INFO *e) {
    TXT(e, acField0);
    NUM(e, uiField1);
    NUM(e, uiField2);
    NUM(e, uiField3);
    NUM(e, uiField4);
    TXT(e, acField5);
    TXT(e, acField6);
}
static void PrintInst(const QOMA_PAT_INST_INFO *e) {
    TXT(e, acField0);
    NUM(e, uiField1);
    NUM(e, uiField2);
    NUM(e, uiField3);
    NUM(e, uiField4);
    NUM(e, ucField5);
    TXT(e, acField6);
    NUM(e, ucField7);
    TXT(e, acField8);
    NUM(e, ucField9);
    TXT(e, acField10);
    TXT(e, acField11);
    TXT(e, acField12);
    TXT(e, acField13);
    TXT(e, acField14);
    TXT(e, acField15);
    TXT(e, acField16);
    TXT(e, acField17);
}
static void PrintDesc(const QOMA_PAT_DESC_INFO *e) {
    NUM(e, uiField0);
    NUM(e, uiField1);
    TXT(e, acField2);
    TXT(e, acField3);
    TXT(e, acField4);
    TXT(e, acField5);
    TXT(e, acField6);
    TXT(e, acField7);
    TXT(e, acField8);
    TXT(e, acField9);
    NUM(e, uiField10);
    NUM(e, uiField11);
    TXT(e, acField12);
    TXT(e, acField13);
    TXT(e, acField14);
    NUM(e, uiField15);
    TXT(e, acField16);
    TXT(e, acField17);
    TXT(e, acField18);
    TXT(e, acField19);
}

/* clang-format on */

/* One nested element, or the counted array of elements. */
#define PRINT_ONE(Rsp, Print)                    \
    static void Print_##Rsp(const void *pvRsp) { \
        const Rsp *p = (const Rsp *)pvRsp;       \
        PrintHead(p);                            \
        printf("    stInfo:");                   \
        Print(&p->stInfo);                       \
        printf("\n");                            \
    }
#define PRINT_ARRAY(Rsp, Print)                                    \
    static void Print_##Rsp(const void *pvRsp) {                   \
        const Rsp *p = (const Rsp *)pvRsp;                         \
        uint32_t i;                                                \
        PrintHead(p);                                              \
        printf("    uiInfoNum=%u\n", (unsigned)p->uiInfoNum);      \
        for (i = 0; p->pstInfo != NULL && i < p->uiInfoNum; ++i) { \
            printf("    pstInfo[%u]:", (unsigned)i);               \
            Print(&p->pstInfo[i]);                                 \
            printf("\n");                                          \
        }                                                          \
    }
PRINT_ONE(QOMA_PAT_ACTIVE_RSP, PrintOperFail)
PRINT_ONE(QOMA_PAT_APP_QUERY_RSP, PrintApp)
PRINT_ONE(QOMA_PAT_MANG_QUERY_RSP, PrintMang)
PRINT_ARRAY(QOMA_PAT_STATE_QUERY_RSP, PrintState)
PRINT_ARRAY(QOMA_PAT_ERROR_QUERY_RSP, PrintError)
PRINT_ARRAY(QOMA_PAT_INST_QUERY_RSP, PrintInst)
PRINT_ARRAY(QOMA_PAT_DESC_QUERY_RSP, PrintDesc)
static void Print_QOMA_PAT_APPCOMMON_RSP(const void *pvRsp) { PrintHead(pvRsp); }

/* ---- the thirteen methods, as one table --------------------------------- */

typedef struct DemoMethod {
    const char *pcName;
    size_t uiReqSize;
    size_t uiRspSize; /* 0 without a response */
    void (*pfnSetIdl)(IdlMsgOps *pstOps);
    IdlCallResult (*pfnSync)(const void *pvReq, void *pvRsp, uint32_t uiArg);
    uint32_t (*pfnAsync)(const void *pvReq, IdlAsyncCallback pfnCb, void *pvUser, uint32_t uiArg);
    uint32_t (*pfnOneway)(const void *pvReq, uint32_t uiArg);
    void (*pfnPrint)(const void *pvRsp);
} DemoMethod;

#define REQ_RSP(Op, Req, Rsp)                                                            \
    static IdlCallResult Sync_##Op(const void *q, void *r, uint32_t a) {                 \
        return PatchSdkService_QOMA_PAT_##Op((const Req *)q, (Rsp *)r, a);               \
    }                                                                                    \
    static uint32_t Async_##Op(const void *q, IdlAsyncCallback c, void *u, uint32_t a) { \
        return PatchSdkService_QOMA_PAT_##Op##_async((const Req *)q, c, u, a);           \
    }
#define REQ_ONLY(Op, Req)                                                                \
    static IdlCallResult Sync_##Op(const void *q, void *r, uint32_t a) {                 \
        (void)r;                                                                         \
        return PatchSdkService_QOMA_PAT_##Op((const Req *)q, a);                         \
    }                                                                                    \
    static uint32_t Async_##Op(const void *q, IdlAsyncCallback c, void *u, uint32_t a) { \
        return PatchSdkService_QOMA_PAT_##Op##_async((const Req *)q, c, u, a);           \
    }                                                                                    \
    static uint32_t Oneway_##Op(const void *q, uint32_t a) {                             \
        return PatchSdkService_QOMA_PAT_##Op##_oneway((const Req *)q, a);                \
    }
PSS_METHODS(REQ_RSP, REQ_ONLY)

#define ROW_REQ_RSP(Op, Req, Rsp)                                                      \
    {"QOMA_PAT_" #Op, sizeof(Req), sizeof(Rsp), PatchSdkService_QOMA_PAT_##Op##SetIdl, \
     Sync_##Op,       Async_##Op,  NULL,        Print_##Rsp},
#define ROW_REQ_ONLY(Op, Req)                                                          \
    {"QOMA_PAT_" #Op, sizeof(Req), 0,           PatchSdkService_QOMA_PAT_##Op##SetIdl, \
     Sync_##Op,       Async_##Op,  Oneway_##Op, NULL},
static const DemoMethod g_astMethods[] = {PSS_METHODS(ROW_REQ_RSP, ROW_REQ_ONLY)};
#define METHOD_COUNT ((int)(sizeof g_astMethods / sizeof g_astMethods[0]))

/* ---- requests ------------------------------------------------------------ */

/* Large enough for any request or response record, and aligned for all. */
typedef union DemoRecord {
    uint64_t aullAlign[128];
    uint8_t aucBytes[1024];
} DemoRecord;

#define SET_HEAD(req, n)                                                       \
    do {                                                                       \
        (req)->uiHead0 = 1000u * (n);                                          \
        (req)->ullHead1 = 0x100000000ull * (n) + 7u; /* both halves set */     \
        (req)->uiHead2 = 3;                          /* three elements back */ \
    } while (0)

/* Zeroed first, padding included, then a few fields per request. */
/* clang-format off */
static void FillRequest(int iMethod, DemoRecord *pstRec) {
    memset(pstRec, 0, sizeof *pstRec);
    switch (iMethod) {
        case 0: { QOMA_PAT_ACTIVE_REQ *r = (QOMA_PAT_ACTIVE_REQ *)pstRec; SET_HEAD(r, 1);
                  r->stBody.uiField0 = 42; strcpy(r->stBody.acField3, "patch-2026.12"); break; }
        case 1: { QOMA_PAT_STATE_QUERY_REQ *r = (QOMA_PAT_STATE_QUERY_REQ *)pstRec; SET_HEAD(r, 2);
                  strcpy(r->stBody.acField2, "plugin-a"); break; }
        case 2: { QOMA_PAT_APP_QUERY_REQ *r = (QOMA_PAT_APP_QUERY_REQ *)pstRec; SET_HEAD(r, 3);
                  r->stBody.uiField0 = 7; break; }
        case 3: { QOMA_PAT_ERROR_QUERY_REQ *r = (QOMA_PAT_ERROR_QUERY_REQ *)pstRec; SET_HEAD(r, 4);
                  r->stBody.uiField1 = 500; break; }
        case 4: { QOMA_PAT_MANG_QUERY_REQ *r = (QOMA_PAT_MANG_QUERY_REQ *)pstRec; SET_HEAD(r, 5);
                  strcpy(r->stBody.acField0, "mang"); break; }
        case 5: { QOMA_PAT_INST_QUERY_REQ *r = (QOMA_PAT_INST_QUERY_REQ *)pstRec; SET_HEAD(r, 6);
                  strcpy(r->stBody.acField0, "inst"); break; }
        case 6: { QOMA_PAT_DESC_QUERY_REQ *r = (QOMA_PAT_DESC_QUERY_REQ *)pstRec; SET_HEAD(r, 7);
                  r->stBody.uiField0 = 1; strcpy(r->stBody.acField1, "desc"); break; }
        case 7: { QOMA_PAT_UPDATE_PKG_INST_CFG_REQ *r = (QOMA_PAT_UPDATE_PKG_INST_CFG_REQ *)pstRec;
                  SET_HEAD(r, 8); strcpy(r->stBody.acField3, "/opt/pkg"); break; }
        case 8: { QOMA_PAT_UPDATE_PKG_NAME_REQ *r = (QOMA_PAT_UPDATE_PKG_NAME_REQ *)pstRec;
                  SET_HEAD(r, 9); strcpy(r->stBody.acField0, "old"); strcpy(r->stBody.acField1, "new"); break; }
        case 9: { QOMA_PAT_HEALTH_CHECK_REQ *r = (QOMA_PAT_HEALTH_CHECK_REQ *)pstRec; SET_HEAD(r, 10);
                  r->stBody.uiField2 = 30; break; }
        case 10: { QOMA_PAT_STOP_PLUGIN_REQ *r = (QOMA_PAT_STOP_PLUGIN_REQ *)pstRec; SET_HEAD(r, 11); break; }
        case 11: { QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ *r = (QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ *)pstRec;
                   r->ullField0 = 0xABCDEF0012ull; r->uiField1 = 12; break; }
        default: { QOMA_PAT_ASYNC_C2H_RESULT_REQ *r = (QOMA_PAT_ASYNC_C2H_RESULT_REQ *)pstRec;
                   SET_HEAD(r, 13); r->stBody.ullField1 = 0xC2C2C2C2C2ull; break; }
    }
}

/* clang-format on */

static void PrintImageSizes(const DemoMethod *pstMethod, const void *pvReq) {
    IdlMsgOps stOps;
    pstMethod->pfnSetIdl(&stOps);
    printf("%s: request %u bytes compact, %u bytes fixed\n", pstMethod->pcName,
           (unsigned)stOps.pfnPack(NULL, pvReq), (unsigned)stOps.pfnFixedSize());
}

static void PrintResult(IdlCallResult stResult) {
    printf("    result: uiValue=%u uiStatus=0x%x\n", (unsigned)stResult.uiValue,
           (unsigned)stResult.uiStatus);
}

/* ---- asynchronous completions ------------------------------------------- */

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static int g_iPending;

/* Runs on a worker thread of the middleware; the response block is only
 * valid until the callback returns, and the middleware releases it. */
static void OnComplete(IdlCallResult stResult, void *pvRsp, void *pvUserData) {
    const DemoMethod *pstMethod = (const DemoMethod *)pvUserData;
    pthread_mutex_lock(&g_lock);
    printf("%s completed\n", pstMethod->pcName);
    PrintResult(stResult);
    if (pvRsp != NULL && stResult.uiStatus == KELM_OK) pstMethod->pfnPrint(pvRsp);
    --g_iPending;
    pthread_mutex_unlock(&g_lock);
}

int main(void) {
    DemoRecord stReq, stRsp;
    IdlCallResult stResult;
    IdlMsgOps stOps;
    int i, iFailures = 0;

    printf("== synchronous calls, compact images ==\n");
    for (i = 0; i < METHOD_COUNT; ++i) {
        const DemoMethod *m = &g_astMethods[i];
        FillRequest(i, &stReq);
        PrintImageSizes(m, &stReq);
        stResult = m->pfnSync(&stReq, &stRsp, 0);
        PrintResult(stResult);
        if (stResult.uiStatus != KELM_OK) ++iFailures;
        if (m->uiRspSize != 0 && stResult.uiStatus == KELM_OK) {
            m->pfnPrint(&stRsp);
            m->pfnSetIdl(&stOps);
            stOps.pfnFreeUnpacked(&stRsp); /* gives the element array back */
        }
    }

    printf("\n== asynchronous calls, fixed-layout images ==\n");
    pthread_mutex_lock(&g_lock);
    for (i = 0; i < METHOD_COUNT; ++i) {
        const DemoMethod *m = &g_astMethods[i];
        uint32_t uiStatus;
        FillRequest(i, &stReq); /* the agent copies it: reusable at once */
        uiStatus = m->pfnAsync(&stReq, OnComplete, (void *)m, KELM_LOOPBACK_FIXED_LAYOUT);
        printf("%s handed over: %u\n", m->pcName, (unsigned)uiStatus);
        if (uiStatus == PSS_AGENT_OK)
            ++g_iPending;
        else
            ++iFailures;
    }
    pthread_mutex_unlock(&g_lock);
    /* Every completion that is to come has come once the middleware is
     * drained: a client must not wait for ever for one that never comes. */
    KelmLoopback_Drain();
    pthread_mutex_lock(&g_lock);
    if (g_iPending > 0) {
        printf("asynchronous calls never completed: %d\n", g_iPending);
        iFailures += g_iPending;
    }
    pthread_mutex_unlock(&g_lock);

    printf("\n== one-way sends ==\n");
    for (i = 0; i < METHOD_COUNT; ++i) {
        const DemoMethod *m = &g_astMethods[i];
        KelmLoopbackTrace stTrace;
        uint32_t uiStatus;
        if (m->pfnOneway == NULL) continue; /* methods with a response have none */
        FillRequest(i, &stReq);
        uiStatus = m->pfnOneway(&stReq, 0);
        KelmLoopback_LastRequest(&stTrace);
        printf("%s: status %u, the service decoded method %u from %u bytes\n", m->pcName,
               (unsigned)uiStatus, (unsigned)stTrace.uiMethod, (unsigned)stTrace.uiImageSize);
        if (uiStatus != KELM_OK) ++iFailures;
    }

    printf("\n== a damaged answer ==\n");
    FillRequest(3, &stReq);
    stResult = PatchSdkService_QOMA_PAT_QueryErrorInfo((const QOMA_PAT_ERROR_QUERY_REQ *)&stReq,
                                                       (QOMA_PAT_ERROR_QUERY_RSP *)&stRsp,
                                                       KELM_LOOPBACK_CORRUPT_ANSWER);
    PrintResult(stResult);
    printf("    refused: %s\n", stResult.uiStatus == KELM_ERR_BAD_ANSWER ? "yes" : "NO");
    if (stResult.uiStatus != KELM_ERR_BAD_ANSWER) ++iFailures;

    KelmLoopback_Drain();
    printf("\nmiddleware blocks left: %u; failures: %d\n", (unsigned)KelmLoopback_LiveBlocks(),
           iFailures);
    return iFailures == 0 && KelmLoopback_LiveBlocks() == 0 ? 0 : 1;
}
