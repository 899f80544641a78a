#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Crc16.h"

namespace {

WORD Crc(const char* text) {
    WORD crc = 0;
    CalculateCRC(reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(std::strlen(text)), crc);
    return crc;
}

TEST(Crc16, X25CheckValuesAndResidue) {
    EXPECT_EQ(Crc("123456789"), 0x906E);
    EXPECT_EQ(Crc(""), 0x0000);
    BYTE frame[] = {0x26, 0x00, 0x00, 0, 0};
    WORD crc = 0;
    CalculateCRC(frame, 3, crc);
    EXPECT_EQ(crc, 0x132E);  // 26 00 00 goes on the wire as 26 00 00 2E 13 7E
    frame[3] = static_cast<BYTE>(crc & 0xFF);
    frame[4] = static_cast<BYTE>(crc >> 8);
    WORD residue = 0;
    CalculateCRC(frame, 5, residue);
    EXPECT_EQ(residue, kCrcGoodResidue);
}

// The CRC one bit at a time, straight from its definition.
WORD BitwiseX25(const BYTE* data, size_t length) {
    WORD crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<WORD>((crc >> 1) ^ 0x8408) : static_cast<WORD>(crc >> 1);
    }
    return static_cast<WORD>(~crc);
}

TEST(Crc16, SlicedStepsAgreeWithTheBitwiseDefinition) {
    std::vector<BYTE> data(70000);
    unsigned value = 12345;
    for (BYTE& b : data) {
        value = value * 1103515245u + 12345u;
        b = static_cast<BYTE>(value >> 16);
    }
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 40; ++n)
        lengths.push_back(n);
    for (size_t n : {63, 64, 65, 4095, 4096, 4103, 65536, 69990})
        lengths.push_back(n);
    for (size_t length : lengths) {
        // Every start alignment, and the bytes fed whole and in two pieces.
        const size_t offset = length % 16;
        const BYTE* start = data.data() + offset;
        const WORD expected = BitwiseX25(start, length);
        WORD whole = 0;
        CalculateCRC(start, static_cast<DWORD>(length), whole);
        const size_t cut = length / 3;
        const WORD pieces = static_cast<WORD>(
            ~Crc16Update(Crc16Update(kCrcStart, start, cut), start + cut, length - cut));
        EXPECT_EQ(whole, expected) << "length " << length << " offset " << offset;
        EXPECT_EQ(pieces, expected) << "length " << length << " cut at " << cut;
    }
}

TEST(Crc16, GenibusCheckValue) {
    WORD crc = 0;
    CalculateCRC2(reinterpret_cast<const BYTE*>("123456789"), 9, crc);
    EXPECT_EQ(crc, 0xD64E);
}

}  // namespace
