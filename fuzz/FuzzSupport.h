// Shared pieces of the fuzz targets: a private scratch directory per process,
// writing an input to a file in it, and a check that stops the run when an
// invariant of the code under test does not hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "Function.h"

namespace fuzzsupport {

// The process's own scratch directory, created on first use, with a trailing
// "/". The program's files (its log, the extracted package, the string file)
// land here through g_ResourcesPath, under TMPDIR, else /dev/shm, else /tmp. It is removed when the process exits
// normally (a crashing input leaves it for inspection).
inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        // Every input goes through files: memory-backed /dev/shm is many
        // times faster than a disk-backed /tmp.
        const char* base = std::getenv("TMPDIR");
        if (base == nullptr || *base == '\0')
            base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/fp-fuzz-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            std::perror("fuzz scratch directory");
            std::abort();
        }
        std::snprintf(g_ResourcesPath, sizeof g_ResourcesPath, "%s/", pattern.c_str());
        // g_ResourcesPath outlives this string, which is destroyed first at exit.
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(g_ResourcesPath, ignored);
        });
        return pattern + "/";
    }();
    return dir;
}

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size)) {
        std::perror(path.c_str());
        std::abort();
    }
    std::fclose(f);
}

// The code under test prints its screens on standard output; the fuzzer
// reports on standard error, so only the program's chatter is lost.
inline void SilenceStdout() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
}

}  // namespace fuzzsupport

// An invariant that must hold for every input; a breach is a finding.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
