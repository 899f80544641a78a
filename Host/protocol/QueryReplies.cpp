#include "QueryReplies.h"

#include <cstring>

namespace {

constexpr DWORD kBoardVersionOffset = 4;
constexpr DWORD kVersionForceOffset = 2;
constexpr DWORD kISOVersionOffset = 5;
constexpr DWORD kISOVersionLast = 132;
constexpr BYTE kImeiLengthByte = 8;
constexpr BYTE kBoardClassRefused = 0x03;
constexpr size_t kBoardClassField = kBoardClassBytes - 1;

BYTE At(const BYTE* reply, DWORD length, DWORD index) {
    return index < length ? reply[index] : 0;
}

// Copies the text from offset up to a NUL, at most max characters.
void CopyText(const BYTE* reply, DWORD length, DWORD offset, size_t max, char* out,
              size_t outSize) {
    if (outSize == 0)
        return;
    if (max > outSize - 1)
        max = outSize - 1;
    size_t n = 0;
    while (n < max && At(reply, length, offset + static_cast<DWORD>(n)) != 0) {
        out[n] = static_cast<char>(reply[offset + n]);
        ++n;
    }
    out[n] = '\0';
}

}  // namespace

void DecodeBoardVersion(const BYTE* reply, DWORD length, char* out, size_t outSize) {
    CopyText(reply, length, kBoardVersionOffset, kBoardVersionMax, out, outSize);
}

void DecodeVersionForce(const BYTE* reply, DWORD length, char* out, size_t outSize) {
    CopyText(reply, length, kVersionForceOffset, kVersionForceMax, out, outSize);
}

void DecodeISOVersion(const BYTE* reply, DWORD length, char* out, size_t outSize) {
    DWORD end = kISOVersionOffset;
    while (end <= kISOVersionLast) {
        const BYTE here = At(reply, length, end);
        if (here == 0 || here == '\n')
            break;
        if (here == '\r' && At(reply, length, end + 1) == '\n')
            break;
        ++end;
    }
    // The text holds no NUL, so the plain copy stops at its end.
    CopyText(reply, length, kISOVersionOffset, end - kISOVersionOffset, out, outSize);
}

void DecodeBoardClass(const BYTE* reply, DWORD length, BYTE* out) {
    for (DWORD i = 0; i < kBoardClassBytes; ++i)
        out[i] = At(reply, length, i);
}

EBoardClass JudgeBoardClass(const BYTE* answer, const char* boardType) {
    if (answer[0] == kBoardClassRefused)
        return EBoardClass::kRefused;
    // The expected field is cut at its 20 bytes and zero-filled beyond its text.
    BYTE expected[kBoardClassField] = {};
    const std::string text = BoardClassOf(boardType);
    std::memcpy(expected, text.data(),
                text.size() < kBoardClassField ? text.size() : kBoardClassField);
    return std::memcmp(answer + 1, expected, kBoardClassField) == 0 ? EBoardClass::kPackagesBoard
                                                                    : EBoardClass::kOtherBoard;
}

std::string BoardClassOf(const char* boardType) {
    return std::string("KORVEL ") + (boardType != nullptr ? boardType : "");
}

std::string BoardClassText(const BYTE* answer) {
    std::string text;
    for (size_t i = 1; i < kBoardClassBytes && answer[i] != 0; ++i)
        text += answer[i] >= 0x20 && answer[i] < 0x7F ? static_cast<char>(answer[i]) : '?';
    return text;
}

bool DecodeImei(const BYTE* item, DWORD length, char* out, size_t outSize) {
    if (At(item, length, 0) != kImeiLengthByte || outSize <= kImeiDigits)
        return false;
    size_t n = 0;
    out[n++] = static_cast<char>('0' + (At(item, length, 1) >> 4));
    for (DWORD i = 2; i < kImeiItemBytes; ++i) {
        out[n++] = static_cast<char>('0' + (At(item, length, i) & 0x0F));
        out[n++] = static_cast<char>('0' + (At(item, length, i) >> 4));
    }
    out[n] = '\0';
    return true;
}
