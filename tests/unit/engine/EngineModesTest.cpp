#include <cstdlib>
#include <memory>

#include "EngineFakeDevice.h"

namespace enginetest {
namespace {

std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

class EngineModes : public EngineWithOpenPort {};

TEST_F(EngineModes, SwitchToDiagSendsTheTwoRawLines) {
    EXPECT_TRUE(m_engine.SwitchToDiag());
    ASSERT_TRUE(m_device.WaitForRequests(2));
    std::vector<Request> requests = m_device.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].raw);
    EXPECT_EQ(Text(requests[0].bytes), "AT$QCDMG\r\n");
    EXPECT_TRUE(requests[1].raw);
    EXPECT_EQ(Text(requests[1].bytes), "AT^DISLOG=255\r\n");
    EXPECT_EQ(CountInLog("for switching to Daig"), 0u);
}

TEST_F(EngineModes, ResetTwoNeedsNoReply) {
    EXPECT_TRUE(m_engine.Reset(2));
    ASSERT_TRUE(m_device.WaitForRequests(1));
    std::vector<Request> requests = m_device.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes, (Bytes{0x29, 0x02, 0x00}));
    EXPECT_FALSE(requests[0].openingFlag);
    EXPECT_TRUE(requests[0].crcGood);
}

TEST_F(EngineModes, ResetWaitsForItsReply) {
    EXPECT_FALSE(m_engine.Reset(1));
    EXPECT_EQ(CountInLog("Wait for response OVERTIME,for reset the board.\n"), 1u);
    m_device.SetResponder([](const Request& r) -> std::vector<Bytes> {
        if (r.bytes.size() == 3 && r.bytes[0] == 0x29)
            return {ReplyTo(r, 3)};
        return {};
    });
    m_device.Clear();
    EXPECT_TRUE(m_engine.Reset(4));
    EXPECT_EQ(m_device.Frames(), std::vector<Bytes>{(Bytes{0x29, 0x04, 0x00})});
}

TEST_F(EngineModes, SwitchToDownloadModeRetriesUntilAReply) {
    auto seen = std::make_shared<int>(0);  // touched by the device thread only
    m_device.SetResponder([seen](const Request& r) -> std::vector<Bytes> {
        if (r.bytes != Bytes{0x3A})
            return {};
        return ++*seen == 3 ? std::vector<Bytes>{Reply(0x3A, 2)} : std::vector<Bytes>{};
    });
    EXPECT_TRUE(m_engine.DIAG_SwitchToDldMode());
    EXPECT_EQ(m_device.Frames().size(), 3u);
    EXPECT_EQ(CountInLog("Wait for response OVERTIME 1 times,for switching to download mode.\n"),
              1u);
    EXPECT_EQ(CountInLog("Wait for response OVERTIME 2 times,for switching to download mode.\n"),
              1u);
    EXPECT_EQ(CountInLog("Wait for response OVERTIME 3 times"), 0u);
}

TEST_F(EngineModes, SwitchToDownloadModeGivesUpAfterTenAttempts) {
    OverrideTimeScale(0.005);
    EXPECT_FALSE(m_engine.DIAG_SwitchToDldMode());
    EXPECT_EQ(m_device.Frames().size(), 10u);
    EXPECT_EQ(CountInLog("for switching to download mode.\n"), 10u);
}

TEST_F(EngineModes, OneTimeSwitchMakesOneAttempt) {
    OverrideTimeScale(0.005);
    EXPECT_FALSE(m_engine.DIAG_SwitchToDldModeOneTime());
    EXPECT_EQ(m_device.Frames(), std::vector<Bytes>{Bytes{0x3A}});
    EXPECT_EQ(CountInLog("Wait for response OVERTIME 1 times,for switching to download mode.\n"),
              1u);
    EXPECT_EQ(CountInLog("Switch to download mode FAILED in onetime.\n"), 1u);

    m_device.Clear();
    m_device.SetResponder([](const Request&) -> std::vector<Bytes> { return {Reply(0x3A, 2)}; });
    EXPECT_TRUE(m_engine.DIAG_SwitchToDldModeOneTime());
    EXPECT_EQ(m_device.Frames().size(), 1u);
}

// Port finding against the pseudo-terminal.
using EnginePortFinding = EngineFixture;

std::vector<Bytes> HandShakeDevice(const Request& r) {
    if (!r.raw && !r.bytes.empty() && r.bytes[0] == 0x26) {
        Bytes reply(133, 0);
        reply[0] = 0x26;
        return {reply};
    }
    return {};
}

