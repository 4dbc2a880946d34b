// Writes the decoder fuzzers' seed corpus: DIR/<response>/seed-<n>, the valid
// images the decoder test's guard-page sweep mutates.
#include <stdio.h>

#include <filesystem>
#include <fstream>

#include "support/response_cases.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    for (const pss_test::ResponseCase &c : pss_test::AllResponses()) {
        const std::filesystem::path dir = std::filesystem::path(argv[1]) / c.pcName;
        std::filesystem::remove_all(dir);  // seeds of an earlier build
        std::filesystem::create_directories(dir);
        const std::vector<std::vector<uint8_t>> images = pss_test::SeedImages(c);
        for (size_t i = 0; i < images.size(); ++i) {
            const std::filesystem::path file = dir / ("seed-" + std::to_string(i));
            std::ofstream out(file, std::ios::binary);
            out.write(reinterpret_cast<const char *>(images[i].data()),
                      static_cast<std::streamsize>(images[i].size()));
            if (!out.flush()) {
                fprintf(stderr, "%s: cannot write %s\n", argv[0], file.c_str());
                return 1;
            }
        }
    }
    return 0;
}
