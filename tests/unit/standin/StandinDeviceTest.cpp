// The stand-in over its real terminals: tree, normal mode, the trip through
// download mode and back, flash capture and faults.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>

#include "ModemSim.h"
#include "StandinTestClient.h"

namespace {

using modemsim::Bytes;
using modemsim::Mode;
using modemsim::RxEvent;
using standin_test::Client;
using standin_test::ReadFile;

constexpr int kWait = 5000;

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

void PutBe32(Bytes* b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        b->push_back(static_cast<uint8_t>(v >> s));
}

Bytes Erase(uint32_t type, uint32_t length, uint8_t typeFlag) {
    Bytes p{0x41};
    PutBe32(&p, type);
    PutBe32(&p, length);
    p.insert(p.end(), {0x00, typeFlag, 0x00});
    return p;
}

Bytes Block(uint32_t number, const Bytes& data) {
    Bytes p{0x42};
    PutBe32(&p, number);
    p.push_back(static_cast<uint8_t>(data.size() >> 8));
    p.push_back(static_cast<uint8_t>(data.size()));
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

Bytes End(uint32_t type, uint32_t length, uint8_t typeFlag) {
    Bytes p{0x43};
    PutBe32(&p, length);
    p.push_back(0x00);
    p.push_back(typeFlag);
    for (int s = 0; s < 32; s += 8)
        p.push_back(static_cast<uint8_t>(type >> s));
    p.resize(23, 0x00);
    return p;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

std::string ImeiOf(const Bytes& reply) {
    // The program's decoding: length byte 8, digit 1 in the high nibble of
    // byte 1, then low and high nibbles of bytes 2 to 8.
    const uint8_t* d = &reply[3];
    std::string s(1, static_cast<char>('0' + (d[1] >> 4)));
    for (int k = 2; k <= 8; ++k) {
        s += static_cast<char>('0' + (d[k] & 0xF));
        s += static_cast<char>('0' + (d[k] >> 4));
    }
    return s;
}

int CountFds() {
    return static_cast<int>(standin_test::ListDir("/proc/self/fd").size());
}

class StandinDevice : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/standin-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        opts_.root = root_;
        opts_.timeScale = 0.02;
    }
    void TearDown() override {
        client_.Close();
        sim_.reset();
        std::system(("rm -rf '" + root_ + "'").c_str());
    }
    void StartSim() {
        sim_.reset(new modemsim::ModemSim(opts_));
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
    }
    std::string Dev(const std::string& node) { return root_ + "/dev/" + node; }
    std::string Option() { return root_ + "/sys/bus/usb/drivers/option"; }

    // Switches to download mode and opens the boot loader's node, found in the tree.
    void EnterDownload() {
        ASSERT_EQ(client_.Ask({0x3A}), Bytes{0x3A});
        EXPECT_TRUE(client_.WaitHangup(kWait));
        std::string node = standin_test::WaitForNode(root_, "p1408", kWait);
        ASSERT_FALSE(node.empty());
        ASSERT_TRUE(client_.Open(Dev(node)));
    }
    Bytes Ack(const Bytes& packet) { return client_.Ask(packet, true); }

    std::string root_;
    modemsim::Options opts_;
    std::unique_ptr<modemsim::ModemSim> sim_;
    Client client_;
};

TEST_F(StandinDevice, BuildsTheOptionTreeAndRawTerminals) {
    // An entry left behind by a killed run is replaced, not kept.
    const std::string stale = Option() + "/1-1:1.2";
    ASSERT_EQ(
        std::system(
            ("mkdir -p '" + stale + "/ttyUSB9' && echo old > '" + stale + "/modalias'").c_str()),
        0);
    StartSim();
    auto tree = standin_test::WalkTree(root_);
    ASSERT_EQ(tree.size(), 3u);
    const char* roles[] = {"modem", "diag", "pcui"};
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(tree[i].entry, "1-1:1." + n);
        EXPECT_EQ(tree[i].node, "ttyUSB" + n);
        EXPECT_EQ(tree[i].iface, "0" + n + "\n");
        EXPECT_EQ(tree[i].modalias, "usb:v1F4Bp140Bd0000dc00dsc00dp00icFFiscFFipFFin0" + n + "\n");
        EXPECT_EQ(sim_->DevPath(roles[i]), Dev("ttyUSB" + n));
        int fd = open(Dev("ttyUSB" + n).c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(fd, &t), 0);  // a terminal, already raw
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        close(fd);
    }
    // The entries link into the USB device's directory, as in a kernel's
    // sysfs; the device directory carries the device's own files.
    const std::string device = sim_->DeviceDir();
    EXPECT_EQ(device, root_ + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1");
    char resolved[PATH_MAX];
    ASSERT_NE(realpath((Option() + "/1-1:1.2").c_str(), resolved), nullptr);
    EXPECT_EQ(std::string(resolved), device + "/1-1:1.2");
    for (const auto& file :
         std::vector<std::pair<const char*, const char*>>{{"idVendor", "1f4b\n"},
                                                          {"idProduct", "140b\n"},
                                                          {"devpath", "1\n"},
                                                          {"power/control", "auto\n"}}) {
        std::ifstream in(device + "/" + file.first);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, file.second) << file.first;
    }
    struct stat st {};
    EXPECT_EQ(stat((root_ + "/users").c_str(), &st), 0);
    EXPECT_EQ(stat((Option() + "/bind").c_str(), &st), 0);  // entries without ':' exist too
    // Stop removes the device's entries and links.
    sim_->Stop();
    EXPECT_TRUE(standin_test::WalkTree(root_).empty());
    EXPECT_NE(access(Dev("ttyUSB2").c_str(), F_OK), 0);
    EXPECT_NE(access(device.c_str(), F_OK), 0);
}

