// The stand-in's own frame codec and its command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "Cli.h"
#include "Replay.h"
#include "StandinTestClient.h"

namespace {

using modemsim::Bytes;
using modemsim::Deframer;
using modemsim::RxEvent;

std::vector<RxEvent> FeedAll(Deframer& d, const Bytes& bytes) {
    std::vector<RxEvent> out;
    d.Feed(bytes.data(), bytes.size(), &out);
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST(StandinCodec, CrcAgreesWithCheckValueAndProgramRoutine) {
    const std::string check = "123456789";
    EXPECT_EQ(modemsim::Crc16X25(reinterpret_cast<const uint8_t*>(check.data()), check.size()),
              0x906E);
    std::mt19937 rng(7);
    for (int len : {0, 1, 2, 63, 4103}) {
        Bytes data(static_cast<size_t>(len));
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());
        WORD program = 0;
        CalculateCRC(data.data(), static_cast<DWORD>(data.size()), program);
        EXPECT_EQ(modemsim::Crc16X25(data.data(), data.size()), program) << len;
    }
}

TEST(StandinCodec, TraceLineShowsAtMostTheBytesAskedFor) {
    modemsim::TraceEntry e;
    e.seconds = 1.5;
    e.mode = modemsim::Mode::kDownload;
    e.node = "ttyUSB3";
    e.received = true;
    e.kind = "flag";
    e.bytes = {0x42, 0x00, 0x00, 0x00, 0x01, 0x10, 0x00, 0xAB};
    const struct {
        size_t maxBytes;
        const char* line;
    } kRows[] = {
        {0, "1.500 download ttyUSB3 rx flag 42 00 00 00 01 10 00 AB"},
        {8, "1.500 download ttyUSB3 rx flag 42 00 00 00 01 10 00 AB"},
        {7, "1.500 download ttyUSB3 rx flag 42 00 00 00 01 10 00 ..."},
        {1, "1.500 download ttyUSB3 rx flag 42 ..."},
    };
    for (const auto& row : kRows)
        EXPECT_EQ(e.Line(row.maxBytes), row.line) << row.maxBytes;
}

TEST(StandinCodec, EncodesWithAndWithoutOpeningFlagAndStuffs) {
    EXPECT_EQ(modemsim::EncodeFrame({0x26, 0x00, 0x00}, false),
              (Bytes{0x26, 0x00, 0x00, 0x2E, 0x13, 0x7E}));
    EXPECT_EQ(modemsim::EncodeFrame({0x26, 0x00, 0x00}, true),
              (Bytes{0x7E, 0x26, 0x00, 0x00, 0x2E, 0x13, 0x7E}));
    const Bytes payload{0x7E, 0x7D, 0x01};
    EXPECT_EQ(modemsim::EncodeFrame(payload, false), standin_test::Frame(payload, false));
    const Bytes wire = modemsim::EncodeFrame(payload, false);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 4), (Bytes{0x7D, 0x5E, 0x7D, 0x5D}));
    // A corrupted frame is refused by the receiving side.
    Deframer d;
    auto ev = FeedAll(d, modemsim::EncodeFrame(payload, false, true));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, RxEvent::kBadCrc);
}

TEST(StandinCodec, DeframerSeparatesAtLinesFlagsJunkAndBadFrames) {
    const Bytes a{0x4B, 0xC9, 0x03, 0xFF};
    const Bytes b{0x41, 0x00, 0x01, 0x00, 0x7E, 0x7D};
    Bytes bad = standin_test::Frame({0x45}, false);
    bad[1] ^= 0x01;
    const Bytes stream =
        Cat({Text("AT$QCDMG\r\n"), Text("AT^DISLOG=255\r\n"), standin_test::Frame(a, false),
             Bytes{0x7E, 0x7E}, standin_test::Frame(b, true), bad, Bytes{0x11, 0x22, 0x33},
             standin_test::Frame(a, false), Text("at\r\n"), standin_test::Frame(b, true)});
    // Whole and byte by byte give the same events.
    for (bool single : {false, true}) {
        Deframer d;
        std::vector<RxEvent> ev;
        if (single) {
            for (uint8_t x : stream)
                d.Feed(&x, 1, &ev);
        } else {
            ev = FeedAll(d, stream);
        }
        ASSERT_EQ(ev.size(), 9u) << single;
        EXPECT_EQ(ev[0].kind, RxEvent::kRaw);
        EXPECT_EQ(ev[0].bytes, Text("AT$QCDMG\r\n"));
        EXPECT_EQ(ev[1].bytes, Text("AT^DISLOG=255\r\n"));
        EXPECT_EQ(ev[2].kind, RxEvent::kFrame);
        EXPECT_FALSE(ev[2].openingFlag);
        EXPECT_EQ(ev[2].bytes, a);
        EXPECT_EQ(ev[3].kind, RxEvent::kFrame);
        EXPECT_TRUE(ev[3].openingFlag);
        EXPECT_EQ(ev[3].bytes, b);
        EXPECT_EQ(ev[4].kind, RxEvent::kBadCrc);
        EXPECT_EQ(ev[5].kind, RxEvent::kRaw);  // junk right before a frame without flag
        EXPECT_EQ(ev[5].bytes, (Bytes{0x11, 0x22, 0x33}));
        EXPECT_EQ(ev[6].kind, RxEvent::kFrame);
        EXPECT_EQ(ev[6].bytes, a);
        EXPECT_EQ(ev[7].kind, RxEvent::kRaw);
        EXPECT_EQ(ev[8].bytes, b);
    }
}

