#include "DeviceExchange.h"

#include "DownloadPackets.h"
#include "UserDataPackets.h"

namespace {

constexpr int kVersionReadFailed = 12;
constexpr DWORD kLongReply = 63;  // a version or status reply is longer than 62 bytes

}  // namespace

Exchange BoardVersionExchange() {
    Exchange e;
    e.attempts = 10;
    e.pauseAfterWriteMs = 500;
    e.replyCommand = 0x4B;
    e.timeoutMs = 2000;
    e.minReplyLength = kLongReply;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.pauseAfterRefusalMs = 100;
    e.writeFailed = "Write the order FAILED %d times, for querying firmware version.\n";
    e.noReply = "Read the firmware version FAILED %d times.\n";
    return e;
}

Exchange VersionForceExchange() {
    Exchange e;
    e.attempts = 3;
    e.openingFlag = true;
    e.pauseAfterWriteMs = 500;
    e.replyCommand = 0x46;
    e.timeoutMs = 3000;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.writeFailed = "Write the order FAILED for querying version in force mode.\n";
    e.noReply = "Read the version in force mode FAILED.\n";
    e.written = "Write the order failed SUCCESS for querying version in force mode.\n";
    e.answered = "Read the version in force mode SUCCESS.\n";
    e.noReplyErrorCode = kVersionReadFailed;
    return e;
}

Exchange ISOVersionExchange() {
    Exchange e;
    e.attempts = 10;
    e.pauseAfterWriteMs = 500;
    e.replyCommand = 0x4B;
    e.timeoutMs = 2000;
    e.minReplyLength = kLongReply;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.writeFailed = "Write the order FAILED %d times,for querying dashboard version.\n";
    e.noReply = "Read the dashboard version failed.\n";
    return e;
}

Exchange BoardClassExchange() {
    Exchange e;
    e.attempts = 10;
    e.pauseAfterWriteMs = 500;
    e.replyCommand = 0x45;  // the adapter hands over any packet for this one
    e.timeoutMs = 3000;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.writeFailed = "Write the order %d times FAILED,for querying board class.\n";
    e.noReply = "Wait for response OVERTIME %d times,for querying board class.\n";
    return e;
}

Exchange DldModeProbeExchange() {
    Exchange e;
    e.attempts = 3;
    e.openingFlag = true;
    e.pauseAfterWriteMs = 500;
    e.replyCommand = 0x0D;
    e.timeoutMs = 3000;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.writeFailed = "Write the order FAILED,for querying download mode.\n";
    e.noReply = "Read download mode failed.\n";
    return e;
}

Exchange ResyncExchange() {
    Exchange e = DldModeProbeExchange();
    e.pauseAfterWriteMs = 0;  // the wait itself lets older replies pass
    e.writeFailed = "Write the order FAILED,for resynchronising with the boot loader.\n";
    e.noReply = "Wait for response OVERTIME %d times,for resynchronising with the boot loader.\n";
    return e;
}

Exchange NVReadExchange() {
    Exchange e;
    e.attempts = 3;
    e.replyCommand = 0x26;
    e.timeoutMs = 3000;
    e.writeFailed = "write ReadNv Continue!\n";
    e.noReply = "read ReadNv Continue!\n";
    return e;
}

Exchange SwitchToDldModeExchange() {
    Exchange e;
    e.attempts = 10;
    e.pauseAfterWriteMs = 500;
    e.replyCommand = 0x3A;
    e.timeoutMs = 1000;
    e.replySize = 20;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.writeFailed = "Write the order %d times FAILED,for switching to download mode in Daig.\n";
    e.noReply = "Wait for response OVERTIME %d times,for switching to download mode.\n";
    return e;
}

Exchange SwitchToDldModeOneTimeExchange() {
    Exchange e = SwitchToDldModeExchange();
    e.attempts = 1;
    e.timeoutMs = 20000;
    e.writeFailed = "Write the order %d times FAILED,for switching to download mode in onetime.\n";
    return e;
}

