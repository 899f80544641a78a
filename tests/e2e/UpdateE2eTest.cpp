// The real program binary through a complete update against the modem
// stand-in: the device search, the user-data backup, the download of every
// unit, the device's return and restore, and the result on the console and on
// disk; then, row by row, how a run ends when the device loses, refuses or
// garbles a reply, is the wrong board, refuses the backup, restores late or
// never comes back, or when the package is damaged.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eFixture.h"
#include "E2eScreens.h"
#include "E2eSigning.h"
#include "E2eSupport.h"
#include "ModemSim.h"
#include "SessionTrace.h"

namespace {

using namespace e2e;
using modemsim::AckFault;
using modemsim::Counters;
using modemsim::Mode;
using modemsim::TraceEntry;

const char kIdentity[] = "V001:QM90W:11.810.09.17.00";
const char kTarget[] = "11.810.09.17.00";
const char kImei[] = "861234567890123";

// Scale of the runs, program and device alike. A block's acknowledgement is
// awaited attempt x 150 ms at this scale, far more than a loaded machine
// needs for one frame; the restore's wait of 35 s becomes 1.75 s.
const char kScale[] = "0.05";
// A device that never comes back is looked for 240 times after 35 s.
const char kNoReturnScale[] = "0.01";

// The shipped package's nine units in their order, sizes reduced; flag is
// the type flag of the erase and end packets.
struct UnitShape {
    uint32_t type;
    size_t length;
    bool flag;
};
// clang-format off
const UnitShape kLayout[] = {
    {0x00010000, 464, false},   // the partition table: one block
    {0x00110000, 5000, false},  // two blocks, the last of 904 bytes
    {0x00120000, 300, false},
    {0x00080000, 4096, true},   // exactly one full block
    {0x00090000, 0, true},      // erased and closed, no block
    {0x000B0000, 100, true},
    {0x000F0000, 200, true},
    {0x00100000, 50, true},
    {0x00510000, 0, false},     // the document below
};
// clang-format on
const char kNvDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<XMLConfig>\n"
    "  <nv id=\"550\">08,8A,16,32,54,76,98,10,32</nv>\n"
    "  <nv id=\"453\">01</nv>\n  <nv id=\"6828\">00,00,00,00</nv>\n"
    "  <nv id=\"1943\">0E,02,FF</nv>\n</XMLConfig>\n";

std::vector<PackageUnit> PackageUnits() {
    std::vector<PackageUnit> units;
    for (size_t u = 0; u < std::size(kLayout); ++u) {
        // Differs between units and between the blocks of a unit.
        std::string data(kLayout[u].length, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>((i * (2 * u + 3) + (i >> 8) * 11 + u * 31 + 1) & 0xFF);
        units.push_back({kLayout[u].type, data});
    }
    units.back().data = kNvDocument;
    return units;
}

std::string BigEndian(uint32_t value, int bytes) {
    std::vector<uint8_t> b;
    for (int k = bytes - 1; k >= 0; --k)
        b.push_back(static_cast<uint8_t>(value >> (8 * k)));
    return Hex(b);
}

// What the boot loader must receive of erases, block heads, ends and resets:
// per unit the erase, blocks numbered from 1, the end; then one reset.
std::vector<std::string> ExpectedPackets(const std::vector<PackageUnit>& units) {
    std::vector<std::string> packets;
    for (size_t u = 0; u < units.size(); ++u) {
        const uint32_t length = static_cast<uint32_t>(units[u].data.size());
        const std::string flag = kLayout[u].flag ? "01" : "00";
        const uint32_t type = units[u].type;
        const std::string typeLowFirst =
            Hex({static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8),
                 static_cast<uint8_t>(type >> 16), static_cast<uint8_t>(type >> 24)});
        packets.push_back("41 " + BigEndian(type, 4) + " " + BigEndian(length, 4) + " 00 " + flag +
                          " 00");
        for (uint32_t block = 1, done = 0; done < length; ++block, done += 4096) {
            packets.push_back("42 " + BigEndian(block, 4) + " " +
                              BigEndian(std::min(4096u, length - done), 2));
        }
        packets.push_back("43 " + BigEndian(length, 4) + " 00 " + flag + " " + typeLowFirst + " " +
                          Hex(std::vector<uint8_t>(12, 0)));
    }
    packets.push_back("0A");
    return packets;
}

// The percentages the bar shows: one per acknowledged block that changes it.
std::vector<unsigned> ExpectedProgress(const std::vector<PackageUnit>& units) {
    uint64_t total = 0, done = 0;
    for (const PackageUnit& u : units)
        total += u.data.size();
    std::vector<unsigned> shown;
    unsigned last = 0;
    for (const PackageUnit& u : units) {
        for (size_t at = 0; at < u.data.size(); at += 4096) {
            done += std::min<size_t>(4096, u.data.size() - at);
            const unsigned percent = static_cast<unsigned>(done * 100 / total);
            if (percent != last)
                shown.push_back(percent);
            last = percent;
        }
    }
    return shown;
}

bool IsDownloadPacket(const TraceEntry& e) {
    return e.received && e.mode == Mode::kDownload && e.kind != "raw" && !e.bytes.empty() &&
           (e.bytes[0] == 0x41 || e.bytes[0] == 0x42 || e.bytes[0] == 0x43 || e.bytes[0] == 0x0A);
}

// How late the device may see a frame on a loaded machine: its trace times
// are taken when it has read the frame.
constexpr double kJitter = 0.05;

// Seconds at which the device received a frame beginning with head.
std::vector<double> TimesOf(const std::vector<TraceEntry>& trace, const std::string& head) {
    std::vector<double> times;
    for (const TraceEntry& e : trace) {
        if (e.received && e.kind != "raw" && StartsWith(Hex(e.bytes), head))
            times.push_back(e.seconds);
    }
    return times;
}

// Requests of the diagnostic protocol, as Requests() lists them.
std::string Zeros(size_t n) {
    return n == 0 ? std::string() : " " + Hex(std::vector<uint8_t>(n, 0));
}
const std::string kAtLines = "raw " + Hex(Bytes("AT$QCDMG\r\nAT^DISLOG=255\r\n"));
const std::string kVersion = "noflag 4B C9 03 FF";
const std::string kStatus = "noflag 4B C9 21 FF" + Zeros(32);
const std::string kImeiRead = "noflag 26 26 02" + Zeros(130);
const std::string kBackup = "noflag FA 13 00 00";
const std::string kRestore = "noflag FA 14 00 00";
const std::string kOffline = "noflag 29 01 00";
const std::string kReset = "noflag 29 02 00";
// The search: the switch to the diagnostic protocol, the download-mode probe
// (unanswered in normal mode), the version and the IMEI.
const std::vector<std::string> kSearch = {kAtLines,  "flag 0C", "flag 0C",
                                          "flag 0C", kVersion,  kImeiRead};
// A restore done by the device itself.
const std::vector<std::string> kByItself = {kAtLines,  kVersion, kStatus,  kImeiRead,
                                            kImeiRead, kVersion, kOffline, kReset};
const std::vector<std::string> kFactoryTestAndAdjustment = {
    "noflag 29 03 00",
    "noflag 4B 0B 01 00 07 00 09 00",
    "noflag 4B 0B 01 00 08 00 16 26",
    "noflag 4B 0B 01 00 85 00 00 00",
    "noflag 29 04 00",
};

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// What a run left behind, read once the program has ended.
// sha256sum of the file at path: 64 hex digits, or what the tool said.
std::string Sha256Sum(const std::string& path) {
    const ToolResult sum = RunTool({"/usr/bin/sha256sum", path});
    return sum.output.substr(0, sum.output.find(' '));
}

struct Observed {
    RunResult run;
    double seconds = 0;  // the run's duration
    double scale = 0;
    std::string log;
    std::string eventLog;
    std::vector<TraceEntry> trace;
    std::vector<std::string> packets;  // download packets, block heads only
    // After the download reset: when the device was next spoken to, where, and
    // what it received there.
    double restoreDelay = 0;
    std::string restoreNode;
    std::vector<std::string> restore;
    Counters counters;
    std::vector<modemsim::UnitCapture> flash;
    std::string installed;
    // A second modem of the same kind: what it received.
    Counters second;
    size_t secondReceived = 0;  // trace entries it received
    // The boot loader's port seen from outside while a block waited for its
    // acknowledgement: in exclusive mode, and refusing another lock.
    bool probed = false, probeExclusive = false, probeLockRefused = false;
    // A replay: its breaches and how many recorded requests it matched.
    std::vector<std::string> breaches;
    size_t replayMatched = 0;
    std::string report;        // app/report.json, where the row asked for one
    std::string programTrace;  // the program's --trace file, when it had one
};

// What a run has beside the device: a second modem, a probe of the port being
// written, something prepared under the root before the start.
struct RunExtras {
    bool secondModem = false;
    // ... plugged in only once the first has gone away into its boot loader.
    bool secondModemInBootLoader = false;
    bool probeWhileWriting = false;
    // > 0: the ports the device holds are let go once the program's log
    // shows this many refused locks of ttyUSB0.
    int releaseAfterRefusals = 0;
    void (*prepare)(const std::string& root) = nullptr;
    size_t stdoutLimit = 0;                           // standard output read by "| head -c N"
    std::vector<std::string> arguments;               // the program's options
    const std::vector<PackageUnit>* units = nullptr;  // the package's units; null the usual
    Signing signing = Signing::kUnsigned;             // how the program file is signed
    bool trustFirstKey = false;                       // key 0 is trusted under the root
};

// Opens the node from outside while the program has it: is it in exclusive
// mode, and does it refuse a lock of ours?
void ProbePort(const std::string& path, Observed* o) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    int exclusive = 0;
    o->probed = true;
    o->probeExclusive = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    o->probeLockRefused = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
}

// The device holds every unit of the package in package order: erased with
// its length, written block by block, closed.
void ExpectFlashed(const Observed& o, const std::vector<PackageUnit>& units) {
    ASSERT_EQ(o.flash.size(), units.size());
    for (size_t u = 0; u < units.size(); ++u) {
        SCOPED_TRACE("unit " + std::to_string(u));
        EXPECT_EQ(o.flash[u].type, units[u].type);
        EXPECT_EQ(o.flash[u].erasedLength, units[u].data.size());
        EXPECT_TRUE(o.flash[u].ended);
        EXPECT_TRUE(o.flash[u].Data() == Bytes(units[u].data));
    }
}

// The lines of a program's --trace text as JSON: a line that is no JSON, or
// a last line without its line feed, is a discarded value.
std::vector<nlohmann::json> TraceLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
    if (!text.empty() && text.back() != '\n')
        lines.back() = nlohmann::json(nlohmann::json::value_t::discarded);
    return lines;
}

// The trace's dropped lines as "reason length".
std::vector<std::string> TracedDrops(const std::string& text) {
    std::vector<std::string> drops;
    for (const nlohmann::json& line : TraceLines(text)) {
        if (!line.is_discarded() && line.value("ev", "") == "dropped")
            drops.push_back(line.value("reason", "") + " " +
                            std::to_string(line.value("length", -1L)));
    }
    return drops;
}

// The nodes of the device taken by the trace's first walk that found one.
std::string FirstWalkNodes(const std::string& text) {
    for (const nlohmann::json& line : TraceLines(text)) {
        if (line.is_discarded() || line.value("ev", "") != "walk" || !line.value("found", false))
            continue;
        std::string nodes;
        for (const nlohmann::json& entry : line["entries"])
            nodes += entry.value("ours", false) ? entry.value("node", "") + " " : "";
        return nodes;
    }
    return "";
}

// A trace of whole JSON lines whose last line is the run's end.
void ExpectTraceEnds(const std::string& text, const std::string& result, int errorCode) {
    const std::vector<nlohmann::json> lines = TraceLines(text);
    ASSERT_FALSE(lines.empty());
    for (const nlohmann::json& line : lines)
        ASSERT_FALSE(line.is_discarded()) << text;
    EXPECT_EQ(lines.back().value("ev", ""), "end");
    EXPECT_EQ(lines.back().value("result", ""), result);
    if (errorCode < 0) {
        EXPECT_TRUE(lines.back()["error_code"].is_null()) << lines.back();
    } else {
        EXPECT_EQ(lines.back()["error_code"], errorCode);
    }
}

std::vector<std::string> TracedFrames(const std::string& path, bool txOnly);

class UpdateRun : public DeviceRunTest {
protected:
    UpdateRun() : DeviceRunTest("fp-update") {}

    // The program file carrying the package; when damaged, one byte of the
    // last unit's data is flipped: no start-up step reads it, only the unit
    // check finds it.
    void MakeProgram(const std::string& identity, bool damaged = false,
                     const std::vector<PackageUnit>* units = nullptr,
                     Signing signing = Signing::kUnsigned) {
        static_assert(sizeof kNvDocument > 64, "the flipped byte lies in the last unit's data");
        TempDir work("fp-pack");
        const std::string package = work / "package.bin";
        std::string error, bytes;
        ASSERT_TRUE(BuildPackage(package, identity, units ? *units : m_units, &error)) << error;
        if (damaged) {
            ASSERT_TRUE(ReadFile(package, &bytes));
            bytes[bytes.size() - 50] ^= 0x01;
            ASSERT_TRUE(WriteFile(package, bytes));
        }
        ASSERT_TRUE(AttachSigned(signing, m_app + "/" + kProgram, package, &error)) << error;
        m_packageDigest = Sha256Sum(package);
    }

