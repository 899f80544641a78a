#include "UserDataPackets.h"

namespace {

constexpr BYTE kOrderBackup = 0x13;
constexpr BYTE kOrderRestore = 0x14;
constexpr BYTE kOrderRestoreInDownloadMode = 0x15;
constexpr DWORD kOrderReplyMinLen = 4;
constexpr DWORD kStatusBlockOffset = 4;

}  // namespace

std::array<BYTE, 4> BackupOrder() {
    return {kCmdUserDataOrder, kOrderBackup, 0x00, 0x00};
}

std::array<BYTE, 4> RestoreOrder(bool deviceWasInDownloadMode) {
    return {kCmdUserDataOrder,
            deviceWasInDownloadMode ? kOrderRestoreInDownloadMode : kOrderRestore, 0x00, 0x00};
}

bool OrderReplyStatus(const BYTE* reply, DWORD length, short* status) {
    if (reply == nullptr || length < kOrderReplyMinLen || reply[0] != kCmdUserDataOrder)
        return false;
    *status = static_cast<short>(static_cast<WORD>(reply[2] | (reply[3] << 8)));
    return true;
}

std::array<BYTE, kRestoreStatusQueryLen> RestoreStatusQuery() {
    std::array<BYTE, kRestoreStatusQueryLen> request{};
    request[0] = kCmdDiagStatus;
    request[1] = 0xC9;
    request[2] = 0x21;
    request[3] = 0xFF;
    return request;
}

bool ParseRestoreStatus(const BYTE* reply, DWORD length, SNVRestoreStatus* status) {
    if (reply == nullptr || length < kStatusBlockOffset + 3)
        return false;
    status->byNVBackupExist = reply[kStatusBlockOffset + 1];
    status->byRestorStatus = reply[kStatusBlockOffset + 2];
    return true;
}

std::array<BYTE, 3> ControlRequest(BYTE mode) {
    return {kCmdControlMode, mode, 0x00};
}

std::array<BYTE, kAdjustRequestLen> AdjustRequest(int step) {
    switch (step) {
        case 1:
            return {0x4B, 0x0B, 0x01, 0x00, 0x07, 0x00, 0x09, 0x00};
        case 2:
            return {0x4B, 0x0B, 0x01, 0x00, 0x08, 0x00, 0x16, 0x26};
        case 3:
            return {0x4B, 0x0B, 0x01, 0x00, 0x85, 0x00, 0x00, 0x00};
        default:
            return {};
    }
}