TEST(StandinCodec, OverlongBodyIsDroppedAndTheNextFrameStillArrives) {
    Deframer d;
    Bytes junk(Deframer::kMaxBody + 10, 0x55);
    auto ev = FeedAll(d, Cat({junk, standin_test::Frame({0x0C}, true)}));
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.front().kind, RxEvent::kBadCrc);
    EXPECT_EQ(ev.back().kind, RxEvent::kFrame);
    EXPECT_EQ(ev.back().bytes, Bytes{0x0C});
}

bool Parse(std::vector<const char*> args, modemsim::CliOptions* out, std::string* error) {
    args.insert(args.begin(), "modemsim");
    return modemsim::ParseCommandLine(static_cast<int>(args.size()), args.data(), out, error);
}

// A recording read back: enumerations from the walks that found new nodes,
// each request with what followed it, and the breach texts.
TEST(StandinReplay, RecordingGivesStepsRepliesEnumerationsAndBreaches) {
    char path[] = "/tmp/fp-recording-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path)
        << standin_test::WalkLine(0.1, 0, "140B") << "\n"
        << R"({"t":0.2,"ev":"frame","port":"ttyUSB0","mode":"normal","dir":"tx","hex":"3a","flag":false,"crc_ok":true})"
        << "\n"
        << R"({"t":0.3,"ev":"dropped","port":"ttyUSB0","mode":"normal","reason":"short","length":1,"hex":"7e"})"
        << "\n"
        << R"({"t":0.3,"ev":"frame","port":"ttyUSB0","mode":"normal","dir":"rx","hex":"3a","flag":false,"crc_ok":false})"
        << "\n"
        << standin_test::WalkLine(0.1, 0, "140B") << "\n"
        << standin_test::WalkLine(0.1, 3, "1408") << "\n"
        << R"({"t":0.9,"ev":"frame","port":"ttyUSB3","mode":"download","dir":"tx","hex":"0c","flag":true,"crc_ok":true})"
        << "\n"
        << R"({"t":1.0,"ev":"frame","port":"ttyUSB3","mode":"download","dir":"rx","hex":"0d","flag":true,"crc_ok":true})"
        << "\n";
    modemsim::Recording r;
    std::string error;
    ASSERT_TRUE(modemsim::LoadRecording(path, &r, &error)) << error;
    std::remove(path);
    ASSERT_EQ(r.enumerations.size(), 2u);
    EXPECT_EQ(r.enumerations[0].productRow, 11);
    EXPECT_FALSE(r.enumerations[0].download);
    EXPECT_EQ(r.enumerations[1].productRow, 8);
    EXPECT_EQ(r.enumerations[1].firstNode, 3);
    EXPECT_TRUE(r.enumerations[1].download);
    ASSERT_EQ(r.steps.size(), 2u);
    EXPECT_EQ(r.steps[0].enumeration, 0);
    ASSERT_EQ(r.steps[0].replies.size(), 2u);
    EXPECT_EQ(r.steps[0].replies[0].kind, modemsim::ReplayReply::kBytes);
    EXPECT_EQ(r.steps[0].replies[0].bytes, Bytes{0x7E});
    EXPECT_EQ(r.steps[0].replies[1].kind, modemsim::ReplayReply::kBadCrc);
    EXPECT_EQ(r.steps[1].enumeration, 1);
    EXPECT_TRUE(r.steps[1].replies.at(0).flag);
    EXPECT_EQ(modemsim::ReplayBreach(1, r, Bytes{0x0C}, "00"), "");
    EXPECT_EQ(modemsim::ReplayBreach(1, r, Bytes{0x0C, 0x01}, "00"),
              "request 2 (command 0C) differs at offset 1: recorded (nothing) (1 bytes), "
              "received 01 (2 bytes)");
    EXPECT_EQ(modemsim::ReplayBreach(1, r, Bytes{0x0C}, "02"),
              "request 2 (command 0C) went to interface 02, recorded on interface 00");
    EXPECT_EQ(modemsim::ReplayBreach(2, r, Bytes{0x0A}, "00"),
              "request 3 (command 0A) is not in the recording (2 requests): received 0A");

    // Two 4 KiB blocks that differ at byte 100: 32 bytes of each side from there.
    Bytes recorded(4106, 0x11);
    recorded[0] = 0x42;
    Bytes received = recorded;
    received[100] = 0x12;
    r.steps[1].request = recorded;
    std::string tail;
    for (int i = 0; i < 31; ++i)
        tail += " 11";
    EXPECT_EQ(modemsim::ReplayBreach(1, r, received, "00"),
              "request 2 (command 42) differs at offset 100: recorded 11" + tail +
                  " ... (4106 bytes), received 12" + tail + " ... (4106 bytes)");
    EXPECT_EQ(modemsim::ReplayBreach(2, r, received, "00").size(),
              std::string("request 3 (command 42) is not in the recording (2 requests): "
                          "received ")
                      .size() +
                  32 * 3 - 1 + 4);
}

