// The boot loader's download packets as bytes: erase, data block, end of
// image and reset, and the judgement of its acknowledgement. No I/O here.
// Multi-byte fields are big-endian, except the unit type inside the end of
// image packet, which goes least significant byte first.
#pragma once

#include <array>
#include <vector>

#include "Types.h"

constexpr BYTE kDldErase = 0x41;
constexpr BYTE kDldBlock = 0x42;
constexpr BYTE kDldEnd = 0x43;
constexpr BYTE kDldReset = 0x0A;
constexpr BYTE kDldAck = 0x02;

// The most data one block packet may carry (its length field has 16 bits),
// and what the download uses.
constexpr DWORD kDldMaxBlockLen = 65535;
constexpr DWORD kDldBlockLen = 4096;
constexpr DWORD kDldBlockHeaderLen = 7;

constexpr DWORD kDldErasePacketLen = 12;
constexpr DWORD kDldEndPacketLen = 23;

// 1 for the unit types the boot loader treats apart (0x00080000, 0x00090000,
// 0x000B0000, 0x000F0000, 0x00100000), else 0.
BYTE DldTypeFlag(DWORD unitType);

std::array<BYTE, kDldErasePacketLen> ErasePacket(DWORD unitType, DWORD length, BYTE option1,
                                                 BYTE option2);

// 0x42, the block number, the data length, the data. length must not exceed
// kDldMaxBlockLen (the caller checks).
std::vector<BYTE> BlockPacket(DWORD blockNumber, const BYTE* data, DWORD length);

// The four values that close an image: the unit type, then three values sent
// unchanged.
struct _Tag_DLD_End_Packets {
    DWORD dwUnitType;
    DWORD dwValue2;
    DWORD dwValue3;
    DWORD dwValue4;
};

std::array<BYTE, kDldEndPacketLen> EndPacket(DWORD length, const _Tag_DLD_End_Packets& tag,
                                             BYTE flag);

std::array<BYTE, 1> ResetPacket();

// An acknowledgement starts with 0x02; nothing else of it is looked at.
bool IsAcknowledged(const BYTE* reply, DWORD length);
