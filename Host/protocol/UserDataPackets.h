// The diagnostic packets of the user-data backup and restore as bytes: the
// back-up and restore orders and their status reply, the restore status query
// and its record, factory test mode and the three adjustment steps. No I/O.
// Multi-byte numbers are little-endian.
#pragma once

#include <array>

#include "Types.h"

constexpr BYTE kCmdUserDataOrder = 0xFA;
constexpr BYTE kCmdDiagStatus = 0x4B;
constexpr BYTE kCmdControlMode = 0x29;

constexpr DWORD kRestoreStatusQueryLen = 36;
constexpr DWORD kAdjustRequestLen = 8;

std::array<BYTE, 4> BackupOrder();
// FA 15 00 00 for a device that was found in download mode, else FA 14 00 00.
std::array<BYTE, 4> RestoreOrder(bool deviceWasInDownloadMode);

// The status of an order reply (FA, any byte, 16-bit status): false when the
// reply is too short or is no order reply.
bool OrderReplyStatus(const BYTE* reply, DWORD length, short* status);

std::array<BYTE, kRestoreStatusQueryLen> RestoreStatusQuery();

// byRestorStatus values.
constexpr BYTE kRestoredByItself = 0;
constexpr BYTE kRestoreStillWorking = 2;
constexpr BYTE kRestoreMustBeOrdered = 1;

// The restore status record: only the first three bytes mean something.
struct SNVRestoreStatus {
    BYTE byReserved = 0;
    BYTE byNVBackupExist = 0;
    BYTE byRestorStatus = kRestoreMustBeOrdered;
    BYTE byUnused[29] = {};
};
static_assert(sizeof(SNVRestoreStatus) == 32, "the status block is 32 bytes");

// Fills the record from a status reply (4B, the 32-byte block at offset 4);
// false when the reply is too short to hold the two bytes read.
bool ParseRestoreStatus(const BYTE* reply, DWORD length, SNVRestoreStatus* status);

// Control command 0x29 with a 16-bit mode: 1 offline, 2 reset, 3 factory
// test, 4 online.
std::array<BYTE, 3> ControlRequest(BYTE mode);

// Adjustment step 1, 2 or 3; any other step gives an all-zero request.
std::array<BYTE, kAdjustRequestLen> AdjustRequest(int step);
