/*
 * Client agent of the PatchSdkService remote service.
 *
 * Records exchanged with the service, the codec table handed to the Kelm RPC
 * middleware, and the exported call functions. Plain C99; usable from C++.
 * All records use the platform's natural alignment.
 */
#ifndef PATCH_SDK_SERVICE_AGENT_H
#define PATCH_SDK_SERVICE_AGENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PSS_AGENT_API __attribute__((visibility("default")))
#else
#define PSS_AGENT_API
#endif

/* ------------------------------------------------------------------------ */
/* Request body records                                                     */
/* ------------------------------------------------------------------------ */

typedef struct QOMA_PAT_ACTIVE_REQ_BODY {
    uint32_t uiField0;
    uint32_t uiField1;
    uint32_t uiField2;
    char acField3[64];
    char acField4[64];
    uint32_t uiField5;
    char acField6[256];
    uint32_t uiField7;
    uint32_t uiField8;
    uint32_t uiField9;
    uint32_t uiField10;
} QOMA_PAT_ACTIVE_REQ_BODY;

typedef struct QOMA_PAT_STATE_QUERY_REQ_BODY {
    uint32_t uiField0;
    uint32_t uiField1;
    char acField2[64];
    char acField3[64];
    char acField4[64];
    uint32_t uiField5;
} QOMA_PAT_STATE_QUERY_REQ_BODY;

typedef struct QOMA_PAT_APP_QUERY_REQ_BODY {
    uint32_t uiField0;
} QOMA_PAT_APP_QUERY_REQ_BODY;

typedef struct QOMA_PAT_ERROR_QUERY_REQ_BODY {
    uint32_t uiField0;
    uint32_t uiField1;
} QOMA_PAT_ERROR_QUERY_REQ_BODY;

typedef struct QOMA_PAT_MANG_QUERY_REQ_BODY {
    char acField0[32];
    char acField1[64];
    char acField2[64];
} QOMA_PAT_MANG_QUERY_REQ_BODY;

typedef struct QOMA_PAT_INST_QUERY_REQ_BODY {
    char acField0[32];
    char acField1[64];
    char acField2[64];
} QOMA_PAT_INST_QUERY_REQ_BODY;

typedef struct QOMA_PAT_DESC_QUERY_REQ_BODY {
    uint32_t uiField0;
    char acField1[32];
    char acField2[64];
    char acField3[64];
} QOMA_PAT_DESC_QUERY_REQ_BODY;

typedef struct QOMA_PAT_UPDATE_PKG_INST_CFG_REQ_BODY {
    uint32_t uiField0;
    uint32_t uiField1;
    uint32_t uiField2;
    char acField3[64];
    char acField4[64];
    char acField5[256];
    char acField6[256];
    uint32_t uiField7;
    uint32_t uiField8;
    char acField9[64];
} QOMA_PAT_UPDATE_PKG_INST_CFG_REQ_BODY;

typedef struct QOMA_PAT_UPDATE_PKG_NAME_REQ_BODY {
    char acField0[64];
    char acField1[64];
    char acField2[256];
    char acField3[256];
} QOMA_PAT_UPDATE_PKG_NAME_REQ_BODY;

typedef struct QOMA_PAT_HEALTH_CHECK_REQ_BODY {
    char acField0[64];
    char acField1[64];
    uint32_t uiField2;
    uint32_t uiField3;
} QOMA_PAT_HEALTH_CHECK_REQ_BODY;

typedef struct QOMA_PAT_ASYNC_C2H_RESULT_REQ_BODY {
    uint32_t uiField0;
    uint64_t ullField1;
    uint32_t uiField2;
} QOMA_PAT_ASYNC_C2H_RESULT_REQ_BODY;

/* ------------------------------------------------------------------------ */
/* Request records: a common head, then the body                            */
/* ------------------------------------------------------------------------ */

#define PSS_REQ_HEAD     \
    uint32_t uiHead0;    \
    uint64_t ullHead1;   \
    uint32_t uiHead2;

typedef struct QOMA_PAT_ACTIVE_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_ACTIVE_REQ_BODY stBody;
} QOMA_PAT_ACTIVE_REQ;

typedef struct QOMA_PAT_STATE_QUERY_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_STATE_QUERY_REQ_BODY stBody;
} QOMA_PAT_STATE_QUERY_REQ;

typedef struct QOMA_PAT_APP_QUERY_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_APP_QUERY_REQ_BODY stBody;
} QOMA_PAT_APP_QUERY_REQ;

typedef struct QOMA_PAT_ERROR_QUERY_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_ERROR_QUERY_REQ_BODY stBody;
} QOMA_PAT_ERROR_QUERY_REQ;

