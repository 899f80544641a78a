// bench_startup FILE: what the program does with its own file before it
// looks for a device, and the check that follows: the package is extracted
// from FILE into MODEM_FIRMWARE.BIN beside it, then checked unit by unit
// against its CRCs. Prints the seconds each took.
#include <cstdio>
#include <cstring>
#include <string>

#include "BenchLink.h"
#include "MAC_AppFileRead.h"
#include "PackageIdentity.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_startup FILE\n");
        return 2;
    }
    const std::string file = argv[1];
    const size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "./" : file.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);

    const bench::Clock::time_point start = bench::Clock::now();
    if (SeparateFile(dir.c_str(), name.c_str()) != 0) {
        std::fprintf(stderr, "bench_startup: extraction from %s failed\n", file.c_str());
        return 1;
    }
    const bench::Clock::time_point extracted = bench::Clock::now();
    CAppFileReader reader;
    if (!reader.SetAppFileName((dir + "MODEM_FIRMWARE.BIN").c_str())) {
        std::fprintf(stderr, "bench_startup: %s %s\n", reader.GetErrorText(),
                     reader.GetCheckDetail());
        return 1;
    }
    const bench::Clock::time_point checked = bench::Clock::now();
    std::printf("%.6f %.6f\n", bench::Seconds(extracted - start),
                bench::Seconds(checked - extracted));
    return 0;
}
