#include "EngineFakeDevice.h"

namespace enginetest {
namespace {

// The 9 data bytes of NV item 550 for the IMEI 351234567890123.
const Bytes kImeiItem = {0x08, 0x3A, 0x15, 0x32, 0x54, 0x76, 0x98, 0x10, 0x32};

Bytes NvReply(uint16_t item, const Bytes& data, uint16_t status = 0) {
    Bytes reply(133, 0);
    reply[0] = 0x26;
    reply[1] = static_cast<uint8_t>(item & 0xFF);
    reply[2] = static_cast<uint8_t>(item >> 8);
    std::copy(data.begin(), data.end(), reply.begin() + 3);
    reply[131] = static_cast<uint8_t>(status & 0xFF);
    reply[132] = static_cast<uint8_t>(status >> 8);
    return reply;
}

bool Is(const Request& r, uint8_t cmd) {
    return !r.raw && !r.bytes.empty() && r.bytes[0] == cmd;
}

class EngineQueries : public EngineWithOpenPort {};

TEST_F(EngineQueries, FirmwareVersionNeedsMoreThan62Bytes) {
    auto versionOfLength = [](size_t replyLength) {
        return [replyLength](const Request& r) -> std::vector<Bytes> {
            if (!Is(r, 0x4B))
                return {};
            Bytes reply = ReplyTo(r, replyLength, 0x20);
            Put(reply, 4, "11.810.09.17.00-and-more-text-beyond-31-chars");
            return {reply};
        };
    };
    m_device.SetResponder(versionOfLength(62));
    char version[50];
    memset(version, 'x', sizeof(version));
    EXPECT_FALSE(m_engine.QueryBoardVersion(version));
    EXPECT_EQ(g_nErrorCode, 12);
    std::vector<Bytes> frames = m_device.Frames();
    ASSERT_EQ(frames.size(), 10u);
    for (const Bytes& f : frames)
        EXPECT_EQ(f, (Bytes{0x4B, 0xC9, 0x03, 0xFF}));
    for (const Request& r : m_device.Requests())
        EXPECT_FALSE(r.openingFlag);

    m_device.SetResponder(versionOfLength(63));
    m_device.Clear();
    EXPECT_TRUE(m_engine.QueryBoardVersion(version));
    EXPECT_EQ(std::string(version), "11.810.09.17.00-and-more-text-b");  // 31 characters
    EXPECT_EQ(m_device.Frames().size(), 1u);
    EXPECT_EQ(g_nErrorCode, kNoError);  // 12 cleared by the good read
    EXPECT_EQ(CountInLog("Read the firmware version FAILED"), 0u);
}

TEST_F(EngineQueries, FirmwareVersionLogsFailedReadsWithTheirNumber) {
    OverrideTimeScale(0.005);
    g_nErrorCode = 11;
    char version[50] = {};
    EXPECT_FALSE(m_engine.QueryBoardVersion(version));
    EXPECT_EQ(CountInLog("Read the firmware version FAILED 1 times.\n"), 1u);
    EXPECT_EQ(CountInLog("Read the firmware version FAILED 10 times.\n"), 1u);
    EXPECT_EQ(CountInLog("Read the firmware version FAILED"), 10u);
    EXPECT_EQ(g_nErrorCode, 12);
}

TEST_F(EngineQueries, VersionForceAgainstASilentDevice) {
    char version[50];
    memset(version, 'x', sizeof(version));
    EXPECT_TRUE(m_engine.QueryVersionForce(version));
    EXPECT_EQ(std::string(version), "");
    EXPECT_EQ(g_nErrorCode, 12);
    std::vector<Request> requests = m_device.Requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const Request& r : requests) {
        EXPECT_EQ(r.bytes, Bytes{0x46});
        EXPECT_TRUE(r.openingFlag);
        EXPECT_TRUE(r.crcGood);
    }
    EXPECT_EQ(m_engine.Hdlc().GetNoOpeningFlag(), 1);  // restored after each write
    EXPECT_EQ(CountInLog("Read the version in force mode FAILED.\n"), 3u);
    EXPECT_EQ(CountInLog("Write the order failed SUCCESS for querying version in force mode.\n"),
              3u);
}

TEST_F(EngineQueries, VersionForceTakesAtMost25Characters) {
    m_device.SetResponder([](const Request&) -> std::vector<Bytes> {
        Bytes reply = Reply(0x46, 60);
        Put(reply, 2, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
        return {reply};
    });
    g_nErrorCode = 12;
    char version[50];
    EXPECT_TRUE(m_engine.QueryVersionForce(version));
    EXPECT_EQ(std::string(version), "ABCDEFGHIJKLMNOPQRSTUVWXY");
    EXPECT_EQ(g_nErrorCode, kNoError);
    EXPECT_EQ(m_device.Requests().size(), 1u);
    EXPECT_EQ(CountInLog("Read the version in force mode SUCCESS.\n"), 1u);
}

TEST_F(EngineQueries, DashboardTextEnd) {
    auto dashboard = [](const std::string& text) {
        return [text](const Request& r) -> std::vector<Bytes> {
            if (!Is(r, 0x4B))
                return {};
            Bytes reply = ReplyTo(r, 200, 'z');
            Put(reply, 5, text);
            return {reply};
        };
    };
    char version[200];
    struct Case {
        std::string sent;
        std::string shown;
    };
    const Case cases[] = {
        {std::string("DASH.2.0\r\nrest", 14), "DASH.2.0"},
        {std::string("DASH\r2.0\nrest", 13), "DASH\r2.0"},  // a lone CR does not end it
        {std::string("DASH.3\0rest", 11), "DASH.3"},
    };
    for (const Case& c : cases) {
        m_device.SetResponder(dashboard(c.sent));
        ASSERT_TRUE(m_engine.QueryISOVersion(version));
        EXPECT_EQ(std::string(version), c.shown);
    }
    // No end mark up to offset 132: the 128 bytes from offset 5.
    m_device.SetResponder(dashboard(""));
    ASSERT_TRUE(m_engine.QueryISOVersion(version));
    EXPECT_EQ(std::string(version), std::string(128, 'z'));

    Bytes expected(36, 0);
    expected[0] = 0x4B;
    expected[1] = 0xC9;
    expected[2] = 0x24;
    expected[3] = 0xFF;
    for (const Bytes& f : m_device.Frames())
        EXPECT_EQ(f, expected);
}

TEST_F(EngineQueries, DashboardFailureEmptiesTheText) {
    m_device.SetResponder([](const Request&) -> std::vector<Bytes> { return {Reply(0x4B, 62)}; });
    char version[200] = "old";
    g_nErrorCode = 12;
    EXPECT_FALSE(m_engine.QueryISOVersion(version));
    EXPECT_EQ(std::string(version), "");
    EXPECT_EQ(m_device.Frames().size(), 10u);
    EXPECT_EQ(CountInLog("QueryISOVersion -> i >= MAX_RETRY_TIMES\n"), 1u);
    EXPECT_EQ(g_nErrorCode, 12);
}

TEST_F(EngineQueries, BoardClassAcceptsAnyPacketAndCopies21Bytes) {
    // A foreign packet does not wake the waiting read: it is taken only when it
    // is already buffered as the read starts, so the device must answer within
    // the pause after the write. Give that pause 250 ms, enough for a loaded
    // or sanitized run, so that one request is all it takes.
    OverrideTimeScale(0.5);
    m_device.SetResponder([](const Request& r) -> std::vector<Bytes> {
        if (!Is(r, 0x45))
            return {};
        Bytes reply = Reply(0x13, 40, 0x55);  // another packet answers too
        Put(reply, 1, "KORVEL QM90W");
        return {reply};
    });
    char boardClass[32];
    memset(boardClass, 0x7F, sizeof(boardClass));
    EXPECT_TRUE(m_engine.QueryBoardClass(boardClass));
    OverrideTimeScale(Scale());  // the port's close needs no long pause
    EXPECT_EQ(m_device.Frames(), std::vector<Bytes>{Bytes{0x45}});
    EXPECT_EQ(static_cast<uint8_t>(boardClass[0]), 0x13);
    EXPECT_EQ(std::string(boardClass + 1, 12), "KORVEL QM90W");
    EXPECT_EQ(static_cast<uint8_t>(boardClass[20]), 0x55);
    EXPECT_EQ(static_cast<uint8_t>(boardClass[21]), 0x7F);  // nothing beyond 21 bytes
    EXPECT_EQ(CountInLog("Board class is \x13KORVEL QM90W"), 1u);
}

TEST_F(EngineQueries, DownloadModeProbe) {
    EXPECT_FALSE(m_engine.QueryDldMode());
    std::vector<Request> requests = m_device.Requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const Request& r : requests) {
        EXPECT_EQ(r.bytes, Bytes{0x0C});
        EXPECT_TRUE(r.openingFlag);
    }
    EXPECT_EQ(CountInLog("Read download mode failed.\n"), 3u);

    m_device.Clear();
    m_device.SetResponder([](const Request&) -> std::vector<Bytes> { return {Reply(0x0D, 4)}; });
    EXPECT_TRUE(m_engine.QueryDldMode());
    EXPECT_EQ(m_device.Requests().size(), 1u);
}

TEST_F(EngineQueries, ReadNvItemRequestAndReply) {
    m_device.SetResponder([](const Request& r) -> std::vector<Bytes> {
        if (!Is(r, 0x26))
            return {};
        Bytes data(128);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(0xA0 + i);
        return {NvReply(550, data, 0x0305)};
    });
    unsigned char buf[20];
    memset(buf, 0xEE, sizeof(buf));
    buf[0] = 0x5C;
    ASSERT_TRUE(m_engine.Read_NV_Item(550, buf, 9));
    std::vector<Bytes> frames = m_device.Frames();
    ASSERT_EQ(frames.size(), 1u);
    Bytes expected(133, 0);
    expected[0] = 0x26;
    expected[1] = 0x26;  // 550 = 0x0226, low byte first
    expected[2] = 0x02;
    expected[3] = 0x5C;  // first byte of the caller's buffer
    EXPECT_EQ(frames[0], expected);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(buf[i], 0xA0 + i);
    EXPECT_EQ(buf[9], 0x05);  // the status's low byte
    EXPECT_EQ(buf[10], 0xEE);
    EXPECT_EQ(CountInLog("Begin Read_NV_Item\n"), 1u);
    EXPECT_EQ(CountInLog("End Read_NV_Item\n"), 1u);
}

TEST_F(EngineQueries, ReadNvItemFailures) {
    auto nvOfLength = [](size_t length) {
        return [length](const Request&) -> std::vector<Bytes> {
            Bytes reply = NvReply(550, kImeiItem);
            reply.resize(length);
            return {reply};
        };
    };
    m_device.SetResponder(nvOfLength(133));
    unsigned char buf[200] = {};
    // More than 128 data bytes never fit: three attempts, then false.
    EXPECT_FALSE(m_engine.Read_NV_Item(550, buf, 129));
    EXPECT_EQ(m_device.Frames().size(), 3u);
    EXPECT_EQ(CountInLog("End Read_NV_Item\n"), 0u);
    // A reply that is not 133 bytes long.
    m_device.Clear();
    m_device.SetResponder(nvOfLength(132));
    EXPECT_FALSE(m_engine.Read_NV_Item(550, buf, 9));
    EXPECT_EQ(m_device.Frames().size(), 3u);
    EXPECT_EQ(CountInLog("dwRealLen m_pHDLC.Read continue!\n"), 3u);
    // No reply.
    m_device.Clear();
    m_device.SetResponder(nullptr);
    EXPECT_FALSE(m_engine.Read_NV_Item(550, buf, 9));
    EXPECT_EQ(m_device.Frames().size(), 3u);
    EXPECT_EQ(CountInLog("read ReadNv Continue!\n"), 3u);
}

TEST_F(EngineQueries, ImeiDecodingAndLengthByte) {
    Bytes item = kImeiItem;
    m_device.SetResponder(
        [item](const Request&) -> std::vector<Bytes> { return {NvReply(550, item)}; });
    EXPECT_TRUE(m_engine.Read_IMEI());
    EXPECT_EQ(std::string(m_engine.IMEI()), "351234567890123");

    item[0] = 7;
    m_device.SetResponder(
        [item](const Request&) -> std::vector<Bytes> { return {NvReply(550, item)}; });
    EXPECT_FALSE(m_engine.Read_IMEI());
    EXPECT_EQ(std::string(m_engine.IMEI()), "ERROR_IMEI");
    EXPECT_EQ(CountInLog("Begin is invalid IMEI\n"), 1u);

    m_device.SetResponder(nullptr);
    EXPECT_FALSE(m_engine.Read_IMEI());
    EXPECT_EQ(std::string(m_engine.IMEI()), "ERROR_IMEI");
}

TEST_F(EngineQueries, HandShakeProbe) {
    auto probeReply = [](size_t length) {
        return [length](const Request& r) -> std::vector<Bytes> {
            if (!Is(r, 0x26))
                return {};
            Bytes reply = NvReply(0, {});
            reply.resize(length);
            return {reply};
        };
    };
    m_device.SetResponder(probeReply(133));
    EXPECT_TRUE(m_engine.HandShake());
    Bytes expected(133, 0);
    expected[0] = 0x26;
    expected[3] = 0x06;
    expected[5] = 0xA7;
    expected[6] = 0x25;
    EXPECT_EQ(m_device.Frames(), std::vector<Bytes>{expected});

    m_device.Clear();
    m_device.SetResponder(probeReply(100));
    EXPECT_FALSE(m_engine.HandShake());
    EXPECT_EQ(m_device.Frames().size(), 10u);
    EXPECT_EQ(CountInLog("In find read dwRealLen != 133 handshake Continue!\n"), 10u);
}

// A normal-mode device: no answer to the download-mode probe, a firmware
// version and an IMEI.
std::vector<Bytes> NormalDevice(const Request& r) {
    if (Is(r, 0x4B)) {
        Bytes reply = ReplyTo(r, 80);
        Put(reply, 4, "11.608.13.02.00");
        return {reply};
    }
    if (Is(r, 0x26))
        return {NvReply(550, kImeiItem)};
    return {};
}

TEST_F(EngineQueries, CheckBoardInNormalMode) {
    WriteStrings("\"IDS_PRODUCE_Version\"\t= \"11.810.09.17.00\";\n");
    m_device.SetResponder(NormalDevice);
    m_engine.SetCurState(7);
    ASSERT_TRUE(m_engine.Check_Board());
    ASSERT_EQ(m_engine.m_BoardInfo.Getl(), 6);
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(0)), m_device.Path());
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(1)), "connected");
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(2)), "11.608.13.02.00");
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(3)), "11.810.09.17.00");
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(4)), "351234567890123");
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(5)), "Normal Download");
    EXPECT_FALSE(g_bForceDld);
    EXPECT_TRUE(m_engine.m_bBoardChecked);
    EXPECT_EQ(m_engine.CurState(), 0u);
    EXPECT_EQ(CountInLog("Begin query device information.\n"), 1u);
    EXPECT_EQ(CountInLog("Original IMEI : 351234567890123\n"), 1u);
    // Order on the wire: three probes, the version, the IMEI item.
    std::vector<Bytes> frames = m_device.Frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[3][0], 0x4B);
    EXPECT_EQ(frames[4][0], 0x26);
}

