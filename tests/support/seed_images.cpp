#include "support/seed_images.h"

#include "support/korvo_builder.h"

namespace pss_test {

std::vector<std::vector<uint8_t>> SeedImages(const ResponseCase &stCase) {
    std::mt19937 rng(99);
    std::vector<std::vector<uint8_t>> images = {{4, 0, 0, 0, 0, 0, 0, 0}};
    for (const uint32_t uiCount : {1u, 2u}) {
        std::vector<std::vector<uint8_t>> arena;
        AnyRecord rec(stCase);
        FillRandom(*stCase.pstDesc, rec.Bytes(), rng, uiCount, &arena);
        images.push_back(WriteRecord(*stCase.pstDesc, rec.Bytes()));
        images.push_back(
            WriteRecord(*stCase.pstDesc, rec.Bytes(), {.bVtableAfter = true, .bWriteZeros = true}));
    }
    return images;
}

}  // namespace pss_test