TEST_F(StandinDevice, NormalModeRepliesByteForByte) {
    opts_.restoreStatus = {3, 0};
    StartSim();
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    ASSERT_TRUE(client_.WriteText("AT$QCDMG\r\n"));
    ASSERT_TRUE(client_.WriteText("AT^DISLOG=255\r\n"));
    RxEvent ev;
    EXPECT_FALSE(client_.Receive(&ev, 100));  // no answer to the AT lines

    // Version: 68 bytes, text at offset 4, framed without an opening flag.
    ASSERT_TRUE(client_.Send({0x4B, 0xC9, 0x03, 0xFF}));
    Bytes wire;
    ASSERT_TRUE(client_.Receive(&ev, kWait, &wire));
    Bytes version(68, 0);
    version[0] = 0x4B, version[1] = 0xC9, version[2] = 0x03;
    for (size_t i = 0; i < opts_.versionBefore.size(); ++i)
        version[4 + i] = opts_.versionBefore[i];
    EXPECT_EQ(wire, standin_test::Frame(version, false));

    Bytes nv{0x26, 0x26, 0x02};
    nv.resize(133, 0);
    Bytes imei = client_.Ask(nv);
    ASSERT_EQ(imei.size(), 133u);
    EXPECT_EQ(Slice(imei, 0, 4), (Bytes{0x26, 0x26, 0x02, 0x08}));
    EXPECT_EQ(ImeiOf(imei), opts_.imei);
    EXPECT_EQ(Slice(imei, 131, 2), (Bytes{0x00, 0x00}));
    nv[1] = nv[2] = 0;  // the port probe: item 0
    EXPECT_EQ(client_.Ask(nv).size(), 133u);

    Bytes board{0x45};
    for (char ch : std::string("KORVEL QM90W"))
        board.push_back(static_cast<uint8_t>(ch));
    board.resize(21, 0);
    EXPECT_EQ(client_.Ask({0x45}), board);

    Bytes dash{0x4B, 0xC9, 0x24, 0xFF};
    dash.resize(36, 0);
    Bytes d = client_.Ask(dash);
    ASSERT_EQ(d.size(), 133u);
    EXPECT_EQ(Slice(d, 5, opts_.dashboardVersion.size() + 2),
              Text(opts_.dashboardVersion + "\r\n"));

    ASSERT_TRUE(client_.Send({0x0C}, true));  // not in download mode: silent
    EXPECT_FALSE(client_.Receive(&ev, 150));

    EXPECT_EQ(client_.Ask({0x29, 0x01, 0x00}), (Bytes{0x29, 0x01, 0x00}));
    EXPECT_EQ(client_.Ask({0xFA, 0x13, 0x00, 0x00}), (Bytes{0xFA, 0x13, 0x00, 0x00}));
    Bytes status{0x4B, 0xC9, 0x21, 0xFF};
    status.resize(36, 0);
    Bytes s1 = client_.Ask(status), s2 = client_.Ask(status), s3 = client_.Ask(status);
    ASSERT_EQ(s1.size(), 68u);
    EXPECT_EQ(Slice(s1, 4, 3), (Bytes{0x00, 0x01, 0x03}));  // backup exists, state 3
    EXPECT_EQ(s2[6], 0x00);
    EXPECT_EQ(s3[6], 0x00);  // the last state repeats
    EXPECT_EQ(client_.Ask({0xFA, 0x14, 0x00, 0x00}), (Bytes{0xFA, 0x14, 0x00, 0x00}));

    const Bytes adjust{0x4B, 0x0B, 0x01, 0x00, 0x08, 0x00, 0x16, 0x26};
    Bytes a = client_.Ask(adjust);
    ASSERT_GT(a.size(), 62u);
    EXPECT_EQ(Slice(a, 0, 8), adjust);
    EXPECT_EQ(client_.Ask({0x77, 0x01}), (Bytes{0x13, 0x77, 0x01}));

    auto c = sim_->GetSnapshot().counters;
    EXPECT_EQ(c.atLines, 2);
    EXPECT_EQ(c.backups, 1);
    EXPECT_EQ(c.restoreQueries, 3);
    EXPECT_EQ(c.restoreOrders, 1);
    EXPECT_EQ(c.lastRestoreOrder, 0x14);
    EXPECT_EQ(c.adjustments, 1);
    EXPECT_EQ(c.lastControlMode, 1);
    EXPECT_EQ(c.badFramesIn, 0);
}

