#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HOST_HDLC.h"
#include "LinkTestSupport.h"
#include "PortNames.h"
#include "SessionTrace.h"

namespace {

using linktest::Bytes;
using linktest::Clock;
using linktest::Concat;
using linktest::CrcOf;
using linktest::ElapsedMs;
using linktest::Frame;
using linktest::LogCapture;
using linktest::Pty;
using linktest::Stuff;

// Records every packet the reader hands to its observer.
class Recorder : public IHDLCObserver {
public:
    void OnReceiveHDLC(DWORD first, DWORD dwLength, const BYTE* pPacket) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_firsts.push_back(first);
        m_packets.emplace_back(pPacket, pPacket + dwLength);
        m_changed.notify_all();
        if (m_throw)
            throw std::runtime_error("observer failure");
    }
    // Waits until count packets have arrived; false after timeoutMs.
    bool WaitFor(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> hold(m_mutex);
        return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_packets.size() >= count; });
    }
    std::vector<Bytes> Packets() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_packets;
    }
    std::vector<DWORD> Firsts() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_firsts;
    }
    void ThrowFromNowOn() { m_throw = true; }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Bytes> m_packets;
    std::vector<DWORD> m_firsts;
    std::atomic<bool> m_throw{false};
};

// A device on the master side of a pseudo-terminal and an adapter on its slave.
class HdlcOverPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_pty.ok());
        std::memcpy(m_savedPath, bsdPath, sizeof(bsdPath));
        std::snprintf(bsdPath, sizeof(bsdPath), "%s", m_pty.name().c_str());
    }
    void TearDown() override {
        m_adapter.Close();
        std::memcpy(bsdPath, m_savedPath, sizeof(bsdPath));
    }
    void Open() {
        m_adapter.RegisterObserver(&m_recorder);
        ASSERT_TRUE(m_adapter.Init(0, 0, 0));
    }
    // Writes payload framed and returns what reached the device.
    Bytes Sent(const Bytes& payload) {
        Bytes copy = payload;
        EXPECT_TRUE(m_adapter.Write(0, copy.data(), static_cast<DWORD>(copy.size())));
        return m_pty.Pending(300);
    }
    Bytes LastWriteBuffer() const {
        return Bytes(m_adapter.WriteBuffer(), m_adapter.WriteBuffer() + m_adapter.WriteLength());
    }

    LogCapture m_log;
    Pty m_pty;
    Recorder m_recorder;
    CHdlcAdapter m_adapter;
    char m_savedPath[sizeof(bsdPath)];
};

using HdlcFraming = HdlcOverPty;
using HdlcDeframing = HdlcOverPty;
using HdlcLimits = HdlcOverPty;
using HdlcExchange = HdlcOverPty;
using HdlcLifecycle = HdlcOverPty;

TEST_F(HdlcFraming, OpeningFlagFollowsTheSwitch) {
    Open();
    EXPECT_EQ(m_adapter.GetNoOpeningFlag(), 1);
    Bytes expected = {0x26, 0x00, 0x00, 0x2E, 0x13, 0x7E};
    EXPECT_EQ(Sent({0x26, 0x00, 0x00}), expected);
    EXPECT_EQ(LastWriteBuffer(), expected);

    m_adapter.SetNoOpeningFlag(0);
    expected = {0x7E, 0x26, 0x00, 0x00, 0x2E, 0x13, 0x7E};
    EXPECT_EQ(Sent({0x26, 0x00, 0x00}), expected);
    EXPECT_EQ(LastWriteBuffer(), expected);
}

TEST_F(HdlcFraming, StuffsFlagAndEscapeInThePayload) {
    Open();
    Bytes payload = {0x4B, 0x7E, 0x7D, 0x01};
    Bytes wire = Sent(payload);
    ASSERT_GE(wire.size(), 9u);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 6), Bytes({0x4B, 0x7D, 0x5E, 0x7D, 0x5D, 0x01}));
    EXPECT_EQ(wire, Frame(payload));
    EXPECT_EQ(wire.back(), 0x7E);
}

