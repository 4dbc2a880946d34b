// Stamps the named codec functions of every record from its schema. A
// function's tag, in its log messages and hook calls, is its own name.
#include "messages/codecs.h"

#include "messages/schemas.h"
#include "serial/reader.h"
#include "serial/compact_writer.h"
#include "serial/fixed_layout.h"
#include "serial/fixed_writer.h"

#define KORVO_DEFINE_REQUEST(Rec)                                                            \
    uint32_t Rec##_pack(const SerialBufDesc *pstBuf, const void *pvReq) {                    \
        return korvo::PackCompact<korvo::Schema<Rec>::kTable>(__func__, pstBuf, pvReq);      \
    }                                                                                        \
    uint32_t Rec##_pack_fixed(uint8_t *pucBuf, const void *pvReq) {                          \
        korvo::PackFixed<korvo::kFixedPlan<korvo::Schema<Rec>::kTable>>(pucBuf, pvReq);      \
        return 0;                                                                            \
    }                                                                                        \
    uint32_t Rec##_fixed_size(void) {                                                        \
        static constexpr uint32_t kSize = korvo::FixedImageSize(korvo::Schema<Rec>::kTable); \
        return kSize;                                                                        \
    }

// Only records with an element array have anything to give back after a
// failed decode.
#define KORVO_DEFINE_RESPONSE(Rec)                                                             \
    void *Rec##_unpack(const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp) {                  \
        constexpr auto &stDesc = korvo::Schema<Rec>::kTable;                                   \
        return korvo::Unpack(stDesc, __func__,                                                 \
                             korvo::HasVector(stDesc) ? Rec##_free_unpacked : nullptr, pucBuf, \
                             iBufLen, pvRsp);                                                  \
    }                                                                                          \
    void Rec##_free_unpacked(void *pvRsp) {                                                    \
        korvo::FreeUnpacked(korvo::Schema<Rec>::kTable, __func__, pvRsp);                      \
    }

#define KORVO_DEFINE_ELEMENT(Rec)                                                            \
    void *Rec##_unpack_non_root(const uint8_t *pucBuf, int32_t iBufLen, uint32_t uiTablePos, \
                                void *pvOut) {                                               \
        return korvo::UnpackElement(korvo::Schema<Rec>::kTable, __func__, pucBuf, iBufLen,   \
                                    uiTablePos, pvOut);                                      \
    }

extern "C" {
KORVO_REQUESTS(KORVO_DEFINE_REQUEST)
KORVO_RESPONSES(KORVO_DEFINE_RESPONSE)
KORVO_ELEMENTS(KORVO_DEFINE_ELEMENT)
}
