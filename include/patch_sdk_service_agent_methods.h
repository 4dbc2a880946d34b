/*
 * The PatchSdkService methods in catalogue order, one line each: the one list
 * from which the agent's catalogue and exported functions, the C++ layer's
 * method traits, the simulated service, the demo and the tests are stamped.
 * Record names do not follow method names, so every binding comes from
 * these lines.
 *   REQ_RSP(Op, Request, Response)   methods with a response
 *   REQ_ONLY(Op, Request)            methods without one (also sent one-way)
 * A method's exported functions are PatchSdkService_QOMA_PAT_<Op>, ..._async,
 * ...SetIdl and, without a response, ..._oneway; the middleware knows it as
 * "QOMA_PAT_<Op>". C99 and C++.
 */
#ifndef PATCH_SDK_SERVICE_AGENT_METHODS_H
#define PATCH_SDK_SERVICE_AGENT_METHODS_H

// The service's name and a method's name as the middleware's method ids
// carry them (QOMA_PAT_Active).
#define PSS_SERVICE_NAME "PatchSdkService"
#define PSS_METHOD_NAME(Op) "QOMA_PAT_" #Op

#define PSS_METHODS(REQ_RSP, REQ_ONLY)                                                  \
    REQ_RSP(Active, QOMA_PAT_ACTIVE_REQ, QOMA_PAT_ACTIVE_RSP)                           \
    REQ_RSP(QueryStateInfo, QOMA_PAT_STATE_QUERY_REQ, QOMA_PAT_STATE_QUERY_RSP)         \
    REQ_RSP(QueryAppRegInfo, QOMA_PAT_APP_QUERY_REQ, QOMA_PAT_APP_QUERY_RSP)            \
    REQ_RSP(QueryErrorInfo, QOMA_PAT_ERROR_QUERY_REQ, QOMA_PAT_ERROR_QUERY_RSP)         \
    REQ_RSP(QueryMangInfo, QOMA_PAT_MANG_QUERY_REQ, QOMA_PAT_MANG_QUERY_RSP)            \
    REQ_RSP(QueryInstInfo, QOMA_PAT_INST_QUERY_REQ, QOMA_PAT_INST_QUERY_RSP)            \
    REQ_RSP(QueryDescInfo, QOMA_PAT_DESC_QUERY_REQ, QOMA_PAT_DESC_QUERY_RSP)            \
    REQ_RSP(UpdatePkgInstCfg, QOMA_PAT_UPDATE_PKG_INST_CFG_REQ, QOMA_PAT_APPCOMMON_RSP) \
    REQ_RSP(UpdatePkgName, QOMA_PAT_UPDATE_PKG_NAME_REQ, QOMA_PAT_APPCOMMON_RSP)        \
    REQ_RSP(HealthCheck, QOMA_PAT_HEALTH_CHECK_REQ, QOMA_PAT_APPCOMMON_RSP)             \
    REQ_ONLY(StopPlugin, QOMA_PAT_STOP_PLUGIN_REQ)                                      \
    REQ_ONLY(ProcAsyncActiveResult, QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ)                  \
    REQ_ONLY(ProcAsyncC2HResult, QOMA_PAT_ASYNC_C2H_RESULT_REQ)

#endif
