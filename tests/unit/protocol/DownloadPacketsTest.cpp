// The bytes of the boot loader's packets and of the user-data orders, and
// the numbers of every device exchange held against the protocol's.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DeviceExchange.h"
#include "DownloadPackets.h"
#include "UserDataPackets.h"

namespace {

template <typename Container>
std::string Hex(const Container& bytes) {
    std::string text;
    char cell[4];
    for (BYTE b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X", b);
        text += text.empty() ? "" : " ";
        text += cell;
    }
    return text;
}

TEST(DownloadPackets, EraseAndEndOfImageLayouts) {
    struct Row {
        DWORD type, length;
        const char* erase;
        const char* end;
    };
    const std::string zeros12 = " 00 00 00 00 00 00 00 00 00 00 00 00";
    const Row rows[] = {
        {0x00010000, 464, "41 00 01 00 00 00 00 01 D0 00 00 00",
         "43 00 00 01 D0 00 00 00 00 01 00"},
        {0x00080000, 1815576, "41 00 08 00 00 00 1B B4 18 00 01 00",
         "43 00 1B B4 18 00 01 00 00 08 00"},
        {0x00090000, 0, "41 00 09 00 00 00 00 00 00 00 01 00", "43 00 00 00 00 00 01 00 00 09 00"},
        {0x000B0000, 1, "41 00 0B 00 00 00 00 00 01 00 01 00", "43 00 00 00 01 00 01 00 00 0B 00"},
        {0x000F0000, 2, "41 00 0F 00 00 00 00 00 02 00 01 00", "43 00 00 00 02 00 01 00 00 0F 00"},
        {0x00100000, 3, "41 00 10 00 00 00 00 00 03 00 01 00", "43 00 00 00 03 00 01 00 00 10 00"},
        {0x00110000, 0x12345678, "41 00 11 00 00 12 34 56 78 00 00 00",
         "43 12 34 56 78 00 00 00 00 11 00"},
        {0x00510000, 5, "41 00 51 00 00 00 00 00 05 00 00 00", "43 00 00 00 05 00 00 00 00 51 00"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.erase);
        EXPECT_EQ(Hex(ErasePacket(row.type, row.length, 0, 0)), row.erase);
        EXPECT_EQ(Hex(EndPacket(row.length, {row.type, 0, 0, 0}, 0)), row.end + zeros12);
    }
    // The option bytes and the three further values go out as given.
    EXPECT_EQ(Hex(ErasePacket(0x00010000, 464, 0xAA, 0xBB)), "41 00 01 00 00 00 00 01 D0 AA 00 BB");
    EXPECT_EQ(Hex(EndPacket(1, {0x00010000, 0x01020304, 5, 0x0A0B0C0D}, 7)),
              "43 00 00 00 01 07 00 00 00 01 00 01 02 03 04 00 00 00 05 0A 0B 0C 0D");
}

TEST(DownloadPackets, BlockResetAndAcknowledgement) {
    const std::vector<BYTE> data(464, 0xA5);
    const std::vector<BYTE> first = BlockPacket(1, data.data(), 464);
    ASSERT_EQ(first.size(), 471u);
    EXPECT_EQ(Hex(std::vector<BYTE>(first.begin(), first.begin() + 8)), "42 00 00 00 01 01 D0 A5");
    const std::vector<BYTE> big(4096, 1);
    const std::vector<BYTE> full = BlockPacket(0x01020304, big.data(), 4096);
    ASSERT_EQ(full.size(), 4103u);
    EXPECT_EQ(Hex(std::vector<BYTE>(full.begin(), full.begin() + 7)), "42 01 02 03 04 10 00");
    EXPECT_EQ(Hex(ResetPacket()), "0A");

    const BYTE ack[] = {0x02, 0x00};
    const BYTE nak[] = {0x03, 0x42};
    EXPECT_TRUE(IsAcknowledged(ack, 1));
    EXPECT_FALSE(IsAcknowledged(nak, 2));
    EXPECT_FALSE(IsAcknowledged(ack, 0));
}

TEST(UserDataPackets, OrdersQueriesAndReplies) {
    EXPECT_EQ(Hex(BackupOrder()), "FA 13 00 00");
    EXPECT_EQ(Hex(RestoreOrder(false)), "FA 14 00 00");
    EXPECT_EQ(Hex(RestoreOrder(true)), "FA 15 00 00");
    std::string query = "4B C9 21 FF";
    for (int i = 0; i < 32; ++i)
        query += " 00";
    EXPECT_EQ(Hex(RestoreStatusQuery()), query);
    EXPECT_EQ(Hex(ControlRequest(3)), "29 03 00");
    EXPECT_EQ(Hex(AdjustRequest(1)), "4B 0B 01 00 07 00 09 00");
    EXPECT_EQ(Hex(AdjustRequest(2)), "4B 0B 01 00 08 00 16 26");
    EXPECT_EQ(Hex(AdjustRequest(3)), "4B 0B 01 00 85 00 00 00");

    struct StatusRow {
        std::vector<BYTE> reply;
        bool ok;
        short status;
    };
    const StatusRow statuses[] = {
        {{0xFA, 0x13, 0x00, 0x00}, true, 0},  {{0xFA, 0x13, 0x05, 0x00}, true, 5},
        {{0xFA, 0x14, 0xFE, 0xFF}, true, -2},  // signed 16 bits, low byte first
        {{0xFA, 0x13, 0x00}, false, 0},        // too short to hold a status
        {{0x13, 0x13, 0x00, 0x00}, false, 0},  // no order reply
    };
    for (const StatusRow& row : statuses) {
        SCOPED_TRACE(Hex(row.reply));
        short status = 99;
        EXPECT_EQ(OrderReplyStatus(row.reply.data(), row.reply.size(), &status), row.ok);
        if (row.ok) {
            EXPECT_EQ(status, row.status);
        }
    }

    std::vector<BYTE> reply(68, 0);
    reply[0] = 0x4B;
    reply[5] = 1;  // backup exists
    reply[6] = 2;  // still restoring
    SNVRestoreStatus status;
    EXPECT_EQ(status.byRestorStatus, 1);  // a restore must be ordered until told otherwise
    ASSERT_TRUE(ParseRestoreStatus(reply.data(), reply.size(), &status));
    EXPECT_EQ(status.byNVBackupExist, 1);
    EXPECT_EQ(status.byRestorStatus, 2);
    EXPECT_FALSE(ParseRestoreStatus(reply.data(), 6, &status));
}

// Every command's attempts, reply, time-out and pauses, as the device's
// protocol promises them.
TEST(DeviceExchanges, NumbersOfEveryCommand) {
    struct Row {
        const char* name;
        Exchange e;
        int attempts;
        BYTE reply;
        unsigned long timeoutMs, beforeMs, afterWriteMs, writeFailMs, noReplyMs, refusedMs;
        DWORD replySize, minReply;
        bool openingFlag, awaitsReply;
    };
    const Row rows[] = {
        {"board version", BoardVersionExchange(), 10, 0x4B, 2000, 0, 500, 100, 100, 100, 1024, 63,
         false, true},
        {"version in download mode", VersionForceExchange(), 3, 0x46, 3000, 0, 500, 100, 100, 0,
         1024, 0, true, true},
        {"dashboard version", ISOVersionExchange(), 10, 0x4B, 2000, 0, 500, 100, 100, 0, 1024, 63,
         false, true},
        {"board class", BoardClassExchange(), 10, 0x45, 3000, 0, 500, 100, 100, 0, 1024, 0, false,
         true},
        {"download-mode probe", DldModeProbeExchange(), 3, 0x0D, 3000, 0, 500, 100, 100, 0, 1024, 0,
         true, true},
        {"NV read", NVReadExchange(), 3, 0x26, 3000, 0, 0, 0, 0, 0, 1024, 0, false, true},
        {"switch to download mode", SwitchToDldModeExchange(), 10, 0x3A, 1000, 0, 500, 100, 100, 0,
         20, 0, false, true},
        {"one-shot switch", SwitchToDldModeOneTimeExchange(), 1, 0x3A, 20000, 0, 500, 100, 100, 0,
         20, 0, false, true},
        {"control offline", ControlExchange(1), 1, 0x29, 2000, 0, 0, 0, 0, 0, 1024, 0, false, true},
        {"control reset", ControlExchange(2), 1, 0x29, 2000, 0, 0, 0, 0, 0, 1024, 0, false, false},
        {"erase", EraseExchange(), 10, 0x02, 20000, 0, 100, 0, 0, 0, 10, 0, true, true},
        {"block, attempt 1", BlockExchange(1), 1, 0x02, 3000, 0, 0, 0, 0, 0, 20, 0, true, true},
        {"block, attempt 2", BlockExchange(2), 1, 0x02, 6000, 0, 0, 0, 0, 0, 20, 0, true, true},
        {"block, attempt 10", BlockExchange(10), 1, 0x02, 30000, 0, 0, 0, 0, 0, 20, 0, true, true},
        {"end of image", EndExchange(), 10, 0x02, 20000, 100, 0, 0, 0, 0, 10, 0, true, true},
        {"loader reset", DldResetExchange(), 10, 0x02, 20000, 0, 0, 100, 100, 0, 10, 0, true, true},
        {"backup order", BackupOrderExchange(), 10, 0xFA, 20000, 0, 0, 100, 100, 100, 1024, 0,
         false, true},
        {"restore order", RestoreOrderExchange(), 10, 0xFA, 20000, 0, 0, 100, 100, 100, 1024, 0,
         false, true},
        {"restore status", RestoreStatusExchange(), 10, 0x4B, 20000, 0, 500, 100, 100, 1000, 1024,
         0, false, true},
        {"factory test mode", FactoryTestExchange(), 3, 0x29, 3000, 0, 0, 0, 0, 0, 128, 0, false,
         true},
        {"adjustment", AdjustExchange(), 3, 0x4B, 3000, 0, 0, 0, 0, 0, 128, 0, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.e.attempts, row.attempts);
        EXPECT_EQ(row.e.replyCommand, row.reply);
        EXPECT_EQ(row.e.timeoutMs, row.timeoutMs);
        EXPECT_EQ(row.e.pauseBeforeAttemptMs, row.beforeMs);
        EXPECT_EQ(row.e.pauseAfterWriteMs, row.afterWriteMs);
        EXPECT_EQ(row.e.pauseAfterWriteFailureMs, row.writeFailMs);
        EXPECT_EQ(row.e.pauseAfterNoReplyMs, row.noReplyMs);
        EXPECT_EQ(row.e.pauseAfterRefusalMs, row.refusedMs);
        EXPECT_EQ(row.e.replySize, row.replySize);
        EXPECT_EQ(row.e.minReplyLength, row.minReply);
        EXPECT_EQ(row.e.openingFlag, row.openingFlag);
        EXPECT_EQ(row.e.awaitsReply, row.awaitsReply);
    }
}

}  // namespace