TEST_F(StandinDevice, SurvivesCloseReopenAndJunkAndDropsBadFrames) {
    StartSim();
    for (int i = 0; i < 15; ++i) {
        ASSERT_TRUE(client_.Open(Dev("ttyUSB2"))) << i;
        ASSERT_EQ(client_.Ask({0x45}).size(), 21u) << i;
        if (i % 3 == 0) {
            // A reply left unread on close: wait until it is queued, so that
            // it is a stale reply of this session and not a late one that
            // the stand-in only writes after the next open.
            ASSERT_TRUE(client_.Send({0x45}));
            ASSERT_TRUE(client_.WaitReadable(kWait)) << i;
        }
        client_.Close();
    }
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    Bytes bad = standin_test::Frame({0x4B, 0xC9, 0x03, 0xFF}, false);
    bad[2] ^= 0x40;
    ASSERT_TRUE(client_.WriteRaw(bad));
    RxEvent ev;
    EXPECT_FALSE(client_.Receive(&ev, 150));
    ASSERT_TRUE(client_.WriteRaw({0x0D, 0x0A, 0x01}));  // junk, then a frame without flag
    EXPECT_EQ(client_.Ask({0x29, 0x04, 0x00}), (Bytes{0x29, 0x04, 0x00}));
    ASSERT_TRUE(client_.WriteRaw({0x7E, 0x7E, 0x7E}));
    EXPECT_EQ(client_.Ask({0x29, 0x03, 0x00}, true), (Bytes{0x29, 0x03, 0x00}));
    EXPECT_EQ(sim_->GetSnapshot().counters.badFramesIn, 1);
    // The modem port does not speak the diagnostic protocol.
    Client modem;
    ASSERT_TRUE(modem.Open(Dev("ttyUSB0")));
    ASSERT_TRUE(modem.Send({0x45}));
    EXPECT_FALSE(modem.Receive(&ev, 150));
}

