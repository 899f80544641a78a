#include "SignatureBlock.h"

#include <sys/stat.h>

#include <cstring>

#include "MinisignFormat.h"

namespace {

constexpr unsigned long long kTrailerLen = 24;

DWORD Le32(const BYTE* bytes) {
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

bool ReadAt(FILE* file, unsigned long long offset, void* out, size_t length) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fread(out, 1, length, file) == length;
}

}  // namespace

std::vector<BYTE> SignatureBlockBytes(const std::string& signatureText) {
    std::vector<BYTE> block(signatureText.begin(), signatureText.end());
    const DWORD length = static_cast<DWORD>(signatureText.size());
    for (int shift = 0; shift < 32; shift += 8)
        block.push_back(static_cast<BYTE>(length >> shift));
    block.insert(block.end(), kSignatureMagic, kSignatureMagic + kSignatureMagicLen);
    return block;
}

ESignatureBlock ReadSignatureBlock(FILE* file, std::string* text, std::string* problem) {
    struct stat st;
    BYTE trailer[kTrailerLen];
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) < kTrailerLen ||
        !ReadAt(file, st.st_size - kTrailerLen, trailer, sizeof trailer))
        return ESignatureBlock::kAbsent;
    const unsigned long long imageLen = Le32(trailer + 4);
    const unsigned long long packageOffset = Le32(trailer + 8);
    const unsigned long long trailerAt = st.st_size - kTrailerLen;
    BYTE footer[kSignatureFooterLen];
    if (packageOffset < kSignatureFooterLen || packageOffset > trailerAt ||
        !ReadAt(file, packageOffset - kSignatureFooterLen, footer, sizeof footer) ||
        std::memcmp(footer + 4, kSignatureMagic, kSignatureMagicLen) != 0)
        return ESignatureBlock::kAbsent;
    const unsigned long long length = Le32(footer);
    const unsigned long long room = packageOffset - kSignatureFooterLen;
    if (length == 0 || length > kMaxSignatureFile || length > room || imageLen != room - length) {
        *problem = "the signature block's length (" + std::to_string(length) +
                   " bytes) does not fit the program file";
        return ESignatureBlock::kDamaged;
    }
    text->resize(static_cast<size_t>(length));
    if (!ReadAt(file, room - length, &(*text)[0], text->size())) {
        *problem = "the signature block cannot be read";
        return ESignatureBlock::kDamaged;
    }
    return ESignatureBlock::kPresent;
}
