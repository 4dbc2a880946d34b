// The KORVO schema of every record of the service: one KORVO_SCHEMA line per
// record, one KORVO_FIELD or KORVO_VECTOR per slot, in slot order, naming the
// record's members. Expanded once, by messages/schemas.h, into each record's
// korvo::Schema: the codecs' descriptions and the member names host programs
// print.

#define F KORVO_FIELD

// ---- request bodies -------------------------------------------------------

KORVO_SCHEMA(QOMA_PAT_ACTIVE_REQ_BODY, F(uiField0), F(uiField1), F(uiField2), F(acField3),
             F(acField4), F(uiField5), F(acField6), F(uiField7), F(uiField8), F(uiField9),
             F(uiField10))
KORVO_SCHEMA(QOMA_PAT_STATE_QUERY_REQ_BODY, F(uiField0), F(uiField1), F(acField2), F(acField3),
             F(acField4), F(uiField5))
KORVO_SCHEMA(QOMA_PAT_APP_QUERY_REQ_BODY, F(uiField0))
KORVO_SCHEMA(QOMA_PAT_ERROR_QUERY_REQ_BODY, F(uiField0), F(uiField1))
KORVO_SCHEMA(QOMA_PAT_MANG_QUERY_REQ_BODY, F(acField0), F(acField1), F(acField2))
KORVO_SCHEMA(QOMA_PAT_INST_QUERY_REQ_BODY, F(acField0), F(acField1), F(acField2))
KORVO_SCHEMA(QOMA_PAT_DESC_QUERY_REQ_BODY, F(uiField0), F(acField1), F(acField2), F(acField3))
KORVO_SCHEMA(QOMA_PAT_UPDATE_PKG_INST_CFG_REQ_BODY, F(uiField0), F(uiField1), F(uiField2),
             F(acField3), F(acField4), F(acField5), F(acField6), F(uiField7), F(uiField8),
             F(acField9))
KORVO_SCHEMA(QOMA_PAT_UPDATE_PKG_NAME_REQ_BODY, F(acField0), F(acField1), F(acField2), F(acField3))
KORVO_SCHEMA(QOMA_PAT_HEALTH_CHECK_REQ_BODY, F(acField0), F(acField1), F(uiField2), F(uiField3))
KORVO_SCHEMA(QOMA_PAT_ASYNC_C2H_RESULT_REQ_BODY, F(uiField0), F(ullField1), F(uiField2))

// ---- requests: head (slots 0 to 2) and body (slot 3) -----------------------

#define KORVO_REQUEST_WITH_BODY(Rec) \
    KORVO_SCHEMA(Rec, F(uiHead0), F(ullHead1), F(uiHead2), F(stBody))
KORVO_REQUEST_WITH_BODY(QOMA_PAT_ACTIVE_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_STATE_QUERY_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_APP_QUERY_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_ERROR_QUERY_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_MANG_QUERY_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_INST_QUERY_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_DESC_QUERY_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_UPDATE_PKG_INST_CFG_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_UPDATE_PKG_NAME_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_HEALTH_CHECK_REQ)
KORVO_REQUEST_WITH_BODY(QOMA_PAT_ASYNC_C2H_RESULT_REQ)
#undef KORVO_REQUEST_WITH_BODY

KORVO_SCHEMA(QOMA_PAT_STOP_PLUGIN_REQ, F(uiHead0), F(ullHead1), F(uiHead2))
KORVO_SCHEMA(QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ, F(ullField0), F(uiField1), F(uiField2), F(uiField3))

// ---- response elements -----------------------------------------------------

KORVO_SCHEMA(QOMA_PAT_OPERFAILINFO, F(uiField0), F(uiField1), F(uiField2), F(uiField3), F(uiField4),
             F(acField5), F(acField6), F(acField7), F(acField8))
KORVO_SCHEMA(QOMA_PAT_MANG_INFO, F(uiField0), F(uiField1), F(uiField2), F(uiField3), F(uiField4),
             F(acField5), F(acField6), F(acField7))
KORVO_SCHEMA(QOMA_PAT_APP_INFO, F(uiField0), F(uiField1), F(acField2))
KORVO_SCHEMA(QOMA_PAT_STATE_INFO, F(acField0), F(uiField1), F(uiField2), F(uiField3), F(uiField4),
             F(uiField5), F(uiField6), F(uiField7), F(acField8), F(uiField9), F(acField10),
             F(acField11), F(acField12), F(acField13), F(acField14), F(acField15), F(acField16),
             F(acField17), F(acField18))
KORVO_SCHEMA(QOMA_PAT_ERROR_INFO, F(acField0), F(uiField1), F(uiField2), F(uiField3), F(uiField4),
             F(acField5), F(acField6))
KORVO_SCHEMA(QOMA_PAT_INST_INFO, F(acField0), F(uiField1), F(uiField2), F(uiField3), F(uiField4),
             F(ucField5), F(acField6), F(ucField7), F(acField8), F(ucField9), F(acField10),
             F(acField11), F(acField12), F(acField13), F(acField14), F(acField15), F(acField16),
             F(acField17))
KORVO_SCHEMA(QOMA_PAT_DESC_INFO, F(uiField0), F(uiField1), F(acField2), F(acField3), F(acField4),
             F(acField5), F(acField6), F(acField7), F(acField8), F(acField9), F(uiField10),
             F(uiField11), F(acField12), F(acField13), F(acField14), F(uiField15), F(acField16),
             F(acField17), F(acField18), F(acField19))

// ---- responses: head (slots 0 to 4), then one element or a vector (slot 5) --

#define KORVO_RESPONSE_HEAD F(uiHead0), F(ullHead1), F(uiHead2), F(uiHead3), F(uiHead4)
KORVO_SCHEMA(QOMA_PAT_APPCOMMON_RSP, KORVO_RESPONSE_HEAD)
KORVO_SCHEMA(QOMA_PAT_ACTIVE_RSP, KORVO_RESPONSE_HEAD, F(stInfo))
KORVO_SCHEMA(QOMA_PAT_APP_QUERY_RSP, KORVO_RESPONSE_HEAD, F(stInfo))
KORVO_SCHEMA(QOMA_PAT_MANG_QUERY_RSP, KORVO_RESPONSE_HEAD, F(stInfo))
KORVO_SCHEMA(QOMA_PAT_STATE_QUERY_RSP, KORVO_RESPONSE_HEAD, KORVO_VECTOR(uiInfoNum, pstInfo))
KORVO_SCHEMA(QOMA_PAT_ERROR_QUERY_RSP, KORVO_RESPONSE_HEAD, KORVO_VECTOR(uiInfoNum, pstInfo))
KORVO_SCHEMA(QOMA_PAT_INST_QUERY_RSP, KORVO_RESPONSE_HEAD, KORVO_VECTOR(uiInfoNum, pstInfo))
KORVO_SCHEMA(QOMA_PAT_DESC_QUERY_RSP, KORVO_RESPONSE_HEAD, KORVO_VECTOR(uiInfoNum, pstInfo))
#undef KORVO_RESPONSE_HEAD

#undef F
