// The service's records, in catalogue order. Each list stamps code once per
// record: X(RECORD_NAME).
#ifndef KORVO_MESSAGE_LIST_H
#define KORVO_MESSAGE_LIST_H

#define KORVO_REQUESTS(X)                   \
    X(QOMA_PAT_ACTIVE_REQ)                  \
    X(QOMA_PAT_STATE_QUERY_REQ)             \
    X(QOMA_PAT_APP_QUERY_REQ)               \
    X(QOMA_PAT_ERROR_QUERY_REQ)             \
    X(QOMA_PAT_MANG_QUERY_REQ)              \
    X(QOMA_PAT_INST_QUERY_REQ)              \
    X(QOMA_PAT_DESC_QUERY_REQ)              \
    X(QOMA_PAT_UPDATE_PKG_INST_CFG_REQ)     \
    X(QOMA_PAT_UPDATE_PKG_NAME_REQ)         \
    X(QOMA_PAT_HEALTH_CHECK_REQ)            \
    X(QOMA_PAT_STOP_PLUGIN_REQ)             \
    X(QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ)    \
    X(QOMA_PAT_ASYNC_C2H_RESULT_REQ)

#define KORVO_RESPONSES(X)          \
    X(QOMA_PAT_ACTIVE_RSP)          \
    X(QOMA_PAT_STATE_QUERY_RSP)     \
    X(QOMA_PAT_APP_QUERY_RSP)       \
    X(QOMA_PAT_ERROR_QUERY_RSP)     \
    X(QOMA_PAT_MANG_QUERY_RSP)      \
    X(QOMA_PAT_INST_QUERY_RSP)      \
    X(QOMA_PAT_DESC_QUERY_RSP)      \
    X(QOMA_PAT_APPCOMMON_RSP)

#define KORVO_ELEMENTS(X)         \
    X(QOMA_PAT_OPERFAILINFO)      \
    X(QOMA_PAT_STATE_INFO)        \
    X(QOMA_PAT_APP_INFO)          \
    X(QOMA_PAT_ERROR_INFO)        \
    X(QOMA_PAT_MANG_INFO)         \
    X(QOMA_PAT_INST_INFO)         \
    X(QOMA_PAT_DESC_INFO)

#endif