TEST(StandinCli, ParsesIdentityTimingAndFaults) {
    modemsim::CliOptions c;
    std::string e;
    ASSERT_TRUE(Parse({"--root",
                       "/r",
                       "--flash-dir",
                       "/f",
                       "--scale",
                       "0.05",
                       "--trace",
                       "/t",
                       "--trace-bytes",
                       "16",
                       "--product-row",
                       "13",
                       "--loader-row",
                       "10",
                       "--imei",
                       "123456789012345",
                       "--restore-status",
                       "2,1,0",
                       "--drop-ack",
                       "block:3:always",
                       "--nak",
                       "erase",
                       "--bad-crc",
                       "4b:always",
                       "--refuse-backup",
                       "2",
                       "--restore-busy",
                       "always",
                       "--refuse-restore",
                       "1",
                       "--no-return",
                       "--start-in-download",
                       "--imei-length-byte",
                       "7",
                       "--reply-delay",
                       "40",
                       "--foreign-vendor",
                       "--no-option-dir",
                       "--board-class",
                       "KORVEL X",
                       "--board-class-nak",
                       "--reuse-nodes",
                       "--download-delay",
                       "100",
                       "--pad-ack",
                       "erase:always",
                       "--pad-length",
                       "66549",
                       "--hang-up",
                       "block:2",
                       "--return-after-hang-up",
                       "--hold-lock",
                       "all:500",
                       "--hold-exclusive"},
                      &c, &e))
        << e;
    const modemsim::Options& o = c.sim;
    EXPECT_EQ(o.root, "/r");
    EXPECT_EQ(c.flashDir, "/f");
    EXPECT_DOUBLE_EQ(o.timeScale, 0.05);
    EXPECT_EQ(o.traceBytes, 16u);
    EXPECT_EQ(o.productRow, 13);
    EXPECT_EQ(o.loaderRow, 10);
    EXPECT_EQ(o.restoreStatus, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(o.faults.dropAck.target, modemsim::AckFault::kBlock);
    EXPECT_EQ(o.faults.dropAck.block, 3u);
    EXPECT_TRUE(o.faults.dropAck.always);
    EXPECT_EQ(o.faults.nakAck.target, modemsim::AckFault::kErase);
    EXPECT_FALSE(o.faults.nakAck.always);
    EXPECT_EQ(o.faults.badCrcCommand, 0x4B);
    EXPECT_EQ(o.faults.badCrcCount, modemsim::Faults::kAlways);
    EXPECT_EQ(o.faults.refuseBackup, 2);
    EXPECT_EQ(o.faults.restoreBusy, modemsim::Faults::kAlways);
    EXPECT_EQ(o.faults.refuseRestore, 1);
    EXPECT_TRUE(o.faults.noReturn && o.faults.startInDownload && o.faults.foreignVendor &&
                o.faults.noOptionDir && o.faults.boardClassNak && o.reuseNodeNumbers);
    EXPECT_EQ(o.faults.imeiLengthByte, 7);
    EXPECT_EQ(o.faults.replyDelayMs, 40u);
    EXPECT_EQ(o.faults.holdLockRole, "all");
    EXPECT_EQ(o.faults.holdLockMs, 500u);
    EXPECT_TRUE(o.faults.holdExclusive);
    EXPECT_EQ(o.faults.boardClassField, "KORVEL X");
    EXPECT_EQ(o.downloadRebootMs, 100u);
    EXPECT_EQ(o.faults.paddedAck.target, modemsim::AckFault::kErase);
    EXPECT_TRUE(o.faults.paddedAck.always);
    EXPECT_EQ(o.faults.paddedAckLength, 66549u);
    EXPECT_EQ(o.faults.hangUp.target, modemsim::AckFault::kBlock);
    EXPECT_EQ(o.faults.hangUp.block, 2u);
    EXPECT_TRUE(o.faults.returnAfterHangUp);
}

TEST(StandinCli, RefusesBadValuesAndMissingRoot) {
    modemsim::CliOptions c;
    std::string e;
    EXPECT_FALSE(Parse({"--scale", "0.5"}, &c, &e));
    EXPECT_NE(e.find("--root"), std::string::npos);
    for (std::vector<const char*> bad : {std::vector<const char*>{"--root", "/r", "--scale", "0"},
                                         {"--root", "/r", "--scale", "1.5"},
                                         {"--root", "/r", "--scale", "x"},
                                         {"--root", "/r", "--product-row", "39"},
                                         {"--root", "/r", "--drop-ack", "block:0"},
                                         {"--root", "/r", "--nak", "everything"},
                                         {"--root", "/r", "--bad-crc", "4G"},
                                         {"--root", "/r", "--refuse-backup", "-1"},
                                         {"--root", "/r", "--restore-status", "1,,2"},
                                         {"--root", "/r", "--bogus"},
                                         {"--root", "/r", "--trace-bytes", "0"},
                                         {"--root", "/r", "--pad-length", "1"},
                                         {"--root", "/r", "--pad-ack", "10"},
                                         {"--root", "/r", "--hang-up", "block"},
                                         {"--root"}}) {
        e.clear();
        EXPECT_FALSE(Parse(bad, &c, &e)) << bad.back();
        EXPECT_FALSE(e.empty());
    }
    EXPECT_TRUE(Parse({"--help"}, &c, &e));
    EXPECT_TRUE(c.help);
}

TEST(StandinCli, RackModemsTakeTheirOwnPathNodesVersionsAndFaults) {
    modemsim::CliOptions c;
    std::string e;
    ASSERT_TRUE(Parse({"--root", "/r", "--trace", "/t", "--refuse-restore", "always", "--modem",
                       "1-2:version=11.810.09.17.00:refuse-backup=always", "--modem",
                       "1-3.1:boot-loader:imei=861234567890124:keep-version"},
                      &c, &e))
        << e;
    ASSERT_EQ(c.rack.size(), 2u);
    const modemsim::Options a = modemsim::RackModemOptions(c, 0);
    const modemsim::Options b = modemsim::RackModemOptions(c, 1);
    EXPECT_EQ(a.portPath, "1-2");
    EXPECT_EQ(a.firstNode, 20);
    EXPECT_EQ(a.versionBefore, "11.810.09.17.00");
    EXPECT_EQ(a.faults.refuseBackup, modemsim::Faults::kAlways);
    EXPECT_EQ(a.faults.refuseRestore, 0);  // the first modem's faults stay its own
    EXPECT_EQ(a.traceFile, "/t.1-2");
    EXPECT_EQ(b.portPath, "1-3.1");
    EXPECT_EQ(b.firstNode, 40);
    EXPECT_EQ(b.versionBefore, c.sim.versionBefore);
    EXPECT_EQ(b.imei, "861234567890124");
    EXPECT_TRUE(b.faults.startInDownload);
    EXPECT_TRUE(b.faults.keepVersion);
    EXPECT_EQ(b.faults.refuseBackup, 0);
    for (const std::vector<const char*>& bad :
         {std::vector<const char*>{"--root", "/r", "--modem", "1-2:colour=red"},
          std::vector<const char*>{"--root", "/r", "--modem", "1-2:imei=123"},
          std::vector<const char*>{"--root", "/r", "--modem", "../x"},
          std::vector<const char*>{"--root", "/r", "--modem", "1-1"},
          std::vector<const char*>{"--root", "/r", "--modem", "1-2", "--modem", "1-2"},
          std::vector<const char*>{"--root", "/r", "--modem", "1-2", "--second-modem", "1-3"}}) {
        SCOPED_TRACE(bad[3]);
        EXPECT_FALSE(Parse(bad, &c, &e));
    }
}

}  // namespace
