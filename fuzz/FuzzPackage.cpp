// The package reader on an arbitrary package file: the whole-file check, then
// every unit's header and data the way the download reads them. A package
// that passed the check must deliver exactly its declared data length per unit.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "MAC_AppFileRead.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::ScratchDir();
    fuzzsupport::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzzsupport::ScratchDir() + "package.bin";
    fuzzsupport::WriteFile(path, data, size);

    CAppFileReader reader;
    if (!reader.SetAppFileName(path.c_str())) {
        FUZZ_CHECK(reader.GetErrorText()[0] != '\0');
        return 0;
    }
    FUZZ_CHECK(size >= kMinPackageLen);
    const int units = reader.GetUnitCount();
    FUZZ_CHECK(units >= 1);
    std::vector<BYTE> block(kUnitHeaderLen * 8);
    for (int i = 0; i < units; ++i) {
        SAppFileUnitHeader header;
        reader.GetUnitHeader(i, header);
        FUZZ_CHECK(header.dwFrameSize != 0);
        const int begin = reader.GetUnitBeginFileAddress(i);
        FUZZ_CHECK(begin >= 0 && static_cast<size_t>(begin) + header.dwDataLen <= size);
        FUZZ_CHECK(reader.MoveToUnitBegin(i));
        DWORD total = 0;
        while (total < header.dwDataLen) {
            int got = reader.GetUnitData(i, block.data(), static_cast<int>(block.size()));
            FUZZ_CHECK(got > 0 && static_cast<DWORD>(got) <= header.dwDataLen - total);
            FUZZ_CHECK(std::memcmp(block.data(), data + begin + total, got) == 0);
            total += static_cast<DWORD>(got);
        }
    }
    reader.CloseFile();
    return 0;
}
