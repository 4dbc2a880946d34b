// The named codec functions of every record. They are internal to the
// library: the middleware reaches them through a method's IdlMsgOps.
#ifndef KORVO_CODECS_H
#define KORVO_CODECS_H

#include "messages/message_list.h"
#include "patch_sdk_service_agent.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KORVO_DECLARE_REQUEST(Rec)                                        \
    uint32_t Rec##_pack(const SerialBufDesc *pstBuf, const void *pvReq);  \
    uint32_t Rec##_pack_fixed(uint8_t *pucBuf, const void *pvReq);        \
    uint32_t Rec##_fixed_size(void);
#define KORVO_DECLARE_RESPONSE(Rec)                                                  \
    void *Rec##_unpack(const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp);         \
    void Rec##_free_unpacked(void *pvRsp);
#define KORVO_DECLARE_ELEMENT(Rec) \
    void *Rec##_unpack_non_root(const uint8_t *pucBuf, int32_t iBufLen, uint32_t uiTablePos, void *pvOut);

KORVO_REQUESTS(KORVO_DECLARE_REQUEST)
KORVO_RESPONSES(KORVO_DECLARE_RESPONSE)
KORVO_ELEMENTS(KORVO_DECLARE_ELEMENT)

#undef KORVO_DECLARE_REQUEST
#undef KORVO_DECLARE_RESPONSE
#undef KORVO_DECLARE_ELEMENT

#ifdef __cplusplus
}
#endif

#endif
