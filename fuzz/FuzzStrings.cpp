// The string lookup on an arbitrary StringList.strings and key. The bounded
// form must give a terminated prefix of what the 2,048-byte form gives.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::ScratchDir();
    fuzzsupport::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzzsupport::ScratchDir() + "StringList.strings";
    static const size_t kSizes[] = {0, 1, 2, 10, 12, 30, 256, 2048};

    FuzzedDataProvider input(data, size);
    const std::string key = input.ConsumeRandomLengthString(64);
    const size_t outSize = input.PickValueInArray(kSizes);
    const bool withFile = input.ConsumeBool();
    const std::vector<uint8_t> content = input.ConsumeRemainingBytes<uint8_t>();
    if (withFile)
        fuzzsupport::WriteFile(path, content.data(), content.size());
    else
        std::remove(path.c_str());

    // The key as a C string: what comes after an embedded NUL is not part of it.
    const char* cKey = key.c_str();
    std::vector<char> full(2048, '\x55');
    const long fullLen = LoadString(cKey, full.data());
    FUZZ_CHECK(fullLen >= 0 && fullLen < 2048);
    FUZZ_CHECK(std::strlen(full.data()) == static_cast<size_t>(fullLen));

    // Sized exactly (new char[0] is a valid pointer to no bytes), so that the
    // address sanitizer sees any write past it.
    std::unique_ptr<char[]> bounded(new char[outSize]);
    std::memset(bounded.get(), 0x55, outSize);
    const long boundedLen = LoadString(cKey, bounded.get(), outSize);
    FUZZ_CHECK(boundedLen >= 0);
    if (outSize == 0) {
        FUZZ_CHECK(boundedLen == 0);
        return 0;
    }
    FUZZ_CHECK(static_cast<size_t>(boundedLen) < outSize);
    FUZZ_CHECK(std::strlen(bounded.get()) == static_cast<size_t>(boundedLen));
    FUZZ_CHECK(boundedLen == std::min<long>(fullLen, static_cast<long>(outSize) - 1));
    FUZZ_CHECK(std::memcmp(bounded.get(), full.data(), boundedLen) == 0);
    return 0;
}
