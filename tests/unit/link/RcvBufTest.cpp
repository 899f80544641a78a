#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "HOST_HDLC.h"
#include "LinkTestSupport.h"

namespace {

using linktest::Bytes;
using linktest::Clock;
using linktest::ElapsedMs;
using linktest::LogCapture;

void Put(CRcvBuf& buf, const Bytes& packet) {
    ASSERT_TRUE(buf.PutPacket(packet.data(), static_cast<DWORD>(packet.size())));
}

// Takes the packet for v without waiting; empty when none matches.
Bytes Take(CRcvBuf& buf, DWORD v) {
    BYTE out[64] = {0};
    DWORD length = 0;
    if (!buf.GetPacket(out, sizeof(out), &length, v, 0))
        return Bytes();
    return Bytes(out, out + length);
}

TEST(RcvBufStore, KeepsTheTenNewestPacketsAndServesNewestFirst) {
    LogCapture log;
    CRcvBuf buf;
    for (BYTE i = 0; i < 11; ++i)
        Put(buf, {static_cast<BYTE>(0x10 + i), i});
    EXPECT_EQ(buf.GetCount(), 10);
    EXPECT_EQ(buf.FindPkt(0xFF10), nullptr);  // the oldest went
    for (BYTE i = 1; i < 11; ++i) {
        SBuffer* found = buf.FindPkt(0xFF10 + i);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->pData[1], i);
    }

    buf.RemoveAll();
    Put(buf, {0x26, 0x01});
    Put(buf, {0x26, 0x02});
    EXPECT_EQ(Take(buf, 0xFF26), Bytes({0x26, 0x02}));
}

TEST(RcvBufStore, GetPacketConsumesOneAndEmptiesTheBufferEvenWhenNothingMatches) {
    LogCapture log;
    CRcvBuf buf;
    Put(buf, {0x4B, 0x01});
    Put(buf, {0x26, 0x00, 0x07});
    Put(buf, {0x4B, 0x02});
    EXPECT_EQ(Take(buf, 0xFF26), Bytes({0x26, 0x00, 0x07}));
    EXPECT_EQ(buf.GetCount(), 0);
    EXPECT_TRUE(Take(buf, 0xFF4B).empty());  // the other two went with it

    Put(buf, {0x4B, 0x01});
    EXPECT_TRUE(Take(buf, 0xFF26).empty());
    EXPECT_EQ(buf.GetCount(), 0);
}

TEST(RcvBufStore, CopyIsBoundedByCapacityButReportsTheFullLength) {
    LogCapture log;
    CRcvBuf buf;
    Put(buf, {0x46, 'V', '1', '0', '0'});
    BYTE out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    DWORD length = 0;
    ASSERT_TRUE(buf.GetPacket(out, 2, &length, 0xFF46, 0));
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(Bytes(out, out + 4), Bytes({0x46, 'V', 0xAA, 0xAA}));
}

TEST(RcvBufMatch, SubCommandMatchesOnlyWhenNamed) {
    LogCapture log;
    CRcvBuf buf;
    Put(buf, {0x4B, 0x0D, 0x01});
    Put(buf, {0x4B, 0x0E, 0x02});
    Put(buf, {0x4B, 0x0F, 0x03});
    SBuffer* found = buf.FindPkt(0x0E4B);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->pData[2], 0x02);
    found = buf.FindPkt(0xFF4B);  // any sub-command: the newest
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->pData[2], 0x03);
    EXPECT_EQ(buf.FindPkt(0x114B), nullptr);

    Put(buf, {0x4B, 0x00, 0x04});
    Put(buf, {0x4B});  // too short to carry a sub-command: never matches one
    found = buf.FindPkt(0x004B);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->dwLength, 3u);
    EXPECT_EQ(found->pData[2], 0x04);
    EXPECT_EQ(buf.FindPkt(0xFF4B)->dwLength, 1u);
}