TEST_F(HdlcFraming, StuffsCrcBytesThatLookLikeFlags) {
    Open();
    // Find payloads 26 x y of plain bytes whose CRC has 0x7E as its low, and as
    // its high byte, the other CRC byte being plain.
    auto plain = [](BYTE b) { return b != 0x7E && b != 0x7D; };
    Bytes lowFlag, highFlag;
    for (int x = 0; x < 256 && (lowFlag.empty() || highFlag.empty()); ++x) {
        for (int y = 0; y < 256; ++y) {
            Bytes p = {0x26, static_cast<BYTE>(x), static_cast<BYTE>(y)};
            if (!plain(p[1]) || !plain(p[2]))
                continue;
            WORD crc = CrcOf(p);
            BYTE lo = static_cast<BYTE>(crc & 0xFF), hi = static_cast<BYTE>(crc >> 8);
            if (lowFlag.empty() && lo == 0x7E && plain(hi))
                lowFlag = p;
            if (highFlag.empty() && hi == 0x7E && plain(lo))
                highFlag = p;
        }
    }
    ASSERT_FALSE(lowFlag.empty());
    ASSERT_FALSE(highFlag.empty());

    BYTE hi = static_cast<BYTE>(CrcOf(lowFlag) >> 8);
    EXPECT_EQ(Sent(lowFlag), Bytes({0x26, lowFlag[1], lowFlag[2], 0x7D, 0x5E, hi, 0x7E}));
    BYTE lo = static_cast<BYTE>(CrcOf(highFlag) & 0xFF);
    EXPECT_EQ(Sent(highFlag), Bytes({0x26, highFlag[1], highFlag[2], lo, 0x7D, 0x5E, 0x7E}));
}

TEST_F(HdlcFraming, RawWriteSendsTheBytesAsTheyAre) {
    Open();
    Bytes line = {'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r', '\n', 0x7E, 0x7D};
    ASSERT_TRUE(m_adapter.Write(1, line.data(), static_cast<DWORD>(line.size())));
    EXPECT_EQ(m_pty.Pending(300), line);
}

TEST_F(HdlcDeframing, SkipsLeadingFlagsAndUnstuffs) {
    Open();
    Bytes payload = {0x26, 0x7E, 0x7D, 0x00, 0x11};
    ASSERT_TRUE(m_pty.Send(Concat({0x7E, 0x7E, 0x7E}, Frame(payload))));
    ASSERT_TRUE(m_recorder.WaitFor(1, 2000));
    EXPECT_EQ(m_recorder.Packets()[0], payload);
    EXPECT_EQ(m_recorder.Firsts()[0], 0u);
}

TEST_F(HdlcDeframing, EscapeFollowedByOtherBytesStays) {
    Open();
    // 7D 5D 5E: the pair gives 7D, and the 5E right after it is not unstuffed.
    Bytes first = {0x4B, 0x7D, 0x5E};
    Bytes wire = {0x4B, 0x7D, 0x5D, 0x5E};
    WORD crc = CrcOf(first);
    Stuff(wire, static_cast<BYTE>(crc & 0xFF));
    Stuff(wire, static_cast<BYTE>(crc >> 8));
    wire.push_back(0x7E);
    // 7D 41: an escape before an ordinary byte stays as both bytes.
    Bytes second = {0x4B, 0x7D, 0x41};
    Bytes wire2 = {0x4B, 0x7D, 0x41};
    crc = CrcOf(second);
    Stuff(wire2, static_cast<BYTE>(crc & 0xFF));
    Stuff(wire2, static_cast<BYTE>(crc >> 8));
    wire2.push_back(0x7E);

    ASSERT_TRUE(m_pty.Send(Concat(wire, wire2)));
    ASSERT_TRUE(m_recorder.WaitFor(2, 2000));
    EXPECT_EQ(m_recorder.Packets()[0], first);
    EXPECT_EQ(m_recorder.Packets()[1], second);
}

TEST_F(HdlcDeframing, BadCrcAndShortFramesAreNeverDelivered) {
    Open();
    Bytes bad = Frame({0x26, 0x01});
    bad[2] ^= 0x01;           // CRC low byte wrong
    Bytes empty = Frame({});  // 00 00 7E: a good CRC, but only two bytes
    ASSERT_EQ(empty, Bytes({0x00, 0x00, 0x7E}));
    Bytes good = Frame({0x26, 0x02});
    ASSERT_TRUE(m_pty.Send(Concat(Concat(bad, empty), good)));
    ASSERT_TRUE(m_recorder.WaitFor(1, 2000));
    ASSERT_TRUE(m_pty.Send(Frame({0x4B, 0x03})));  // a marker behind them
    ASSERT_TRUE(m_recorder.WaitFor(2, 2000));
    std::vector<Bytes> got = m_recorder.Packets();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], Bytes({0x26, 0x02}));
    EXPECT_EQ(got[1], Bytes({0x4B, 0x03}));
    EXPECT_TRUE(m_adapter.IsReaderRunning());
}

