// Valid images of a response, small enough to mutate byte by byte: the empty
// root, and random records of one and of two elements in two layouts. The
// decoder test's guard-page sweep mutates them; the decoder fuzzers start
// from them (fuzz/seed_corpus.cpp writes them at build time).
#ifndef PSS_TEST_SEED_IMAGES_H
#define PSS_TEST_SEED_IMAGES_H

#include <stdint.h>

#include <vector>

#include "support/response_cases.h"

namespace pss_test {

std::vector<std::vector<uint8_t>> SeedImages(const ResponseCase &stCase);

}  // namespace pss_test

#endif
