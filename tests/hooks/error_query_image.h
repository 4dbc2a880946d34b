// The worked QOMA_PAT_ERROR_QUERY_RSP image: uiHead0 = 1 and two elements,
// the first with uiField1 = 5, the second all zero; every vtable just before
// its table. Decoding it allocates one array of two elements and its release
// frees it, which is all the hook tests need the codecs for.
#ifndef PSS_TEST_ERROR_QUERY_IMAGE_H
#define PSS_TEST_ERROR_QUERY_IMAGE_H

#include <gtest/gtest.h>
#include <stdint.h>

#include "messages/codecs.h"

namespace pss_test {

// clang-format off
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

// Decodes the image into *pstRsp and checks every value it carries.
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