TEST_F(StandinDevice, DownloadTripCapturesFlashAndReturnsWithTheNewVersion) {
    opts_.traceFile = root_ + "/trace.txt";
    StartSim();
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    EnterDownload();
    // The old entries are gone; the boot loader is row 8 with one PCUI interface 00.
    auto tree = standin_test::WalkTree(root_);
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree[0].node, "ttyUSB3");
    EXPECT_EQ(tree[0].modalias, "usb:v1F4Bp1408d0000dc00dsc00dp00icFFiscFFipFFin00\n");
    EXPECT_NE(access(Dev("ttyUSB2").c_str(), F_OK), 0);
    EXPECT_EQ(sim_->CurrentMode(), Mode::kDownload);

    // The program's search writes AT lines here too.
    ASSERT_TRUE(client_.WriteText("AT$QCDMG\r\nAT^DISLOG=255\r\n"));
    RxEvent ev;
    ASSERT_TRUE(client_.Send({0x0C}, true));
    ASSERT_TRUE(client_.Receive(&ev, kWait));
    EXPECT_TRUE(ev.openingFlag);  // the boot loader frames with an opening flag
    EXPECT_EQ(ev.bytes, Bytes{0x0D});
    EXPECT_EQ(client_.Ask({0x3A}), Bytes{0x3A});
    EXPECT_EQ(client_.Ask({0x45}).size(), 21u);
    Bytes v = client_.Ask({0x46}, true);
    ASSERT_GT(v.size(), 2 + opts_.versionBefore.size());
    EXPECT_EQ(Slice(v, 2, opts_.versionBefore.size() + 1), Text(opts_.versionBefore + '\0'));

    const Bytes unit = Pattern(5000, 3);
    EXPECT_EQ(Ack(Erase(0x00010000, 5000, 0)), Bytes{0x02});
    EXPECT_EQ(Ack(Block(1, Slice(unit, 0, 4096))), Bytes{0x02});
    EXPECT_EQ(Ack(Block(2, Slice(unit, 4096, 904))), Bytes{0x02});
    EXPECT_EQ(Ack(End(0x00010000, 5000, 0)), Bytes{0x02});
    EXPECT_EQ(Ack(Erase(0x00090000, 0, 1)), Bytes{0x02});
    EXPECT_EQ(Ack(End(0x00090000, 0, 1)), Bytes{0x02});
    EXPECT_EQ(Ack({0x0A}), Bytes{0x02});
    EXPECT_TRUE(client_.WaitHangup(kWait));

    // Back in normal mode under new nodes, reporting the new version.
    std::string node =
        standin_test::WaitForNode(root_, "p140Bd0000dc00dsc00dp00icFFiscFFipFFin02", kWait);
    EXPECT_EQ(node, "ttyUSB6");
    ASSERT_TRUE(client_.Open(Dev(node)));
    Bytes version = client_.Ask({0x4B, 0xC9, 0x03, 0xFF});
    ASSERT_EQ(version.size(), 68u);
    EXPECT_EQ(Slice(version, 4, opts_.versionAfter.size() + 1), Text(opts_.versionAfter + '\0'));

    auto flash = sim_->Flash();
    ASSERT_EQ(flash.size(), 2u);
    EXPECT_EQ(flash[0x00010000], unit);
    EXPECT_TRUE(flash[0x00090000].empty());
    EXPECT_TRUE(sim_->Violations().empty());
    auto units = sim_->Units();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].erasedLength, 5000u);
    EXPECT_EQ(units[0].blocks.size(), 2u);
    EXPECT_TRUE(units[1].ended);
    auto s = sim_->GetSnapshot();
    EXPECT_EQ(s.counters.enumerations, 3);
    EXPECT_EQ(s.counters.vanishes, 2);
    EXPECT_EQ(s.counters.downloadSwitches, 1);
    EXPECT_EQ(s.counters.downloadResets, 1);

    const std::string flashDir = root_ + "/flash";
    std::string error;
    ASSERT_TRUE(sim_->WriteFlashFiles(flashDir, &error)) << error;
    EXPECT_EQ(Text(ReadFile(flashDir + "/00010000.bin")), unit);
    struct stat st {};
    ASSERT_EQ(stat((flashDir + "/00090000.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    // The trace holds the program's bytes with the opening-flag marks.
    const std::string trace = ReadFile(opts_.traceFile);
    EXPECT_NE(trace.find(" download ttyUSB3 rx flag 41 00 01 00 00 00 00 13 88 00 00 00\n"),
              std::string::npos);
    EXPECT_NE(trace.find(" normal ttyUSB2 rx noflag 3A\n"), std::string::npos);
    EXPECT_NE(trace.find(" normal ttyUSB2 tx noflag 3A\n"), std::string::npos);
    EXPECT_NE(trace.find(" download ttyUSB3 tx flag 02\n"), std::string::npos);
    EXPECT_NE(trace.find(" download ttyUSB3 rx raw 41 54 24 51"), std::string::npos);
}

TEST_F(StandinDevice, AcknowledgementFaults) {
    opts_.faults.dropAck = {modemsim::AckFault::kBlock, 2, false};
    opts_.faults.nakAck = {modemsim::AckFault::kErase, 0, false};
    StartSim();
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    EnterDownload();
    EXPECT_EQ(Ack(Erase(0x00020000, 6, 0)), (Bytes{0x03, 0x41}));  // refused once
    EXPECT_TRUE(sim_->Units().empty());
    EXPECT_EQ(Ack(Erase(0x00020000, 6, 0)), Bytes{0x02});
    EXPECT_EQ(Ack(Block(1, {1, 2, 3})), Bytes{0x02});
    ASSERT_TRUE(client_.Send(Block(2, {4, 5, 6}), true));
    RxEvent ev;
    EXPECT_FALSE(client_.Receive(&ev, 200));  // block 2's acknowledgement is lost once
    EXPECT_EQ(Ack(Block(2, {4, 5, 6})), Bytes{0x02});
    EXPECT_EQ(Ack(End(0x00020000, 6, 0)), Bytes{0x02});
    EXPECT_EQ(sim_->Flash()[0x00020000], (Bytes{1, 2, 3, 4, 5, 6}));
    auto c = sim_->GetSnapshot().counters;
    EXPECT_EQ(c.droppedAcks, 1);
    EXPECT_EQ(c.blockResends, 1);
    EXPECT_EQ(c.naks, 1);
    // Out-of-order blocks are refused and recorded.
    EXPECT_EQ(Ack(Erase(0x00080000, 10, 0)), Bytes{0x02});  // wrong type flag: recorded
    EXPECT_EQ(Ack(Block(2, {1})), (Bytes{0x03, 0x42}));
    auto v = sim_->Violations();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NE(v[0].find("type flag"), std::string::npos);
    EXPECT_NE(v[1].find("data block 2 after block 0"), std::string::npos);
}

TEST_F(StandinDevice, ReplyFaults) {
    opts_.faults.badCrcCommand = 0x4B;
    opts_.faults.badCrcCount = 1;
    opts_.faults.refuseBackup = 2;
    opts_.faults.restoreBusy = 2;
    opts_.faults.refuseRestore = modemsim::Faults::kAlways;
    opts_.faults.boardClassNak = true;
    opts_.faults.boardClassField = "KORVEL OTHER";
    opts_.faults.imeiLengthByte = 7;
    opts_.restoreStatus = {1};
    StartSim();
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    ASSERT_TRUE(client_.Send({0x4B, 0xC9, 0x03, 0xFF}));
    RxEvent ev;
    ASSERT_TRUE(client_.Receive(&ev, kWait));
    EXPECT_EQ(ev.kind, RxEvent::kBadCrc);  // the first version reply is corrupt
    EXPECT_EQ(client_.Ask({0x4B, 0xC9, 0x03, 0xFF}).size(), 68u);

    const Bytes backup{0xFA, 0x13, 0x00, 0x00};
    EXPECT_EQ(client_.Ask(backup), (Bytes{0xFA, 0x13, 0x05, 0x00}));
    EXPECT_EQ(client_.Ask(backup), (Bytes{0xFA, 0x13, 0x05, 0x00}));
    EXPECT_EQ(client_.Ask(backup), (Bytes{0xFA, 0x13, 0x00, 0x00}));
    Bytes status{0x4B, 0xC9, 0x21, 0xFF};
    status.resize(36, 0);
    std::vector<int> states;
    for (int i = 0; i < 4; ++i)
        states.push_back(client_.Ask(status).at(6));
    EXPECT_EQ(states, (std::vector<int>{2, 2, 1, 1}));
    for (uint8_t order : {0x14, 0x15}) {
        EXPECT_EQ(client_.Ask({0xFA, order, 0x00, 0x00}), (Bytes{0xFA, order, 0x05, 0x00}));
    }
    Bytes board = client_.Ask({0x45});
    ASSERT_EQ(board.size(), 21u);
    EXPECT_EQ(board[0], 0x03);
    EXPECT_EQ(Slice(board, 1, 13), Text(std::string("KORVEL OTHER") + '\0'));
    Bytes nv{0x26, 0x26, 0x02};
    nv.resize(133, 0);
    EXPECT_EQ(client_.Ask(nv).at(3), 7);
    auto c = sim_->GetSnapshot().counters;
    EXPECT_EQ(c.backups, 1);
    EXPECT_EQ(c.backupRefusals, 2);
    EXPECT_EQ(c.restoreRefusals, 2);
    EXPECT_EQ(c.restoreOrders, 0);
}

TEST_F(StandinDevice, SlowRepliesComeLate) {
    opts_.faults.replyDelayMs = 10000;  // 200 ms at this scale
    StartSim();
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    ASSERT_TRUE(client_.Send({0x45}));
    RxEvent ev;
    EXPECT_FALSE(client_.Receive(&ev, 120));
    EXPECT_TRUE(client_.Receive(&ev, kWait));
    EXPECT_EQ(ev.bytes.size(), 21u);
}

TEST_F(StandinDevice, ControlResetRebootsWithoutReplyUnderNewNodes) {
    StartSim();
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    ASSERT_TRUE(client_.Send({0x29, 0x02, 0x00}));
    EXPECT_TRUE(client_.WaitHangup(kWait));  // no reply came before the hang-up
    ASSERT_TRUE(sim_->WaitUntil(
        [](const modemsim::Snapshot& s) { return s.mode == Mode::kNormal && s.generation == 2; },
        kWait));
    EXPECT_EQ(sim_->DevPath("pcui"), Dev("ttyUSB5"));
    EXPECT_EQ(sim_->GetSnapshot().counters.controlResets, 1);
    EXPECT_EQ(sim_->GetSnapshot().counters.framesOut, 0);
}

TEST_F(StandinDevice, NoReturnAfterDownloadReset) {
    opts_.faults.noReturn = true;
    opts_.reuseNodeNumbers = true;
    StartSim();
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    EnterDownload();
    EXPECT_EQ(sim_->DevPath("pcui"), Dev("ttyUSB0"));  // numbering starts over
    EXPECT_EQ(Ack({0x0A}), Bytes{0x02});
    EXPECT_TRUE(client_.WaitHangup(kWait));
    // Reboot time back is 100 ms at this scale; wait well past it.
    EXPECT_FALSE(sim_->WaitForMode(Mode::kNormal, 500));
    EXPECT_EQ(sim_->CurrentMode(), Mode::kAbsent);
    EXPECT_TRUE(standin_test::WalkTree(root_).empty());
}

TEST_F(StandinDevice, StartInDownloadForeignVendorAndNoOptionDir) {
    opts_.faults.startInDownload = true;
    opts_.faults.foreignVendor = true;
    StartSim();
    EXPECT_EQ(sim_->CurrentMode(), Mode::kDownload);
    auto tree = standin_test::WalkTree(root_);
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree[0].modalias, "usb:vABCDp1408d0000dc00dsc00dp00icFFiscFFipFFin00\n");
    ASSERT_TRUE(client_.Open(Dev(tree[0].node)));
    EXPECT_EQ(client_.Ask({0x0C}, true), Bytes{0x0D});
    client_.Close();
    sim_.reset();

    opts_.faults = modemsim::Faults{};
    opts_.faults.noOptionDir = true;
    std::system(("rm -rf '" + root_ + "/sys'").c_str());
    StartSim();
    struct stat st {};
    EXPECT_NE(stat(Option().c_str(), &st), 0);
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));  // the nodes are there all the same
    EXPECT_EQ(client_.Ask({0x45}).size(), 21u);
}

