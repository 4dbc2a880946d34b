// A small QOMA_PAT_ERROR_QUERY_RSP image with one element: decoding it
// allocates one element array and its release frees it, which is all the
// hook tests need the codecs for.
#ifndef PSS_TEST_ERROR_QUERY_IMAGE_H
#define PSS_TEST_ERROR_QUERY_IMAGE_H

#include <gtest/gtest.h>
#include <stdint.h>

#include "messages/codecs.h"

namespace pss_test {

// clang-format off
inline constexpr uint8_t kErrorQueryImage[] = {
    0x14, 0x00, 0x00, 0x00,                          //  0: root table at 20
    0x10, 0x00, 0x0c, 0x00,                          //  4: root vtable: 6 slots, table size 12
    0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //  8: slot 0 at +4, slots 1-4 absent,
    0x00, 0x00, 0x08, 0x00,                          //     slot 5 at +8
    0x10, 0x00, 0x00, 0x00,                          // 20: soffset: vtable at 4
    0x01, 0x00, 0x00, 0x00,                          // 24: uiHead0 = 1
    0x04, 0x00, 0x00, 0x00,                          // 28: vector at 32
    0x01, 0x00, 0x00, 0x00,                          // 32: one element
    0x0c, 0x00, 0x00, 0x00,                          // 36: element table at 48
    0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x04, 0x00,  // 40: element vtable: slot 1 at +4
    0x08, 0x00, 0x00, 0x00,                          // 48: soffset: vtable at 40
    0x05, 0x00, 0x00, 0x00,                          // 52: uiField1 = 5
};
// clang-format on

inline constexpr const char *kErrorQueryUnpackTag = "QOMA_PAT_ERROR_QUERY_RSP_unpack";
inline constexpr const char *kErrorQueryFreeTag = "QOMA_PAT_ERROR_QUERY_RSP_free_unpacked";

// Decodes the image into *pstRsp and checks every value it carries.
inline void DecodeErrorQuery(QOMA_PAT_ERROR_QUERY_RSP *pstRsp) {
    ASSERT_EQ(QOMA_PAT_ERROR_QUERY_RSP_unpack(kErrorQueryImage, sizeof kErrorQueryImage, pstRsp),
              pstRsp);
    EXPECT_EQ(pstRsp->uiHead0, 1u);
    ASSERT_EQ(pstRsp->uiInfoNum, 1u);
    ASSERT_NE(pstRsp->pstInfo, nullptr);
    EXPECT_EQ(pstRsp->pstInfo[0].uiField1, 5u);
    EXPECT_EQ(pstRsp->pstInfo[0].uiField2, 0u);
}

}  // namespace pss_test

#endif
