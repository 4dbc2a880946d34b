// The worked images, each written once: the encoder tests compare what the
// library writes with them, the decoder and hook tests decode them, and the
// wire tool's golden accounts are of them.
#ifndef PSS_TEST_WORKED_IMAGES_H
#define PSS_TEST_WORKED_IMAGES_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include "messages/codecs.h"

namespace pss_test {

// clang-format off

// QOMA_PAT_APP_QUERY_REQ with uiHead0 = 1, ullHead1 = 2^32 + 2 and
// stBody.uiField0 = 7, compact.
inline constexpr uint8_t kAppQueryCompact[50] = {
    0x10, 0, 0, 0,                                  //  0: root table at 16
    0x0c, 0, 0x14, 0, 4, 0, 8, 0, 0, 0, 0x10, 0,    //  4: root vtable: slots 0, 1 and 3
    0x0c, 0, 0, 0, 1, 0, 0, 0,                      // 16: soffset, uiHead0
    2, 0, 0, 0, 1, 0, 0, 0,                         // 24: ullHead1
    0x0a, 0, 0, 0,                                  // 32: body table at 42
    6, 0, 8, 0, 4, 0,                               // 36: body vtable
    6, 0, 0, 0, 7, 0, 0, 0};                        // 42: soffset, uiField0

// The same record in the fixed layout; the padding, which the encoder leaves
// as the buffer held it, shown as zero.
inline constexpr uint8_t kAppQueryFixed[64] = {
    4, 0, 0, 0,                                     //  0: root table at 4
    0xd4, 0xff, 0xff, 0xff, 1, 0, 0, 0,             //  4: soffset -44, uiHead0
    2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,             // 12: ullHead1, uiHead2
    4, 0, 0, 0,                                     // 24: body table at 28
    0xf8, 0xff, 0xff, 0xff, 7, 0, 0, 0,             // 28: soffset -8, uiField0
    6, 0, 8, 0, 4, 0, 0, 0, 0, 0, 0, 0,             // 36: body vtable, padding
    0x0c, 0, 0x2c, 0, 4, 0, 8, 0, 0x10, 0, 0x14, 0, // 48: root vtable
    0, 0, 0, 0};                                    // 60: padding

// QOMA_PAT_STOP_PLUGIN_REQ whose ullHead1 = 5 << 32 is all it carries, compact.
inline constexpr uint8_t kStopPluginHigh[26] = {
    0x0e, 0, 0, 0,                                  //  0: root table at 14
    0x0a, 0, 0x0c, 0, 0, 0, 4, 0, 0, 0,             //  4: root vtable: slot 1 at +4
    0x0a, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0};         // 14: soffset, ullHead1

// QOMA_PAT_ERROR_QUERY_RSP with uiHead0 = 1 and two elements, the first with
// uiField1 = 5, the second all zero; every vtable just before its table.
inline constexpr uint8_t kErrorQueryImage[68] = {
    0x14, 0, 0, 0,                                   //  0: root table at 20
    0x10, 0, 0x0c, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //  4: root vtable, 6 slots: slot 0 at +4,
    8, 0,                                            //     slot 5 at +8
    0x10, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0,           // 20: soffset, uiHead0, vector at 32
    2, 0, 0, 0, 0x10, 0, 0, 0, 0x18, 0, 0, 0,        // 32: count 2, tables at 52 and 64
    8, 0, 8, 0, 0, 0, 4, 0,                          // 44: element 0's vtable: slot 1 at +4
    8, 0, 0, 0, 5, 0, 0, 0,                          // 52: its soffset, uiField1
    4, 0, 4, 0, 4, 0, 0, 0};                         // 60: element 1's vtable, no slots; table
// clang-format on

// The two elements kErrorQueryImage decodes to.
inline void ErrorQueryElements(QOMA_PAT_ERROR_INFO (&astInfo)[2]) {
    memset(astInfo, 0, sizeof astInfo);
    astInfo[0].uiField1 = 5;
}

// Decodes kErrorQueryImage into *pstRsp and checks every value it carries.
// Decoding allocates one array of two elements and the release frees it.
inline void DecodeErrorQuery(QOMA_PAT_ERROR_QUERY_RSP *pstRsp) {
    ASSERT_EQ(QOMA_PAT_ERROR_QUERY_RSP_unpack(kErrorQueryImage, sizeof kErrorQueryImage, pstRsp),
              pstRsp);
    EXPECT_EQ(pstRsp->uiHead0, 1u);
    ASSERT_EQ(pstRsp->uiInfoNum, 2u);
    ASSERT_NE(pstRsp->pstInfo, nullptr);
    QOMA_PAT_ERROR_INFO astWant[2];
    ErrorQueryElements(astWant);
    EXPECT_EQ(memcmp(pstRsp->pstInfo, astWant, sizeof astWant), 0) << "the elements differ";
}

}  // namespace pss_test

#endif
