// CRC-16/X-25, the one checksum of the system: HDLC frames and the package's
// header and frame CRCs. Polynomial 0x1021 bit-reversed (0x8408), initial
// 0xFFFF, result complemented. "123456789" gives 0x906E.
#pragma once

#include <cstddef>

#include "Types.h"

// Always TRUE; the CRC of length bytes lands in crc.
BOOL CalculateCRC(const BYTE* data, DWORD length, WORD& crc);

// The same CRC over bytes that come in pieces: start from kCrcStart, feed
// every piece in order, and the CRC is the complement of the last state.
constexpr WORD kCrcStart = 0xFFFF;
WORD Crc16Update(WORD state, const BYTE* data, size_t length);

// CRC-16/GENIBUS (0x1021 not reflected, initial 0xFFFF, complemented);
// "123456789" gives 0xD64E. Kept beside the X-25 routine; not used by the flow.
BOOL CalculateCRC2(const BYTE* data, DWORD length, WORD& crc);

// Running a payload followed by its CRC (low byte first) through
// CalculateCRC yields this constant.
constexpr WORD kCrcGoodResidue = 0x0F47;
