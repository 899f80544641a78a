#include "Crc16.h"

#include <array>

namespace {

// slice[0][n]: the register after byte n went through it bit by bit;
// slice[k][n]: the same, followed by k zero bytes. Sixteen bytes then take
// one step: each byte looks up its own table by the number of bytes after it.
constexpr int kSlices = 16;
struct ReflectedTables {
    WORD slice[kSlices][256];
};

ReflectedTables MakeReflectedTables() {
    ReflectedTables tables{};
    for (unsigned n = 0; n < 256; ++n) {
        WORD value = static_cast<WORD>(n);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) ? static_cast<WORD>((value >> 1) ^ 0x8408) : (value >> 1);
        }
        tables.slice[0][n] = value;
    }
    for (int k = 1; k < kSlices; ++k) {
        for (unsigned n = 0; n < 256; ++n) {
            const WORD previous = tables.slice[k - 1][n];
            tables.slice[k][n] =
                static_cast<WORD>((previous >> 8) ^ tables.slice[0][previous & 0xFF]);
        }
    }
    return tables;
}

const ReflectedTables& Reflected() {
    static const ReflectedTables tables = MakeReflectedTables();
    return tables;
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

WORD Crc16Update(WORD state, const BYTE* data, size_t length) {
    const ReflectedTables& t = Reflected();
    unsigned value = state;
    // The 16-bit register overlaps the first two bytes of each group.
    while (length >= kSlices) {
        value ^= static_cast<unsigned>(data[0]) | static_cast<unsigned>(data[1]) << 8;
        value = t.slice[15][value & 0xFF] ^ t.slice[14][value >> 8] ^ t.slice[13][data[2]] ^
                t.slice[12][data[3]] ^ t.slice[11][data[4]] ^ t.slice[10][data[5]] ^
                t.slice[9][data[6]] ^ t.slice[8][data[7]] ^ t.slice[7][data[8]] ^
                t.slice[6][data[9]] ^ t.slice[5][data[10]] ^ t.slice[4][data[11]] ^
                t.slice[3][data[12]] ^ t.slice[2][data[13]] ^ t.slice[1][data[14]] ^
                t.slice[0][data[15]];
        data += kSlices;
        length -= kSlices;
    }
    for (size_t i = 0; i < length; ++i)
        value = t.slice[0][(value ^ data[i]) & 0xFF] ^ (value >> 8);
    return static_cast<WORD>(value);
}

BOOL CalculateCRC(const BYTE* data, DWORD length, WORD& crc) {
    crc = static_cast<WORD>(~Crc16Update(kCrcStart, data, length));
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
