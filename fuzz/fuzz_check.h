// The harnesses' own invariants: a broken one stops the run with the
// condition and its line, which libFuzzer reports as a crash with its input.
#ifndef PSS_FUZZ_CHECK_H
#define PSS_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define PSS_CHECK(cond)                                                           \
    do {                                                                          \
        if (!(cond)) {                                                            \
            fprintf(stderr, "invariant broken: %s (line %d)\n", #cond, __LINE__); \
            abort();                                                              \
        }                                                                         \
    } while (0)

#endif
