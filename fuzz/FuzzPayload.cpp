// The program file's trailer and the package identity: an arbitrary file is
// taken for the program file, its package extracted, its identity line read
// and the string file written, all inside the scratch directory.
#include <sys/stat.h>

#include <cstring>

#include "FuzzSupport.h"
#include "PackageIdentity.h"

namespace {

const char kProgramName[] = "flashpilot-fuzz";

// The identity fields are NUL-terminated and at most 29 characters long.
bool FieldOk(const char* field) {
    return std::memchr(field, '\0', 30) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::ScratchDir();
    fuzzsupport::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = fuzzsupport::ScratchDir();
    static const std::string program = dir + kProgramName;
    static const std::string package = dir + "MODEM_FIRMWARE.BIN";
    std::remove(package.c_str());
    fuzzsupport::WriteFile(program, data, size);

    if (SeparateFile(dir.c_str(), kProgramName) != 0)
        return 0;
    struct stat st;
    FUZZ_CHECK(stat(package.c_str(), &st) == 0);
    FUZZ_CHECK(size >= 24 && static_cast<size_t>(st.st_size) <= size - 24);

    if (ParseBinFile(dir.c_str()) == 0) {
        FUZZ_CHECK(FieldOk(Prefix) && FieldOk(BoadType) && FieldOk(Version));
        FUZZ_CHECK(stat(pathStringList, &st) == 0);
    }
    return 0;
}
