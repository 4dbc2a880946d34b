// Writes the seed corpus of the decoder harnesses: valid images of every
// response in several layouts and element counts, plus the empty root.
// Usage: korvo_fuzz_seeds <corpus directory>; one subdirectory per response.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "support/korvo_builder.h"
#include "support/response_cases.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    using namespace pss_test;
    std::mt19937 rng(1);
    const Layout layouts[] = {
        {}, {.bVtableAfter = true, .bWriteZeros = true}, {.bShareEqual = true}};
    for (const ResponseCase &c : AllResponses()) {
        const std::string dir = std::string(argv[1]) + "/" + c.pcName;
        mkdir(argv[1], 0755);
        mkdir(dir.c_str(), 0755);
        int iFile = 0;
        auto save = [&](const std::vector<uint8_t> &bytes) {
            const std::string path = dir + "/seed-" + std::to_string(iFile++);
            FILE *pf = fopen(path.c_str(), "wb");
            if (pf == nullptr || fwrite(bytes.data(), 1, bytes.size(), pf) != bytes.size())
                return false;
            return fclose(pf) == 0;
        };
        bool bOk = save({4, 0, 0, 0, 0, 0, 0, 0});
        for (const uint32_t uiCount : {0u, 1u, 3u}) {
            for (const Layout &layout : layouts) {
                std::vector<std::vector<uint8_t>> arena;
                AnyRecord rec(c);
                FillRandom(*c.pstDesc, rec.Bytes(), rng, uiCount, &arena);
                if (c.HasVector() && uiCount == 3) {
                    memcpy(rec.Array() + 2 * c.Slot5()->pstSub->uiRecordSize, rec.Array(),
                           c.Slot5()->pstSub->uiRecordSize);  // a table to share
                }
                bOk = bOk && save(WriteRecord(*c.pstDesc, rec.Bytes(), layout));
            }
            if (!c.HasVector()) break;
        }
        if (!bOk) {
            perror(dir.c_str());
            return 1;
        }
    }
    return 0;
}