Bytes Pattern(size_t length) {
    Bytes p(length);
    for (size_t i = 0; i < length; ++i)
        p[i] = static_cast<BYTE>(i % 0x7C);  // no flag or escape bytes
    return p;
}

TEST_F(HdlcLimits, SendingStopsAtTheFramedAndRawBounds) {
    Open();
    Bytes largest = Pattern(HDLC_MAX_PAYLOAD);
    Bytes expected = Frame(largest);
    Bytes wire;
    std::thread device([&] { wire = m_pty.Receive(expected.size(), 5000); });
    EXPECT_TRUE(m_adapter.Write(0, largest.data(), static_cast<DWORD>(largest.size())));
    device.join();
    EXPECT_EQ(wire, expected);

    Bytes over = Pattern(HDLC_MAX_PAYLOAD + 1);
    EXPECT_FALSE(m_adapter.Write(0, over.data(), static_cast<DWORD>(over.size())));
    EXPECT_EQ(m_adapter.GetLastError(), HDLC_ERR_SEND_TOO_LONG);

    // Within the payload bound, but the stuffed frame does not fit the buffer.
    Bytes flags(40000, 0x7E);
    EXPECT_FALSE(m_adapter.Write(0, flags.data(), static_cast<DWORD>(flags.size())));
    EXPECT_EQ(m_adapter.GetLastError(), HDLC_ERR_SEND_TOO_LONG);

    Bytes raw(HDLC_BUF_SIZE + 1, 0x41);
    EXPECT_FALSE(m_adapter.Write(1, raw.data(), HDLC_BUF_SIZE + 1));
    EXPECT_EQ(m_adapter.GetLastError(), HDLC_ERR_SEND_TOO_LONG);
    EXPECT_TRUE(m_pty.Pending(200).empty());  // none of the refused packets went out

    std::thread device2([&] { wire = m_pty.Receive(HDLC_BUF_SIZE, 5000); });
    EXPECT_TRUE(m_adapter.Write(1, raw.data(), HDLC_BUF_SIZE));
    device2.join();
    EXPECT_EQ(wire.size(), HDLC_BUF_SIZE);
}

TEST_F(HdlcLimits, ReceivedFrameOverTheBoundIsDroppedAndTheNextOneTaken) {
    Open();
    // The largest frame (66,550 bytes with its CRC) whose last CRC byte is
    // escaped on the wire: the escape must not count twice against the bound.
    Bytes largest = Pattern(HDLC_MAX_PAYLOAD - 2);
    for (int tail = 0; tail < 0x10000; ++tail) {
        largest[largest.size() - 2] = static_cast<BYTE>(tail);
        largest[largest.size() - 1] = static_cast<BYTE>(tail >> 8);
        const BYTE crcHigh = static_cast<BYTE>(CrcOf(largest) >> 8);
        if (crcHigh == 0x7E || crcHigh == 0x7D)
            break;
    }
    ASSERT_EQ(Frame(largest).end()[-3], 0x7D);
    std::thread device([&] { m_pty.Send(Frame(largest)); });
    ASSERT_TRUE(m_recorder.WaitFor(1, 20000));
    device.join();
    EXPECT_EQ(m_recorder.Packets()[0], largest);

    // One byte more is dropped whole; the reader goes on with the next frame.
    Bytes over = Pattern(HDLC_MAX_PAYLOAD - 1);  // 66,551 bytes with its CRC
    const Bytes next = {0x02};
    std::thread device2([&] { m_pty.Send(Concat(Frame(over), Frame(next))); });
    ASSERT_TRUE(m_recorder.WaitFor(2, 20000));
    device2.join();
    EXPECT_TRUE(m_adapter.IsReaderRunning());
    EXPECT_EQ(m_adapter.GetLastError(), HDLC_ERR_FRAME_TOO_LONG);
    ASSERT_EQ(m_recorder.Packets().size(), 2u);
    EXPECT_EQ(m_recorder.Packets()[1], next);
}