typedef struct QOMA_PAT_MANG_QUERY_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_MANG_QUERY_REQ_BODY stBody;
} QOMA_PAT_MANG_QUERY_REQ;

typedef struct QOMA_PAT_INST_QUERY_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_INST_QUERY_REQ_BODY stBody;
} QOMA_PAT_INST_QUERY_REQ;

typedef struct QOMA_PAT_DESC_QUERY_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_DESC_QUERY_REQ_BODY stBody;
} QOMA_PAT_DESC_QUERY_REQ;

typedef struct QOMA_PAT_UPDATE_PKG_INST_CFG_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_UPDATE_PKG_INST_CFG_REQ_BODY stBody;
} QOMA_PAT_UPDATE_PKG_INST_CFG_REQ;

typedef struct QOMA_PAT_UPDATE_PKG_NAME_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_UPDATE_PKG_NAME_REQ_BODY stBody;
} QOMA_PAT_UPDATE_PKG_NAME_REQ;

typedef struct QOMA_PAT_HEALTH_CHECK_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_HEALTH_CHECK_REQ_BODY stBody;
} QOMA_PAT_HEALTH_CHECK_REQ;

typedef struct QOMA_PAT_STOP_PLUGIN_REQ {
    PSS_REQ_HEAD
} QOMA_PAT_STOP_PLUGIN_REQ;

typedef struct QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ {
    uint64_t ullField0;
    uint32_t uiField1;
    uint32_t uiField2;
    uint32_t uiField3;
} QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ;

typedef struct QOMA_PAT_ASYNC_C2H_RESULT_REQ {
    PSS_REQ_HEAD
    QOMA_PAT_ASYNC_C2H_RESULT_REQ_BODY stBody;
} QOMA_PAT_ASYNC_C2H_RESULT_REQ;

#undef PSS_REQ_HEAD

/* ------------------------------------------------------------------------ */
/* Element records of the responses                                         */
/* ------------------------------------------------------------------------ */

typedef struct QOMA_PAT_OPERFAILINFO {
    uint32_t uiField0;
    uint32_t uiField1;
    uint32_t uiField2;
    uint32_t uiField3;
    uint32_t uiField4;
    char acField5[64];
    char acField6[64];
    char acField7[32];
    char acField8[64];
} QOMA_PAT_OPERFAILINFO;

typedef struct QOMA_PAT_MANG_INFO {
    uint32_t uiField0;
    uint32_t uiField1;
    uint32_t uiField2;
    uint32_t uiField3;
    uint32_t uiField4;
    char acField5[64];
    char acField6[64];
    char acField7[32];
} QOMA_PAT_MANG_INFO;

typedef struct QOMA_PAT_APP_INFO {
    uint32_t uiField0;
    uint32_t uiField1;
    char acField2[32];
} QOMA_PAT_APP_INFO;

typedef struct QOMA_PAT_STATE_INFO {
    char acField0[16];
    uint32_t uiField1;
    uint32_t uiField2;
    uint32_t uiField3;
    uint32_t uiField4;
    uint32_t uiField5;
    uint32_t uiField6;
    uint32_t uiField7;
    char acField8[64];
    uint32_t uiField9;
    char acField10[32];
    char acField11[64];
    char acField12[64];
    char acField13[64];
    char acField14[64];
    char acField15[64];
    char acField16[64];
    char acField17[32];
    char acField18[64];
} QOMA_PAT_STATE_INFO;

typedef struct QOMA_PAT_ERROR_INFO {
    char acField0[32];
    uint32_t uiField1;
    uint32_t uiField2;
    uint32_t uiField3;
    uint32_t uiField4;
    char acField5[64];
    char acField6[64];
} QOMA_PAT_ERROR_INFO;

typedef struct QOMA_PAT_INST_INFO {
    char acField0[16];
    uint32_t uiField1;
    uint32_t uiField2;
    uint32_t uiField3;
    uint32_t uiField4;
    uint8_t ucField5;
    char acField6[16];
    uint8_t ucField7;
    char acField8[64];
    uint8_t ucField9;
    char acField10[8];
    char acField11[64];
    char acField12[64];
    char acField13[16];
    char acField14[64];
    char acField15[64];
    char acField16[64];
    char acField17[32];
} QOMA_PAT_INST_INFO;

