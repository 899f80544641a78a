// Helpers for the package reader and fwpack suites: a scratch directory, file
// bytes, running the real fwpack binary, and an independent walk over the
// package layout.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "Crc16.h"
#include "Types.h"

namespace pkgtest {

using Bytes = std::vector<BYTE>;

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fp-pkg-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) != NULL)
            m_path = name.data();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline Bytes PatternBytes(size_t count, unsigned seed) {
    Bytes bytes(count);
    unsigned value = seed * 2654435761u + 1;
    for (BYTE& b : bytes) {
        value = value * 1103515245u + 12345u;
        b = static_cast<BYTE>(value >> 16);
    }
    return bytes;
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path) {
    Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline DWORD Le32(const Bytes& b, size_t at) {
    return static_cast<DWORD>(b.at(at)) | (static_cast<DWORD>(b.at(at + 1)) << 8) |
           (static_cast<DWORD>(b.at(at + 2)) << 16) | (static_cast<DWORD>(b.at(at + 3)) << 24);
}

inline WORD Le16(const Bytes& b, size_t at) {
    return static_cast<WORD>(b.at(at) | (b.at(at + 1) << 8));
}

inline void PutLe32At(Bytes& b, size_t at, DWORD value) {
    for (int i = 0; i < 4; ++i)
        b.at(at + i) = static_cast<BYTE>(value >> (8 * i));
}

// Recomputes the header CRC of the unit at offset, as a forger would.
inline void ResealHeader(Bytes& b, size_t unitOffset) {
    b.at(unitOffset + 92) = 0;
    b.at(unitOffset + 93) = 0;
    WORD crc = 0;
    CalculateCRC(b.data() + unitOffset, 98, crc);
    b.at(unitOffset + 92) = static_cast<BYTE>(crc & 0xFF);
    b.at(unitOffset + 93) = static_cast<BYTE>(crc >> 8);
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs fwpack with args; stdout and stderr are captured through files in dir.
inline RunResult RunFwpack(const TempDir& dir, const std::vector<std::string>& args) {
    std::string command = "'" FP_BIN_DIR "/fwpack'";
    for (const std::string& arg : args)
        command += " '" + arg + "'";
    command += " >'" + (dir / "run.out") + "' 2>'" + (dir / "run.err") + "'";
    RunResult result;
    const int raw = std::system(command.c_str());
    result.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    result.out = ReadText(dir / "run.out");
    result.err = ReadText(dir / "run.err");
    return result;
}

struct Unit {
    DWORD type;
    Bytes data;
};

// Builds dir/name with the real fwpack from units; returns the package bytes
// (empty when fwpack failed, which also fails the test).
inline Bytes BuildWithFwpack(const TempDir& dir, const std::string& name,
                             const std::vector<Unit>& units, DWORD frameSize = 0,
                             const std::string& identity = "V001:QM90W:11.810.09.17.00") {
    std::vector<std::string> args = {"build", "-o", dir / name, "--identity", identity};
    if (frameSize != 0) {
        args.push_back("--frame-size");
        args.push_back(std::to_string(frameSize));
    }
    for (size_t i = 0; i < units.size(); ++i) {
        char type[16];
        std::snprintf(type, sizeof(type), "0x%08X", units[i].type);
        const std::string input = dir / (name + ".unit" + std::to_string(i));
        WriteBytes(input, units[i].data);
        args.push_back(std::string(type) + ":" + input);
    }
    const RunResult run = RunFwpack(dir, args);
    EXPECT_EQ(run.status, 0) << run.err;
    if (run.status != 0)
        return Bytes();
    return ReadBytes(dir / name);
}

// Where one unit lies, found by walking the bytes without the reader.
struct UnitPlace {
    size_t start;      // offset of the header
    size_t dataStart;  // offset of the first data byte
    size_t end;        // offset after the padding
};

// Walks the units from offset 92 by the layout rules: header length 98 + 2N,
// data, padding to 4. Stops at the end of the bytes.
inline std::vector<UnitPlace> WalkUnits(const Bytes& b) {
    std::vector<UnitPlace> places;
    size_t at = 92;
    while (at + 98 <= b.size()) {
        const DWORD headerLen = Le32(b, at + 4);
        const DWORD dataLen = Le32(b, at + 24);
        UnitPlace place{at, at + headerLen,
                        (at + headerLen + dataLen + 3) & ~static_cast<size_t>(3)};
        places.push_back(place);
        at = place.end;
    }
    return places;
}

}  // namespace pkgtest