    // Runs the program file of identity (damaged or not) against a device
    // with options at scale; the device is taken as settled once it has seen
    // controlResets resets (the last frame may still be in its terminal when
    // the program ends).
    Observed Update(const std::string& identity, modemsim::Options options, const char* scale,
                    int controlResets, bool damaged = false, const RunExtras& extras = {}) {
        Observed o;
        MakeProgram(identity, damaged, extras.units, extras.signing);
        // A device whose new firmware takes runs the package's target version.
        options.versionAfter = identity.substr(identity.rfind(':') + 1);
        o.scale = options.timeScale = std::atof(scale);
        // The second modem takes ttyUSB0..2, where the search looks by fixed
        // names; the first one sorts first by port path.
        modemsim::Options secondOptions = SimOptions(o.scale);
        secondOptions.portPath = "1-2";
        if (extras.secondModem)
            options.firstNode = 3;
        modemsim::ModemSim sim(options);
        modemsim::ModemSim second(secondOptions);
        std::string error;
        if (HasFatalFailure() || !sim.Start(&error) ||
            (extras.secondModem && !extras.secondModemInBootLoader && !second.Start(&error))) {
            ADD_FAILURE() << "no program file or no device: " << error;
            return o;
        }
        if (extras.prepare != nullptr)
            extras.prepare(m_root);
        std::thread plug;
        if (extras.secondModemInBootLoader) {
            plug = std::thread([&] {
                std::string plugError;
                if (sim.WaitUntil(
                        [](const modemsim::Snapshot& s) { return s.counters.vanishes > 0; },
                        60000) &&
                    !second.Start(&plugError))
                    ADD_FAILURE() << "the second modem: " << plugError;
            });
        }
        std::thread release;
        if (extras.releaseAfterRefusals > 0) {
            release = std::thread([&] {
                const std::string refused = " -- CSerialPort::Open /dev/ttyUSB0: lock: ";
                const std::string logPath = m_app + "/" + kLogFile;
                for (int waited = 0; waited < 60000; waited += 10) {
                    if (Count(ReadFile(logPath), refused) >=
                        static_cast<size_t>(extras.releaseAfterRefusals))
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                sim.ReleaseHeldPorts();
            });
        }
        if (extras.trustFirstKey) {
            EXPECT_TRUE(TrustKey(m_root, TestKey(0)));
        }
        std::thread probe;
        if (extras.probeWhileWriting) {
            probe = std::thread([&] {
                if (sim.WaitUntil(
                        [](const modemsim::Snapshot& s) { return s.counters.droppedAcks > 0; },
                        60000))
                    ProbePort(sim.DevPath("pcui"), &o);
            });
        }
        const auto start = std::chrono::steady_clock::now();
        RunOptions run = Options(scale, 180000);
        run.stdoutLimit = extras.stdoutLimit;
        run.arguments = extras.arguments;
        o.run = RunProgram(run);
        EXPECT_TRUE(o.run.started);
        EXPECT_FALSE(o.run.timedOut) << o.run.out;
        o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (std::thread* t : {&probe, &plug, &release}) {
            if (t->joinable())
                t->join();
        }
        o.second = second.GetSnapshot().counters;
        for (const TraceEntry& e : second.Trace())
            o.secondReceived += e.received ? 1 : 0;
        EXPECT_TRUE(sim.WaitUntil(
            [&](const modemsim::Snapshot& s) { return s.counters.controlResets >= controlResets; },
            10000));
        const modemsim::Snapshot device = sim.GetSnapshot();
        o.counters = device.counters;
        o.installed = device.installedVersion;
        o.flash = sim.Units();
        o.trace = sim.Trace();
        o.breaches = sim.ReplayBreaches();
        o.replayMatched = sim.ReplayMatched();
        o.log = Log();
        o.eventLog = ReadFile(m_root + "/users/SoftUpdateLog.log");
        o.report = ReadFile(m_app + "/report.json");
        const auto trace = std::find(run.arguments.begin(), run.arguments.end(), "--trace");
        if (trace != run.arguments.end() && trace + 1 != run.arguments.end())
            o.programTrace =
                ReadFile((*(trace + 1))[0] == '/' ? *(trace + 1) : m_app + "/" + *(trace + 1));
        auto lastReset = o.trace.end();
        for (auto e = o.trace.begin(); e != o.trace.end(); ++e) {
            if (!IsDownloadPacket(*e))
                continue;
            const std::string hex = Hex(e->bytes);
            o.packets.push_back(e->bytes[0] == 0x42 ? hex.substr(0, 20) : hex);
            if (e->bytes[0] == 0x0A)
                lastReset = e;
        }
        // After the download reset the boot loader acknowledged (the last
        // one sent): when the device was next spoken to, and where.
        auto next = lastReset == o.trace.end()
                        ? lastReset
                        : std::find_if(lastReset + 1, o.trace.end(),
                                       [](const TraceEntry& t) { return t.received; });
        if (next != o.trace.end()) {
            o.restoreDelay = next->seconds - lastReset->seconds;
            o.restoreNode = next->node;
            std::string elsewhere;
            o.restore = Requests(o.trace, o.restoreNode, &elsewhere, false,
                                 static_cast<size_t>(next - o.trace.begin()));
            EXPECT_EQ(elsewhere, "") << "the restore went to two nodes";
        }
        EXPECT_EQ(sim.Violations(), std::vector<std::string>());
        EXPECT_EQ(o.counters.controlResets, controlResets);
        for (const TraceEntry& e : o.trace) {
            if (e.received && e.mode == Mode::kDownload && e.kind != "raw") {
                EXPECT_EQ(e.kind, "flag") << "a download-mode frame without its opening flag";
            }
        }
        return o;
    }

    const std::vector<PackageUnit> m_units = PackageUnits();
    std::string m_packageDigest;  // of the package the last MakeProgram attached
};

// ---- The complete update ------------------------------------------------------

TEST_F(UpdateRun, CompleteUpdateFlashesEveryUnitAndTheDeviceRestoresByItself) {
    const Observed o = Update(kIdentity, SimOptions(1.0), kScale, 1);
    ExpectNormalEnd(o.run, "TRUE");
    ExpectFlashed(o, m_units);
    EXPECT_EQ(o.installed, kTarget);
    EXPECT_EQ(o.eventLog, "");
    // USB autosuspend off whenever a frame arrived: the search, the backup,
    // the boot loader, the restore (each enumeration a new device directory
    // whose power/control starts as "auto"). Set back: InterruptionE2eTest.
    EXPECT_GT(o.counters.framesIn, 0);
    EXPECT_EQ(o.counters.framesNotPowerOn, 0);
    // The log names the control file as the user knows it, without the root.
    const std::string control = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/power/control";
    EXPECT_TRUE(Has(o.log, "USB autosuspend off for the update (" + control + " was auto)"))
        << o.log;
    EXPECT_FALSE(Has(o.log, m_root)) << o.log;

    // The console: the search, the device information, the start of the
    // update, the bar climbing in place, the end of the download and the start
    // of the restore, the success.
    const SearchOutput search = ParseSearch(o.run.out);
    ASSERT_TRUE(search.headerFound) << o.run.out;
    EXPECT_EQ(search.problem, "");
    const std::string info = DeviceInfoScreen(
        {"/dev/ttyUSB2", "connected", "11.608.13.02.00", kTarget, kImei, "Normal Download"});
    EXPECT_TRUE(StartsWith(search.rest, info + DownloadReadyScreen())) << search.rest;
    EXPECT_TRUE(
        Has(search.rest, ProgressLine("Downloading Programs...", ExpectedProgress(m_units)) +
                             ResumeScreen("Download Programs finished!", 100) +
                             ResumeScreen("Restore User's Data Start,Please Wait......", 100)))
        << search.rest;
    EXPECT_TRUE(EndsWith(search.rest, SuccessScreens(Banner(), ResultPathLine(), kTarget, kImei) +
                                          "Download Programs finished!\n"))
        << search.rest;

    // The device, node by node: the PCUI port in normal mode (search, backup
    // decision, backup, switch), the boot loader, the PCUI port after the
    // download (the restore done by the device itself: no order).
    std::set<std::string> nodes;
    for (const TraceEntry& e : o.trace) {
        if (e.received)
            nodes.insert(e.node);
    }
    EXPECT_EQ(nodes, (std::set<std::string>{"ttyUSB2", "ttyUSB3", "ttyUSB6"}));
    EXPECT_EQ(Requests(o.trace, "ttyUSB2", nullptr),
              Join({kSearch, {kImeiRead, kBackup, "flag 3A"}}));
    std::vector<std::string> loader = {kAtLines, "flag 0C", "flag 3A", "flag 45"};
    for (const std::string& packet : ExpectedPackets(m_units))
        loader.push_back("flag " + packet);
    EXPECT_EQ(Requests(o.trace, "ttyUSB3", nullptr, true), loader);
    EXPECT_EQ(o.restoreNode, "ttyUSB6");
    EXPECT_EQ(o.restore, kByItself);
    // The byte layouts, written out for the first unit.
    ASSERT_GE(o.packets.size(), 3u);
    EXPECT_EQ(o.packets[0], "41 00 01 00 00 00 00 01 D0 00 00 00");
    EXPECT_EQ(o.packets[1], "42 00 00 00 01 01 D0");
    EXPECT_EQ(o.packets[2], "43 00 00 01 D0 00 00 00 00 01 00" + Zeros(12));
    // The device is given 35 s to start again before it is looked for.
    EXPECT_GE(o.restoreDelay, 35.0 * o.scale - kJitter);
}

// ---- Faults, one run per row ------------------------------------------------------

// kRefused: the package is refused at start-up, before the search.
enum class End { kSucceeds, kFails, kMessageBox, kSearchFails, kRefused };

// An undisturbed update's waits, unscaled: the search (its download-mode
// probe goes unanswered three times, 3 s each), the backup, the 10 s after
// the switch and the boot loader's reboot, the 35 s before the restore, the
// device's 5 s restart and the 5 s between offline and reset; with room for
// the pauses between requests.
constexpr double kUndisturbedBound = 9 + 10 + 3 + 35 + 5 + 5 + 13;
// Start-up, extraction and the unit check, unscaled by nature.
constexpr double kUnscaledSeconds = 3.0;

// The waits of one search for a port that stays away: the block's first
// wait (3 s), then 11 passes whose writes fail at once, then ten resets of
// ten failed writes 100 ms apart.
constexpr double kDeadLinkBound = 3 + 10 * 10 * 0.1 + 5;

struct UpdateCase {
    UpdateCase(const char* caseName, End caseEnd) : name(caseName), end(caseEnd) {}