TEST_F(EnginePortFinding, NamedNodeIsSwitchedToDiagnosticModeAndLeftOpen) {
    FakeDevice device;
    CMainControl engine;
    std::string name = device.Path().substr(5);  // "pts/N" after "/dev/"
    ASSERT_EQ(device.Path().compare(0, 5, "/dev/"), 0);
    EXPECT_TRUE(engine.FindCommPortWithDriverTool(&name[0]));
    EXPECT_EQ(std::string(bsdPath), device.Path());
    EXPECT_TRUE(engine.Hdlc().IsOpen());
    ASSERT_TRUE(device.WaitForRequests(2));
    std::vector<Request> requests = device.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Text(requests[0].bytes), "AT$QCDMG\r\n");
    EXPECT_EQ(Text(requests[1].bytes), "AT^DISLOG=255\r\n");
    EXPECT_TRUE(engine.ClosePort());
}

TEST_F(EnginePortFinding, DownloadModeTakesTheNamedNodeWithoutOpeningIt) {
    isDLDMode = true;
    CMainControl engine;
    char name[] = "ttyUSB7";
    EXPECT_TRUE(engine.FindCommPortWithDriverTool(name));
    EXPECT_EQ(std::string(bsdPath), "/dev/ttyUSB7");
    EXPECT_FALSE(engine.Hdlc().IsOpen());
}

class EnginePortProbe : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        ASSERT_EQ(mkdir((m_dir + "/dev").c_str(), 0755), 0);
        setenv("FLASHPILOT_ROOT", m_dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("FLASHPILOT_ROOT");
        EngineFixture::TearDown();
    }
};

TEST_F(EnginePortProbe, FallsBackToTheNumberedNodes) {
    FakeDevice device;
    device.SetResponder(HandShakeDevice);
    ASSERT_EQ(symlink(device.Path().c_str(), (m_dir + "/dev/ttyUSB1").c_str()), 0);
    {
        CMainControl engine;
        g_nErrorCode = 10;
        char name[] = "ttyUSB9";  // not there
        EXPECT_TRUE(engine.FindCommPort(name));
        EXPECT_EQ(std::string(bsdPath), "/dev/ttyUSB1");  // the unprefixed name
        EXPECT_TRUE(engine.Hdlc().IsOpen());
        EXPECT_EQ(g_nErrorCode, kNoError);
        EXPECT_EQ(CountInLog("The driver tool has been installed!\n"), 1u);
        EXPECT_EQ(CountInLog("Port path = /dev/ttyUSB1\n"), 1u);
        std::vector<Request> requests = device.Requests();
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_TRUE(requests[0].raw);
        EXPECT_TRUE(requests[1].raw);
        EXPECT_EQ(requests[2].bytes.size(), 133u);
    }
}

TEST_F(EnginePortProbe, BoardClassAnswerAlsoFindsThePort) {
    FakeDevice device;
    device.SetResponder([](const Request& r) -> std::vector<Bytes> {
        if (!r.raw && r.bytes == Bytes{0x45}) {
            Bytes reply = Reply(0x45, 21);
            Put(reply, 1, "korvel QM90W");
            return {reply};
        }
        return {};
    });
    ASSERT_EQ(symlink(device.Path().c_str(), (m_dir + "/dev/ttyUSB0").c_str()), 0);
    OverrideTimeScale(0.002);
    CMainControl engine;
    char name[] = "";
    EXPECT_TRUE(engine.FindCommPort(name));
    EXPECT_EQ(std::string(bsdPath), "/dev/ttyUSB0");
    EXPECT_EQ(CountInLog("In find read FALSE handshake Continue!\n"), 10u);
    engine.ClosePort();
}

TEST_F(EnginePortProbe, NoNodeAnswersSetsCode10) {
    CMainControl engine;
    char name[] = "ttyUSB3";
    EXPECT_FALSE(engine.FindCommPort(name));
    EXPECT_EQ(g_nErrorCode, 10);
    EXPECT_EQ(std::string(bsdPath), "/dev/ttyUSB0");
    EXPECT_FALSE(engine.Hdlc().IsOpen());
}

TEST_F(EnginePortProbe, DownloadModeProbeClosesTheFoundPort) {
    FakeDevice device;
    device.SetResponder([](const Request& r) -> std::vector<Bytes> {
        if (!r.raw && r.bytes == Bytes{0x0C})
            return {Reply(0x0D, 2)};
        if (!r.raw && r.bytes == Bytes{0x45}) {
            Bytes reply = Reply(0x45, 21);
            Put(reply, 1, "KORVEL QM90W");
            return {reply};
        }
        return {};
    });
    ASSERT_EQ(symlink(device.Path().c_str(), (m_dir + "/dev/ttyUSB2").c_str()), 0);
    CMainControl engine;
    EXPECT_TRUE(engine.FindCommPortWithoutDriverTool());  // not in download mode: left open
    EXPECT_TRUE(engine.Hdlc().IsOpen());
    engine.ClosePort();
    isDLDMode = true;
    device.Clear();
    EXPECT_TRUE(engine.FindCommPortWithoutDriverTool());
    EXPECT_FALSE(engine.Hdlc().IsOpen());
    std::vector<Bytes> frames = device.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Bytes{0x0C});
    EXPECT_EQ(frames[1], Bytes{0x45});
}

}  // namespace
}  // namespace enginetest
