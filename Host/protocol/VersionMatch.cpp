#include "VersionMatch.h"

#include <cstring>

namespace {

// Length of text without its trailing blanks (spaces, tabs, CR, LF).
size_t TrimmedLength(const char* text) {
    size_t length = std::strlen(text);
    while (length > 0 && std::strchr(" \t\r\n", text[length - 1]) != nullptr)
        --length;
    return length;
}

}  // namespace

bool VersionsMatch(const char* reported, const char* target) {
    if (reported == nullptr || target == nullptr)
        return false;
    const size_t length = TrimmedLength(reported);
    return length > 0 && length == TrimmedLength(target) &&
           std::memcmp(reported, target, length) == 0;
}