    const char* name;
    End end;
    const char* text = "";                         // the failure or message box text
    void (*device)(modemsim::Options*) = nullptr;  // the device's faults
    const char* identity = kIdentity;
    bool damagedPackage = false;
    const char* scale = kScale;
    int controlResets = 1;  // 0x29 resets by the end of the run
    // A success: the one download packet sent twice in a row, no sooner than
    // resendAfter and sooner than resendWithin (seconds, unscaled; 0: no
    // bound); what the device receives after the download reset; the IMEI shown.
    const char* resent = nullptr;
    double resendAfter = 0, resendWithin = 0;
    int resends = 1;              // times the packet is sent again
    double laterResendAfter = 0;  // the least gap before each further resend
    // What the boot loader must receive, when it is not the package's
    // packets (with the resends above).
    std::vector<std::string> (*packets)(const std::vector<PackageUnit>&) = nullptr;
    // Replies come so late that requests may go twice: packets and restore
    // requests are compared with repeats in a row taken as one.
    bool repeatsAllowed = false;
    std::vector<std::string> restore = kByItself;
    const char* resultImei = kImei;
    void (*check)(const Observed&) = nullptr;  // what else the row holds
    // Run with --trace, then against the replay of that trace: the same end,
    // the same requests, the same drops, the device on the same nodes.
    bool replayed = false;
    RunExtras extras;
    // Standard error names the holder of the node (the test process, which
    // holds the lock or names itself in the lock file) and how it holds it.
    const char* holderNode = "ttyUSB2";
    const char* holderHow = nullptr;
    // What else standard error holds (the reason of a refused package).
    std::string (*err)() = nullptr;
    // The longest the run may take, in seconds before scaling: the waits and
    // retries the row's faults cause, on top of an undisturbed update.
    double bound = kUndisturbedBound;
};

void PrintTo(const UpdateCase& c, std::ostream* os) {
    *os << c.name;
}

const char kNotThisBoard[] =
    "Error Code:17 The wireless terminal inserted is not QM90W, flash pilot can't work on.";

// Nothing was erased; the boot loader was reset after the board class. (A
// 0x03 answer leaves a pending wake-up that ends the first wait for the
// reset's acknowledgement early, so the reset may be sent twice.)
void ExpectRefusedBoard(const Observed& o) {
    EXPECT_EQ(o.counters.erases + o.counters.blocks + o.counters.ends, 0);
    EXPECT_EQ(o.counters.downloadResets, 1);
    EXPECT_EQ(o.counters.backups, 1);
}

// The largest payload a frame on the link may carry: with its CRC it fills
// the program's receive buffer of 66,550 bytes.
constexpr size_t kLargestPayload = 66548;

// Frames of the given payload size the device sent.
int CountSent(const std::vector<TraceEntry>& trace, size_t size) {
    return static_cast<int>(std::count_if(trace.begin(), trace.end(), [&](const TraceEntry& e) {
        return !e.received && e.bytes.size() == size;
    }));
}

// The device hung up while it acknowledged block 2 of unit 1: unit 0 is
// whole, unit 1 never ended, nothing after it was touched.
void ExpectCutOffInUnitOne(const Observed& o) {
    EXPECT_EQ(o.counters.hangUps, 1);
    ASSERT_EQ(o.flash.size(), 2u);
    EXPECT_TRUE(o.flash[0].ended);
    EXPECT_FALSE(o.flash[1].ended);
    EXPECT_EQ(o.counters.downloadResets, 0);
    EXPECT_EQ(o.restore, std::vector<std::string>());
}

// The line on standard error that names the test process as the holder of
// node.
std::string HolderLine(const std::string& node, const std::string& how) {
    return "The port /dev/" + node + " is in use by process " + std::to_string(getpid()) +
           " (e2e_tests, " + how + "): close it, or stop it, and start the update again.\n";
}

// The search falls back on the fixed nodes: the held PCUI port, then the
// diagnostic port (its opens, switch and 3 s wait).
constexpr double kFallbackSearch = 6;

const char kTwoModemsLine[] =
    "2 modems found: the modem at USB port 1-1 is updated; left alone: USB port 1-2.\n";

// The PCUI port held by another process received nothing; the search went
// on through the diagnostic port.
void ExpectPcuiUntouchedAndDiagUsed(const Observed& o) {
    for (const TraceEntry& e : o.trace)
        EXPECT_FALSE(e.received && e.node == "ttyUSB2") << e.Line();
    EXPECT_TRUE(Has(o.run.out, "Communication port : /dev/ttyUSB1\n")) << o.run.out;
}

// ---- Signed packages: the key 0 is the trusted one where a key is trusted.

const std::vector<std::string> kReportArgs = {"--report", "report.json"};

// The reasons a refused package gives on standard error and in the log.
std::string UntrustedKeyReason() {
    return "The package is refused: it is signed by the key " + TestKey(1).id +
           ", which this host does not trust.\n";
}
std::string UnsignedReason() {
    return "The package is refused: it is not signed, and this host accepts only packages "
           "signed by a trusted key.\n";
}
std::string OtherPackageReason() {
    return "The package is refused: its signature by the key " + TestKey(0).id +
           " is bad: the signature does not match the package.\n";
}

// The report's signature: its state and key ID (empty: null).
void ExpectSignature(const Observed& o, const char* state, const std::string& keyId) {
    const nlohmann::json report = nlohmann::json::parse(o.report, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << o.report;
    const nlohmann::json& signature = report["package"]["signature"];
    EXPECT_EQ(signature["state"], state);
    if (keyId.empty()) {
        EXPECT_TRUE(signature["key_id"].is_null()) << signature;
    } else {
        EXPECT_EQ(signature["key_id"], keyId);
    }
}

// Refused at start-up: the stand-in received nothing at all; the reason in
// the log, error 24 in the report.
void ExpectRefused(const Observed& o, const std::string& reason, const char* state,
                   const std::string& keyId) {
    for (const TraceEntry& e : o.trace)
        EXPECT_FALSE(e.received) << e.Line();
    EXPECT_TRUE(o.flash.empty());
    EXPECT_TRUE(Has(o.log, reason)) << o.log;
    ExpectSignature(o, state, keyId);
    const nlohmann::json report = nlohmann::json::parse(o.report, nullptr, false);
    EXPECT_EQ(report["result"], "failure");
    EXPECT_EQ(report["error_code"], 24);
}

void AddSigningRows(std::vector<UpdateCase>* rows) {
    struct Refusal {
        const char* name;
        Signing signing;
        std::string (*reason)();
        void (*check)(const Observed&);
    };
    const Refusal refusals[] = {
        {"PackageOfAnUntrustedKeyIsRefusedBeforeTheModem", Signing::kSecondKey, UntrustedKeyReason,
         [](const Observed& o) {
             ExpectRefused(o, UntrustedKeyReason(), "unknown-key", TestKey(1).id);
         }},
        {"UnsignedPackageIsRefusedWhereAKeyIsTrusted", Signing::kUnsigned, UnsignedReason,
         [](const Observed& o) { ExpectRefused(o, UnsignedReason(), "unsigned", ""); }},
        {"SignatureOfAnotherPackageIsRefused", Signing::kOtherPackage, OtherPackageReason,
         [](const Observed& o) { ExpectRefused(o, OtherPackageReason(), "bad", TestKey(0).id); }},
    };
    for (const Refusal& refusal : refusals) {
        UpdateCase row(refusal.name, End::kRefused);
        row.text = "Update failed!";
        row.controlResets = 0;
        row.extras.signing = refusal.signing;
        row.extras.trustFirstKey = true;
        row.extras.arguments = kReportArgs;
        row.err = refusal.reason;
        row.check = refusal.check;
        rows->push_back(row);
    }

    UpdateCase trusted("PackageOfATrustedKeyUpdates", End::kSucceeds);
    trusted.extras.signing = Signing::kFirstKey;
    trusted.extras.trustFirstKey = true;
    trusted.extras.arguments = kReportArgs;
    trusted.check = [](const Observed& o) {
        ExpectSignature(o, "valid", TestKey(0).id);
        EXPECT_TRUE(Has(o.log, TestKey(0).id)) << o.log;
    };
    rows->push_back(trusted);

    // No key trusted: signed or not, the update runs as before, and the log
    // says once that the signature was not checked.
    UpdateCase unchecked("SignedPackageWithNoKeyTrustedUpdates", End::kSucceeds);
    unchecked.extras.signing = Signing::kFirstKey;
    unchecked.extras.arguments = kReportArgs;
    unchecked.check = [](const Observed& o) {
        ExpectSignature(o, "not-checked", TestKey(0).id);
        EXPECT_EQ(Count(o.log, "signature was not checked"), 1u) << o.log;
    };
    rows->push_back(unchecked);

    UpdateCase plain("UnsignedPackageWithNoKeyTrustedUpdates", End::kSucceeds);
    plain.extras.arguments = kReportArgs;
    plain.check = [](const Observed& o) {
        ExpectSignature(o, "unsigned", "");
        EXPECT_EQ(Count(o.log, "signature was not checked"), 1u) << o.log;
    };
    rows->push_back(plain);
}

// The lock file of the PCUI node ttyUSB2 under root, holding text.
void WritePcuiLockFile(const std::string& root, const std::string& text) {
    ASSERT_TRUE(MakeDirs(root + "/run/lock"));
    ASSERT_TRUE(WriteFile(root + "/run/lock/LCK..ttyUSB2", text));
}

// This process's id in ten columns, followed by tail.
std::string PaddedPid(const char* tail) {
    char text[48];
    std::snprintf(text, sizeof text, "%10d%s", static_cast<int>(getpid()), tail);
    return text;
}

std::vector<UpdateCase> Cases() {
    std::vector<UpdateCase> rows;
    AddSigningRows(&rows);

    UpdateCase lostAck("AckLostOnceBlockIsSentAgain", End::kSucceeds);
    lostAck.device = [](modemsim::Options* o) { o->faults.dropAck = {AckFault::kBlock, 2, false}; };
    lostAck.resent = "42 00 00 00 02 03 88";
    lostAck.resendAfter = 3.1;  // its first 3000 ms, then a pause of 100 ms
    lostAck.bound += 3.1;
    rows.push_back(lostAck);

    UpdateCase refused("RefusedBlockIsSentAgainAtOnce", End::kSucceeds);
    refused.device = [](modemsim::Options* o) { o->faults.nakAck = {AckFault::kBlock, 1, false}; };
    refused.resent = "42 00 00 00 01 01 D0";
    refused.resendWithin = 3.0;  // the refusal ends the wait for the acknowledgement
    rows.push_back(refused);

    UpdateCase badCrc("GarbledAckEraseIsSentAgain", End::kSucceeds);
    badCrc.device = [](modemsim::Options* o) { o->faults.badCrcCommand = 0x02; };
    badCrc.resent = "41 00 01 00 00 00 00 01 D0 00 00 00";
    badCrc.resendAfter = 20.1;  // the garbled acknowledgement is not taken
    badCrc.bound += 20.1;
    rows.push_back(badCrc);

    UpdateCase noise("LineNoiseBeforeEveryReplyIsSkipped", End::kSucceeds);
    noise.device = [](modemsim::Options* o) { o->faults.lineNoise = true; };
    rows.push_back(noise);

    UpdateCase flood("UnsolicitedFramesAfterEveryReplyAreIgnored", End::kSucceeds);
    flood.device = [](modemsim::Options* o) { o->faults.unsolicitedFrames = 5; };
    rows.push_back(flood);

    UpdateCase zeroFill("BoardClassDifferingInItsZeroFillIsRefused", End::kMessageBox);
    zeroFill.text = kNotThisBoard;
    zeroFill.device = [](modemsim::Options* o) {
        o->faults.boardClassField = std::string("KORVEL QM90W") + std::string(7, '\0') + "X";
    };
    zeroFill.controlResets = 0;
    zeroFill.check = [](const Observed& o) {
        ExpectRefusedBoard(o);
        EXPECT_EQ(o.packets, std::vector<std::string>{"0A"});
    };
    rows.push_back(zeroFill);

    UpdateCase nak("BoardClassAnsweredWithThreeIsRefused", End::kMessageBox);
    nak.text = kNotThisBoard;
    nak.device = [](modemsim::Options* o) { o->faults.boardClassNak = true; };
    nak.controlResets = 0;
    nak.check = ExpectRefusedBoard;
    rows.push_back(nak);

    UpdateCase damaged("DamagedPackageFailsBeforeTheBackup", End::kFails);
    damaged.text = "Update failed!";
    damaged.damagedPackage = true;
    damaged.check = [](const Observed& o) {
        // The search, then only the end of the run: offline and reset.
        EXPECT_EQ(Requests(o.trace, "ttyUSB2", nullptr), Join({kSearch, {kOffline, kReset}}));
        EXPECT_EQ(o.packets, std::vector<std::string>());
    };
    rows.push_back(damaged);

    UpdateCase backup("BackupRefusedTenTimesIsRecorded", End::kFails);
    backup.text = "Backup User's Data Failed!";
    backup.device = [](modemsim::Options* o) { o->faults.refuseBackup = 10; };
    backup.check = [](const Observed& o) {
        EXPECT_EQ(
            Requests(o.trace, "ttyUSB2", nullptr),
            Join(
                {kSearch, {kImeiRead}, std::vector<std::string>(10, kBackup), {kOffline, kReset}}));
        EXPECT_EQ(o.counters.backupRefusals, 10);
        EXPECT_EQ(o.packets, std::vector<std::string>());
        // One record: the time on its own line, then the record's line.
        const size_t newline = o.eventLog.find('\n');
        ASSERT_NE(newline, std::string::npos) << o.eventLog;
        EXPECT_EQ(newline, 24u) << o.eventLog;
        EXPECT_EQ(o.eventLog.substr(newline), "\n -- BackupNV = Wait_ACK_Timeout\n");
    };
    rows.push_back(backup);

    UpdateCase busyOnce("RestoreStateTwoThenDoneByItself", End::kSucceeds);
    busyOnce.device = [](modemsim::Options* o) { o->restoreStatus = {2, 0}; };
    busyOnce.restore = {kAtLines,  kVersion, kStatus,  kStatus, kImeiRead,
                        kImeiRead, kVersion, kOffline, kReset};
    rows.push_back(busyOnce);

    UpdateCase busy("RestoreStateTwoOnEveryQueryIsOrdered", End::kSucceeds);
    busy.device = [](modemsim::Options* o) { o->restoreStatus = {2}; };
    busy.bound += 10 * 1.5;  // ten queries, 500 ms and 1000 ms apart
    busy.restore = Join({{kAtLines, kVersion},
                         std::vector<std::string>(10, kStatus),
                         {kRestore, kImeiRead, kImeiRead, kVersion, kOffline, kReset}});
    busy.check = [](const Observed& o) {
        // Asked again 500 ms after the write and 1000 ms after the answer.
        const std::vector<double> asked = TimesOf(o.trace, "4B C9 21");
        ASSERT_EQ(asked.size(), 10u);
        EXPECT_GE(asked.back() - asked.front(), 9 * 1.5 * o.scale - kJitter);
    };
    rows.push_back(busy);

    UpdateCase forced("FoundInDownloadModeRestoreIsOrderedAsSuch", End::kSucceeds);
    forced.device = [](modemsim::Options* o) {
        o->faults.startInDownload = true;
        o->restoreStatus = {1};
    };
    forced.restore = {kAtLines, kVersion, kStatus, "noflag FA 15 00 00", kImeiRead, kImeiRead,
                      kVersion, kOffline, kReset};
    forced.check = [](const Observed& o) {
        EXPECT_TRUE(Has(o.run.out, DeviceInfoScreen({"/dev/ttyUSB0", "connected", "", kTarget,
                                                     "ERROR_IMEI", "Force Download"})))
            << o.run.out;
        EXPECT_EQ(o.counters.backups, 0);
        EXPECT_EQ(o.counters.downloadSwitches, 0);
    };
    rows.push_back(forced);

    UpdateCase noImei("UnreadableImeiSkipsTheBackupAndOrdersTheRestore", End::kSucceeds);
    noImei.device = [](modemsim::Options* o) { o->faults.imeiLengthByte = 7; };
    noImei.restore = {kAtLines,  kVersion, kStatus,  kImeiRead, kRestore,
                      kImeiRead, kVersion, kOffline, kReset};
    noImei.resultImei = "ERROR_IMEI";
    noImei.check = [](const Observed& o) { EXPECT_EQ(o.counters.backups, 0); };
    rows.push_back(noImei);

    UpdateCase gone("DeviceThatNeverReturnsFailsTheRestore", End::kFails);
    gone.text = "Restore User's Data Failed!";
    gone.device = [](modemsim::Options* o) { o->faults.noReturn = true; };
    gone.scale = kNoReturnScale;
    gone.controlResets = 0;
    // 240 searches: four port openings of 1 s each (the settling pauses
    // around an open) and the 500 ms after each search.
    gone.bound += 240 * (4 * 1.0 + 0.5);
    gone.check = [](const Observed& o) {
        ExpectFlashed(o, PackageUnits());
        EXPECT_EQ(o.counters.downloadResets, 1);
        EXPECT_EQ(o.restore, std::vector<std::string>());
        // 35 s, then 240 searches for the port, each followed by 500 ms.
        const size_t begin = o.log.find("Begin resume NV.");
        ASSERT_NE(begin, std::string::npos) << o.log;
        EXPECT_EQ(Count(o.log.substr(begin), " -- The driver tool has been installed!\n"), 240u);
        EXPECT_GE(o.seconds, (35 + 240 * 0.5) * o.scale);
    };
    rows.push_back(gone);

    UpdateCase qx10("Qx10RestoresOverTheDiagnosticPortThenAdjusts", End::kSucceeds);
    qx10.identity = "V001:QX10:11.108.09.17.00";
    qx10.bound += 5 + 3 * 0.5 + 5;  // factory test mode, three adjustments, online
    qx10.device = [](modemsim::Options* o) {
        o->boardType = "QX10";
        o->versionBefore = "11.105.13.02.00";  // stays on the diagnostic port
        o->reuseNodeNumbers = true;
    };
    qx10.restore = Join({{kAtLines, kVersion, kRestore, kImeiRead, kImeiRead, kVersion},
                         kFactoryTestAndAdjustment,
                         {kOffline, kReset}});
    qx10.check = [](const Observed& o) {
        EXPECT_EQ(o.restoreNode, "ttyUSB1");
        EXPECT_TRUE(Has(o.run.out, "Communication port : /dev/ttyUSB1\n")) << o.run.out;
    };
    rows.push_back(qx10);

    UpdateCase qx10Plus("Qx10PlusOfVersion109RestoresOverThePcuiPortThenAdjusts", End::kSucceeds);
    qx10Plus.identity = "V001:QX10+:11.109.09.17.00";
    qx10Plus.bound += 5 + 3 * 0.5 + 5;
    qx10Plus.device = [](modemsim::Options* o) { o->boardType = "QX10+"; };
    qx10Plus.restore = Join({{kAtLines, kVersion, kStatus, kImeiRead, kImeiRead, kVersion},
                             kFactoryTestAndAdjustment,
                             {kOffline, kReset}});
    qx10Plus.check = [](const Observed& o) { EXPECT_EQ(o.restoreNode, "ttyUSB6"); };
    rows.push_back(qx10Plus);

    // ---- Boot loader refusals and garbled frames

    UpdateCase nakErase("RefusedEraseIsSentAgainAtOnce", End::kSucceeds);
    nakErase.device = [](modemsim::Options* o) { o->faults.nakAck = {AckFault::kErase, 0, false}; };
    nakErase.resent = "41 00 01 00 00 00 00 01 D0 00 00 00";
    nakErase.resendWithin = 3.0;
    rows.push_back(nakErase);

    UpdateCase nakEnd("RefusedEndOfImageIsSentAgainAtOnce", End::kSucceeds);
    nakEnd.device = [](modemsim::Options* o) { o->faults.nakAck = {AckFault::kEnd, 0, false}; };
    nakEnd.resent = "43 00 00 01 D0 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00";
    nakEnd.resendAfter = 0.1;  // the pause before every attempt
    nakEnd.resendWithin = 3.0;
    rows.push_back(nakEnd);

    UpdateCase garbledVersion("GarbledVersionReplyInNormalModeIsAskedAgain", End::kSucceeds);
    garbledVersion.device = [](modemsim::Options* o) { o->faults.badCrcCommand = 0x4B; };
    garbledVersion.bound += 2.6;  // one unanswered wait for the version
    garbledVersion.check = [](const Observed& o) {
        EXPECT_EQ(Requests(o.trace, "ttyUSB2", nullptr),
                  Join({{kAtLines, "flag 0C", "flag 0C", "flag 0C", kVersion, kVersion, kImeiRead},
                        {kImeiRead, kBackup, "flag 3A"}}));
    };
    rows.push_back(garbledVersion);

    // ---- A hostile line

    UpdateCase maximal("AcknowledgementsOfTheLargestFrameAreTaken", End::kSucceeds);
    maximal.device = [](modemsim::Options* o) {
        o->faults.paddedAck = {AckFault::kErase, 0, false};
        o->faults.paddedAckLength = kLargestPayload;
    };
    maximal.check = [](const Observed& o) { EXPECT_EQ(CountSent(o.trace, kLargestPayload), 1); };
    rows.push_back(maximal);

    UpdateCase overlong("OverlongAcknowledgementIsDroppedAndTheEraseSentAgain", End::kSucceeds);
    overlong.device = [](modemsim::Options* o) {
        o->faults.paddedAck = {AckFault::kErase, 0, false};
        o->faults.paddedAckLength = kLargestPayload + 1;
    };
    overlong.resent = "41 00 01 00 00 00 00 01 D0 00 00 00";
    overlong.resendAfter = 20.1;  // the erase's whole wait: the frame never counted
    overlong.bound += 20.1;
    overlong.replayed = true;
    overlong.check = [](const Observed& o) {
        EXPECT_EQ(CountSent(o.trace, kLargestPayload + 1), 1);
        // The whole frame counted, its CRC included, not the bytes kept.
        EXPECT_EQ(TracedDrops(o.programTrace),
                  std::vector<std::string>{"overlong " + std::to_string(kLargestPayload + 3)});
    };
    rows.push_back(overlong);

    UpdateCase noisyFlood("NoiseFloodAndALostAckTogether", End::kSucceeds);
    noisyFlood.device = [](modemsim::Options* o) {
        o->faults.lineNoise = true;
        o->faults.unsolicitedFrames = 3;
        o->faults.dropAck = {AckFault::kBlock, 2, false};
    };
    noisyFlood.resent = "42 00 00 00 02 03 88";
    noisyFlood.resendAfter = 3.1;
    noisyFlood.bound += 3.1;
    rows.push_back(noisyFlood);

    UpdateCase garbledAndBusy("GarbledAckAndARestoreStillBusy", End::kSucceeds);
    garbledAndBusy.device = [](modemsim::Options* o) {
        o->faults.badCrcCommand = 0x02;
        o->restoreStatus = {2, 0};
    };
    garbledAndBusy.resent = "41 00 01 00 00 00 00 01 D0 00 00 00";
    garbledAndBusy.resendAfter = 20.1;
    garbledAndBusy.restore = {kAtLines,  kVersion, kStatus,  kStatus, kImeiRead,
                              kImeiRead, kVersion, kOffline, kReset};
    garbledAndBusy.bound += 20.1 + 1.5;
    rows.push_back(garbledAndBusy);

    UpdateCase slow("RepliesLateButInsideEveryWait", End::kSucceeds);
    // The shortest wait is the NV read's: 500 ms after the write, then 1000 ms.
    slow.device = [](modemsim::Options* o) { o->faults.replyDelayMs = 1200; };
    slow.bound += 90 * 1.2;  // every reply of the run comes 1.2 s late
    rows.push_back(slow);

    // ---- A device that goes away in the middle of a unit

    UpdateCase cut("HangUpMidBlockFailsTheDownload", End::kFails);
    cut.text = "Update failed!";
    cut.device = [](modemsim::Options* o) { o->faults.hangUp = {AckFault::kBlock, 2, false}; };
    cut.controlResets = 0;
    cut.bound += kDeadLinkBound;
    cut.check = ExpectCutOffInUnitOne;
    rows.push_back(cut);

    UpdateCase cutAndBack("HangUpMidBlockAndBackInDownloadModeStillFails", End::kFails);
    cutAndBack.text = "Update failed!";
    cutAndBack.device = [](modemsim::Options* o) {
        o->faults.hangUp = {AckFault::kBlock, 2, false};
        o->faults.returnAfterHangUp = true;
    };
    cutAndBack.controlResets = 0;
    cutAndBack.bound += kDeadLinkBound;
    cutAndBack.check = [](const Observed& o) {
        ExpectCutOffInUnitOne(o);
        EXPECT_EQ(o.counters.enumerations, 3);
    };
    rows.push_back(cutAndBack);

    UpdateCase refusedRestore("RestoreRefusedTenTimesFailsTheRestore", End::kFails);
    refusedRestore.text = "Restore User's Data Failed!";
    refusedRestore.device = [](modemsim::Options* o) {
        o->restoreStatus = {1};
        o->faults.refuseRestore = modemsim::Faults::kAlways;
    };
    refusedRestore.controlResets = 0;
    refusedRestore.check = [](const Observed& o) {
        ExpectFlashed(o, PackageUnits());
        EXPECT_EQ(o.counters.restoreRefusals, 10);
        EXPECT_EQ(std::count(o.restore.begin(), o.restore.end(), kRestore), 10);
    };
    rows.push_back(refusedRestore);

    // ---- A result the caller can trust

    UpdateCase lateLoader("LoaderRepliesLaterThanTheBlockWaitAndARefusedEnd", End::kSucceeds);
    // Every reply 3.2 s late: past the first wait of every block, so each
    // late acknowledgement must be told from the next request's.
    lateLoader.device = [](modemsim::Options* o) {
        o->faults.startInDownload = true;
        o->faults.replyDelayMs = 3200;
        o->faults.nakAck = {AckFault::kEnd, 0, false};
    };
    lateLoader.repeatsAllowed = true;
    lateLoader.controlResets = 0;  // the offline order's 2 s wait ends before its reply
    lateLoader.restore = {kAtLines, kVersion, kStatus, kImeiRead, kVersion, kOffline};
    lateLoader.bound += 250;
    lateLoader.check = [](const Observed& o) { EXPECT_EQ(o.counters.naks, 1); };
    rows.push_back(lateLoader);

    UpdateCase oldVersion("OldVersionAfterTheUpdateFailsIt", End::kFails);
    oldVersion.text = "Update failed!";
    oldVersion.device = [](modemsim::Options* o) { o->faults.keepVersion = true; };
    oldVersion.controlResets = 0;
    oldVersion.check = [](const Observed& o) {
        ExpectFlashed(o, PackageUnits());
        EXPECT_EQ(o.installed, "11.608.13.02.00");
        EXPECT_TRUE(Has(o.log, "11.608.13.02.00 after the update, not the target version " +
                                   std::string(kTarget)))
            << o.log;
    };
    rows.push_back(oldVersion);

    UpdateCase closedConsole("ConsoleClosedEarlyTheUpdateGoesOn", End::kSucceeds);
    closedConsole.extras.stdoutLimit = 300;
    rows.push_back(closedConsole);

    UpdateCase slowReturn("BackAfter45SecondsUnderNewNodeNames", End::kSucceeds);
    slowReturn.device = [](modemsim::Options* o) { o->normalRebootMs = 45000; };
    slowReturn.bound += 2 * 40;  // after the download reset and after the control reset
    slowReturn.check = [](const Observed& o) {
        EXPECT_GE(o.restoreDelay, 45 * o.scale - kJitter);
        EXPECT_EQ(o.restoreNode, "ttyUSB6");
    };
    rows.push_back(slowReturn);

    UpdateCase garbledAlways("VersionAlwaysGarbledEndsTheSearchAndTheRunPromptly",
                             End::kSearchFails);
    garbledAlways.text = "Get device information failed!";
    garbledAlways.device = [](modemsim::Options* o) {
        o->faults.badCrcCommand = 0x4B;
        o->faults.badCrcCount = modemsim::Faults::kAlways;
    };
    garbledAlways.controlResets = 0;
    // The search's 201 ticks of 500 ms after its start-up, then one more
    // version attempt at most: not the board check's 290 s.
    garbledAlways.bound = 4 + 4 + 201 * 0.5 + 3;
    rows.push_back(garbledAlways);

    UpdateCase lostTwice("AckLostTwiceSecondResendAfterSixSeconds", End::kSucceeds);
    lostTwice.device = [](modemsim::Options* o) {
        o->faults.dropAck = {AckFault::kBlock, 2, false, 2};
    };
    lostTwice.resent = "42 00 00 00 02 03 88";
    lostTwice.resends = 2;
    lostTwice.resendAfter = 3.1;
    lostTwice.laterResendAfter = 6.1;  // the second attempt waits twice as long
    lostTwice.bound += 3.1 + 6.1;
    rows.push_back(lostTwice);

    UpdateCase secondPass("PassFailingAfterAcknowledgedBlocksStartsTheBarOver", End::kSucceeds);
    // Unit 0's end refused ten times: the pass fails after its block.
    secondPass.device = [](modemsim::Options* o) {
        o->faults.nakAck = {AckFault::kEnd, 0, false, 10};
    };
    secondPass.packets = [](const std::vector<PackageUnit>& units) {
        const std::vector<std::string> pass = ExpectedPackets(units);
        std::vector<std::string> all = {pass[0], pass[1]};
        all.insert(all.end(), 10, pass[2]);
        all.insert(all.end(), pass.begin(), pass.end());
        return all;
    };
    secondPass.bound += 10 * 0.2;
    secondPass.check = [](const Observed& o) {
        const std::vector<unsigned> pass = ExpectedProgress(PackageUnits());
        std::vector<unsigned> shown = {pass.front(), 0};
        shown.insert(shown.end(), pass.begin(), pass.end());
        ASSERT_EQ(pass.back(), 100u);
        EXPECT_TRUE(Has(o.run.out, ProgressLine("Downloading Programs...", shown) +
                                       ResumeScreen("Download Programs finished!", 100)))
            << o.run.out;
    };
    rows.push_back(secondPass);

    UpdateCase resetOnce("LoaderRefusingTheFirstResetIsOrderedAgain", End::kSucceeds);
    resetOnce.device = [](modemsim::Options* o) {
        o->faults.nakAck = {AckFault::kReset, 0, false};
    };
    resetOnce.resent = "0A";
    resetOnce.resendWithin = 3.0;
    rows.push_back(resetOnce);

    UpdateCase resetNever("LoaderRefusingEveryResetFailsAfterTenCalls", End::kFails);
    resetNever.text = "Update failed!";
    resetNever.device = [](modemsim::Options* o) {
        o->faults.nakAck = {AckFault::kReset, 0, true};
    };
    resetNever.controlResets = 0;
    resetNever.bound += 100 * 0.1;
    resetNever.check = [](const Observed& o) {
        ExpectFlashed(o, PackageUnits());
        EXPECT_EQ(std::count(o.packets.begin(), o.packets.end(), "0A"), 100);
        EXPECT_EQ(Count(o.log, " -- Reset the board FAILED "), 10u);
        EXPECT_EQ(o.restore, std::vector<std::string>());
    };
    rows.push_back(resetNever);

    UpdateCase lateLoaderPort("BootLoaderPortAfterAboutTenSearches", End::kSucceeds);
    // A search that finds nothing takes about 7 s: four openings of 1 s
    // each, then 3 s.
    lateLoaderPort.device = [](modemsim::Options* o) { o->downloadRebootMs = 10000 + 10 * 7000; };
    lateLoaderPort.bound += 10 * 7.5;
    lateLoaderPort.check = [](const Observed& o) {
        const size_t backup = o.log.find("begin to backup NV.");
        ASSERT_NE(backup, std::string::npos) << o.log;
        EXPECT_GE(Count(o.log.substr(backup), " -- The driver tool has been installed!\n"), 9u);
    };
    rows.push_back(lateLoaderPort);

    UpdateCase noLoaderPort("BootLoaderPortNeverFoundFailsAfterFortySearches", End::kFails);
    noLoaderPort.text = "Update failed!";
    noLoaderPort.device = [](modemsim::Options* o) { o->downloadRebootMs = 1000000; };
    noLoaderPort.controlResets = 0;
    noLoaderPort.scale = kNoReturnScale;
    noLoaderPort.bound += 40 * 7.5;
    noLoaderPort.check = [](const Observed& o) {
        const size_t backup = o.log.find("begin to backup NV.");
        ASSERT_NE(backup, std::string::npos) << o.log;
        EXPECT_EQ(Count(o.log.substr(backup), " -- The driver tool has been installed!\n"), 40u);
        EXPECT_TRUE(Has(o.log, " -- Can't find the PCUI port.\n")) << o.log;
        EXPECT_EQ(o.packets, std::vector<std::string>());
    };
    rows.push_back(noLoaderPort);

    UpdateCase qx10Plus108("Qx10PlusOfVersion108RestoresOverTheDiagnosticPort", End::kSucceeds);
    qx10Plus108.identity = "V001:QX10+:11.108.09.17.00";
    qx10Plus108.bound += 5 + 3 * 0.5 + 5;
    qx10Plus108.device = [](modemsim::Options* o) {
        o->boardType = "QX10+";
        o->reuseNodeNumbers = true;
    };
    qx10Plus108.restore = Join({{kAtLines, kVersion, kRestore, kImeiRead, kImeiRead, kVersion},
                                kFactoryTestAndAdjustment,
                                {kOffline, kReset}});
    qx10Plus108.check = [](const Observed& o) { EXPECT_EQ(o.restoreNode, "ttyUSB1"); };
    rows.push_back(qx10Plus108);

    // ---- A host with other programs and other modems

    UpdateCase locked("PortLockedForTheWholeRunIsLeftAloneAndTheHolderNamed", End::kSucceeds);
    locked.device = [](modemsim::Options* o) { o->faults.holdLockRole = "pcui"; };
    locked.holderHow = "locked";
    locked.bound += kFallbackSearch;
    locked.check = ExpectPcuiUntouchedAndDiagUsed;
    rows.push_back(locked);

    // A device with its PCUI port only: no other port to fall back on, so
    // the search finds it once the lock is gone.
    UpdateCase released("PortLockReleasedDuringTheSearchIsThenUsed", End::kSucceeds);
    released.device = [](modemsim::Options* o) {
        o->productRow = 10;
        o->faults.holdLockRole = "pcui";
    };
    // Let go once the search has found it locked three times (the fixed-name
    // search tries it again after the named node): named once all the same.
    released.extras.releaseAfterRefusals = 3;
    released.holderNode = "ttyUSB0";
    released.holderHow = "locked";
    released.bound += 40 + kFallbackSearch;
    released.check = [](const Observed& o) {
        EXPECT_GE(Count(o.log, " -- CSerialPort::Open /dev/ttyUSB0: lock: "), 3u) << o.log;
    };
    rows.push_back(released);

    // The lock file forms serial programs write, each naming this (live)
    // test process: ten columns, with the program and the user after the
    // number, bare digits, the old binary form.
    const std::pair<const char*, void (*)(const std::string&)> lockFiles[] = {
        {"LockFileOfALiveProcessIsHonoured",
         [](const std::string& root) { WritePcuiLockFile(root, PaddedPid("\n")); }},
        {"LockFileWithTheProgramAndTheUserIsHonoured",
         [](const std::string& root) { WritePcuiLockFile(root, PaddedPid(" minicom root\n")); }},
        {"LockFileOfBareDigitsIsHonoured",
         [](const std::string& root) { WritePcuiLockFile(root, std::to_string(getpid())); }},
        {"LockFileInTheBinaryFormIsHonoured",
         [](const std::string& root) {
             const int32_t pid = static_cast<int32_t>(getpid());
             WritePcuiLockFile(root, std::string(reinterpret_cast<const char*>(&pid), sizeof pid));
         }},
    };
    for (const auto& [name, prepare] : lockFiles) {
        UpdateCase lockFile(name, End::kSucceeds);
        lockFile.extras.prepare = prepare;
        lockFile.holderHow = "lock file";
        lockFile.bound += kFallbackSearch;
        lockFile.check = ExpectPcuiUntouchedAndDiagUsed;
        rows.push_back(lockFile);
    }

    // A lock file that names no process: the port is used, nobody named.
    UpdateCase stale("LockFileWithoutAProcessIdIsStale", End::kSucceeds);
    stale.extras.prepare = [](const std::string& root) {
        WritePcuiLockFile(root, "0\n");
        ASSERT_TRUE(WriteFile(root + "/run/lock/LCK..ttyUSB1", ""));
        ASSERT_TRUE(WriteFile(root + "/run/lock/LCK..ttyUSB0", "garbage\n"));
    };
    stale.check = [](const Observed& o) {
        EXPECT_TRUE(Has(o.run.out, "Communication port : /dev/ttyUSB2\n")) << o.run.out;
        EXPECT_FALSE(Has(o.log, "locked by")) << o.log;
    };
    rows.push_back(stale);

    // Another program run as root holds the PCUI port in exclusive mode: our
    // root open would pass, but the port is left, its flag as it was.
    UpdateCase exclusive("PortInAnotherProgramsExclusiveModeIsLeftWithItsFlag", End::kSucceeds);
    exclusive.device = [](modemsim::Options* o) {
        o->faults.holdLockRole = "pcui";
        o->faults.holdExclusive = true;
    };
    exclusive.holderHow = "exclusive mode";
    exclusive.bound += kFallbackSearch;
    exclusive.check = [](const Observed& o) {
        ExpectPcuiUntouchedAndDiagUsed(o);
        EXPECT_EQ(o.counters.exclusiveCleared, 0);
    };
    rows.push_back(exclusive);

    UpdateCase probed("PortBeingWrittenIsExclusiveAndLocked", End::kSucceeds);
    probed.device = [](modemsim::Options* o) { o->faults.dropAck = {AckFault::kBlock, 2, false}; };
    probed.extras.probeWhileWriting = true;
    probed.resent = "42 00 00 00 02 03 88";
    probed.resendAfter = 3.1;
    probed.bound += 3.1;
    probed.check = [](const Observed& o) {
        ASSERT_TRUE(o.probed);
        EXPECT_TRUE(o.probeExclusive);
        EXPECT_TRUE(o.probeLockRefused);
    };
    rows.push_back(probed);

    UpdateCase twoModems("TwoModemsOnlyTheFirstByPortPathIsTouched", End::kSucceeds);
    twoModems.extras.secondModem = true;
    // The boot loader comes 4 s after the search for it began: meanwhile the
    // search looks at the fixed nodes, which are the second modem's.
    twoModems.device = [](modemsim::Options* o) { o->downloadRebootMs = 14000; };
    twoModems.bound += 11;
    twoModems.check = [](const Observed& o) {
        EXPECT_EQ(o.secondReceived, 0u);
        EXPECT_EQ(o.second.framesIn + o.second.atLines + o.second.badFramesIn, 0);
        EXPECT_TRUE(Has(o.run.out, kTwoModemsLine)) << o.run.out;
        EXPECT_EQ(Count(o.log, kTwoModemsLine), 1u) << o.log;
        // The first modem's nodes: 3..5, the boot loader 6, back on 7..9.
        EXPECT_TRUE(Has(o.run.out, "Communication port : /dev/ttyUSB5\n")) << o.run.out;
        EXPECT_EQ(o.restoreNode, "ttyUSB9");
    };
    rows.push_back(twoModems);

    // The only modem goes into its boot loader; meanwhile another one, in
    // normal mode, is plugged in at another port path (on the fixed nodes
    // ttyUSB0..2): it is not ours and receives nothing, not even the switch.
    UpdateCase plugged("ModemPluggedInDuringTheSwitchIsLeftAlone", End::kSucceeds);
    plugged.extras.secondModem = true;
    plugged.extras.secondModemInBootLoader = true;
    // The boot loader comes 4 s after the search for it began.
    plugged.device = [](modemsim::Options* o) { o->downloadRebootMs = 14000; };
    plugged.bound += 11;
    plugged.check = [](const Observed& o) {
        EXPECT_EQ(o.secondReceived, 0u);
        EXPECT_EQ(o.second.framesIn + o.second.atLines + o.second.badFramesIn, 0);
        EXPECT_EQ(o.second.enumerations, 1);  // it was there
        EXPECT_TRUE(Has(o.log, "The modem at USB port 1-2 is not in its boot loader")) << o.log;
        EXPECT_EQ(o.restoreNode, "ttyUSB9");
    };
    rows.push_back(plugged);

    // Back 70 s after the reset: the rescans of 35 s find no port (each try
    // takes some 4.5 s: its openings and pauses), none of them on the console.
    UpdateCase lateReturn("BackAfter70SecondsTheRescansStayInTheLog", End::kSucceeds);
    lateReturn.device = [](modemsim::Options* o) { o->normalRebootMs = 70000; };
    lateReturn.bound += 2 * 65;
    lateReturn.check = [](const Observed& o) {
        EXPECT_GE(o.restoreDelay, 70 * o.scale - kJitter);
        // The walks at the start and in the boot loader, and the restore's
        // first walk at 35 s, which finds nothing yet.
        EXPECT_EQ(Count(o.run.out, "MODEM="), 3u) << o.run.out;
        EXPECT_EQ(Count(o.run.out, "Set ports failed !\n"), 1u) << o.run.out;
        const size_t restore = o.log.find("Begin resume NV.");
        ASSERT_NE(restore, std::string::npos) << o.log;
        const std::string rescans = o.log.substr(restore);
        EXPECT_GE(Count(rescans, " -- MODEM= DIAG= PCUI=\n"), 5u) << rescans;
        EXPECT_EQ(Count(rescans, " -- MODEM= DIAG= PCUI=\n") + 1,
                  Count(rescans, " -- Set Ports failed !\n"));
    };
    rows.push_back(lateReturn);
    UpdateCase laterNodes("ReplayOfAThreePortProductKeepsItsFirstNode", End::kSucceeds);
    laterNodes.device = [](modemsim::Options* o) { o->firstNode = 3; };
    laterNodes.replayed = true;
    laterNodes.check = [](const Observed& o) {
        EXPECT_EQ(FirstWalkNodes(o.programTrace), "ttyUSB3 ttyUSB4 ttyUSB5 ");
    };
    rows.push_back(laterNodes);

    return rows;
}

// Repeats in a row taken as one.
std::vector<std::string> Collapsed(std::vector<std::string> items) {
    items.erase(std::unique(items.begin(), items.end()), items.end());
    return items;
}

class UpdateCaseRun : public UpdateRun, public ::testing::WithParamInterface<UpdateCase> {
protected:
    // The console from the search on: the device information, the start of
    // the update, the result screen of the row's end.
    void ExpectScreens(const UpdateCase& c, const Observed& o) {
        if (c.end == End::kRefused) {
            // No search: the failure screen with empty device rows.
            EXPECT_FALSE(Has(o.run.out, SearchHeader())) << o.run.out;
            EXPECT_TRUE(
                EndsWith(o.run.out, ResultPathLine() + FailureScreen(Banner(), c.text, "", "")))
                << o.run.out;
            return;
        }
        const SearchOutput search = ParseSearch(o.run.out);
        ASSERT_TRUE(search.headerFound) << o.run.out;
        EXPECT_EQ(search.problem, "");
        if (c.end == End::kSearchFails) {
            EXPECT_EQ(search.rest, ResultPathLine() + SearchFailedScreen(c.text));
            return;
        }
        const std::string banner = BannerBeforeDeviceInfo(search.rest);
        ASSERT_FALSE(banner.empty()) << search.rest;
        EXPECT_TRUE(Has(search.rest, DownloadReadyScreen())) << search.rest;
        const std::string identity = c.identity;
        const std::string target = identity.substr(identity.rfind(':') + 1);
        std::string tail;
        if (c.end == End::kSucceeds) {
            tail = SuccessScreens(banner, ResultPathLine(), target, c.resultImei) +
                   "Download Programs finished!\n";
        } else if (c.end == End::kFails) {
            tail = ResultPathLine() + FailureScreen(banner, c.text, target, kImei);
        } else {
            tail = ResultPathLine() + MessageBoxScreen(banner, c.text);
        }
        EXPECT_TRUE(EndsWith(search.rest, tail)) << search.rest;
    }

    // What the boot loader received: every packet of the package in order,
    // the row's resend at the times the retries allow.
    void ExpectPackets(const UpdateCase& c, const Observed& o) {
        std::vector<std::string> packets =
            c.packets != nullptr ? c.packets(m_units) : ExpectedPackets(m_units);
        if (c.resent != nullptr) {
            auto at = std::find(packets.begin(), packets.end(), c.resent);
            ASSERT_NE(at, packets.end()) << c.resent;
            packets.insert(at, static_cast<size_t>(c.resends), *at);
            const std::vector<double> sent = TimesOf(o.trace, c.resent);
            ASSERT_EQ(sent.size(), static_cast<size_t>(1 + c.resends));
            EXPECT_GE(sent[1] - sent[0], c.resendAfter * o.scale - kJitter);
            if (c.resendWithin > 0) {
                EXPECT_LT(sent[1] - sent[0], c.resendWithin * o.scale);
            }
            for (size_t k = 2; k < sent.size(); ++k)
                EXPECT_GE(sent[k] - sent[k - 1], c.laterResendAfter * o.scale - kJitter) << k;
        }
        if (c.repeatsAllowed)
            EXPECT_EQ(Collapsed(o.packets), packets);
        else
            EXPECT_EQ(o.packets, packets);
    }

    // The row's traced run played again by the stand-in's replay.
    void ExpectReplayAgrees(const UpdateCase& c, const Observed& recorded) {
        modemsim::Options replay = SimOptions(1.0);
        replay.replayFile = m_tmp / "recorded.jsonl";
        RunExtras extras;
        extras.arguments = {"--trace", m_tmp / "replayed.jsonl"};
        const Observed r = Update(c.identity, replay, c.scale, 0, c.damagedPackage, extras);
        ExpectNormalEnd(r.run, c.end == End::kSucceeds ? "TRUE" : "FALSE");
        EXPECT_EQ(r.breaches, std::vector<std::string>());
        const std::vector<std::string> requests = TracedFrames(replay.replayFile, true);
        EXPECT_EQ(TracedFrames(m_tmp / "replayed.jsonl", true), requests);
        EXPECT_EQ(r.replayMatched, requests.size());
        EXPECT_EQ(TracedDrops(r.programTrace), TracedDrops(recorded.programTrace));
        EXPECT_EQ(FirstWalkNodes(r.programTrace), FirstWalkNodes(recorded.programTrace));
    }
};

TEST_P(UpdateCaseRun, EndsAsTheDeviceLetsIt) {
    const UpdateCase& c = GetParam();
    if ((c.extras.signing != Signing::kUnsigned || c.extras.trustFirstKey) &&
        MinisignPath().empty())
        GTEST_SKIP() << "minisign is not installed (Debian package minisign)";
    modemsim::Options options = SimOptions(1.0);
    if (c.device != nullptr)
        c.device(&options);
    RunExtras extras = c.extras;
    if (c.replayed)
        extras.arguments = {"--trace", m_tmp / "recorded.jsonl"};
    const Observed o =
        Update(c.identity, options, c.scale, c.controlResets, c.damagedPackage, extras);
    const bool success = c.end == End::kSucceeds;
    // "TRUE" only where the flash is checked equal to the package below.
    ExpectNormalEnd(o.run, success ? "TRUE" : "FALSE",
                    c.err != nullptr         ? c.err()
                    : c.holderHow == nullptr ? ""
                                             : HolderLine(c.holderNode, c.holderHow));
    EXPECT_LE(o.seconds, c.bound * o.scale + kUnscaledSeconds)
        << "unscaled " << o.seconds / o.scale << " s";
    if (c.extras.stdoutLimit > 0)
        EXPECT_EQ(o.run.out.size(), c.extras.stdoutLimit);
    else
        ExpectScreens(c, o);

    if (success) {
        ExpectPackets(c, o);
        ExpectFlashed(o, m_units);
        EXPECT_EQ(c.repeatsAllowed ? Collapsed(o.restore) : o.restore, c.restore);
        EXPECT_EQ(o.eventLog, "");
    }
    if (c.check != nullptr)
        c.check(o);
    if (c.replayed)
        ExpectReplayAgrees(c, o);
}

INSTANTIATE_TEST_SUITE_P(Rows, UpdateCaseRun, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<UpdateCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- Options for scripts: --check, --skip-if-current, --report ---------------

struct OptionCase {
    const char* name;
    std::vector<std::string> args;
    void (*device)(modemsim::Options*) = nullptr;
    bool modem = true;         // false: no device at all
    bool fakeProduct = false;  // without a device: the option tree of product row 11
    bool damaged = false;      // one data byte of the package's last unit flipped
    Signing signing = Signing::kUnsigned;
    bool trustFirstKey = false;
    int status = 0;
    const char* resultWord = nullptr;                    // nullptr: the result file stays absent
    const char* result = "";                             // the report's result
    int errorCode = -1;                                  // -1: null
    const char* message = "";                            // what the report's message starts with
    bool modemWritten = false;                           // backup, switch, erase or block seen
    bool reportWritten = true;                           // false: a warning instead of the report
    void (*prepare)(const std::string& root) = nullptr;  // before the start, under the root
    // Every port held by the test process: how (standard error names it for
    // ttyUSB2, 1 and 0, in the order the search tries them).
    const char* holderHow = nullptr;
    // With --trace kTraceFile: a symbolic link stands there, which the run
    // refuses with one warning; otherwise the trace ends with the report's
    // result and error code.
    bool traceIsLink = false;
    void (*check)(const RunResult&, const nlohmann::json&, const Counters&) = nullptr;
    const char* usageError = nullptr;  // the command line is refused with this reason
};

// The device received nothing at all.
void ExpectNothingReceived(const RunResult&, const nlohmann::json&, const Counters& c) {
    EXPECT_EQ(c.framesIn + c.badFramesIn + c.atLines, 0);
}
const char kTraceFile[] = "trace.jsonl";
// A modem's version text that is no UTF-8, and how JSON carries it.
const char kNoUtf8Version[] = "11.608\xFF\xFE";
const char kNoUtf8VersionInJson[] = "11.608\xEF\xBF\xBD\xEF\xBF\xBD";  // two U+FFFD

void PrintTo(const OptionCase& c, std::ostream* os) {
    *os << c.name;
}

void AtTarget(modemsim::Options* o) {
    o->versionBefore = kTarget;
}

// A board of another type that runs the target version.
void OtherBoardAtTarget(modemsim::Options* o) {
    o->versionBefore = kTarget;
    o->boardType = "QX99";
}

std::vector<OptionCase> OptionCases() {
    const std::vector<std::string> check = {"--check", "--report", "report.json"};
    std::vector<OptionCase> rows;

    OptionCase ready{"CheckOfAModemToUpdateIsReady", check};
    ready.result = "ready";
    ready.message = "Ready to update: the modem runs 11.608.13.02.00, the package installs ";
    ready.check = [](const RunResult&, const nlohmann::json& report, const Counters& c) {
        EXPECT_EQ(c.controlResets, 1);  // its port leaves the diagnostic mode
        EXPECT_EQ(report["device"]["version_before"], "11.608.13.02.00");
        EXPECT_EQ(report["device"]["usb_path"], "1-1");
    };
    rows.push_back(ready);

    OptionCase none{"CheckWithoutAModemIsNotReady", check};
    none.modem = false;
    none.status = 3;
    none.result = "not-ready";
    none.message = "Not ready to update:\n  no modem was found";
    none.check = [](const RunResult& r, const nlohmann::json& report, const Counters&) {
        EXPECT_TRUE(EndsWith(r.out, "Not ready to update:\n  no modem was found\n")) << r.out;
        EXPECT_TRUE(report["device"]["port"].is_null());
    };
    rows.push_back(none);

    OptionCase closed{"CheckOfAPortThatCannotBeOpenedIsNotReady", check};
    closed.modem = false;
    closed.fakeProduct = true;
    closed.status = 3;
    closed.result = "not-ready";
    closed.message = "Not ready to update:\n  /dev/ttyUSB2 does not exist (Find port failed!)";
    rows.push_back(closed);

    // The verdict gives the reason the search's own opens found.
    OptionCase locked{"CheckWithEveryPortLockedNamesTheLock", check};
    locked.device = [](modemsim::Options* o) { o->faults.holdLockRole = "all"; };
    locked.status = 3;
    locked.result = "not-ready";
    locked.message = "Not ready to update:\n  /dev/ttyUSB2 is in use by process ";
    locked.holderHow = "locked";
    locked.check = [](const RunResult& r, const nlohmann::json& report, const Counters& c) {
        EXPECT_TRUE(EndsWith(r.out, "Not ready to update:\n  /dev/ttyUSB2 is in use by process " +
                                        std::to_string(getpid()) +
                                        " (e2e_tests, locked) (Find port failed!)\n"))
            << r.out;
        ExpectNothingReceived(r, report, c);
    };
    rows.push_back(locked);

    OptionCase exclusive{"CheckWithEveryPortInExclusiveModeNamesIt", check};
    exclusive.device = [](modemsim::Options* o) {
        o->faults.holdLockRole = "all";
        o->faults.holdExclusive = true;
    };
    exclusive.status = 3;
    exclusive.result = "not-ready";
    exclusive.message = "Not ready to update:\n  /dev/ttyUSB2 is in use by process ";
    exclusive.holderHow = "exclusive mode";
    exclusive.check = [](const RunResult& r, const nlohmann::json& report, const Counters& c) {
        EXPECT_TRUE(Has(r.out, " (e2e_tests, exclusive mode) (Find port failed!)\n")) << r.out;
        ExpectNothingReceived(r, report, c);
    };
    rows.push_back(exclusive);

    OptionCase lockFiles{"CheckWithLockFilesOnEveryPortNamesThem", check};
    lockFiles.status = 3;
    lockFiles.result = "not-ready";
    lockFiles.message = "Not ready to update:\n  /dev/ttyUSB2 is in use by process ";
    lockFiles.holderHow = "lock file";
    lockFiles.prepare = [](const std::string& root) {
        ASSERT_TRUE(MakeDirs(root + "/run/lock"));
        for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyUSB2"}) {
            char text[48];
            std::snprintf(text, sizeof text, "%10d minicom root\n", static_cast<int>(getpid()));
            ASSERT_TRUE(WriteFile(root + "/run/lock/LCK.." + node, text));
        }
    };
    lockFiles.check = [](const RunResult& r, const nlohmann::json& report, const Counters& c) {
        EXPECT_TRUE(Has(r.out, " (e2e_tests, lock file) (Find port failed!)\n")) << r.out;
        ExpectNothingReceived(r, report, c);
    };
    rows.push_back(lockFiles);

    OptionCase damaged{"CheckOfADamagedPackageIsNotReady", check};
    damaged.damaged = true;
    damaged.status = 3;
    damaged.result = "not-ready";
    damaged.message =
        "Not ready to update:\n  the package is invalid: File Checked failed! unit 8 ";
    damaged.check = [](const RunResult&, const nlohmann::json& report, const Counters&) {
        EXPECT_EQ(report["package"]["units"][8]["checked"], false);
        EXPECT_EQ(report["package"]["units"][7]["checked"], true);
    };
    rows.push_back(damaged);

    // A package this host would refuse: the check says why, and still
    // reaches the modem's information.
    OptionCase untrusted{"CheckOfAnUntrustedPackageIsNotReady", check};
    untrusted.signing = Signing::kSecondKey;
    untrusted.trustFirstKey = true;
    untrusted.status = 3;
    untrusted.result = "not-ready";
    untrusted.message = "Not ready to update:\n  the package is refused: it is signed by the key ";
    untrusted.check = [](const RunResult& r, const nlohmann::json& report, const Counters&) {
        EXPECT_TRUE(EndsWith(r.out, ", which this host does not trust\n")) << r.out;
        EXPECT_EQ(report["package"]["signature"]["state"], "unknown-key");
        EXPECT_EQ(report["package"]["signature"]["key_id"], TestKey(1).id);
        EXPECT_EQ(report["device"]["version_before"], "11.608.13.02.00");
    };
    rows.push_back(untrusted);

    OptionCase current{"CheckOfAModemAtTheTargetIsCurrent", check};
    current.device = AtTarget;
    current.status = 4;
    current.result = "current";
    current.message = "Already current: the modem runs 11.810.09.17.00.";
    rows.push_back(current);

    OptionCase crLf{"CheckOfAModemReportingTheTargetWithCrLfIsCurrent", check};
    crLf.device = [](modemsim::Options* o) { o->versionBefore = std::string(kTarget) + "\r\n"; };
    crLf.status = 4;
    crLf.result = "current";
    crLf.message = current.message;
    rows.push_back(crLf);

    OptionCase prefix{"CheckOfAModemReportingAPrefixOfTheTargetIsReady", check};
    prefix.device = [](modemsim::Options* o) { o->versionBefore = "11.810.09.17"; };
    prefix.result = "ready";
    prefix.message = "Ready to update: the modem runs 11.810.09.17, the package installs ";
    rows.push_back(prefix);

    OptionCase otherBoard{"CheckOfAnotherBoardAtTheTargetIsNotReady", check};
    otherBoard.device = OtherBoardAtTarget;
    otherBoard.status = 3;
    otherBoard.result = "not-ready";
    otherBoard.message =
        "Not ready to update:\n  the modem is a KORVEL QX99 board, the package is for KORVEL "
        "QM90W";
    otherBoard.check = [](const RunResult& r, const nlohmann::json&, const Counters& c) {
        EXPECT_TRUE(EndsWith(r.out, "the package is for KORVEL QM90W\n")) << r.out;
        EXPECT_EQ(c.controlResets, 1);
    };
    rows.push_back(otherBoard);

    OptionCase skip{"SkipIfCurrentEndsAfterTheDeviceInformation",
                    {"--skip-if-current", "--report", "report.json"}};
    skip.device = AtTarget;
    skip.resultWord = "TRUE";
    skip.result = "up-to-date";
    skip.message = "The modem already runs version 11.810.09.17.00.";
    skip.check = [](const RunResult& r, const nlohmann::json&, const Counters& c) {
        EXPECT_TRUE(Has(r.out, "The modem already runs version 11.810.09.17.00.\n")) << r.out;
        EXPECT_FALSE(Has(r.out, "Downloading programs")) << r.out;
        EXPECT_EQ(c.controlResets, 1);
    };
    rows.push_back(skip);

    // Not current: the update runs, and ends at the download's board check.
    OptionCase skipOther{"SkipIfCurrentOnAnotherBoardFailsAtTheBoardCheck",
                         {"--skip-if-current", "--report", "report.json"}};
    skipOther.device = OtherBoardAtTarget;
    skipOther.resultWord = "FALSE";
    skipOther.result = "failure";
    skipOther.errorCode = 17;
    skipOther.modemWritten = true;  // the backup and the switch
    skipOther.check = [](const RunResult& r, const nlohmann::json&, const Counters& c) {
        EXPECT_FALSE(Has(r.out, "The modem already runs version")) << r.out;
        EXPECT_EQ(c.backups, 1);
        EXPECT_EQ(c.downloadSwitches, 1);
        EXPECT_EQ(c.erases + c.blocks + c.ends, 0);
    };
    rows.push_back(skipOther);

    OptionCase reportSwallows{"ReportBeforeAnotherOptionIsRefused", {"--report", "--check"}};
    reportSwallows.status = 2;
    reportSwallows.usageError =
        "option --report takes a file name, not --check (name a file that begins with - as "
        "./--check)";
    rows.push_back(reportSwallows);

    OptionCase traceSwallows{"TraceBeforeAnotherOptionIsRefused", {"--trace", "--skip-if-current"}};
    traceSwallows.status = 2;
    traceSwallows.usageError =
        "option --trace takes a file name, not --skip-if-current (name a file that begins with - "
        "as ./--skip-if-current)";
    rows.push_back(traceSwallows);

    OptionCase success{"ReportOfAnUpdateWithOneBlockSentAgain",
                       {"--skip-if-current", "--report", "report.json"}};
    success.device = [](modemsim::Options* o) { o->faults.dropAck = {AckFault::kBlock, 2, false}; };
    success.resultWord = "TRUE";
    success.result = "success";
    success.message = "Update succeed!";
    success.modemWritten = true;
    success.check = [](const RunResult&, const nlohmann::json& report, const Counters&) {
        const nlohmann::json& device = report["device"];
        EXPECT_EQ(device["port"], "/dev/ttyUSB2");
        EXPECT_EQ(device["usb_path"], "1-1");
        EXPECT_EQ(device["version_before"], "11.608.13.02.00");
        EXPECT_EQ(device["version_after"], kTarget);
        EXPECT_EQ(device["imei"], kImei);
        EXPECT_EQ(device["download_mode"], false);
        std::vector<std::string> phases;
        for (const auto& phase : report["phases"]) {
            phases.push_back(phase["name"]);
            EXPECT_GE(phase["seconds"].get<double>(), 0.0);
        }
        EXPECT_EQ(phases, (std::vector<std::string>{"start-up", "search", "backup", "switch",
                                                    "download", "reset", "restore"}));
        // The restore waits 35 s (scaled) before it looks for the device.
        EXPECT_GE(report["phases"][6]["seconds"].get<double>(), 35 * 0.05);
        EXPECT_EQ(report["retries"]["blocks_resent"], 1);
        EXPECT_EQ(report["retries"]["passes"], 1);
        EXPECT_EQ(report["retries"]["resyncs"], 1);  // after the lost acknowledgement
        const nlohmann::json& units = report["package"]["units"];
        ASSERT_EQ(units.size(), std::size(kLayout));
        EXPECT_EQ(units[1]["type"], "0x00110000");
        EXPECT_EQ(units[1]["length"], 5000);
        for (const auto& unit : units)
            EXPECT_EQ(unit["checked"], true);
    };
    rows.push_back(success);

    OptionCase backup{"ReportOfARefusedBackup", {"--report", "report.json"}};
    backup.device = [](modemsim::Options* o) { o->faults.refuseBackup = 10; };
    backup.resultWord = "FALSE";
    backup.result = "failure";
    backup.errorCode = 14;
    backup.message = "Backup User's Data Failed!";
    backup.modemWritten = true;  // the backup orders
    rows.push_back(backup);

    OptionCase unwritable{"UnwritableReportIsOnlyAWarning",
                          {"--skip-if-current", "--report", "no-such-dir/report.json"}};
    unwritable.device = AtTarget;
    unwritable.resultWord = "TRUE";
    unwritable.reportWritten = false;
    rows.push_back(unwritable);

    const std::vector<std::string> records = {"--report", "report.json", "--trace", kTraceFile};
    const auto noUtf8 = [](modemsim::Options* o) { o->versionBefore = kNoUtf8Version; };
    const auto versionReplaced = [](const RunResult&, const nlohmann::json& report,
                                    const Counters&) {
        EXPECT_EQ(report["device"]["version_before"], kNoUtf8VersionInJson);
    };
    OptionCase noUtf8Update{"UpdateOfAVersionTextThatIsNoUtf8EndsAsUsual", records};
    noUtf8Update.device = noUtf8;
    noUtf8Update.resultWord = "TRUE";
    noUtf8Update.result = "success";
    noUtf8Update.message = "Update succeed!";
    noUtf8Update.modemWritten = true;
    noUtf8Update.check = versionReplaced;
    rows.push_back(noUtf8Update);

    OptionCase noUtf8Check{"CheckOfAVersionTextThatIsNoUtf8IsReady", records};
    noUtf8Check.args.insert(noUtf8Check.args.begin(), "--check");
    noUtf8Check.device = noUtf8;
    noUtf8Check.result = "ready";
    noUtf8Check.message = "Ready to update: the modem runs 11.608\xEF\xBF\xBD\xEF\xBF\xBD, the";
    noUtf8Check.check = versionReplaced;
    rows.push_back(noUtf8Check);

    OptionCase noModem{"UpdateWithoutAModemHasNoErrorCode", records};
    noModem.modem = false;
    noModem.status = 1;
    noModem.resultWord = "FALSE";
    noModem.result = "failure";
    noModem.message = "no modem was found";
    rows.push_back(noModem);

    OptionCase traceLink{"TraceThroughASymbolicLinkIsRefused", records};
    traceLink.args.insert(traceLink.args.begin(), "--skip-if-current");
    traceLink.device = AtTarget;
    traceLink.traceIsLink = true;
    traceLink.resultWord = "TRUE";
    traceLink.result = "up-to-date";
    traceLink.message = "The modem already runs version 11.810.09.17.00.";
    rows.push_back(traceLink);
    return rows;
}

class OptionRun : public UpdateRun, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionRun, EndsAsTheOptionsSay) {
    const OptionCase& c = GetParam();
    if ((c.signing != Signing::kUnsigned || c.trustFirstKey) && MinisignPath().empty())
        GTEST_SKIP() << "minisign is not installed (Debian package minisign)";
    MakeProgram(kIdentity, c.damaged, nullptr, c.signing);
    if (c.trustFirstKey) {
        ASSERT_TRUE(TrustKey(m_root, TestKey(0)));
    }
    const std::string linkTarget = m_tmp / "elsewhere.jsonl";
    const std::string earlierLines = "{\"t\":0.1,\"ev\":\"open\"}\n";
    if (c.traceIsLink) {
        ASSERT_TRUE(WriteFile(linkTarget, earlierLines));
        ASSERT_EQ(symlink(linkTarget.c_str(), (m_app + "/" + kTraceFile).c_str()), 0);
    }
    modemsim::Options options = SimOptions(std::atof(kScale));
    if (c.device != nullptr)
        c.device(&options);
    modemsim::ModemSim sim(options);
    std::string error;
    if (c.modem) {
        ASSERT_TRUE(sim.Start(&error)) << error;
    } else {
        ASSERT_TRUE(MakeRootTree(m_root));
        if (c.fakeProduct) {
            ASSERT_EQ(AddFakeProduct(m_root, 11).pcui, "ttyUSB2");
        }
    }
    if (c.prepare != nullptr)
        c.prepare(m_root);
    RunOptions run = Options(kScale);
    run.arguments = c.args;
    const RunResult r = RunProgram(run);
    ASSERT_TRUE(r.exited) << "signal " << r.termSignal;
    EXPECT_EQ(r.exitStatus, c.status) << r.out;
    if (c.usageError != nullptr) {
        // Refused before anything is done: no file, not a byte to the modem.
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
                  std::string("./") + kProgram + ": " + c.usageError);
        for (const std::string& file : {std::string(kLogFile), std::string(kResultFile), c.args[1]})
            EXPECT_FALSE(FileExists(m_app + "/" + file)) << file;
        for (const TraceEntry& e : sim.Trace())
            EXPECT_FALSE(e.received) << e.Line();
    }
    if (c.resultWord != nullptr) {
        EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord(c.resultWord));
    } else {
        EXPECT_FALSE(FileExists(m_app + "/" + kResultFile));
    }
    // Every end after the extraction removes both extracted files.
    EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
    EXPECT_FALSE(FileExists(m_app + "/" + kStringFile));
    EXPECT_EQ(r.leftoverProcesses, 0);
    EXPECT_TRUE(PortIsFree(m_port)) << "port " << m_port;
    if (c.usageError != nullptr)
        return;
    if (!c.reportWritten) {
        EXPECT_TRUE(Has(r.err,
                        "Warning: the report no-such-dir/report.json cannot be written "
                        "(No such file or directory).\n"))
            << r.err;
        EXPECT_FALSE(FileExists(m_app + "/no-such-dir"));
        return;
    }
    const std::string holders = c.holderHow == nullptr ? ""
                                                       : HolderLine("ttyUSB2", c.holderHow) +
                                                             HolderLine("ttyUSB1", c.holderHow) +
                                                             HolderLine("ttyUSB0", c.holderHow);
    const bool traced = std::find(c.args.begin(), c.args.end(), "--trace") != c.args.end();
    if (c.traceIsLink) {
        ExpectOnlyTestSettingsAnnounced(r.err, holders + std::string("Warning: the trace ") +
                                                   kTraceFile +
                                                   " cannot be written (it is a symbolic link).\n");
        EXPECT_EQ(ReadFile(linkTarget), earlierLines);
        struct stat link = {};
        EXPECT_TRUE(lstat((m_app + "/" + kTraceFile).c_str(), &link) == 0 && S_ISLNK(link.st_mode));
    } else {
        ExpectOnlyTestSettingsAnnounced(r.err, holders);
        if (traced)
            ExpectTraceEnds(ReadFile(m_app + "/" + kTraceFile), c.result, c.errorCode);
    }

    const nlohmann::json report =
        nlohmann::json::parse(ReadFile(m_app + "/report.json"), nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << ReadFile(m_app + "/report.json");
    EXPECT_EQ(report["schema"], 1);
    EXPECT_EQ(report["program"]["version"], "V100R001B003");
    EXPECT_EQ(report["package"]["identity"], kIdentity);
    EXPECT_EQ(report["package"]["target_version"], kTarget);
    EXPECT_EQ(report["package"]["sha256"], m_packageDigest);
    EXPECT_EQ(report["result"], c.result);
    if (c.errorCode < 0) {
        EXPECT_TRUE(report["error_code"].is_null()) << report["error_code"];
    } else {
        EXPECT_EQ(report["error_code"], c.errorCode);
    }
    EXPECT_TRUE(StartsWith(report["message"].get<std::string>(), c.message)) << report["message"];
    const std::string started = report["started"], ended = report["ended"];
    EXPECT_EQ(started.size(), 20u) << started;  // 2026-12-09T07:50:00Z
    EXPECT_EQ(started.back(), 'Z');
    EXPECT_LE(started, ended);

    const Counters counters = sim.GetSnapshot().counters;
    const int writes = counters.backups + counters.backupRefusals + counters.downloadSwitches +
                       counters.erases + counters.blocks;
    EXPECT_EQ(writes > 0, c.modemWritten) << writes;
    EXPECT_EQ(sim.Violations(), std::vector<std::string>());
    if (c.check != nullptr)
        c.check(r, report, counters);
}

