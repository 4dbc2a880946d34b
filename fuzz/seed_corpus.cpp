// Writes the decoder fuzzers' seed corpus, DIR/<response>/seed-<n> (DIR: the
// argument, or .): the valid images the decoder test's guard-page sweep mutates.
#include <stdio.h>

#include <filesystem>
#include <fstream>

#include "support/response_cases.h"

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    for (const pss_test::ResponseCase &c : pss_test::AllResponses()) {
        const fs::path dir = fs::path(argc == 2 ? argv[1] : ".") / c.pcName;
        fs::remove_all(dir);  // the seeds of an earlier build
        fs::create_directories(dir);
        size_t i = 0;
        for (const std::vector<uint8_t> &image : pss_test::SeedImages(c)) {
            const fs::path file = dir / ("seed-" + std::to_string(i++));
            if (!std::ofstream(file, std::ios::binary)
                     .write(reinterpret_cast<const char *>(image.data()),
                            std::streamsize(image.size()))
                     .flush()) {
                fprintf(stderr, "%s: cannot write %s\n", argv[0], file.c_str());
                return 1;
            }
        }
    }
    return 0;
}
