// Contract assertions: a breached precondition is a programming error. The
// condition (with its macros expanded, so NULL reads as __null), the source
// file, the line and the function are printed, then the process stops.
#pragma once

#include <cstddef>  // NULL, which g++ defines as __null

#define FP_STRINGIFY_RAW(x) #x
#define FP_STRINGIFY(x) FP_STRINGIFY_RAW(x)

[[noreturn]] void AssertionFailed(const char* condition, const char* file, int line,
                                  const char* function);

#define FP_ASSERT(cond)                                                        \
    do {                                                                       \
        if (!(cond))                                                           \
            AssertionFailed(FP_STRINGIFY(cond), __FILE__, __LINE__, __func__); \
    } while (0)