INSTANTIATE_TEST_SUITE_P(Rows, OptionRun, ::testing::ValuesIn(OptionCases()),
                         [](const ::testing::TestParamInfo<OptionCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- A full file system -------------------------------------------------------

// Leaves the file system of dir 48 KiB above the trace's reserve, less than
// the run's trace needs, and only the two inodes the extracted package and
// the string file take: a new file beside them cannot be made.
void FillFileSystem(const std::string& dir) {
    struct statvfs fs = {};
    ASSERT_EQ(statvfs(dir.c_str(), &fs), 0);
    const unsigned long long free = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
    const unsigned long long leave = kTraceReserveBytes + 48 * 1024;
    ASSERT_GT(free, leave);
    ASSERT_TRUE(WriteFile(dir + "/filler", std::string(free - leave, '\0')));
    std::vector<std::string> empty;
    for (;;) {
        const std::string name = dir + "/inode" + std::to_string(empty.size());
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            ASSERT_EQ(errno, ENOSPC);
            break;
        }
        close(fd);
        empty.push_back(name);
    }
    ASSERT_GE(empty.size(), 2u);
    unlink(empty[0].c_str());
    unlink(empty[1].c_str());
}

// The program's directory on a small file system that the trace fills and
// that has no inode for a replacement file: the trace stops with one warning
// after a whole line, and the result file, overwritten in place at the start
// and at the end, holds what the console shows.
TEST_F(UpdateRun, FullFileSystemStopsTheTraceAndTheResultFileHoldsTheConsolesResult) {
    if (mount("tmpfs", m_app.c_str(), "tmpfs", 0, "size=32m,nr_inodes=64") != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted on the program's directory ("
                     << std::strerror(errno) << "): no file system to fill";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{m_app};
    // An earlier run's result file, log and trace.
    const std::string result = m_app + "/" + kResultFile;
    ASSERT_TRUE(WriteFile(result, ResultWord("FALSE")));
    ASSERT_TRUE(WriteFile(m_app + "/" + kLogFile, ""));
    ASSERT_TRUE(WriteFile(m_app + "/" + kTraceFile, ""));
    struct stat before = {}, after = {};
    ASSERT_EQ(stat(result.c_str(), &before), 0);
    RunExtras extras;
    extras.arguments = {"--trace", kTraceFile};
    extras.prepare = [](const std::string& root) {
        FillFileSystem(root.substr(0, root.rfind('/')) + "/app");
    };
    const Observed o = Update(kIdentity, SimOptions(1.0), kScale, 1, false, extras);
    ExpectNormalEnd(o.run, "TRUE",
                    std::string("Warning: the trace ") + kTraceFile +
                        " stops here (its file system is nearly full).\n");
    EXPECT_TRUE(Has(o.run.out, "Update succeed!\n")) << o.run.out;
    ASSERT_EQ(stat(result.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the result file was replaced, not overwritten";
    ExpectFlashed(o, m_units);
    const std::vector<nlohmann::json> lines = TraceLines(o.programTrace);
    ASSERT_FALSE(lines.empty());
    for (const nlohmann::json& line : lines)
        ASSERT_FALSE(line.is_discarded()) << o.programTrace;
    EXPECT_NE(lines.back().value("ev", ""), "end") << "the trace did not stop";
}

// ---- Record and replay ---------------------------------------------------------

// The frames with a good CRC of the program's --trace file, as "tx 41..." and
// "rx 02" (only the requests when txOnly); a line that is no JSON is kept as
// it is, so that it shows in a comparison.
std::vector<std::string> TracedFrames(const std::string& path, bool txOnly) {
    std::vector<std::string> frames;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.contains("ev")) {
            frames.push_back("unreadable: " + line);
            continue;
        }
        if (j["ev"] != "frame" || !j["crc_ok"].get<bool>() || (txOnly && j["dir"] != "tx"))
            continue;
        frames.push_back(j["dir"].get<std::string>() + " " + j["hex"].get<std::string>());
    }
    return frames;
}

// The stand-in's own trace in the same form (its rx is the program's tx).
std::vector<std::string> StandinFrames(const std::vector<TraceEntry>& trace) {
    std::vector<std::string> frames;
    for (const TraceEntry& e : trace) {
        if (e.kind != "flag" && e.kind != "noflag")
            continue;
        std::string hex;
        for (uint8_t b : e.bytes) {
            static const char kDigits[] = "0123456789abcdef";
            hex += kDigits[b >> 4];
            hex += kDigits[b & 0xF];
        }
        frames.push_back((e.received ? "tx " : "rx ") + hex);
    }
    return frames;
}

// A run with faults recorded by --trace, replayed against the same program
// file, then against a package with one byte changed in a block.
TEST_F(UpdateRun, TracedRunReplaysWithTheSameRequestsAndAChangedBlockIsABreach) {
    const std::string recorded = m_tmp / "recorded.jsonl";
    modemsim::Options faults = SimOptions(1.0);
    faults.faults.dropAck.target = AckFault::kBlock;  // the second block of unit 1
    faults.faults.dropAck.block = 2;
    faults.faults.badCrcCommand = 0x02;  // the first acknowledgement: unit 0's erase
    faults.faults.lineNoise = true;
    RunExtras extras;
    extras.arguments = {"--trace", recorded};
    const Observed o = Update(kIdentity, faults, kScale, 1, false, extras);
    ExpectNormalEnd(o.run, "TRUE");
    EXPECT_EQ(o.counters.droppedAcks, 1);
    const std::vector<std::string> requests = TracedFrames(recorded, true);
    EXPECT_EQ(TracedFrames(recorded, false), StandinFrames(o.trace));
    const std::string text = ReadFile(recorded);
    // The first line names the package a replay needs.
    const std::string digest = m_packageDigest;
    ASSERT_EQ(digest.size(), 64u) << digest;
    const std::string head = text.substr(0, text.find('\n'));
    EXPECT_TRUE(Has(head, std::string(R"("ev":"package","identity":")") + kIdentity +
                              R"(","sha256":")" + digest + "\"}"))
        << digest << "\n"
        << head;
    EXPECT_TRUE(Has(text, R"("dir":"rx","hex":"02","flag":true,"crc_ok":false)")) << text;
    EXPECT_TRUE(Has(text, R"("ev":"end","result":"success","error_code":null})"));

    const std::string replayed = m_tmp / "replayed.jsonl";
    modemsim::Options replay = SimOptions(1.0);
    replay.replayFile = recorded;
    extras.arguments = {"--trace", replayed};
    const Observed r = Update(kIdentity, replay, kScale, 0, false, extras);
    ExpectNormalEnd(r.run, "TRUE");
    EXPECT_EQ(r.breaches, std::vector<std::string>());
    EXPECT_EQ(TracedFrames(replayed, true), requests);
    EXPECT_EQ(r.replayMatched, requests.size());

    std::vector<PackageUnit> changed = PackageUnits();
    changed[1].data[4096] ^= 0x01;  // the first byte of unit 1's second block
    extras.arguments.clear();
    extras.units = &changed;
    const Observed b = Update(kIdentity, replay, kScale, 0, false, extras);
    ExpectNormalEnd(b.run, "FALSE");
    const auto first = std::find_if(requests.begin(), requests.end(), [](const std::string& q) {
        return q.compare(0, 13, "tx 4200000002") == 0;
    });
    ASSERT_NE(first, requests.end());
    ASSERT_EQ(b.breaches.size(), 1u);
    EXPECT_EQ(b.breaches[0].rfind("request " + std::to_string(first - requests.begin() + 1) +
                                      " (command 42) differs at offset ",
                                  0),
              0u)
        << b.breaches[0];
    EXPECT_LT(b.breaches[0].size(), 300u) << b.breaches[0];
}

// The support bundle takes the run's log, result, report and trace and the
// program file's --version and --info, and no other file of the directory.
TEST_F(UpdateRun, SupportBundleHoldsTheRunsFilesAndNothingElse) {
    MakeProgram(kIdentity);
    ASSERT_TRUE(WriteFile(m_app + "/" + kLogFile, "log\n"));
    ASSERT_TRUE(WriteFile(m_app + "/run.jsonl", "{\"t\":0.1,\"ev\":\"end\"}\n"));
    ASSERT_TRUE(WriteFile(m_app + "/report.json", "{\"schema\":1,\"program\":{}}\n"));
    ASSERT_TRUE(WriteFile(m_app + "/notes.txt", "private\n"));
    const std::string out = m_tmp / "out";
    ASSERT_TRUE(MakeDirs(out));
    const std::string script = std::string(FP_RECORDINGS_DIR) + "/../../scripts/support-bundle.sh";
    const ToolResult made =
        RunTool({"/bin/sh", "-c", "cd \"$0\" && sh \"$1\" \"$2\"", out, script, m_app});
    ASSERT_EQ(made.exitStatus, 0) << made.output;
    const std::string bundle = made.output.substr(0, made.output.find('\n'));
    const ToolResult listed = RunTool({"/bin/tar", "tzf", bundle});
    for (const char* file :
         {"files/KorvelFlashPilotLog.log", "files/run.jsonl", "files/report.json", "program.txt",
          "sysfs/option.txt", "serial-nodes.txt", "modemmanager.txt", "kernel.txt"})
        EXPECT_TRUE(Has(listed.output, std::string("flashpilot-support/") + file)) << file;
    EXPECT_FALSE(Has(listed.output, "notes.txt")) << listed.output;
    const ToolResult program =
        RunTool({"/bin/tar", "xzf", bundle, "-O", "flashpilot-support/program.txt"});
    EXPECT_TRUE(Has(program.output, std::string("target version ") + kTarget)) << program.output;
    const std::string digest = m_packageDigest;
    EXPECT_TRUE(Has(program.output, "\nsha256 " + digest + "\n")) << digest << program.output;
}

// Every recording under tests/recordings/ (a program --trace file of a run
// with this file's package) replays to its recorded end, request for request.
TEST_F(UpdateRun, RecordingsReplayToTheirRecordedEnd) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(FP_RECORDINGS_DIR)) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 6 && name.compare(name.size() - 6, 6, ".jsonl") == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 3u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = std::string(FP_RECORDINGS_DIR) + "/" + name;
        const std::string text = ReadFile(path);
        modemsim::Options replay = SimOptions(1.0);
        replay.replayFile = path;
        const Observed r = Update(kIdentity, replay, kScale, 0);
        ExpectNormalEnd(r.run, Has(text, R"("ev":"end","result":"success")") ? "TRUE" : "FALSE");
        EXPECT_EQ(r.breaches, std::vector<std::string>());
        EXPECT_EQ(r.replayMatched, TracedFrames(path, true).size());
        RemoveTree(m_app);
        ASSERT_TRUE(MakeDirs(m_app));
    }
}

}  // namespace
