#include <gtest/gtest.h>

#include <cstring>

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

TEST(Crc16, GenibusCheckValue) {
    WORD crc = 0;
    CalculateCRC2(reinterpret_cast<const BYTE*>("123456789"), 9, crc);
    EXPECT_EQ(crc, 0xD64E);
}

}  // namespace