TEST_F(EngineQueries, CheckBoardInDownloadMode) {
    // The port row keeps the field after the first '.' of the path.
    std::string link = m_dir + "/node.usb3";
    ASSERT_EQ(symlink(m_device.Path().c_str(), link.c_str()), 0);
    m_engine.ClosePort();
    snprintf(bsdPath, sizeof(bsdPath), "%s", link.c_str());
    ASSERT_TRUE(m_engine.OpenPort());
    m_device.SetResponder([](const Request& r) -> std::vector<Bytes> {
        if (Is(r, 0x0C))
            return {Reply(0x0D, 4)};
        if (Is(r, 0x46)) {
            Bytes reply = Reply(0x46, 40);
            Put(reply, 2, "BOOT.9");
            return {reply};
        }
        return {};
    });
    ASSERT_TRUE(m_engine.Check_Board());
    ASSERT_EQ(m_engine.m_BoardInfo.Getl(), 6);
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(0)), "usb3");
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(2)), "");
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(3)), "IDS_PRODUCE_Version");  // no strings
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(4)), "ERROR_IMEI");
    EXPECT_EQ(std::string(m_engine.m_BoardInfo.GetAt(5)), "Force Download");
    EXPECT_TRUE(g_bForceDld);
    // No IMEI read in download mode.
    for (const Bytes& f : m_device.Frames())
        EXPECT_NE(f[0], 0x26);
}

TEST_F(EngineQueries, CheckBoardGivesUpAfterTenVersionPasses) {
    OverrideTimeScale(0.001);
    m_engine.SetCurState(7);
    EXPECT_FALSE(m_engine.Check_Board());
    EXPECT_EQ(m_engine.CurState(), 4u);
    EXPECT_FALSE(m_engine.m_bBoardChecked);
    EXPECT_EQ(CountInLog("Query firmware version FAILED 10 times.\n"), 1u);
    EXPECT_EQ(CountInLog("Query firmware version FAILED"), 10u);
    EXPECT_EQ(g_nErrorCode, 12);
}

}  // namespace
}  // namespace enginetest
