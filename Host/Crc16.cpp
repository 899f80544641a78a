#include "Crc16.h"

#include <array>

namespace {

std::array<WORD, 256> MakeReflectedTable() {
    std::array<WORD, 256> table{};
    for (unsigned n = 0; n < 256; ++n) {
        WORD value = static_cast<WORD>(n);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) ? static_cast<WORD>((value >> 1) ^ 0x8408) : (value >> 1);
        }
        table[n] = value;
    }
    return table;
}

std::array<WORD, 256> MakeForwardTable() {
    std::array<WORD, 256> table{};
    for (unsigned n = 0; n < 256; ++n) {
        WORD value = static_cast<WORD>(n << 8);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 0x8000) ? static_cast<WORD>((value << 1) ^ 0x1021)
                                     : static_cast<WORD>(value << 1);
        }
        table[n] = value;
    }
    return table;
}

}  // namespace

BOOL CalculateCRC(const BYTE* data, DWORD length, WORD& crc) {
    static const std::array<WORD, 256> table = MakeReflectedTable();
    WORD value = 0xFFFF;
    for (DWORD i = 0; i < length; ++i) {
        value = static_cast<WORD>(table[(value ^ data[i]) & 0xFF] ^ (value >> 8));
    }
    crc = static_cast<WORD>(~value);
    return TRUE;
}

BOOL CalculateCRC2(const BYTE* data, DWORD length, WORD& crc) {
    static const std::array<WORD, 256> table = MakeForwardTable();
    WORD value = 0xFFFF;
    for (DWORD i = 0; i < length; ++i) {
        value = static_cast<WORD>(table[((value >> 8) ^ data[i]) & 0xFF] ^ (value << 8));
    }
    crc = static_cast<WORD>(~value);
    return TRUE;
}
