// Randomised requests of every type: both images read back, by the tests'
// own reader, as the record that was encoded; the compact image does not
// depend on the output's alignment; encoding takes no memory from the hooks.
#include <gtest/gtest.h>

#include "support/os_layer.h"
#include "support/request_cases.h"

namespace pss_test {
namespace {

constexpr int kRounds = 200;

std::vector<uint8_t> PackCompact(const RequestCase &c, const void *pvRec, uint32_t uiOffset) {
    const uint32_t uiSize = c.pfnPack(nullptr, pvRec);
    std::vector<uint8_t> buffer(uiOffset + uiSize);
    uint32_t uiLen = uiSize;
    const SerialBufDesc stBuf{buffer.data() + uiOffset, &uiLen};
    EXPECT_EQ(c.pfnPack(&stBuf, pvRec), uiSize);
    return {buffer.begin() + uiOffset, buffer.end()};
}

class RoundTrip : public testing::TestWithParam<const RequestCase *> {};

TEST_P(RoundTrip, BothImagesReadBackAsTheRecord) {
    const RequestCase &c = *GetParam();
    std::mt19937 rng(12345);
    TakeAllocs();
    for (int iRound = 0; iRound < kRounds && !HasFailure(); ++iRound) {
        SCOPED_TRACE("round " + std::to_string(iRound));
        RecordStorage rec = c.NewRecord();
        c.pfnFillRandom(rec.Get(), rng);

        const std::vector<uint8_t> compact = PackCompact(c, rec.Get(), 0);
        std::string diff;
        EXPECT_TRUE(c.pfnReadsBackAs(compact, rec.Get(), &diff, nullptr)) << "compact: " << diff;
        for (uint32_t uiOffset = 1; uiOffset < 4; ++uiOffset) {
            EXPECT_EQ(PackCompact(c, rec.Get(), uiOffset), compact) << "offset " << uiOffset;
        }

        std::vector<uint8_t> fixed(c.pfnFixedSize());
        EXPECT_EQ(c.pfnPackFixed(fixed.data(), rec.Get()), 0u);
        EXPECT_TRUE(c.pfnReadsBackAs(fixed, rec.Get(), &diff, nullptr)) << "fixed: " << diff;
    }
    EXPECT_TRUE(TakeAllocs().empty()) << "an encoder allocated";
}

INSTANTIATE_TEST_SUITE_P(Requests, RoundTrip, testing::ValuesIn(AllRequestPointers()), CaseName);

// Two request types of one shape encode alike.
TEST(RoundTrip, ManagementAndInstanceQueriesEncodeAlike) {
    std::mt19937 rng(99);
    for (int iRound = 0; iRound < 20; ++iRound) {
        QOMA_PAT_MANG_QUERY_REQ stMang;
        memset(&stMang, 0, sizeof stMang);
        FillRandom(stMang, rng);
        QOMA_PAT_INST_QUERY_REQ stInst;
        static_assert(sizeof stInst == sizeof stMang);
        memcpy(&stInst, &stMang, sizeof stInst);

        uint8_t aucMang[256] = {}, aucInst[256] = {};
        uint32_t uiMangLen = sizeof aucMang, uiInstLen = sizeof aucInst;
        const SerialBufDesc stMangBuf{aucMang, &uiMangLen}, stInstBuf{aucInst, &uiInstLen};
        const uint32_t uiSize = QOMA_PAT_MANG_QUERY_REQ_pack(&stMangBuf, &stMang);
        ASSERT_NE(uiSize, 0u);
        ASSERT_EQ(QOMA_PAT_INST_QUERY_REQ_pack(&stInstBuf, &stInst), uiSize);
        EXPECT_EQ(memcmp(aucMang, aucInst, uiSize), 0);

        ASSERT_EQ(QOMA_PAT_MANG_QUERY_REQ_pack_fixed(aucMang, &stMang), 0u);
        ASSERT_EQ(QOMA_PAT_INST_QUERY_REQ_pack_fixed(aucInst, &stInst), 0u);
        EXPECT_EQ(memcmp(aucMang, aucInst, QOMA_PAT_MANG_QUERY_REQ_fixed_size()), 0);
    }
}

}  // namespace
}  // namespace pss_test
