#include "PackageWriter.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Crc16.h"
#include "FileBytes.h"
#include "MAC_AppFileRead.h"

namespace {

constexpr size_t kIdentityFieldMax = 29;

void CopyText(char* field, size_t fieldSize, const std::string& text) {
    std::memset(field, 0, fieldSize);
    std::memcpy(field, text.data(), text.size() < fieldSize ? text.size() : fieldSize);
}

bool HasNewlineByte(DWORD value) {
    for (int i = 0; i < 4; ++i) {
        if (((value >> (8 * i)) & 0xFF) == '\n')
            return true;
    }
    return false;
}

}  // namespace

bool CheckIdentity(const std::string& identity, std::string& error) {
    const size_t fieldSize = sizeof(SAppFileUnitHeader::szIdentity);
    if (identity.size() > fieldSize - 1) {
        error = "identity \"" + identity + "\" is longer than " + std::to_string(fieldSize - 1) +
                " characters";
        return false;
    }
    for (unsigned char c : identity) {
        if (c < 0x20 || c == 0x7F) {
            error = "identity holds a control character";
            return false;
        }
        // The string file carries each value between double quotes.
        if (c == '"') {
            error = "identity holds a double quote";
            return false;
        }
    }
    std::vector<std::string> fields(1);
    for (char c : identity) {
        if (c == ':') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    if (fields.size() != 3) {
        error = "identity \"" + identity + "\" must be PREFIX:BOARD:VERSION (exactly two colons)";
        return false;
    }
    static const char* const names[] = {"PREFIX", "BOARD", "VERSION"};
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].size() > kIdentityFieldMax) {
            error = std::string("identity field ") + names[i] + " \"" + fields[i] +
                    "\" is longer than " + std::to_string(kIdentityFieldMax) + " characters";
            return false;
        }
    }
    return true;
}

bool ParseUnitArgument(const std::string& argument, DWORD& type, std::string& path,
                       std::string& error) {
    const size_t colon = argument.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == argument.size()) {
        error = "unit \"" + argument + "\" must be TYPE:FILE";
        return false;
    }
    std::string digits = argument.substr(0, colon);
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    bool hex = !digits.empty() && digits.size() <= 8;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            hex = false;
    }
    if (!hex) {
        error =
            "unit type \"" + argument.substr(0, colon) + "\" is not a hexadecimal 32-bit number";
        return false;
    }
    type = static_cast<DWORD>(std::strtoul(digits.c_str(), NULL, 16));
    path = argument.substr(colon + 1);
    return true;
}

void CurrentDateAndTime(std::string& date, std::string& time) {
    const std::time_t now = std::time(NULL);
    std::tm local;
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y.%m.%d", &local);
    date = text;
    std::strftime(text, sizeof(text), "%H.%M.%S", &local);
    time = text;
}

bool ComposePackage(const PackageRequest& request, std::vector<BYTE>& package, std::string& error) {
    if (!CheckIdentity(request.identity, error))
        return false;
    if (request.frameSize == 0) {
        error = "frame size must not be 0";
        return false;
    }
    if (request.units.empty()) {
        error = "a package needs at least one unit";
        return false;
    }
    // The program reads the identity as the first text line of the package, so
    // no byte before it may be a newline.
    const UnitInput& first = request.units.front();
    const unsigned long long firstFrames =
        UnitFrameCount(static_cast<DWORD>(first.data.size()), request.frameSize);
    if (HasNewlineByte(first.type) || HasNewlineByte(static_cast<DWORD>(first.data.size())) ||
        HasNewlineByte(static_cast<DWORD>(kUnitHeaderLen + 2 * firstFrames))) {
        error =
            "unit 0's type, length or header length holds a byte 0x0A before the identity, "
            "which would hide the identity from the program; change the first unit or the frame "
            "size";
        return false;
    }

    unsigned long long total = kPackagePrefixLen;
    for (const UnitInput& unit : request.units) {
        const unsigned long long frames =
            UnitFrameCount(static_cast<DWORD>(unit.data.size()), request.frameSize);
        total += (kUnitHeaderLen + 2 * frames + unit.data.size() + 3) & ~3ULL;
    }
    if (total > kMaxToolFileLen) {
        error = "package would be larger than 2 GiB";
        return false;
    }

    package.assign(kPackagePrefixLen, 0);
    package.reserve(static_cast<size_t>(total));
    for (const UnitInput& unit : request.units) {
        const DWORD dataLen = static_cast<DWORD>(unit.data.size());
        const DWORD frames = static_cast<DWORD>(UnitFrameCount(dataLen, request.frameSize));
        SAppFileUnitHeader header;
        std::memset(&header, 0, sizeof(header));
        header.dwMagic = kUnitMagic;
        header.dwHeaderLen = kUnitHeaderLen + 2 * frames;
        header.dwFormatVersion = kPackageFormatVersion;
        std::memcpy(header.szFormatTag, kPackageFormatTag, sizeof(header.szFormatTag));
        header.dwUnitType = unit.type;
        header.dwDataLen = dataLen;
        CopyText(header.szDate, sizeof(header.szDate), request.date);
        CopyText(header.szTime, sizeof(header.szTime), request.time);
        CopyText(header.szIdentity, sizeof(header.szIdentity), request.identity);
        header.dwFrameSize = request.frameSize;
        WORD crc = 0;
        CalculateCRC(reinterpret_cast<const BYTE*>(&header), kUnitHeaderLen, crc);
        header.wHeaderCRC = crc;
        const BYTE* raw = reinterpret_cast<const BYTE*>(&header);
        package.insert(package.end(), raw, raw + kUnitHeaderLen);

        for (DWORD i = 0; i < frames; ++i) {
            const DWORD offset = i * request.frameSize;
            const DWORD length = (i + 1 == frames) ? dataLen - offset : request.frameSize;
            CalculateCRC(unit.data.data() + offset, length, crc);
            package.push_back(static_cast<BYTE>(crc & 0xFF));
            package.push_back(static_cast<BYTE>(crc >> 8));
        }
        package.insert(package.end(), unit.data.begin(), unit.data.end());
        while (package.size() % kUnitAlignment != 0)
            package.push_back(0);
    }
    return true;
}
