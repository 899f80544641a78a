#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>

#include "DeviceExchange.h"
#include "EngineFakeDevice.h"

namespace enginetest {
namespace {

void PutDword(Bytes& b, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One unit: 98-byte header, frame CRC table, data, zero padding to 4.
Bytes Unit(uint32_t type, const Bytes& data) {
    const uint32_t frameSize = 4096;
    const uint32_t frames = static_cast<uint32_t>((data.size() + frameSize - 1) / frameSize);
    Bytes header(98, 0);
    PutDword(header, 0, 0xA55AAA55);
    PutDword(header, 4, 98 + 2 * frames);
    PutDword(header, 8, 1);
    memcpy(&header[12], "KVEW11.1", 8);
    PutDword(header, 20, type);
    PutDword(header, 24, static_cast<uint32_t>(data.size()));
    memcpy(&header[60], "V001:QM90W:11.810.09.17.00", 26);
    PutDword(header, 94, frameSize);
    uint16_t crc = X25(header);
    header[92] = static_cast<uint8_t>(crc & 0xFF);
    header[93] = static_cast<uint8_t>(crc >> 8);
    Bytes unit = header;
    for (uint32_t f = 0; f < frames; ++f) {
        size_t begin = f * frameSize;
        size_t end = std::min(data.size(), begin + frameSize);
        uint16_t frameCrc = X25(Bytes(data.begin() + begin, data.begin() + end));
        unit.push_back(static_cast<uint8_t>(frameCrc & 0xFF));
        unit.push_back(static_cast<uint8_t>(frameCrc >> 8));
    }
    unit.insert(unit.end(), data.begin(), data.end());
    return unit;
}

Bytes Package() {
    Bytes package(92, 0);
    for (const Bytes& unit :
         {Unit(0x00010000, Bytes(464, 0x5A)), Unit(0x00090000, {}), Unit(0x00110000, {1, 2, 3})}) {
        package.insert(package.end(), unit.begin(), unit.end());
        while (package.size() % 4 != 0)
            package.push_back(0);
    }
    return package;
}

class EngineUpdate : public EngineFixture {
protected:
    void WritePackage(const Bytes& bytes) const {
        std::ofstream out(m_dir + "/MODEM_FIRMWARE.BIN", std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
};

TEST_F(EngineUpdate, AValidPackageHandsOverToTheBackupOrTheDownload) {
    // An IMEI that can be read asks for the backup first; a device found in
    // download mode, or an IMEI that cannot be read, goes to the download.
    struct Row {
        bool forceDld;
        bool imeiAnswered;
        unsigned long command;
    };
    const Row rows[] = {{false, true, 6}, {false, false, 3}, {true, true, 3}};
    WritePackage(Package());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        FakeDevice device;
        device.UsePath();
        const bool answer = row.imeiAnswered;
        device.SetResponder([answer](const Request& r) -> std::vector<Bytes> {
            if (!answer || r.raw || r.bytes.empty() || r.bytes[0] != 0x26)
                return {};
            Bytes reply = ReplyTo(r, 133);
            reply[3] = 8;
            return {reply};
        });
        g_bForceDld = row.forceDld;
        CMainControl engine;
        ASSERT_TRUE(engine.OpenPort());
        EXPECT_TRUE(engine.DownLoadCode());
        EXPECT_EQ(engine.CurState(), row.command);
        EXPECT_EQ(g_nErrorCode, kNoError);
        engine.ClosePort();
    }
}

TEST_F(EngineUpdate, AnInvalidOrMissingPackageSetsCode18) {
    CMainControl engine;
    EXPECT_FALSE(engine.DownLoadCode());  // no file
    EXPECT_EQ(g_nErrorCode, 18);
    EXPECT_EQ(CountInLog("Verify the BIN file NO PASS.\n"), 1u);

    Bytes package = Package();
    package[92 + 98 + 2 + 10] ^= 0xFF;  // a data byte of unit 0: its frame CRC fails
    WritePackage(package);
    g_nErrorCode = kNoError;
    EXPECT_FALSE(engine.DownLoadCode());
    EXPECT_EQ(g_nErrorCode, 18);
    EXPECT_EQ(CountInLog("Verify the BIN file NO PASS.\n"), 2u);
}

// The download procedure against a scripted boot loader reached through a
// fake node ROOT/dev/ttyUSB0 (no option tree: the numbered nodes are probed).
class EngineDownload : public EngineUpdate {
protected:
    void SetUp() override {
        EngineUpdate::SetUp();
        OverrideTimeScale(0.002);
        ASSERT_EQ(mkdir((m_dir + "/dev").c_str(), 0755), 0);
        ASSERT_EQ(symlink(m_device.Path().c_str(), (m_dir + "/dev/ttyUSB0").c_str()), 0);
        setenv("FLASHPILOT_ROOT", m_dir.c_str(), 1);
        WriteStrings("\"IDS_PRODUCE_ID\"\t= \"QM90W\";\n");
        WritePackage(Package());
        g_bForceDld = true;  // no switch requests: the loader is there already
        TatolDownloadFailNum = 0;
    }
    void TearDown() override {
        unsetenv("FLASHPILOT_ROOT");
        EngineUpdate::TearDown();
    }

    // Answers as the boot loader; blocks are acknowledged unless ackBlock
    // says no for (unit type erased last, block number, time it is sent).
    void ServeLoader(std::function<bool(uint32_t, uint32_t, int)> ackBlock) {
        auto erased = std::make_shared<uint32_t>(0);
        auto sends = std::make_shared<std::map<std::pair<uint32_t, uint32_t>, int>>();
        m_device.SetResponder([=](const Request& r) -> std::vector<Bytes> {
            if (r.raw || r.bytes.empty())
                return {};
            switch (r.bytes[0]) {
                case 0x0C:
                    return {Bytes{0x0D, 0x00}};
                case 0x45: {
                    Bytes reply = Reply(0x45, 21);
                    Put(reply, 1, "KORVEL QM90W");
                    return {reply};
                }
                case 0x41:
                    *erased = Be32(r.bytes, 1);
                    return {Bytes{0x02, 0x00}};
                case 0x42: {
                    const uint32_t block = Be32(r.bytes, 1);
                    const int nth = ++(*sends)[{*erased, block}];
                    if (!ackBlock(*erased, block, nth))
                        return {};
                    return {Bytes{0x02, 0x00}};
                }
                case 0x43:
                case 0x0A:
                    return {Bytes{0x02, 0x00}};
                default:
                    return {};
            }
        });
    }

    static uint32_t Be32(const Bytes& b, size_t at) {
        return static_cast<uint32_t>(b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]);
    }

    // The download command on the engine's worker, up to its result
    // ("Update succeed!" or "Update failed!"); then Exit ends the worker.
    void RunDownload() {
        const std::string path = m_dir + "/MODEM_FIRMWARE.BIN";
        ASSERT_TRUE(m_engine.OpenDownLoadFile(path.c_str()));
        m_engine.Init(&m_observer);
        m_engine.SetCurState(CMD_DOWNLOAD);
        EXPECT_TRUE(m_observer.WaitFor(3, {20, 23}, 60000));
        m_engine.Exit();
    }

    std::vector<Bytes> FramesStartingWith(uint8_t cmd) {
        std::vector<Bytes> out;
        for (const Bytes& f : m_device.Frames())
            if (!f.empty() && f[0] == cmd)
                out.push_back(f);
        return out;
    }

    std::vector<double> Progress() {
        std::vector<double> values;
        for (const RecordingObserver::Call& call : m_observer.Calls())
            if (call.kind == 8)
                values.push_back(call.code);
        return values;
    }

    FakeDevice m_device;
    RecordingObserver m_observer;
    CMainControl m_engine;
};

TEST_F(EngineDownload, ABlockNeverAcknowledgedFailsElevenPassesWithCode19) {
    ServeLoader([](uint32_t, uint32_t, int) { return false; });
    RunDownload();

    EXPECT_EQ(g_nErrorCode, 19);
    EXPECT_EQ(TatolDownloadFailNum, 0);  // the next run starts counting afresh
    EXPECT_FALSE(isDLDMode);
    // Every pass starts with the erase of unit 0 and tries its first block
    // ten times, always as block 1; no image is closed. Each try ends
    // unanswered in the log; on a busy machine the probe before a try may
    // go unanswered at this time scale too, and that try sends nothing, so
    // the frames are at most as many as the tries.
    EXPECT_EQ(FramesStartingWith(0x41).size(), 11u);
    char unanswered[128];
    std::snprintf(unanswered, sizeof unanswered, BlockExchange(1).noReply, 1);
    EXPECT_EQ(CountInLog(unanswered), 110u);
    const std::vector<Bytes> blocks = FramesStartingWith(0x42);
    ASSERT_FALSE(blocks.empty());
    EXPECT_LE(blocks.size(), 110u);
    for (const Bytes& block : blocks)
        EXPECT_EQ(Be32(block, 1), 1u);
    EXPECT_TRUE(FramesStartingWith(0x43).empty());
    EXPECT_TRUE(FramesStartingWith(0x0A).empty());
    // The bar starts over at 0 with every pass; the run ends "Update failed!".
    EXPECT_EQ(Progress(), std::vector<double>(11, 0.0));
    const std::vector<RecordingObserver::Call> calls = m_observer.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().kind, 3u);
    EXPECT_EQ(calls.back().code, 23.0);
}

TEST_F(EngineDownload, ADashboardPackageIsWrittenAndEndsWithSuccess) {
    // The first send of block 1 of the 464-byte unit goes unanswered: it is
    // sent again, as block 1, and the download goes on.
    snprintf(strDloadSoftType, sizeof(strDloadSoftType), "dashboard");
    ServeLoader([](uint32_t type, uint32_t, int nth) { return type != 0x00010000 || nth > 1; });
    RunDownload();

    EXPECT_EQ(g_nErrorCode, 0);
    const std::vector<Bytes> blocks = FramesStartingWith(0x42);
    ASSERT_EQ(blocks.size(), 3u);  // 464 bytes twice, then the 3-byte unit
    EXPECT_EQ(blocks[0], blocks[1]);
    EXPECT_EQ(Be32(blocks[2], 1), 1u);
    EXPECT_EQ(blocks[2], (Bytes{0x42, 0, 0, 0, 1, 0, 3, 1, 2, 3}));
    // Three units erased and closed, the empty one included, then one reset.
    EXPECT_EQ(FramesStartingWith(0x41).size(), 3u);
    EXPECT_EQ(FramesStartingWith(0x43).size(), 3u);
    EXPECT_EQ(FramesStartingWith(0x0A), std::vector<Bytes>{Bytes{0x0A}});
    EXPECT_EQ(Progress(), (std::vector<double>{0, 99, 100}));
    const std::vector<RecordingObserver::Call> calls = m_observer.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3].code, 20.0);  // "Update succeed!", version, IMEI
}

}  // namespace
}  // namespace enginetest