TEST(RcvBufMatch, WaitForExactlyTwoTakesAnyOtherReply) {
    LogCapture log;
    CRcvBuf buf;
    Put(buf, {0x41, 0x00});
    SBuffer* found = buf.FindPkt(0x02);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->pData[0], 0x41);
    EXPECT_EQ(buf.FindPkt(0xFF02), nullptr);  // any sub-command is not "exactly 2"
    EXPECT_EQ(buf.FindPkt(0x0102), nullptr);

    buf.RemoveAll();
    Put(buf, {0x03, 0x00});
    EXPECT_NE(buf.FindPkt(0x02), nullptr);  // a refusal answers the wait, too

    buf.RemoveAll();
    Put(buf, {0x02, 0x05});  // an acknowledgement with another sub-command
    EXPECT_EQ(buf.FindPkt(0x02), nullptr);
    EXPECT_NE(buf.FindPkt(0x0502), nullptr);
}

TEST(RcvBufMatch, WaitForBoardClassTakesAnyPacket) {
    LogCapture log;
    CRcvBuf buf;
    Put(buf, {0x13, 0x45});
    SBuffer* found = buf.FindPkt(0xFF45);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->pData[0], 0x13);
    EXPECT_EQ(buf.FindPkt(0xFF46), nullptr);

    // The named reply wins over other packets, also over later ones: a
    // frame the device sent on its own after its answer is not the answer.
    for (DWORD wait : {0xFF45u, 0x0002u}) {
        CRcvBuf both;
        const BYTE named = static_cast<BYTE>(wait & 0xFF);
        Put(both, {named, 0x00});
        Put(both, {0x7B, 0x01});
        SBuffer* answer = both.FindPkt(wait);
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->pData[0], named) << wait;
    }
}

// A reply that names its request answers only that request; one that names
// another is dropped, whatever its first byte.
TEST(RcvBufMatch, AReplyNamingAnotherRequestIsNeverTaken) {
    using V = EReplyVerdict;
    struct Row {
        const char* name;
        Bytes request;
        BYTE replyCommand;
        Bytes reply;
        V verdict;
    };
    const Row rows[] = {
        {"version reply", {0x4B, 0xC9, 0x03, 0xFF}, 0x4B, {0x4B, 0xC9, 0x03, 0x00}, V::kAnswer},
        {"version reply for the status query",
         {0x4B, 0xC9, 0x21, 0xFF},
         0x4B,
         {0x4B, 0xC9, 0x03, 0x00},
         V::kOther},
        {"reply too short to repeat its sub-command",
         {0x4B, 0xC9, 0x21},
         0x4B,
         {0x4B, 0xC9},
         V::kOther},
        {"NV reply of another item", {0x26, 0x26, 0x02}, 0x26, {0x26, 0x00, 0x00}, V::kOther},
        {"NV reply of an item with the same low byte",
         {0x26, 0x26, 0x02},
         0x26,
         {0x26, 0x26, 0x03},
         V::kOther},
        {"NV reply of the item", {0x26, 0x26, 0x02}, 0x26, {0x26, 0x26, 0x02}, V::kAnswer},
        {"offline answered, reset asked", {0x29, 0x02, 0x00}, 0x29, {0x29, 0x01, 0x00}, V::kOther},
        {"backup reply for the restore order",
         {0xFA, 0x14, 0x00, 0x00},
         0xFA,
         {0xFA, 0x13, 0x00, 0x00},
         V::kOther},
        {"end refused", {0x43, 0x00}, 0x02, {0x03, 0x43}, V::kRefusal},
        {"end refused, erase waits", {0x41, 0x00}, 0x02, {0x03, 0x43}, V::kOther},
        {"bare refusal names nothing", {0x41, 0x00}, 0x02, {0x03}, V::kRefusal},
        {"acknowledgement names nothing", {0x42, 0x00}, 0x02, {0x02}, V::kAnswer},
        {"board class takes another packet", {0x45}, 0x45, {0x13, 0x45}, V::kLooseAnswer},
        {"board class answered by an old board", {0x45}, 0x45, {0x03, 'K'}, V::kLooseAnswer},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const SReplyPattern pattern = ReplyPatternFor(
            row.request.data(), static_cast<DWORD>(row.request.size()), row.replyCommand);
        EXPECT_EQ(JudgeReply(pattern, row.reply.data(), static_cast<DWORD>(row.reply.size())),
                  row.verdict);
    }
}