TEST_F(StandinDevice, StopEndsTheWorkerAndLeavesNoDescriptors) {
    const int before = CountFds();
    opts_.traceFile = root_ + "/trace.txt";
    StartSim();
    ASSERT_TRUE(client_.Open(Dev("ttyUSB2")));
    EnterDownload();
    client_.Close();
    sim_->Stop();
    sim_->Stop();  // twice is harmless
    EXPECT_EQ(CountFds(), before);
    std::string error;
    EXPECT_FALSE(modemsim::ModemSim([&] {
                     modemsim::Options o = opts_;
                     o.imei = "12345";
                     return o;
                 }())
                     .Start(&error));
    EXPECT_NE(error.find("IMEI"), std::string::npos);
}

// A replayed appearance the program sent nothing to ends by time: the device
// moves on to the next recorded appearance alone, and answers there.
TEST_F(StandinDevice, ReplayedAppearancesWithoutRequestsEndByTime) {
    opts_.replayFile = root_ + "/recording.jsonl";
    std::ofstream(opts_.replayFile)
        << standin_test::WalkLine(0.1, 0, "140B") << "\n"
        << standin_test::WalkLine(0.5, 3, "140B") << "\n"
        << standin_test::WalkLine(0.9, 6, "1408") << "\n"
        << R"({"t":1.0,"ev":"frame","port":"ttyUSB6","mode":"download","dir":"tx","hex":"0c","flag":true,"crc_ok":true})"
        << "\n"
        << R"({"t":1.1,"ev":"frame","port":"ttyUSB6","mode":"download","dir":"rx","hex":"0d","flag":true,"crc_ok":true})"
        << "\n";
    StartSim();
    EXPECT_EQ(sim_->GetSnapshot().generation, 1);
    ASSERT_TRUE(sim_->WaitUntil(
        [](const modemsim::Snapshot& s) { return s.mode == Mode::kDownload && s.generation == 3; },
        kWait));
    EXPECT_EQ(sim_->GetSnapshot().counters.vanishes, 2);
    ASSERT_TRUE(client_.Open(Dev("ttyUSB6")));
    EXPECT_EQ(Ack({0x0C}), Bytes{0x0D});
    EXPECT_EQ(sim_->ReplayBreaches(), std::vector<std::string>());
}

}  // namespace
