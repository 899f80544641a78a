#include "AttachedPackage.h"

#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "Crc16.h"
#include "MAC_AppFileRead.h"

namespace {

constexpr unsigned long long kTrailerLen = 24;

DWORD Le32(const BYTE* bytes) {
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

bool HeaderCrcMatches(const SAppFileUnitHeader& header) {
    SAppFileUnitHeader zeroed = header;
    zeroed.wHeaderCRC = 0;
    WORD crc = 0;
    CalculateCRC(reinterpret_cast<const BYTE*>(&zeroed), kUnitHeaderLen, crc);
    return crc == header.wHeaderCRC;
}

// Bytes a unit takes in the package, its padding included.
unsigned long long UnitExtent(const SAppFileUnitHeader& header) {
    const unsigned long long used =
        static_cast<unsigned long long>(header.dwHeaderLen) + header.dwDataLen;
    return (used + kUnitAlignment - 1) / kUnitAlignment * kUnitAlignment;
}

}  // namespace

std::string TargetVersionOf(const std::string& identity) {
    const size_t first = identity.find(':');
    if (first == std::string::npos)
        return std::string();
    const size_t second = identity.find(':', first + 1);
    if (second == std::string::npos || identity.find(':', second + 1) != std::string::npos)
        return std::string();
    return identity.substr(second + 1);
}

void ReadPackageAt(FILE* file, unsigned long long offset, unsigned long long length,
                   SAttachedPackage* out) {
    out->offset = offset;
    out->length = length;
    out->units.clear();
    out->valid = false;
    if (length < kMinPackageLen || length > static_cast<unsigned long long>(INT_MAX)) {
        out->problem = "a package of " + std::to_string(length) + " bytes is impossible";
        return;
    }
    const unsigned long long end = offset + length;
    unsigned long long at = offset + kPackagePrefixLen;
    CAppFileReader reader;  // its unit check, run on each unit in turn
    bool allChecked = true;
    while (at < end) {
        const std::string where = "unit " + std::to_string(out->units.size());
        SAppFileUnitHeader header;
        if (fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0 || end - at < kUnitHeaderLen ||
            std::fread(&header, 1, kUnitHeaderLen, file) != kUnitHeaderLen) {
            out->problem = where + ": header cut short";
            return;
        }
        if (!HeaderCrcMatches(header)) {
            out->problem = where + ": header CRC mismatch; no later unit can be located";
            return;
        }
        if (out->units.empty()) {
            out->identity.assign(header.szIdentity,
                                 strnlen(header.szIdentity, sizeof header.szIdentity));
            out->targetVersion = TargetVersionOf(out->identity);
        }
        SCheckedUnit unit;
        unit.type = header.dwUnitType;
        unit.length = header.dwDataLen;
        unit.frameSize = header.dwFrameSize;
        const unsigned long long extent = UnitExtent(header);
        // The unit's own check reads no further than the unit claims; a unit
        // that claims more than the package holds fails here.
        if (header.dwHeaderLen + static_cast<unsigned long long>(header.dwDataLen) > end - at) {
            unit.problem = where + ": longer than the package";
        } else if (fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0 ||
                   !reader.VerifyUnitDataContent(file)) {
            unit.problem = reader.GetCheckDetail();
            if (unit.problem.empty())
                unit.problem = where + ": cannot be read";
        } else {
            unit.checked = true;
        }
        allChecked = allChecked && unit.checked;
        if (!unit.checked && out->problem.empty())
            out->problem = unit.problem;
        out->units.push_back(unit);
        if (header.dwFrameSize == 0)
            return;  // nothing behind it can be located
        // The last unit may go without its padding, as the extraction's
        // check allows: the package ends inside it.
        if (extent > end - at)
            break;
        at += extent;
    }
    out->valid = allChecked;
}

bool LocatePackage(FILE* file, unsigned long long* offset, unsigned long long* length) {
    struct stat st;
    BYTE trailer[kTrailerLen];
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) < kTrailerLen ||
        fseeko(file, st.st_size - static_cast<off_t>(kTrailerLen), SEEK_SET) != 0 ||
        std::fread(trailer, 1, sizeof trailer, file) != sizeof trailer)
        return false;
    *offset = Le32(trailer + 8);
    *length = Le32(trailer + 12);
    return *offset + *length <= static_cast<unsigned long long>(st.st_size) - kTrailerLen;
}

bool ReadAttachedPackage(const char* path, SAttachedPackage* out) {
    *out = SAttachedPackage();
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        out->problem = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    unsigned long long offset = 0;
    unsigned long long length = 0;
    if (!LocatePackage(file, &offset, &length) || length == 0) {
        std::fclose(file);
        out->problem = std::string(path) + " carries no package";
        return false;
    }
    out->located = true;
    ReadPackageAt(file, offset, length, out);
    std::fclose(file);
    return true;
}

std::string PackageSha256(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return "";
    unsigned long long offset = 0;
    unsigned long long length = 0;
    crypto_hash_sha256_state state;
    bool read = sodium_init() >= 0 && LocatePackage(file, &offset, &length) && length > 0 &&
                offset <= LONG_MAX && std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
                crypto_hash_sha256_init(&state) == 0;
    unsigned char buffer[65536];
    while (read && length > 0) {
        const size_t want = length < sizeof buffer ? static_cast<size_t>(length) : sizeof buffer;
        const size_t got = std::fread(buffer, 1, want, file);
        read = got == want && crypto_hash_sha256_update(&state, buffer, got) == 0;
        length -= got;
    }
    std::fclose(file);
    unsigned char digest[crypto_hash_sha256_BYTES];
    if (!read || crypto_hash_sha256_final(&state, digest) != 0)
        return "";
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}
