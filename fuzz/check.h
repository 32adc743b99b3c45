// What every harness needs: a check that reports and aborts, so that
// libFuzzer keeps the input that broke a property.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                               \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__,        \
                    #cond);                                                            \
            abort();                                                                   \
        }                                                                              \
    } while (0)
