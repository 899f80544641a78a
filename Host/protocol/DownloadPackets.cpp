#include "DownloadPackets.h"

#include <algorithm>

namespace {

void PutBigEndian(BYTE* out, DWORD value) {
    out[0] = static_cast<BYTE>(value >> 24);
    out[1] = static_cast<BYTE>(value >> 16);
    out[2] = static_cast<BYTE>(value >> 8);
    out[3] = static_cast<BYTE>(value);
}

void PutLittleEndian(BYTE* out, DWORD value) {
    out[0] = static_cast<BYTE>(value);
    out[1] = static_cast<BYTE>(value >> 8);
    out[2] = static_cast<BYTE>(value >> 16);
    out[3] = static_cast<BYTE>(value >> 24);
}

}  // namespace

BYTE DldTypeFlag(DWORD unitType) {
    switch (unitType) {
        case 0x00080000:
        case 0x00090000:
        case 0x000B0000:
        case 0x000F0000:
        case 0x00100000:
            return 1;
        default:
            return 0;
    }
}

std::array<BYTE, kDldErasePacketLen> ErasePacket(DWORD unitType, DWORD length, BYTE option1,
                                                 BYTE option2) {
    std::array<BYTE, kDldErasePacketLen> packet{};
    packet[0] = kDldErase;
    PutBigEndian(&packet[1], unitType);
    PutBigEndian(&packet[5], length);
    packet[9] = option1;
    packet[10] = DldTypeFlag(unitType);
    packet[11] = option2;
    return packet;
}

std::vector<BYTE> BlockPacket(DWORD blockNumber, const BYTE* data, DWORD length) {
    std::vector<BYTE> packet(kDldBlockHeaderLen + length);
    packet[0] = kDldBlock;
    PutBigEndian(&packet[1], blockNumber);
    packet[5] = static_cast<BYTE>(length >> 8);
    packet[6] = static_cast<BYTE>(length);
    std::copy(data, data + length, packet.begin() + kDldBlockHeaderLen);
    return packet;
}

std::array<BYTE, kDldEndPacketLen> EndPacket(DWORD length, const _Tag_DLD_End_Packets& tag,
                                             BYTE flag) {
    std::array<BYTE, kDldEndPacketLen> packet{};
    packet[0] = kDldEnd;
    PutBigEndian(&packet[1], length);
    packet[5] = flag;
    packet[6] = DldTypeFlag(tag.dwUnitType);
    PutLittleEndian(&packet[7], tag.dwUnitType);
    PutBigEndian(&packet[11], tag.dwValue2);
    PutBigEndian(&packet[15], tag.dwValue3);
    PutBigEndian(&packet[19], tag.dwValue4);
    return packet;
}

std::array<BYTE, 1> ResetPacket() {
    return {kDldReset};
}

bool IsAcknowledged(const BYTE* reply, DWORD length) {
    return reply != nullptr && length > 0 && reply[0] == kDldAck;
}