TEST_F(HdlcExchange, FramedRequestGetsItsReply) {
    Open();
    Bytes reply(133, 0x00);
    reply[0] = 0x26;
    reply[1] = 0x7E;
    reply[2] = 0x7D;
    reply[132] = 0x55;
    std::thread device([&] {
        Bytes request = m_pty.Receive(6, 2000);
        if (request == Bytes({0x26, 0x00, 0x00, 0x2E, 0x13, 0x7E}))
            m_pty.Send(Frame(reply));
    });
    BYTE request[] = {0x26, 0x00, 0x00};
    ASSERT_TRUE(m_adapter.Write(0, request, 3));
    BYTE in[256] = {0};
    DWORD length = 0;
    BOOL ok = m_adapter.Read(in, sizeof(in), &length, 0x26, 3000, 0);
    device.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(Bytes(in, in + length), reply);
}

TEST_F(HdlcExchange, BufferedReplyIsReturnedAtOnceAndObserverFailuresAreSwallowed) {
    Open();
    m_recorder.ThrowFromNowOn();
    Bytes reply = {0x26, 0x01, 0x02, 0x03};
    ASSERT_TRUE(m_pty.Send(Concat(Frame(reply), Frame({0x4B, 0x09}))));
    ASSERT_TRUE(m_recorder.WaitFor(2, 2000));  // the 0x26 reply is buffered by now
    BYTE in[16] = {0};
    DWORD length = 0;
    ASSERT_TRUE(m_adapter.Read(in, sizeof(in), &length, 0x26, 0, 0));
    EXPECT_EQ(Bytes(in, in + length), reply);
    EXPECT_TRUE(m_adapter.IsReaderRunning());
}

TEST_F(HdlcExchange, NoReplyTimesOutWithError103) {
    Open();
    BYTE in[16];
    DWORD length = 0;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(m_adapter.Read(in, sizeof(in), &length, 0x26, 300, 0));
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_EQ(m_adapter.GetLastError(), HDLC_ERR_NO_PACKET);
}

TEST_F(HdlcExchange, MatchSubFlagDecidesWhetherTheSecondByteCounts) {
    Open();
    ASSERT_TRUE(m_pty.Send(Frame({0x4B, 0x07, 0x01})));
    ASSERT_TRUE(m_recorder.WaitFor(1, 2000));
    BYTE in[16];
    DWORD length = 0;
    // Flag zero: any sub-command, though the caller names 0x0E.
    ASSERT_TRUE(m_adapter.Read(in, sizeof(in), &length, 0x0E4B, 2000, 0));
    EXPECT_EQ(Bytes(in, in + length), Bytes({0x4B, 0x07, 0x01}));

    ASSERT_TRUE(m_pty.Send(Frame({0x4B, 0x07, 0x02})));
    ASSERT_TRUE(m_recorder.WaitFor(2, 2000));
    EXPECT_FALSE(m_adapter.Read(in, sizeof(in), &length, 0x0E4B, 200, 1));
    EXPECT_EQ(m_adapter.GetLastError(), HDLC_ERR_NO_PACKET);

    ASSERT_TRUE(m_pty.Send(Frame({0x4B, 0x0E, 0x03})));
    ASSERT_TRUE(m_adapter.Read(in, sizeof(in), &length, 0x0E4B, 2000, 1));
    EXPECT_EQ(Bytes(in, in + length), Bytes({0x4B, 0x0E, 0x03}));
}