typedef struct QOMA_PAT_DESC_INFO {
    uint32_t uiField0;
    uint32_t uiField1;
    char acField2[128];
    char acField3[128];
    char acField4[128];
    char acField5[128];
    char acField6[12];
    char acField7[65];
    char acField8[32];
    char acField9[64];
    uint32_t uiField10;
    uint32_t uiField11;
    char acField12[128];
    char acField13[128];
    char acField14[128];
    uint32_t uiField15;
    char acField16[64];
    char acField17[64];
    char acField18[64];
    char acField19[32];
} QOMA_PAT_DESC_INFO;

/* ------------------------------------------------------------------------ */
/* Response records: a five-field head, then one element or an array        */
/* ------------------------------------------------------------------------ */

#define PSS_RSP_HEAD     \
    uint32_t uiHead0;    \
    uint64_t ullHead1;   \
    uint32_t uiHead2;    \
    uint32_t uiHead3;    \
    uint32_t uiHead4;

typedef struct QOMA_PAT_APPCOMMON_RSP {
    PSS_RSP_HEAD
} QOMA_PAT_APPCOMMON_RSP;

typedef struct QOMA_PAT_ACTIVE_RSP {
    PSS_RSP_HEAD
    QOMA_PAT_OPERFAILINFO stInfo;
} QOMA_PAT_ACTIVE_RSP;

typedef struct QOMA_PAT_APP_QUERY_RSP {
    PSS_RSP_HEAD
    QOMA_PAT_APP_INFO stInfo;
} QOMA_PAT_APP_QUERY_RSP;

typedef struct QOMA_PAT_MANG_QUERY_RSP {
    PSS_RSP_HEAD
    QOMA_PAT_MANG_INFO stInfo;
} QOMA_PAT_MANG_QUERY_RSP;

/* uiInfoNum and pstInfo together are one slot: a counted array that the
 * decoder allocates and the response's _free_unpacked function gives back. */
typedef struct QOMA_PAT_STATE_QUERY_RSP {
    PSS_RSP_HEAD
    uint32_t uiInfoNum;
    QOMA_PAT_STATE_INFO *pstInfo;
} QOMA_PAT_STATE_QUERY_RSP;

typedef struct QOMA_PAT_ERROR_QUERY_RSP {
    PSS_RSP_HEAD
    uint32_t uiInfoNum;
    QOMA_PAT_ERROR_INFO *pstInfo;
} QOMA_PAT_ERROR_QUERY_RSP;

typedef struct QOMA_PAT_INST_QUERY_RSP {
    PSS_RSP_HEAD
    uint32_t uiInfoNum;
    QOMA_PAT_INST_INFO *pstInfo;
} QOMA_PAT_INST_QUERY_RSP;

typedef struct QOMA_PAT_DESC_QUERY_RSP {
    PSS_RSP_HEAD
    uint32_t uiInfoNum;
    QOMA_PAT_DESC_INFO *pstInfo;
} QOMA_PAT_DESC_QUERY_RSP;

#undef PSS_RSP_HEAD

/* ------------------------------------------------------------------------ */
/* Codec entry points, as the middleware calls them                          */
/* ------------------------------------------------------------------------ */

/* Output of a compact encoder: the buffer and its capacity in bytes. */
typedef struct SerialBufDesc {
    uint8_t *pucData;
    uint32_t *puiLen;
} SerialBufDesc;

typedef void *(*IdlUnpackFunc)(const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp);
typedef uint32_t (*IdlPackFunc)(const SerialBufDesc *pstBuf, const void *pvReq);
typedef void (*IdlFreeUnpackedFunc)(void *pvRsp);
typedef uint32_t (*IdlPackFixedFunc)(uint8_t *pucBuf, const void *pvReq);
typedef uint32_t (*IdlFixedSizeFunc)(void);

/* A method's codec table. Slot order is fixed: the middleware reads it. */
typedef struct IdlMsgOps {
    IdlUnpackFunc pfnUnpack;             /* response decoder; null without a response */
    IdlPackFunc pfnPack;                 /* compact request encoder and size query */
    IdlFreeUnpackedFunc pfnFreeUnpacked; /* releases what pfnUnpack allocated */
    void *pfnReserved;                   /* always null */
    IdlPackFixedFunc pfnPackFixed;       /* fixed-layout request encoder */
    IdlFixedSizeFunc pfnFixedSize;       /* size of the fixed-layout image */
} IdlMsgOps;

/* The name under which the middleware knows a method. */
typedef struct IdlMethodId {
    const char *pcServiceName;
    const char *pcMethodName;
} IdlMethodId;

/* The agent's own results. Every other non-zero status comes from the
 * middleware and is passed on unchanged. */
#define PSS_AGENT_OK 0u
#define PSS_AGENT_ENOMEM 12u /* a middleware block could not be allocated */
#define PSS_AGENT_EINVAL 22u /* a required pointer is null, or the service is unreachable */

