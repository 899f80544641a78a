#include "PackageIdentity.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "AttachedPackage.h"
#include "Function.h"
#include "StringResources.h"

char Prefix[32];
char BoadType[32];
char Version[32];
char pathBinfile[100];
char pathStringList[100];

namespace {

constexpr size_t kJoinedPathSize = 100;  // every joined path is at most 99 characters
constexpr int kFieldMax = 29;            // characters of one identity field
constexpr size_t kIdentityOffset = 152;  // package header byte 60
constexpr size_t kCopyChunk = 64 * 1024;
constexpr size_t kKernelCopyPiece = 8 * 1024 * 1024;

const char kBinFileName[] = "MODEM_FIRMWARE.BIN";
const char kStringListName[] = "StringList.strings";
const char kSpaces65[] = "                                                                 ";

// dir followed by file into out (kJoinedPathSize bytes); refuses what does not fit.
bool JoinPath(const char* dir, const char* file, char* out) {
    int written = std::snprintf(out, kJoinedPathSize, "%s%s", dir, file);
    if (written < 0 || static_cast<size_t>(written) >= kJoinedPathSize) {
        out[0] = '\0';
        std::printf("The path %s%s is too long: at most %zu characters are supported!\n", dir, file,
                    kJoinedPathSize - 1);
        return false;
    }
    return true;
}

// Copies length bytes from source (at its current position) to destination.
bool CopyThroughBuffer(FILE* source, FILE* destination, uint64_t length) {
    std::vector<char> chunk(kCopyChunk);
    while (length > 0) {
        size_t want = length < kCopyChunk ? static_cast<size_t>(length) : kCopyChunk;
        size_t got = std::fread(chunk.data(), 1, want, source);
        if (got != want)
            return false;
        if (std::fwrite(chunk.data(), 1, got, destination) != got)
            return false;
        length -= got;
    }
    return true;
}

// Copies length bytes from source at offset to the empty destination. The
// kernel copies file to file where it can, as cp does; where it cannot
// (another file system, an older kernel) the bytes go through a buffer.
bool CopyBytes(FILE* source, uint64_t offset, FILE* destination, uint64_t length) {
    const int in = fileno(source);
    const int out = fileno(destination);
    off64_t from = static_cast<off64_t>(offset);
    uint64_t left = length;
    while (left > 0) {
        const size_t piece = left < kKernelCopyPiece ? static_cast<size_t>(left) : kKernelCopyPiece;
        const ssize_t copied = copy_file_range(in, &from, out, nullptr, piece, 0);
        if (copied > 0) {
            left -= static_cast<uint64_t>(copied);
            continue;
        }
        if (copied == 0)
            return false;  // the file ended early
        if (left == length && (errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                               errno == EOPNOTSUPP || errno == EBADF || errno == EPERM))
            return std::fseek(source, static_cast<long>(offset), SEEK_SET) == 0 &&
                   CopyThroughBuffer(source, destination, length);
        if (errno != EINTR)
            return false;
    }
    return true;
}

}  // namespace

int SeparateFile(const char* dir, const char* name, const char* sourceDir) {
    char source[kJoinedPathSize];
    char destination[kJoinedPathSize];
    if (!JoinPath(dir, kBinFileName, destination) ||
        !JoinPath(sourceDir != nullptr ? sourceDir : dir, name, source))
        return -1;

    FILE* in = std::fopen(source, "rb");
    if (in == NULL) {
        std::printf("Open %s failed!\n", source);
        return -1;
    }

    unsigned long long offset = 0;
    unsigned long long length = 0;
    if (!LocatePackage(in, &offset, &length)) {
        std::printf("The package trailer of %s is not valid!\n", source);
        std::fclose(in);
        return -1;
    }

    std::snprintf(pathBinfile, sizeof pathBinfile, "%s", destination);
    if (std::fseek(in, static_cast<long>(offset), SEEK_SET) != 0) {
        std::printf("Read %s failed!\n", source);
        std::fclose(in);
        return -1;
    }
    FILE* out = OpenForWriting(destination, "w+");
    if (out == NULL) {
        std::printf("Create %s failed \n", destination);
        std::fclose(in);
        return -1;
    }
    bool copied = CopyBytes(in, offset, out, length);
    std::fclose(in);
    if (std::fclose(out) != 0)
        copied = false;
    if (!copied) {
        // A partial package must not stay to be taken for the package.
        std::remove(destination);
        std::printf("Write %s failed!\n", destination);
        return -1;
    }
    return 0;
}

