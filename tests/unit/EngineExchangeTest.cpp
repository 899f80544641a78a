// The exchange loop against a device that answers late: a reply inside the
// time-out counts, one after it does not, and a refused reply is tried again.
#include <thread>

#include "EngineFakeDevice.h"

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
        m_device.SetResponder([delay, replyByte](const Request&) -> std::vector<Bytes> {
            std::this_thread::sleep_for(delay);
            return {Reply(replyByte, 68)};
        });
        m_device.Clear();
        const BYTE request[] = {0x11, 0x22};
        EXPECT_EQ(m_engine.RunExchange(row.exchange, request, sizeof request), row.accepted);
        // A late reply must not be taken as the answer to the next request.
        m_device.WaitForRequests(1);
        std::this_thread::sleep_for(delay);
        EXPECT_EQ(m_device.Requests().size(), 1u);
    }
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