/* Outcome of a synchronous call. The agent's own failures have uiValue 0 and
 * uiStatus PSS_AGENT_EINVAL or PSS_AGENT_ENOMEM; any other result is the
 * middleware's, passed on word for word. */
typedef struct IdlCallResult {
    uint32_t uiValue;
    uint32_t uiStatus;
} IdlCallResult;

/* Completion of an asynchronous call, called by the middleware on a thread of
 * its choosing with the call's result, the decoded response block (null for
 * methods without a response) and the caller's user data. The middleware
 * owns the response block and what the decoder allocated inside it, and
 * releases both after the callback returns: copy out what you keep. */
typedef void (*IdlAsyncCallback)(IdlCallResult stResult, void *pvRsp, void *pvUserData);

/* Address of the service; the first 52 bytes belong to the middleware. */
typedef struct RpcServerAddr {
    uint8_t aucRpcPrivate[52];
    const char *pcServiceName;
} RpcServerAddr;

/* ------------------------------------------------------------------------ */
/* Exported interface                                                       */
/* ------------------------------------------------------------------------ */

/* The service's address, handed to the middleware on every call. Writable:
 * the middleware's part may be set up by the process before the first call. */
extern PSS_AGENT_API RpcServerAddr g_stServerAddr_PatchSdkService;

/*
 * Four families of functions per method; uiInvokeArg goes unchanged to the
 * middleware's invoke lookup.
 *
 * ...SetIdl(pstOps)
 *     Fills all six slots of *pstOps with the method's codecs (the unused ones
 *     null). Any component may call it, for instance to obtain the release
 *     function pfnFreeUnpacked of a decoded response. A null pstOps is
 *     ignored.
 *
 * ...(pstReq, pstRsp, uiInvokeArg)        methods with a response
 * ...(pstReq, uiInvokeArg)                methods without one
 *     Synchronous call. The middleware decodes the answer into *pstRsp; what
 *     the decoder allocated there (the pstInfo arrays of the query responses)
 *     is the caller's, released with the method's pfnFreeUnpacked. Methods
 *     without a response send a copy of the request. Returns the middleware's
 *     result, or {0, PSS_AGENT_EINVAL} / {0, PSS_AGENT_ENOMEM}.
 *
 * ..._async(pstReq, pfnCallback, pvUserData, uiInvokeArg)
 *     Hands a copy of the request (and a zeroed response block) to the
 *     middleware and returns at once; the outcome arrives through pfnCallback.
 *     PSS_AGENT_OK means handed over, not completed: from then on both blocks
 *     are the middleware's, whatever its own answer to the hand-over. The
 *     request may be reused on return. Methods without a response accept a
 *     null pfnCallback and then send one-way, returning the middleware's
 *     status.
 *
 * ..._oneway(pstReq, uiInvokeArg)          methods without a response
 *     Sends the caller's record without an answer; returns the middleware's
 *     status or PSS_AGENT_EINVAL. The record may be reused on return.
 */