int ReadBinFile(const char* dir) {
    char path[kJoinedPathSize];
    if (!JoinPath(dir, kBinFileName, path))
        return 1;
    FILE* file = std::fopen(path, "r");
    if (file == NULL) {
        std::printf("Open the BIN file failed!");
        return 1;
    }
    // The identity line is read as bytes: the binary header before it may
    // hold any byte, a line feed included. It ends at its zero terminator,
    // and at byte 199 at the latest. Whatever the read does not fill stays
    // zero.
    char line[200];
    std::memset(line, 0, sizeof line);
    const size_t got = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    if (got <= kIdentityOffset)
        line[kIdentityOffset] = '\0';

    std::memset(Prefix, 0, 30);
    std::memset(BoadType, 0, 30);
    std::memset(Version, 0, 30);
    char* fields[3] = {Prefix, BoadType, Version};
    int lengths[3] = {0, 0, 0};
    int field = 0;
    for (const char* p = line + kIdentityOffset; *p != '\0'; ++p) {
        if (*p == ':') {
            if (++field == 3) {
                std::puts("The information in the BIN file is wrong!");
                return 1;
            }
            continue;
        }
        if (lengths[field] == kFieldMax) {
            std::printf(
                "The information in the BIN file is too long: a field of it exceeds %d "
                "characters!\n",
                kFieldMax);
            return 1;
        }
        fields[field][lengths[field]++] = *p;
    }
    if (field != 2) {
        std::puts("The Bin file is not correct!");
        Log("The Bin file is not correct!\n");
        return 1;
    }

    std::puts("*********************The informations in BIN*********************");
    std::puts(kSpaces65);
    std::printf("Target version:%s\n", Version);
    std::printf("BoadType:      %s", BoadType);
    std::puts(kSpaces65);
    std::puts("*********************The informations end************************");
    return 0;
}

int PrintStringList(const char* dir) {
    char path[kJoinedPathSize];
    if (!JoinPath(dir, kStringListName, path))
        return 1;
    std::snprintf(pathStringList, sizeof pathStringList, "%s", path);

    FILE* file = OpenForWriting(path, "w");
    if (file == NULL) {
        std::puts("Create StringList.strings failde !");
        return 1;
    }
    std::fclose(file);
    file = OpenForWriting(path, "w+");
    if (file == NULL) {
        std::printf("Create StringList.strings failde !");
        return 1;
    }
    for (int row = 0; row < kStrListRows; ++row) {
        std::fwrite(StrList[row], 1, std::strlen(StrList[row]), file);
        std::fseek(file, 0, SEEK_END);
    }
    const struct {
        const char* format;
        const char* value;
    } identity[] = {
        {"\"IDS_UPD_VERSION\"\t\t\t\t\t= \"%s\";\n", BoadType},
        {"\"IDS_SOFT_TYPE\"\t\t\t\t\t\t= \"%s\";\n", "firmware"},
        {"\"IDS_PRODUCE_ID\"\t\t\t\t\t= \"%s\";\n", BoadType},
        {"\"IDS_PRODUCE_Version\"\t\t\t\t\t= \"%s\";\n", Version},
    };
    for (const auto& line : identity) {
        char text[1024];
        int written = std::snprintf(text, sizeof text, line.format, line.value);
        if (written > 0)
            std::fwrite(text, 1, std::strlen(text), file);
    }
    std::fclose(file);
    return 0;
}

int ParseBinFile(const char* dir) {
    if (ReadBinFile(dir) != 0) {
        std::puts("Parse Bin flie failed!");
        return 1;
    }
    return PrintStringList(dir) != 0 ? 1 : 0;
}
