// The fixed-layout encoders, byte for byte: the published images, and for
// every request the image size, where its vtables lie, their entries, that
// every uoffset is 4, and that exactly the padding bytes are left unwritten.
#include <gtest/gtest.h>

#include <set>

#include "support/os_layer.h"
#include "support/request_cases.h"

namespace pss_test {
namespace {

constexpr uint8_t kMarkerA = 0xA5;
constexpr uint8_t kMarkerB = 0x5A;

std::vector<uint8_t> PackFixed(const RequestCase &c, const void *pvRec, uint8_t ucMarker) {
    std::vector<uint8_t> image(c.pfnFixedSize() + 16, ucMarker);
    EXPECT_EQ(c.pfnPackFixed(image.data(), pvRec), 0u);
    for (size_t i = c.pfnFixedSize(); i < image.size(); ++i) {
        EXPECT_EQ(image[i], ucMarker) << "written past the image at " << i;
    }
    image.resize(c.pfnFixedSize());
    return image;
}

// Non-padding bytes equal the expected image; padding keeps the marker.
void ExpectImage(std::span<const uint8_t> actual, const ExpectedImage &expected) {
    EXPECT_TRUE(
        std::equal(actual.begin(), actual.end(), expected.Bytes().begin(), expected.Bytes().end()))
        << Differences(actual, expected.Bytes());
}

TEST(FixedImage, AppQueryIsThePublishedImage) {
    QOMA_PAT_APP_QUERY_REQ stReq;
    memset(&stReq, 0, sizeof stReq);
    stReq.uiHead0 = 1;
    stReq.ullHead1 = 4294967298ull;
    stReq.stBody.uiField0 = 7;
    std::vector<uint8_t> image(64, kMarkerA);
    ASSERT_EQ(QOMA_PAT_APP_QUERY_REQ_fixed_size(), 64u);
    EXPECT_EQ(QOMA_PAT_APP_QUERY_REQ_pack_fixed(image.data(), &stReq), 0u);
    ExpectImage(image, ExpectedImage(64, kMarkerA)
                           .U32(0, 4)
                           .U32(4, 0xFFFFFFD4u)  // -44
                           .U32(8, 1)
                           .U64(12, 4294967298ull)
                           .U32(20, 0)
                           .U32(24, 4)
                           .U32(28, 0xFFFFFFF8u)  // -8
                           .U32(32, 7)
                           .U16s(36, {6, 8, 4})
                           .U16s(48, {12, 44, 4, 8, 16, 20}));
}

TEST(FixedImage, ActiveIsThePublishedImage) {
    QOMA_PAT_ACTIVE_REQ stReq;
    memset(&stReq, 0, sizeof stReq);
    stReq.uiHead0 = 0x0A0B0C0D;
    stReq.ullHead1 = 0x0102030405060708ull;
    stReq.uiHead2 = 0;
    QOMA_PAT_ACTIVE_REQ_BODY &b = stReq.stBody;
    b.uiField0 = 100, b.uiField1 = 0, b.uiField2 = 102;
    memcpy(b.acField3, "field3\0hidden", 13);
    for (size_t i = 0; i < sizeof b.acField4; ++i) b.acField4[i] = static_cast<char>(0x80 + i);
    b.uiField5 = 105;
    memcpy(b.acField6, "six", 3);
    b.uiField7 = 107, b.uiField8 = 0xFFFFFFFFu, b.uiField9 = 0, b.uiField10 = 110;

    std::vector<uint8_t> image(520, kMarkerA);
    ASSERT_EQ(QOMA_PAT_ACTIVE_REQ_fixed_size(), 520u);
    EXPECT_EQ(QOMA_PAT_ACTIVE_REQ_pack_fixed(image.data(), &stReq), 0u);
    ExpectImage(image, ExpectedImage(520, kMarkerA)
                           .U32(0, 4)
                           .U32(4, 0u - 500)
                           .U32(8, stReq.uiHead0)
                           .U64(12, stReq.ullHead1)
                           .U32(20, 0)
                           .U32(24, 4)
                           .U32(28, 0u - 444)
                           .U32(32, 100)
                           .U32(36, 0)
                           .U32(40, 102)
                           .U32(44, 4)
                           .Vector(48, b.acField3)
                           .U32(116, 4)
                           .Vector(120, b.acField4)
                           .U32(188, 105)
                           .U32(192, 4)
                           .Vector(196, b.acField6)
                           .U32(456, 107)
                           .U32(460, 0xFFFFFFFFu)
                           .U32(464, 0)
                           .U32(468, 110)
                           .U16s(472, {26, 444, 4, 8, 12, 16, 88, 160, 164, 428, 432, 436, 440})
                           .U16s(504, {12, 500, 4, 8, 16, 20}));
}

class FixedRequest : public testing::TestWithParam<const RequestCase *> {};

TEST_P(FixedRequest, ExactlyThePaddingIsLeftUnwritten) {
    const RequestCase &c = *GetParam();
    ASSERT_EQ(c.pfnFixedSize(), c.fixed.uiImageSize);
    EXPECT_EQ(c.fixed.uiImageSize % 8, 0u);
    std::set<uint32_t> padding;
    for (auto [uiFirst, uiLast] : c.fixed.padding) {
        for (uint32_t i = uiFirst; i <= uiLast; ++i) padding.insert(i);
    }
    std::mt19937 rng(11);
    for (int iRound = 0; iRound < 8; ++iRound) {
        RecordStorage rec = c.NewRecord();
        if (iRound > 0) c.pfnFillRandom(rec.Get(), rng);  // round 0: all zero
        const std::vector<uint8_t> a = PackFixed(c, rec.Get(), kMarkerA);
        const std::vector<uint8_t> b = PackFixed(c, rec.Get(), kMarkerB);
        std::set<uint32_t> unwritten;
        for (uint32_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) {
                unwritten.insert(i);
                EXPECT_EQ(a[i], kMarkerA);
                EXPECT_EQ(b[i], kMarkerB);
            }
        }
        EXPECT_EQ(unwritten, padding) << "round " << iRound;
    }
}

TEST_P(FixedRequest, TablesAndVtablesLieWhereTheLayoutPutsThem) {
    const RequestCase &c = *GetParam();
    const FixedGeometry &g = c.fixed;
    std::mt19937 rng(13);
    for (int iRound = 0; iRound < 4; ++iRound) {
        SCOPED_TRACE("round " + std::to_string(iRound));
        RecordStorage rec = c.NewRecord();
        if (iRound > 0) c.pfnFillRandom(rec.Get(), rng);  // round 0: all zero
        const std::vector<uint8_t> image = PackFixed(c, rec.Get(), kMarkerA);
        const ImageReader r(image);

        EXPECT_EQ(r.Root(), 4u);
        EXPECT_EQ(r.U32(4), 0u - g.uiRootTableSize) << "root soffset";
        EXPECT_EQ(r.Vtable(4), g.uiRootVtable);
        EXPECT_EQ(g.uiRootVtable, 4 + g.uiRootTableSize);
        EXPECT_EQ(r.U16(g.uiRootVtable), 4 + 2 * g.rootEntries.size()) << "root vtable length";
        EXPECT_EQ(r.U16(g.uiRootVtable + 2), g.uiRootTableSize);
        for (uint32_t i = 0; i < g.rootEntries.size(); ++i) {
            EXPECT_EQ(r.U16(g.uiRootVtable + 4 + 2 * i), g.rootEntries[i]) << "root slot " << i;
        }
        if (g.uiBodyVtable != 0) {
            EXPECT_EQ(r.U32(24), 4u) << "body uoffset";
            EXPECT_EQ(r.U32(28), 0u - g.uiBodyTableSize) << "body soffset";
            EXPECT_EQ(r.Vtable(28), g.uiBodyVtable);
            EXPECT_EQ(r.U16(g.uiBodyVtable), g.uiBodyVtableLen);
            EXPECT_EQ(r.U16(g.uiBodyVtable + 2), g.uiBodyTableSize);
            EXPECT_EQ(g.uiBodyVtableLen, 4 + 2 * g.bodyEntries.size());
            for (uint32_t i = 0; i < g.bodyEntries.size(); ++i) {
                EXPECT_EQ(r.U16(g.uiBodyVtable + 4 + 2 * i), g.bodyEntries[i]) << "body slot " << i;
            }
        }

        // Every referenced object directly follows its uoffset, and the
        // image reads back as the record that was encoded.
        std::vector<uint32_t> uoffsets;
        std::string diff;
        EXPECT_TRUE(c.pfnReadsBackAs(image, rec.Get(), &diff, &uoffsets)) << diff;
        EXPECT_FALSE(uoffsets.empty() && g.uiBodyVtable != 0);
        for (uint32_t u : uoffsets) EXPECT_EQ(u, 4u);
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, FixedRequest, testing::ValuesIn(AllRequestPointers()), CaseName);

}  // namespace
}  // namespace pss_test