/* QOMA_PAT_Active: QOMA_PAT_ACTIVE_REQ answered by QOMA_PAT_ACTIVE_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_ActiveSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_Active(
    const QOMA_PAT_ACTIVE_REQ *pstReq, QOMA_PAT_ACTIVE_RSP *pstRsp, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_Active_async(
    const QOMA_PAT_ACTIVE_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_QueryStateInfo: QOMA_PAT_STATE_QUERY_REQ answered by QOMA_PAT_STATE_QUERY_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_QueryStateInfoSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_QueryStateInfo(
    const QOMA_PAT_STATE_QUERY_REQ *pstReq, QOMA_PAT_STATE_QUERY_RSP *pstRsp, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_QueryStateInfo_async(
    const QOMA_PAT_STATE_QUERY_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_QueryAppRegInfo: QOMA_PAT_APP_QUERY_REQ answered by QOMA_PAT_APP_QUERY_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_QueryAppRegInfoSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_QueryAppRegInfo(
    const QOMA_PAT_APP_QUERY_REQ *pstReq, QOMA_PAT_APP_QUERY_RSP *pstRsp, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_QueryAppRegInfo_async(
    const QOMA_PAT_APP_QUERY_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_QueryErrorInfo: QOMA_PAT_ERROR_QUERY_REQ answered by QOMA_PAT_ERROR_QUERY_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_QueryErrorInfoSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_QueryErrorInfo(
    const QOMA_PAT_ERROR_QUERY_REQ *pstReq, QOMA_PAT_ERROR_QUERY_RSP *pstRsp, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_QueryErrorInfo_async(
    const QOMA_PAT_ERROR_QUERY_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_QueryMangInfo: QOMA_PAT_MANG_QUERY_REQ answered by QOMA_PAT_MANG_QUERY_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_QueryMangInfoSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_QueryMangInfo(
    const QOMA_PAT_MANG_QUERY_REQ *pstReq, QOMA_PAT_MANG_QUERY_RSP *pstRsp, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_QueryMangInfo_async(
    const QOMA_PAT_MANG_QUERY_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_QueryInstInfo: QOMA_PAT_INST_QUERY_REQ answered by QOMA_PAT_INST_QUERY_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_QueryInstInfoSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_QueryInstInfo(
    const QOMA_PAT_INST_QUERY_REQ *pstReq, QOMA_PAT_INST_QUERY_RSP *pstRsp, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_QueryInstInfo_async(
    const QOMA_PAT_INST_QUERY_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_QueryDescInfo: QOMA_PAT_DESC_QUERY_REQ answered by QOMA_PAT_DESC_QUERY_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_QueryDescInfoSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_QueryDescInfo(
    const QOMA_PAT_DESC_QUERY_REQ *pstReq, QOMA_PAT_DESC_QUERY_RSP *pstRsp, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_QueryDescInfo_async(
    const QOMA_PAT_DESC_QUERY_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_UpdatePkgInstCfg: QOMA_PAT_UPDATE_PKG_INST_CFG_REQ answered by QOMA_PAT_APPCOMMON_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_UpdatePkgInstCfgSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_UpdatePkgInstCfg(
    const QOMA_PAT_UPDATE_PKG_INST_CFG_REQ *pstReq, QOMA_PAT_APPCOMMON_RSP *pstRsp,
    uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_UpdatePkgInstCfg_async(
    const QOMA_PAT_UPDATE_PKG_INST_CFG_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_UpdatePkgName: QOMA_PAT_UPDATE_PKG_NAME_REQ answered by QOMA_PAT_APPCOMMON_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_UpdatePkgNameSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_UpdatePkgName(
    const QOMA_PAT_UPDATE_PKG_NAME_REQ *pstReq, QOMA_PAT_APPCOMMON_RSP *pstRsp,
    uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_UpdatePkgName_async(
    const QOMA_PAT_UPDATE_PKG_NAME_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_HealthCheck: QOMA_PAT_HEALTH_CHECK_REQ answered by QOMA_PAT_APPCOMMON_RSP */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_HealthCheckSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_HealthCheck(
    const QOMA_PAT_HEALTH_CHECK_REQ *pstReq, QOMA_PAT_APPCOMMON_RSP *pstRsp, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_HealthCheck_async(
    const QOMA_PAT_HEALTH_CHECK_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);

/* QOMA_PAT_StopPlugin: QOMA_PAT_STOP_PLUGIN_REQ, no response */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_StopPluginSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_StopPlugin(
    const QOMA_PAT_STOP_PLUGIN_REQ *pstReq, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_StopPlugin_async(
    const QOMA_PAT_STOP_PLUGIN_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_StopPlugin_oneway(
    const QOMA_PAT_STOP_PLUGIN_REQ *pstReq, uint32_t uiInvokeArg);

/* QOMA_PAT_ProcAsyncActiveResult: QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ, no response */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_ProcAsyncActiveResultSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_ProcAsyncActiveResult(
    const QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ *pstReq, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_ProcAsyncActiveResult_async(
    const QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_ProcAsyncActiveResult_oneway(
    const QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ *pstReq, uint32_t uiInvokeArg);

/* QOMA_PAT_ProcAsyncC2HResult: QOMA_PAT_ASYNC_C2H_RESULT_REQ, no response */
PSS_AGENT_API void PatchSdkService_QOMA_PAT_ProcAsyncC2HResultSetIdl(IdlMsgOps *pstOps);
PSS_AGENT_API IdlCallResult PatchSdkService_QOMA_PAT_ProcAsyncC2HResult(
    const QOMA_PAT_ASYNC_C2H_RESULT_REQ *pstReq, uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_ProcAsyncC2HResult_async(
    const QOMA_PAT_ASYNC_C2H_RESULT_REQ *pstReq, IdlAsyncCallback pfnCallback, void *pvUserData,
    uint32_t uiInvokeArg);
PSS_AGENT_API uint32_t PatchSdkService_QOMA_PAT_ProcAsyncC2HResult_oneway(
    const QOMA_PAT_ASYNC_C2H_RESULT_REQ *pstReq, uint32_t uiInvokeArg);

#ifdef __cplusplus
}
#endif

#endif /* PATCH_SDK_SERVICE_AGENT_H */
