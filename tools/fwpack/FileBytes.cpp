#include "FileBytes.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool ReadWholeFile(const std::string& path, std::vector<BYTE>& bytes, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == NULL) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(file);
        error = path + " is not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > kMaxToolFileLen) {
        std::fclose(file);
        error = path + " is larger than 2 GiB";
        return false;
    }
    bytes.resize(static_cast<size_t>(st.st_size));
    const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    if (got != bytes.size()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<BYTE>& bytes, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == NULL) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = "cannot write " + path;
        std::remove(path.c_str());
        return false;
    }
    return true;
}

void PutLe32(std::vector<BYTE>& out, DWORD value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void StoreLe32(BYTE* p, DWORD value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD LoadLe32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}