TEST(RcvBufMatch, LogsEveryPacketWalkedThatIsNoAcknowledgement) {
    LogCapture log;
    CRcvBuf buf;
    Put(buf, {0x26, 0x00});
    Put(buf, {0x02, 0x00});
    Put(buf, {0x4B, 0x00});
    EXPECT_EQ(Take(buf, 0xFF26), Bytes({0x26, 0x00}));
    EXPECT_EQ(log.Count("The data which obtained from the device is 4b and btyeCmd = 26\n"), 1);
    EXPECT_EQ(log.Count("The data which obtained from the device is 26 and btyeCmd = 26\n"), 1);
    EXPECT_EQ(log.Count("The data which obtained from the device is 2 and btyeCmd = 26\n"), 0);
}

// Runs GetPacket(v, timeout) on another thread, then put packet after 100 ms.
struct WaitOutcome {
    BOOL result;
    long ms;
    Bytes packet;
};

WaitOutcome WaitWhilePutting(CRcvBuf& buf, DWORD v, DWORD timeout, const Bytes& packet) {
    WaitOutcome outcome{FALSE, 0, {}};
    std::thread waiter([&] {
        BYTE out[64] = {0};
        DWORD length = 0;
        Clock::time_point start = Clock::now();
        outcome.result = buf.GetPacket(out, sizeof(out), &length, v, timeout);
        outcome.ms = ElapsedMs(start);
        if (outcome.result)
            outcome.packet.assign(out, out + length);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    buf.PutPacket(packet.data(), static_cast<DWORD>(packet.size()));
    waiter.join();
    return outcome;
}

TEST(RcvBufWait, MatchingPacketWakesTheWaiterAtOnce) {
    LogCapture log;
    CRcvBuf buf;
    WaitOutcome got = WaitWhilePutting(buf, 0x0E4B, 5000, {0x4B, 0x0E, 0x09});
    EXPECT_TRUE(got.result);
    EXPECT_LT(got.ms, 1000);
    EXPECT_EQ(got.packet, Bytes({0x4B, 0x0E, 0x09}));
}

TEST(RcvBufWait, OtherPacketDoesNotWakeAndTheWaitTimesOut) {
    LogCapture log;
    CRcvBuf buf;
    WaitOutcome got = WaitWhilePutting(buf, 0x0E4B, 400, {0x4B, 0x0D});
    EXPECT_FALSE(got.result);
    EXPECT_GE(got.ms, 390);
}

TEST(RcvBufWait, RefusalPacketEndsAnotherWaitWithoutAPacket) {
    LogCapture log;
    CRcvBuf buf;
    WaitOutcome got = WaitWhilePutting(buf, 0xFF41, 5000, {0x03, 0x00});
    EXPECT_FALSE(got.result);
    EXPECT_LT(got.ms, 1000);
    EXPECT_EQ(buf.GetCount(), 0);  // emptied after the wake-up
}

TEST(RcvBufWait, ResetWakesAWaiterEmptyHanded) {
    LogCapture log;
    CRcvBuf buf;
    std::atomic<long> ms{-1};
    BOOL result = TRUE;
    std::thread waiter([&] {
        BYTE out[8];
        DWORD length = 0;
        Clock::time_point start = Clock::now();
        result = buf.GetPacket(out, sizeof(out), &length, 0xFF26, 5000);
        ms = ElapsedMs(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    buf.Reset();
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_LT(ms.load(), 1000);
}

TEST(RcvBufWait, DropForgetsStrayRefusalsSoTheNextWaitIsNotCutShort) {
    // A refusal that arrives while nobody waits leaves a wake-up behind;
    // without Drop the next wait would end at once, empty-handed.
    LogCapture log;
    CRcvBuf buf;
    Put(buf, {0x03, 0x00});
    Put(buf, {0x03, 0x00});
    buf.Drop();
    EXPECT_EQ(buf.GetCount(), 0);
    BYTE out[8];
    DWORD length = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(buf.GetPacket(out, sizeof(out), &length, 0xFF02, 300));
    EXPECT_GE(ElapsedMs(start), 290);
}

}  // namespace