Exchange ControlExchange(BYTE mode) {
    Exchange e;
    e.awaitsReply = mode != 2;  // the device resets at once and does not answer
    e.replyCommand = kCmdControlMode;
    e.timeoutMs = 2000;
    e.writeFailed = "Write the order FAILED,for reset the board.\n";
    e.noReply = "Wait for response OVERTIME,for reset the board.\n";
    return e;
}

Exchange EraseExchange() {
    Exchange e;
    e.openingFlag = true;  // the boot loader takes frames that open with 0x7E
    e.attempts = 10;
    e.pauseAfterWriteMs = 100;
    e.replyCommand = kDldAck;
    e.timeoutMs = 20000;
    e.replySize = 10;
    e.writeFailed = "Write the order %d times FAILED,for erasing flash.\n";
    e.noReply = "Wait for response OVERTIME %d times,for erase flash.\n";
    return e;
}

Exchange BlockExchange(int attempt) {
    Exchange e;
    e.openingFlag = true;  // the boot loader takes frames that open with 0x7E
    e.replyCommand = kDldAck;
    e.timeoutMs = static_cast<unsigned long>(attempt) * 3000UL;
    e.replySize = 20;
    e.writeFailed = "Write %d data block into port failed.\n";
    e.noReply = "Wait for rsponse OVERTIME,for %d data block.\n";
    return e;
}

Exchange EndExchange() {
    Exchange e;
    e.openingFlag = true;  // the boot loader takes frames that open with 0x7E
    e.attempts = 10;
    e.pauseBeforeAttemptMs = 100;
    e.replyCommand = kDldAck;
    e.timeoutMs = 20000;
    e.replySize = 10;
    e.writeFailed = "Write the order %d times FAILED,for finish downloading.\n";
    e.noReply = "Wait the response OVERTIME %d times,for finish downloading.\n";
    return e;
}

Exchange DldResetExchange() {
    Exchange e;
    e.openingFlag = true;  // the boot loader takes frames that open with 0x7E
    e.attempts = 10;
    e.replyCommand = kDldAck;
    e.timeoutMs = 20000;
    e.replySize = 10;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.writeFailed = "Write the order FAILED,for reset the board in DLD_Reset().\n";
    e.noReply = "Wait for response OVERTIME,for reset the board in DLD_Reset().\n";
    return e;
}

Exchange BackupOrderExchange() {
    Exchange e;
    e.attempts = 10;
    e.replyCommand = kCmdUserDataOrder;
    e.timeoutMs = 20000;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.pauseAfterRefusalMs = 100;
    e.writeFailed = "Write the order %d times FAILED,for backup NV.\n";
    return e;
}

Exchange RestoreOrderExchange() {
    Exchange e = BackupOrderExchange();
    e.writeFailed = "Write the order FAILED,for resume NV.\n";
    e.noReply = "Wait for response OVERTIME,for resume NV.\n";
    return e;
}

Exchange RestoreStatusExchange() {
    Exchange e;
    e.attempts = 10;
    e.pauseAfterWriteMs = 500;
    e.replyCommand = kCmdDiagStatus;
    e.timeoutMs = 20000;
    e.pauseAfterWriteFailureMs = 100;
    e.pauseAfterNoReplyMs = 100;
    e.pauseAfterRefusalMs = 1000;  // the device is still restoring: ask again later
    e.writeFailed = "Write the order FAILED for querying resuming NV tag.\n";
    e.noReply = "Read resuming NV tag failed %d times.\n";
    return e;
}

Exchange FactoryTestExchange() {
    Exchange e;
    e.attempts = 3;
    e.replyCommand = kCmdControlMode;
    e.timeoutMs = 3000;
    e.replySize = 128;
    e.writeFailed = "Write the order %d times FAILED.for go into FTM mode.\n";
    e.noReply = "Wait for response FAILED %d times,for go into FTM mode.\n";
    return e;
}

Exchange AdjustExchange() {
    Exchange e;
    e.attempts = 3;
    e.replyCommand = kCmdDiagStatus;
    e.timeoutMs = 3000;
    e.replySize = 128;
    e.writeFailed = "Write the order %d times FAILED,for adjust.\n";
    e.noReply = "Wait for response FAILED,after write order(%d) to adjust.\n";
    return e;
}
