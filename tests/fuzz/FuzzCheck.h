#pragma once

#include <cstdio>
#include <cstdlib>

/** A failed check ends the process the way libFuzzer recognises as a crash, in every
    build type (assert would vanish under NDEBUG). */
#define FUZZ_CHECK(condition)                                                           \
    do                                                                                  \
    {                                                                                   \
        if (! (condition))                                                              \
        {                                                                               \
            std::fprintf (stderr, "fuzz check failed: %s (%s:%d)\n", #condition,       \
                          __FILE__, __LINE__);                                          \
            std::abort();                                                               \
        }                                                                               \
    } while (false)
