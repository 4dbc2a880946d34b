// Random records of every response, written in every layout the format allows
// this builder to produce, decode back field for field. Run under qemu-user
// on 32-bit ARM and big-endian PowerPC too, where the records have other
// sizes and every multi-byte value is swapped.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "support/korvo_builder.h"
#include "support/os_layer.h"
#include "support/response_cases.h"

namespace pss_test {
namespace {

class RoundTrip : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(RoundTrip, RandomRecordsDecodeBackExactly) {
    const ResponseCase &c = GetParam();
    std::mt19937 rng(2024);
    const Layout layouts[] = {
        {},
        {.bVtableAfter = true},
        {.bWriteZeros = true},
        {.bVtableAfter = true, .bWriteZeros = true, .uiFiller = 3},
        {.bShareEqual = true, .uiFiller = 1},
    };
    int iDecoded = 0;
    for (const uint32_t uiCount : {0u, 1u, 2u, 17u}) {
        for (int iRound = 0; iRound < 6; ++iRound) {
            std::vector<std::vector<uint8_t>> arena;
            AnyRecord src(c);
            FillRandom(*c.pstDesc, src.Bytes(), rng, uiCount, &arena);
            if (c.HasVector() && uiCount > 2 && iRound % 2 == 1) {
                // Repeat element 0 so that shared tables occur.
                const uint32_t uiSize = c.Slot5()->pstSub->uiRecordSize;
                memcpy(src.Array() + 2 * uiSize, src.Array(), uiSize);
            }
            for (const Layout &layout : layouts) {
                const std::vector<uint8_t> buf = WriteRecord(*c.pstDesc, src.Bytes(), layout);
                AnyRecord out(c, 0xC3);
                ASSERT_EQ(c.pfnUnpack(buf.data(), static_cast<int32_t>(buf.size()), out.Bytes()),
                          out.Bytes());
                std::string why;
                EXPECT_TRUE(SameRecord(*c.pstDesc, src.Bytes(), out.Bytes(), &why))
                    << why << " (count " << uiCount << ", round " << iRound << ")";
                c.pfnFree(out.Bytes());
                ++iDecoded;
            }
            if (!c.HasVector()) break;  // the count only matters for a vector
        }
    }
    EXPECT_GT(iDecoded, 0);
    EXPECT_EQ(LiveAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Responses, RoundTrip, ::testing::ValuesIn(AllResponses()),
                         [](const auto &info) { return std::string(info.param.pcName).substr(9); });

}  // namespace
}  // namespace pss_test
