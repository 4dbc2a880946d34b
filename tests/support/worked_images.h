// The worked images, each written once: the encoder tests compare what the
// library writes with them, the decoder and hook tests decode them, and the
// wire tool's golden accounts are of them.
#ifndef PSS_TEST_WORKED_IMAGES_H
#define PSS_TEST_WORKED_IMAGES_H

#include <gtest/gtest.h>
#include <stdint.h>

#include "messages/codecs.h"

namespace pss_test {

// Every byte of each is accounted for in tests/korvo/golden/<image>.txt.
// clang-format off

// app_query_req_compact: QOMA_PAT_APP_QUERY_REQ with uiHead0 = 1,
// ullHead1 = 2^32 + 2 and stBody.uiField0 = 7, compact.
inline constexpr uint8_t kAppQueryCompact[50] = {
    0x10, 0, 0, 0, 0x0c, 0, 0x14, 0, 4, 0, 8, 0, 0, 0, 0x10, 0, 0x0c, 0, 0, 0, 1, 0, 0, 0,
    2, 0, 0, 0, 1, 0, 0, 0, 0x0a, 0, 0, 0, 6, 0, 8, 0, 4, 0, 6, 0, 0, 0, 7, 0, 0, 0};

// app_query_req_fixed: the same record in the fixed layout; its padding,
// which the encoder leaves as the buffer held it, shown as zero.
inline constexpr uint8_t kAppQueryFixed[64] = {
    4, 0, 0, 0, 0xd4, 0xff, 0xff, 0xff, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
    4, 0, 0, 0, 0xf8, 0xff, 0xff, 0xff, 7, 0, 0, 0, 6, 0, 8, 0, 4, 0, 0, 0, 0, 0, 0, 0,
    0x0c, 0, 0x2c, 0, 4, 0, 8, 0, 0x10, 0, 0x14, 0, 0, 0, 0, 0};

// stop_plugin_req: QOMA_PAT_STOP_PLUGIN_REQ with ullHead1 = 5 << 32 alone, compact.
inline constexpr uint8_t kStopPluginHigh[26] = {
    0x0e, 0, 0, 0, 0x0a, 0, 0x0c, 0, 0, 0, 4, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0};

// error_query_rsp: QOMA_PAT_ERROR_QUERY_RSP with uiHead0 = 1 and two
// elements, the first with uiField1 = 5, the second all zero; every vtable
// just before its table.
inline constexpr uint8_t kErrorQueryImage[68] = {
    0x14, 0, 0, 0, 0x10, 0, 0x0c, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0x10, 0, 0, 0,
    1, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 0x10, 0, 0, 0, 0x18, 0, 0, 0, 8, 0, 8, 0,
    0, 0, 4, 0, 8, 0, 0, 0, 5, 0, 0, 0, 4, 0, 4, 0, 4, 0, 0, 0};
// clang-format on

// Decodes kErrorQueryImage into *pstRsp and checks every value it carries.
// Decoding allocates one array of two elements and the release frees it.
inline void DecodeErrorQuery(QOMA_PAT_ERROR_QUERY_RSP *pstRsp) {
    ASSERT_EQ(QOMA_PAT_ERROR_QUERY_RSP_unpack(kErrorQueryImage, sizeof kErrorQueryImage, pstRsp),
              pstRsp);
    EXPECT_EQ(pstRsp->uiHead0, 1u);
    ASSERT_EQ(pstRsp->uiInfoNum, 2u);
    ASSERT_NE(pstRsp->pstInfo, nullptr);
    EXPECT_EQ(pstRsp->pstInfo[0].uiField1, 5u);
    EXPECT_EQ(pstRsp->pstInfo[1].uiField1, 0u);
}

}  // namespace pss_test

#endif
