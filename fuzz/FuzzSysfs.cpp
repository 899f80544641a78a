// The port walk over a fake option-driver tree under FLASHPILOT_ROOT whose
// entry names, modalias and bInterfaceNumber lines and child names come from
// the input. Whatever the tree holds, the three port names stay terminated
// serial node names, and success means a PCUI port was named.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "PortDiscovery.h"

namespace fs = std::filesystem;

namespace {

// A usable directory entry name made of the input's characters.
std::string EntryName(FuzzedDataProvider& input, size_t maxLength) {
    std::string name = input.ConsumeRandomLengthString(maxLength);
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    if (name.empty() || name == "." || name == "..")
        name = "x";
    return name;
}

// A line in the input's own words, or one made to pass the walk's tests.
void WriteLine(FuzzedDataProvider& input, const fs::path& path, const std::string& likely) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0:
            return;  // no such file
        case 1:
            std::ofstream(path) << likely;
            return;
        default:
            std::ofstream(path) << input.ConsumeRandomLengthString(96);
            return;
    }
}

bool NodeNameOk(const char* name) {
    if (std::memchr(name, '\0', kPortNameSize) == nullptr)
        return false;
    return name[0] == '\0' || std::strstr(name, "ttyUSB") != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string root = fuzzsupport::ScratchDir() + "root";
    setenv("FLASHPILOT_ROOT", root.c_str(), 1);
    fuzzsupport::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path root = fuzzsupport::ScratchDir() + "root";
    static const fs::path option = root / "sys/bus/usb/drivers/option";
    FuzzedDataProvider input(data, size);
    std::error_code error;
    fs::remove_all(root, error);
    if (input.ConsumeBool())
        fs::create_directories(option);

    const int entries = input.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < entries && fs::exists(option); ++i) {
        const std::string name =
            input.ConsumeBool() ? "1-1:1." + std::to_string(i) : EntryName(input, 24);
        const fs::path entry = option / name;
        if (!fs::create_directory(entry, error))
            continue;
        const char* pid = Devices[input.ConsumeIntegralInRange(0, kDeviceRows - 1)].m_szPID;
        WriteLine(
            input, entry / "modalias",
            std::string("usb:v") + kVendorId + "p" + pid + "d0000dc00dsc00dp00icFFiscFFipFFin02\n");
        WriteLine(input, entry / "bInterfaceNumber",
                  "0" + std::to_string(input.ConsumeIntegralInRange(0, 3)) + "\n");
        const int children = input.ConsumeIntegralInRange(0, 2);
        for (int c = 0; c < children; ++c) {
            const fs::path child = entry / (input.ConsumeBool() ? "ttyUSB" + EntryName(input, 12)
                                                                : EntryName(input, 16));
            if (input.ConsumeBool())
                fs::create_directory(child, error);
            else
                std::ofstream(child) << "";
        }
    }

    // Every input is a first walk: no device followed from an earlier one.
    ForgetFollowedDevice();
    const int result = GetDevicePIDAndSetPorts();
    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(NodeNameOk(cmodem) && NodeNameOk(cdiag) && NodeNameOk(cpcui));
    FUZZ_CHECK((result == 0) == (cpcui[0] != '\0'));
    return 0;
}
