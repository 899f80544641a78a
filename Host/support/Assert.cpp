#include "Assert.h"

#include <cstdio>
#include <cstdlib>

#include "SessionTrace.h"

void AssertionFailed(const char* condition, const char* file, int line, const char* function) {
    std::fflush(stdout);
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d, function %s\n", condition, file,
                 line, function);
    std::fflush(stderr);
    SessionTrace().Flush();  // the frames that led here matter most
    std::abort();
}
