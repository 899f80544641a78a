// The exchange loop against a device that answers late: a reply inside the
// time-out counts, one after it does not and never answers a later request,
// and a refused reply is tried again.
#include <algorithm>
#include <thread>

#include "EngineFakeDevice.h"
#include "RunStatistics.h"

namespace enginetest {
namespace {

class EngineExchange : public EngineWithOpenPort {
protected:
    double Scale() const override { return 0.02; }
};

TEST_F(EngineExchange, RepliesCountOnlyInsideTheirTimeOut) {
    struct Row {
        const char* name;
        Exchange exchange;
        BYTE replyByte;
        double delay;  // of the reply, as a share of the time-out
        bool accepted;
    };
    // One attempt each, so that every row shows one wait.
    auto once = [](Exchange e) {
        e.attempts = 1;
        return e;
    };
    const Row rows[] = {
        {"erase, late but in time", once(EraseExchange()), 0x02, 0.7, true},
        {"erase, too late", once(EraseExchange()), 0x02, 1.4, false},
        {"block attempt 2, later than attempt 1 may wait", BlockExchange(2), 0x02, 0.7, true},
        {"block attempt 1, too late", BlockExchange(1), 0x02, 1.4, false},
        {"end of image, late but in time", once(EndExchange()), 0x02, 0.7, true},
        {"one-shot switch, late but in time", SwitchToDldModeOneTimeExchange(), 0x3A, 0.7, true},
        {"backup order, late but in time", once(BackupOrderExchange()), 0xFA, 0.7, true},
        {"board version, too late", once(BoardVersionExchange()), 0x4B, 1.4, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto delay = std::chrono::milliseconds(
            static_cast<long>(row.exchange.timeoutMs * Scale() * row.delay));
        const BYTE replyByte = row.replyByte;
        m_device.SetResponder([delay, replyByte](const Request& r) -> std::vector<Bytes> {
            if (r.bytes == Bytes{0x0C})
                return {Bytes{0x0D}};  // the resynchronisation after a missed wait
            std::this_thread::sleep_for(delay);
            return {Reply(replyByte, 68)};
        });
        m_device.Clear();
        const BYTE request[] = {0x11, 0x22};
        EXPECT_EQ(m_engine.RunExchange(row.exchange, request, sizeof request), row.accepted);
        // A late reply must not be taken as the answer to the next request.
        m_device.WaitForRequests(1);
        std::this_thread::sleep_for(delay);
        const std::vector<Bytes> frames = m_device.Frames();
        EXPECT_EQ(std::count(frames.begin(), frames.end(), Bytes{0x11, 0x22}), 1);
    }
}

// A boot loader whose every reply comes after the block's first wait: the
// late acknowledgement of the block must not count for the end of image,
// which the loader refuses. The link is resynchronised (0C, answered 0D in
// order) before the end goes out, so the end sees its own refusal.
TEST_F(EngineExchange, AMissedAcknowledgementNeverCountsForTheNextRequest) {
    const auto late =
        std::chrono::milliseconds(static_cast<long>(BlockExchange(1).timeoutMs * Scale() * 1.4));
    m_device.SetResponder([late](const Request& r) -> std::vector<Bytes> {
        std::this_thread::sleep_for(late);
        switch (r.bytes.empty() ? 0 : r.bytes[0]) {
            case 0x0C:
                return {Bytes{0x0D}};
            case 0x43:
                return {Bytes{0x03, 0x43}};
            default:
                return {Bytes{0x02}};
        }
    });
    const BYTE block[] = {0x42, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x5A};
    const BYTE end[] = {0x43, 0x00};
    Exchange endOnce = EndExchange();
    endOnce.attempts = 1;
    const unsigned long resyncsBefore = g_RunStatistics.resyncs;
    EXPECT_FALSE(m_engine.RunExchange(BlockExchange(1), block, sizeof block));
    EXPECT_FALSE(m_engine.RunExchange(endOnce, end, sizeof end));
    // The block, one or more probes (a probe answered late is answered by
    // the next one), then the end.
    const std::vector<Bytes> frames = m_device.Frames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames.front()[0], 0x42);
    EXPECT_EQ(frames.back()[0], 0x43);
    EXPECT_TRUE(std::all_of(frames.begin() + 1, frames.end() - 1,
                            [](const Bytes& f) { return f == Bytes{0x0C}; }));
    EXPECT_EQ(g_RunStatistics.resyncs, resyncsBefore + 1);

    // A resynchronisation that brings no answer sends nothing else: the
    // request's attempt fails unsent.
    m_device.SetResponder([](const Request&) -> std::vector<Bytes> { return {}; });
    m_device.Clear();
    EXPECT_FALSE(m_engine.RunExchange(BlockExchange(1), block, sizeof block));
    EXPECT_FALSE(m_engine.RunExchange(endOnce, end, sizeof end));
    const std::vector<Bytes> unanswered = m_device.Frames();
    ASSERT_EQ(unanswered.size(), 1u + ResyncExchange().attempts);
    EXPECT_EQ(unanswered.back(), Bytes{0x0C});
}

TEST_F(EngineExchange, RefusedRepliesAreTriedAgainUpToTheAttempts) {
    // The judge refuses the first two replies; the third attempt succeeds.
    m_device.SetResponder([](const Request& r) -> std::vector<Bytes> {
        return {Bytes{0xFA, 0x13, static_cast<BYTE>(r.bytes.size()), 0}};
    });
    int judged = 0;
    auto third = [&judged](const BYTE*, DWORD, int attempt) {
        ++judged;
        return attempt == 3;
    };
    const BYTE order[] = {0xFA, 0x13, 0x00, 0x00};
    SExchangeReply reply;
    EXPECT_TRUE(m_engine.RunExchange(BackupOrderExchange(), order, sizeof order, &reply, third));
    EXPECT_EQ(judged, 3);
    EXPECT_EQ(m_device.Requests().size(), 3u);
    EXPECT_EQ(reply.length, 4u);
    EXPECT_EQ(reply.bytes.size(), 1024u);

    // Never accepted: all ten attempts are used, and the result is false.
    m_device.Clear();
    judged = 0;
    auto never = [&judged](const BYTE*, DWORD, int) {
        ++judged;
        return false;
    };
    EXPECT_FALSE(m_engine.RunExchange(BackupOrderExchange(), order, sizeof order, &reply, never));
    EXPECT_EQ(judged, 10);
    EXPECT_EQ(m_device.Requests().size(), 10u);
}

}  // namespace
}  // namespace enginetest