TEST_F(HdlcLifecycle, CloseReturnsPromptlyWhileTheReaderWaits) {
    Open();
    EXPECT_TRUE(m_adapter.IsOpen());
    EXPECT_TRUE(m_adapter.IsReaderRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(m_adapter.Close());
    long ms = ElapsedMs(start);
    EXPECT_GE(ms, 90);  // the pause after the reader's end
    EXPECT_LT(ms, 1000);
    EXPECT_FALSE(m_adapter.IsOpen());
    EXPECT_FALSE(m_adapter.IsReaderRunning());
    EXPECT_EQ(m_adapter.GetLastError(), 0u);
    EXPECT_EQ(m_log.Count("port closed succeed\n"), 1);
    EXPECT_TRUE(m_adapter.Close());

    // Open again, twice in a row (the second Init closes first); it still talks.
    ASSERT_TRUE(m_adapter.Init(0, 0, 0));
    ASSERT_TRUE(m_adapter.Init(0, 0, 0));
    EXPECT_EQ(m_log.Count("port closed succeed\n"), 2);
    ASSERT_TRUE(m_pty.Send(Frame({0x46, 0x31})));
    BYTE in[8];
    DWORD length = 0;
    ASSERT_TRUE(m_adapter.Read(in, sizeof(in), &length, 0x46, 2000, 0));
    EXPECT_EQ(Bytes(in, in + length), Bytes({0x46, 0x31}));
}

TEST_F(HdlcLifecycle, DeviceHangingUpEndsTheReader) {
    Open();
    ASSERT_TRUE(m_adapter.IsReaderRunning());
    m_pty.CloseMaster();
    for (int i = 0; i < 200 && m_adapter.IsReaderRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(m_adapter.IsReaderRunning());
    EXPECT_TRUE(m_adapter.IsOpen());  // open until closed, but deaf
    BYTE in[8];
    DWORD length = 0;
    EXPECT_FALSE(m_adapter.Read(in, sizeof(in), &length, 0x26, 100, 0));
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(m_adapter.Close());
    EXPECT_LT(ElapsedMs(start), 1000);
}

TEST_F(HdlcLifecycle, InitFailsWhenTheNodeIsMissing) {
    std::snprintf(bsdPath, sizeof(bsdPath), "/dev/ttyUSB_fp_missing");
    EXPECT_FALSE(m_adapter.Init(0, 0, 0));
    EXPECT_FALSE(m_adapter.IsOpen());
    EXPECT_EQ(m_adapter.GetLastError(), 0u);  // the port's code
    EXPECT_EQ(m_log.Count("CSerialPort::Open error\n"), 1);
    EXPECT_TRUE(m_adapter.Close());
}

TEST_F(HdlcLifecycle, DeviceNodeIsOpenedUnderTheRoot) {
    std::string root = m_log.dir() + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/dev").c_str(), 0700), 0);
    ASSERT_EQ(symlink(m_pty.name().c_str(), (root + "/dev/ttyUSB7").c_str()), 0);
    std::snprintf(bsdPath, sizeof(bsdPath), "/dev/ttyUSB7");
    setenv("FLASHPILOT_ROOT", root.c_str(), 1);
    BOOL ok = m_adapter.Init(0, 0, 0);
    unsetenv("FLASHPILOT_ROOT");
    ASSERT_TRUE(ok);
    EXPECT_STREQ(bsdPath, "/dev/ttyUSB7");
    EXPECT_EQ(Sent({0x26, 0x00, 0x00}), Bytes({0x26, 0x00, 0x00, 0x2E, 0x13, 0x7E}));
    m_adapter.Close();
    std::remove((root + "/dev/ttyUSB7").c_str());
    rmdir((root + "/dev").c_str());
    rmdir(root.c_str());
}

TEST_F(HdlcLifecycle, WithoutReaderFramesAreReadOnDemand) {
    m_adapter.SetIoMode(0);
    Open();
    EXPECT_FALSE(m_adapter.IsReaderRunning());
    Bytes bad = Frame({0x46, 0x01});
    bad[1] ^= 0x10;
    Bytes big = Pattern(40);
    big[0] = 0x46;
    ASSERT_TRUE(m_pty.Send(Concat(Concat(bad, Frame({0x46, 0x02})), Frame(big))));
    BYTE in[16] = {0};
    DWORD length = 99;
    ASSERT_TRUE(m_adapter.Read(in, sizeof(in), &length));
    EXPECT_EQ(Bytes(in, in + length), Bytes({0x46, 0x02}));
    EXPECT_FALSE(m_adapter.Read(in, sizeof(in), &length));  // 40 bytes, room for 16
    EXPECT_EQ(length, 0u);
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(m_adapter.Close());
    EXPECT_LT(ElapsedMs(start), 90);  // no reader to wait for
    EXPECT_TRUE(m_recorder.Packets().empty());
}

}  // namespace

// The trace's frame line: other tools read these keys and values.
TEST(SessionTraceLine, FrameLineCarriesEveryKeyOfTheFormat) {
    struct Row {
        std::vector<BYTE> payload;
        bool tx, download, flag, crcOk;
        const char* expected;
    };
    const Row rows[] = {
        {{0x41, 0x7E, 0x0A},
         true,
         true,
         true,
         true,
         R"({"t":1.500000,"ev":"frame","port":"ttyUSB3","mode":"download","dir":"tx",)"
         R"("hex":"417e0a","flag":true,"crc_ok":true})"},
        {{0x02},
         false,
         false,
         false,
         false,
         R"({"t":1.500000,"ev":"frame","port":"ttyUSB3","mode":"normal","dir":"rx",)"
         R"("hex":"02","flag":false,"crc_ok":false})"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(
            CSessionTrace::FrameLine(1.5, "/dev/ttyUSB3", row.download, row.tx, row.payload.data(),
                                     static_cast<DWORD>(row.payload.size()), row.flag, row.crcOk),
            row.expected);
    }
}

// Frames are queued on the link's path and made into lines by whichever
// thread settles next: the file keeps the order they were queued in, and a
// frame nobody settled still reaches it at the close.
TEST(SessionTraceLine, LinesKeepTheOrderOfTheEventsWhoeverWritesThem) {
    char dir[] = "/tmp/fp-trace.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/trace.jsonl";
    std::string error;
    ASSERT_TRUE(SessionTrace().Open(path, &error)) << error;
    const BYTE block[] = {0x42, 0x00, 0x01};
    const BYTE ack[] = {0x02};
    SessionTrace().Frame("/dev/ttyUSB0", true, block, sizeof block, true, true);  // not settled
    std::thread reader([&] {
        SessionTrace().Frame("/dev/ttyUSB0", false, ack, sizeof ack, true, true);
        SessionTrace().Settle();
    });
    reader.join();
    SessionTrace().PortClose("/dev/ttyUSB0", true);
    SessionTrace().Frame("/dev/ttyUSB0", true, ack, sizeof ack, false, true);  // not settled
    SessionTrace().Close();
    EXPECT_FALSE(SessionTrace().Enabled());

    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(",\"ev\"")));  // without the time
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{
            R"(,"ev":"frame","port":"ttyUSB0","mode":"normal","dir":"tx","hex":"420001","flag":true,"crc_ok":true})",
            R"(,"ev":"frame","port":"ttyUSB0","mode":"normal","dir":"rx","hex":"02","flag":true,"crc_ok":true})",
            R"(,"ev":"close","port":"ttyUSB0","ok":true})",
            R"(,"ev":"frame","port":"ttyUSB0","mode":"normal","dir":"tx","hex":"02","flag":false,"crc_ok":true})"}));
    std::remove(path.c_str());
    rmdir(dir);
}

// A write the file system cuts short (here at the file size limit) is cut
// back to the last whole line, and the trace stops with one warning: the
// file never holds part of a line, and later events write nothing.
TEST(SessionTraceLine, ShortWriteLeavesOnlyWholeLinesAndStopsTheTrace) {
    char dir[] = "/tmp/fp-trace.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/trace.jsonl";
    std::string error;
    ASSERT_TRUE(SessionTrace().Open(path, &error)) << error;
    SessionTrace().PortOpen("/dev/ttyUSB0", true, 0);
    struct stat st = {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const BYTE ack[] = {0x02};
    const std::string frame =
        CSessionTrace::FrameLine(0, "ttyUSB0", false, false, ack, sizeof ack, true, true);
    // One buffer: the frame's line fits under the limit, the close line not.
    SessionTrace().Frame("/dev/ttyUSB0", false, ack, sizeof ack, true, true);
    rlimit saved = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limit = saved;
    limit.rlim_cur = static_cast<rlim_t>(st.st_size) + frame.size() + 10;
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    testing::internal::CaptureStderr();
    SessionTrace().PortClose("/dev/ttyUSB0", true);
    SessionTrace().PortOpen("/dev/ttyUSB0", true, 0);  // stopped: nothing more
    const std::string err = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(SessionTrace().Enabled());
    SessionTrace().Close();

    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);)
        lines.push_back(line.substr(line.find(",\"ev\"")));  // without the time
    EXPECT_EQ(lines, (std::vector<std::string>{R"(,"ev":"open","port":"ttyUSB0","ok":true})",
                                               frame.substr(frame.find(",\"ev\""))}));
    EXPECT_EQ(err, "Warning: the trace " + path + " stops here (" + std::strerror(EFBIG) + ").\n");
    std::remove(path.c_str());
    rmdir(dir);
}
