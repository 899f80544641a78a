// The real program binary through the device search against the modem
// stand-in: the search screen, the device information screen, the interim end
// of a run ("Update failed!"), the failures of the search, the requests the
// device receives and the companion process stopped at the start of the search.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "E2eFixture.h"
#include "E2eSupport.h"
#include "ModemSim.h"

namespace {

using namespace e2e;

const char kProgram[] = "FlashPilotUpdate";
const char kIdentity[] = "V001:QM90W:11.810.09.17.00";
const char kTargetVersion[] = "11.810.09.17.00";

// Scale of a run against a device that answers: the board check needs a
// fraction of the search's tick limit even on a loaded machine.
const char kAnsweringScale[] = "0.05";
constexpr double kAnsweringScaleValue = 0.05;
// Scale of the runs whose outcome is a search limit.
const char kLimitScale[] = "0.02";

const std::string kRule(40, '-');

// The three animation frames, in the order they follow each other.
const char* const kFrames[3] = {
    "> >> >> >> >> >> >> >> >> >> >> >> >> >>",
    ">> >> >> >> >> >> >> >> >> >> >> >> >> >",
    " >> >> >> >> >> >> >> >> >> >> >> >> >> ",
};

// The banner for the soft type firmware and the board type QM90W, written out
// rather than computed: a title 72 characters wide framed by 72 asterisks.
const char kTitle[] = "*     Welcome to firmware FlashPilot V100R001B003 program! (QM90W)     *\n";
static_assert(sizeof kTitle == 72 + 2, "72 characters, the newline and the terminator");

std::string Banner() {
    const std::string border = std::string(72, '*') + "\n";
    const std::string inner = "*" + std::string(70, ' ') + "*\n";
    return "\n" + border + inner + kTitle + inner + border;
}

std::string SearchHeader() {
    return kRule + "\n          Searching device\n" + kRule + "\nBegin search device...\n";
}

std::string DeviceInfoScreen(const std::vector<std::string>& rows) {
    return Banner() + "\n" + kRule + "\n           Device Information\n" + kRule + "\n\n\n" +
           "Communication port : " + rows[0] + "\n" + "    Connect status : " + rows[1] + "\n" +
           "   Current version : " + rows[2] + "\n" + "    Target version : " + rows[3] + "\n" +
           "              IMEI : " + rows[4] + "\n" + "     Download Mode : " + rows[5] + "\n" +
           kRule + "\n";
}

std::string DownloadReadyScreen() {
    return kRule + "\n         Downloading programs\n" + kRule + "\n\n\n" +
           "Backup User's Data Start,Please Wait...\n" + std::string(100, '.') + "0%\n";
}

std::string UpdateFailedScreen(const std::string& version, const std::string& imei) {
    return Banner() + kRule + "\n                Result\n" + kRule + "\n\n\n" +
           "                Update failed!\n" + "Current Version : " + version + "\n" +
           "           IMEI : " + imei + "\n" + kRule + "\n";
}

std::string SearchFailedScreen(const std::string& text) {
    return Banner() + kRule + "\n                Result\n" + kRule + "\n\n\n" + "                " +
           text + "\n" + kRule + "\n" + "\nEnter/Space:Quit the program !!\n\n";
}

std::string FalseResult() {
    return std::string("FALSE") + std::string(59, '\0');
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool StartsWith(const std::string& text, const std::string& head) {
    return text.compare(0, head.size(), head) == 0;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The console output from the search header on: the header once, then the
// animation frames each written as "\r" frame "\r" in cycle order, then the
// screens that follow.
struct SearchOutput {
    bool headerFound = false;
    int frames = 0;
    std::string problem;  // the first thing out of place, empty when none
    std::string rest;     // everything after the last frame
};

SearchOutput ParseSearch(const std::string& out) {
    SearchOutput parsed;
    const std::string header = SearchHeader();
    size_t at = out.find(header);
    if (at == std::string::npos)
        return parsed;
    parsed.headerFound = true;
    if (out.find(header, at + 1) != std::string::npos)
        parsed.problem = "the search header is printed more than once";
    at += header.size();
    for (;;) {
        const std::string frame = std::string("\r") + kFrames[parsed.frames % 3] + "\r";
        if (out.compare(at, frame.size(), frame) != 0)
            break;
        at += frame.size();
        ++parsed.frames;
    }
    parsed.rest = out.substr(at);
    if (parsed.problem.empty() && Has(parsed.rest, std::string("\r") + kFrames[0]))
        parsed.problem = "a frame out of cycle order or mixed with other output";
    return parsed;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char cell[4];
    for (uint8_t b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X", b);
        if (!text.empty())
            text += ' ';
        text += cell;
    }
    return text;
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// What the device received, one entry per frame as "<kind> <hex bytes>";
// consecutive raw chunks are joined, since how a line is split into reads
// is not the program's business. Every entry must be on node.
std::vector<std::string> Requests(const std::vector<modemsim::TraceEntry>& trace,
                                  const std::string& node, std::string* elsewhere) {
    std::vector<std::string> requests;
    std::vector<uint8_t> raw;
    auto flushRaw = [&]() {
        if (!raw.empty())
            requests.push_back("raw " + Hex(raw));
        raw.clear();
    };
    for (const modemsim::TraceEntry& entry : trace) {
        if (!entry.received)
            continue;
        if (entry.node != node && elsewhere->empty())
            *elsewhere = entry.Line();
        if (entry.kind == "raw") {
            raw.insert(raw.end(), entry.bytes.begin(), entry.bytes.end());
            continue;
        }
        flushRaw();
        requests.push_back(entry.kind + " " + Hex(entry.bytes));
    }
    flushRaw();
    return requests;
}

// Waits until the process pid (a child of this process) has ended, at most
// timeoutMs, sleeping in the kernel; true with *status when it ended.
bool WaitForChild(pid_t pid, int timeoutMs, int* status) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        return waitpid(pid, status, WNOHANG) == pid;
    pollfd p = {pidfd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    close(pidfd);
    return rc > 0 && waitpid(pid, status, 0) == pid;
}

class DeviceSearchRun : public ProgramDirTest {
protected:
    DeviceSearchRun() : ProgramDirTest("fp-search") {}

    void SetUp() override {
        ProgramDirTest::SetUp();
        if (HasFatalFailure())
            return;
        std::string error;
        ASSERT_TRUE(MakeProgramFile(m_app, kProgram, kIdentity, SmallUnits(), nullptr, &error))
            << error;
    }

    RunResult Run(const std::string& timeScale) {
        RunOptions options;
        options.workDir = m_app;
        options.command = std::string("./") + kProgram;
        options.root = m_root;
        options.guardPort = m_port;
        options.timeScale = timeScale;
        options.timeoutMs = 120000;
        RunResult r = RunProgram(options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut) << r.out;
        return r;
    }

    // A normal end: exit 0, the result file "FALSE", the two extracted files
    // removed, no listener child left behind, nothing on standard error and
    // no terminal control bytes in the captured output.
    void ExpectFailedEnd(const RunResult& r) {
        ASSERT_TRUE(r.exited) << "signal " << r.termSignal;
        EXPECT_EQ(r.exitStatus, 0) << r.out;
        EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), FalseResult());
        EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
        EXPECT_FALSE(FileExists(m_app + "/" + kStringFile));
        EXPECT_TRUE(FileExists(m_app + "/" + kProgram));
        EXPECT_EQ(r.leftoverProcesses, 0);
        EXPECT_TRUE(PortIsFree(m_port)) << "port " << m_port;
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(Has(r.out, "\x1b")) << "escape sequence in captured output";
    }

    // The line the result file's writer prints before a result screen.
    std::string ResultPathLine() const {
        return "Result path = " + m_app + "/" + kResultFile + "\n";
    }

    std::string Log() const { return ReadFile(m_app + "/" + kLogFile); }

    modemsim::Options SimOptions(double scale) const {
        modemsim::Options options;
        options.root = m_root;
        options.timeScale = scale;
        return options;
    }
};

// ---- A device that answers ---------------------------------------------------

TEST_F(DeviceSearchRun, NormalDeviceShowsItsInformationThenTheInterimFailure) {
    modemsim::ModemSim sim(SimOptions(kAnsweringScaleValue));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    const std::string pcui = sim.DevPath("pcui");
    ASSERT_EQ(pcui, m_root + "/dev/ttyUSB2");

    RunResult r = Run(kAnsweringScale);
    ExpectFailedEnd(r);

    SearchOutput search = ParseSearch(r.out);
    ASSERT_TRUE(search.headerFound) << r.out;
    EXPECT_EQ(search.problem, "") << r.out;
    // Two frames when the search begins, "Finding port..." and "Find port
    // succeed!" on the first tick, then one per tick until the information
    // is there.
    EXPECT_GE(search.frames, 4);
    EXPECT_LT(search.frames, 2 + 201) << "the search ran into its limit";

    const std::string info =
        DeviceInfoScreen({"/dev/ttyUSB2", "connected", "11.608.13.02.00", kTargetVersion,
                          "861234567890123", "Normal Download"});
    EXPECT_TRUE(StartsWith(search.rest, info + DownloadReadyScreen())) << search.rest;
    EXPECT_TRUE(EndsWith(search.rest,
                         ResultPathLine() + UpdateFailedScreen(kTargetVersion, "861234567890123")))
        << search.rest;
    // The banner shows twice: above the device information and the result.
    EXPECT_EQ(Count(r.out, Banner()), 2u) << r.out;
    EXPECT_EQ(Count(r.out, "Update failed!"), 1u) << r.out;

    // The device was found, so the end of the run takes it offline and resets
    // it; the reset reboots it.
    ASSERT_TRUE(sim.WaitUntil(
        [](const modemsim::Snapshot& s) { return s.counters.controlResets >= 1; }, 20000));
    std::string elsewhere;
    const std::vector<std::string> requests = Requests(sim.Trace(), "ttyUSB2", &elsewhere);
    EXPECT_EQ(elsewhere, "") << "a request on another node";
    const std::vector<std::string> expected = {
        // The port is switched to the diagnostic protocol once, by the search.
        "raw " + Hex(Bytes("AT$QCDMG\r\nAT^DISLOG=255\r\n")),
        // Download-mode probe with an opening flag, unanswered in normal mode.
        "flag 0C",
        "flag 0C",
        "flag 0C",
        // Firmware version, answered at once.
        "noflag 4B C9 03 FF",
        // NV read of item 550 (the IMEI): 133 bytes.
        "noflag 26 26 02 " + Hex(std::vector<uint8_t>(130, 0)),
        // Offline, then reset.
        "noflag 29 01 00",
        "noflag 29 02 00",
    };
    EXPECT_EQ(requests, expected);
    const modemsim::Counters counters = sim.GetSnapshot().counters;
    EXPECT_EQ(counters.controlResets, 1);
    EXPECT_EQ(counters.lastControlMode, 2);
    EXPECT_EQ(counters.nvReads, 1);
    EXPECT_EQ(counters.badFramesIn, 0);

    const std::string log = Log();
    EXPECT_TRUE(Has(log, " -- Begin search device.\n")) << log;
    EXPECT_TRUE(Has(log, " -- Original IMEI : 861234567890123\n")) << log;
    EXPECT_EQ(Count(log, " -- Read download mode failed.\n"), 3u) << log;
    EXPECT_FALSE(Has(log, "OFFLINE failed")) << log;
}

TEST_F(DeviceSearchRun, DeviceInDownloadModeIsForcedWithoutVersionOrImei) {
    modemsim::Options options = SimOptions(kAnsweringScaleValue);
    options.faults.startInDownload = true;
    modemsim::ModemSim sim(options);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    ASSERT_EQ(sim.CurrentMode(), modemsim::Mode::kDownload);
    const std::string pcui = sim.DevPath("pcui");
    const std::string node = pcui.substr(pcui.rfind('/') + 1);
    ASSERT_EQ(pcui, m_root + "/dev/" + node);

    RunResult r = Run(kAnsweringScale);
    ExpectFailedEnd(r);

    SearchOutput search = ParseSearch(r.out);
    ASSERT_TRUE(search.headerFound) << r.out;
    EXPECT_EQ(search.problem, "") << r.out;
    EXPECT_GE(search.frames, 4);
    EXPECT_LT(search.frames, 2 + 201) << "the search ran into its limit";
    const std::string info = DeviceInfoScreen(
        {"/dev/" + node, "connected", "", kTargetVersion, "ERROR_IMEI", "Force Download"});
    EXPECT_TRUE(StartsWith(search.rest, info + DownloadReadyScreen())) << search.rest;
    EXPECT_TRUE(
        EndsWith(search.rest, ResultPathLine() + UpdateFailedScreen(kTargetVersion, "ERROR_IMEI")))
        << search.rest;

    // The boot loader answers the probe and the version query in download
    // mode, so no firmware version and no IMEI are asked for. At the end the
    // found device is to be taken offline; the boot loader refuses that
    // (03 29), so no reset follows.
    ASSERT_TRUE(
        sim.WaitUntil([](const modemsim::Snapshot& s) { return s.counters.framesIn >= 3; }, 20000));
    std::string elsewhere;
    const std::vector<std::string> requests = Requests(sim.Trace(), node, &elsewhere);
    EXPECT_EQ(elsewhere, "");
    const std::vector<std::string> expected = {
        "raw " + Hex(Bytes("AT$QCDMG\r\nAT^DISLOG=255\r\n")),
        "flag 0C",
        "flag 46",
        "noflag 29 01 00",
    };
    EXPECT_EQ(requests, expected);
    EXPECT_EQ(sim.GetSnapshot().counters.nvReads, 0);
    EXPECT_EQ(sim.GetSnapshot().counters.controlResets, 0);
    const std::string log = Log();
    EXPECT_TRUE(Has(log, " -- Read the version in force mode SUCCESS.\n")) << log;
    EXPECT_TRUE(Has(log, " -- Set data card OFFLINE failed\n")) << log;
    EXPECT_FALSE(Has(log, "Original IMEI")) << log;
}

// ---- Search failures -----------------------------------------------------------

TEST_F(DeviceSearchRun, NodeThatCannotBeOpenedEndsWithFindPortFailed) {
    // The option tree names the device's ports, but no node exists, neither
    // the named ones nor ttyUSB0..2.
    ASSERT_TRUE(MakeRootTree(m_root));
    FakePorts ports = AddFakeProduct(m_root, 11);
    ASSERT_EQ(ports.pcui, "ttyUSB2");

    RunResult r = Run(kLimitScale);
    ExpectFailedEnd(r);

    SearchOutput search = ParseSearch(r.out);
    ASSERT_TRUE(search.headerFound) << r.out;
    EXPECT_EQ(search.problem, "") << r.out;
    // Two frames when the search begins, then one "Finding port..." per tick.
    EXPECT_EQ(search.frames, 2 + 10);
    EXPECT_EQ(search.rest, ResultPathLine() + SearchFailedScreen("Find port failed!"));

    // One port finding per tick.
    const std::string log = Log();
    EXPECT_EQ(Count(log, " -- The driver tool has been installed!\n"), 10u) << log;
    EXPECT_FALSE(Has(log, "Begin query device information")) << log;
}

TEST_F(DeviceSearchRun, SilentDeviceEndsWithGetDeviceInformationFailed) {
    // A terminal that nobody answers on, under the PCUI node's name.
    ASSERT_TRUE(MakeRootTree(m_root));
    FakePorts ports = AddFakeProduct(m_root, 11);
    ASSERT_EQ(ports.pcui, "ttyUSB2");
    int master = -1, slave = -1;
    char slaveName[256] = {};
    ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
    // The slave stays open here, so the program's closes never hang up the
    // terminal and what it wrote can be read from the master afterwards.
    ASSERT_EQ(symlink(slaveName, (m_root + "/dev/ttyUSB2").c_str()), 0);

    RunResult r = Run(kLimitScale);
    ExpectFailedEnd(r);

    SearchOutput search = ParseSearch(r.out);
    ASSERT_TRUE(search.headerFound) << r.out;
    EXPECT_EQ(search.problem, "") << r.out;
    // Two frames when the search begins, "Finding port..." and "Find port
    // succeed!" on the first tick, "Getting device information..." on ticks
    // 2 to 201.
    EXPECT_EQ(search.frames, 2 + 2 + 200);
    EXPECT_EQ(search.rest, ResultPathLine() + SearchFailedScreen("Get device information failed!"));

    const std::string log = Log();
    EXPECT_EQ(Count(log, " -- The driver tool has been installed!\n"), 1u) << log;
    EXPECT_TRUE(Has(log, " -- Begin query device information.\n")) << log;
    EXPECT_EQ(Count(log, " -- Read download mode failed.\n"), 3u) << log;
    EXPECT_TRUE(Has(log, " -- Read the firmware version FAILED 1 times.\n")) << log;
    // Nobody was found, so nobody is reset at the end.
    EXPECT_FALSE(Has(log, "OFFLINE")) << log;

    // What reached the terminal: the switch to the diagnostic protocol, the
    // framed download-mode probe with its opening flag and the version query
    // without one, each closed by a flag after its CRC.
    std::string written;
    ASSERT_EQ(fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK), 0);
    char chunk[4096];
    for (;;) {
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0)
            break;
        written.append(chunk, static_cast<size_t>(n));
    }
    close(slave);
    close(master);
    const std::string probe = "\x7e\x0c\x14\x3a\x7e";
    const std::string version = "\x4b\xc9\x03\xff\xe8\x99\x7e";
    EXPECT_TRUE(StartsWith(
        written, "AT$QCDMG\r\nAT^DISLOG=255\r\n" + probe + probe + probe + version + version))
        << Hex(Bytes(written));
    EXPECT_EQ(Count(written, "AT$QCDMG\r\n"), 1u);
    EXPECT_EQ(Count(written, probe), 3u);
    EXPECT_GE(Count(written, version), 2u);
}

// ---- The companion process ------------------------------------------------------

// A copy of sleep named KVActivator under a short directory of /tmp (the
// listing the program reads shows only the start of the command line),
// running as a child of the test. Whatever happens to the test, the process is
// ended by its id and reaped, and the directory removed.
class Companion {
public:
    Companion() {
        char dirTemplate[] = "/tmp/kvXXXXXX";
        if (mkdtemp(dirTemplate) == nullptr)
            return;
        m_dir = dirTemplate;
        m_path = m_dir + "/KVActivator";
    }
    ~Companion() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (!m_dir.empty())
            RemoveTree(m_dir);
    }
    Companion(const Companion&) = delete;
    Companion& operator=(const Companion&) = delete;

    const std::string& Path() const { return m_path; }
    pid_t Pid() const { return m_pid; }

    // Starts it; returns once it runs under its own name: the pipe's write
    // end closes on exec, so end of file on the read end marks that moment.
    bool Start() {
        std::string image;
        if (m_path.empty() || !ReadFile("/bin/sleep", &image) || !WriteFile(m_path, image) ||
            chmod(m_path.c_str(), 0755) != 0)
            return false;
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return false;
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            execl(m_path.c_str(), m_path.c_str(), "300", static_cast<char*>(nullptr));
            char failed = 1;
            (void)!write(ready[1], &failed, 1);
            _exit(127);
        }
        close(ready[1]);
        if (pid < 0) {
            close(ready[0]);
            return false;
        }
        m_pid = pid;
        char byte;
        ssize_t n;
        do {
            n = read(ready[0], &byte, 1);
        } while (n < 0 && errno == EINTR);
        close(ready[0]);
        return n == 0;
    }

    // Waits until it has ended, at most timeoutMs; true with its wait status.
    bool WaitEnded(int timeoutMs, int* status) {
        if (m_pid <= 0 || !WaitForChild(m_pid, timeoutMs, status))
            return false;
        m_pid = -1;
        return true;
    }

private:
    std::string m_dir, m_path;
    pid_t m_pid = -1;
};

TEST_F(DeviceSearchRun, CompanionProcessIsStoppedAndItsPathLogged) {
    Companion companion;
    ASSERT_TRUE(companion.Start());
    const pid_t pid = companion.Pid();

    ASSERT_TRUE(MakeRootTree(m_root));
    AddFakeProduct(m_root, 11);
    RunResult r = Run(kLimitScale);
    ExpectFailedEnd(r);

    int status = 0;
    ASSERT_TRUE(companion.WaitEnded(10000, &status)) << "the companion still runs";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    const std::string log = Log();
    EXPECT_TRUE(Has(log, " -- Kill KVActivator\n")) << log;
    EXPECT_TRUE(Has(log, " -- KVActivator_PID = " + std::to_string(pid))) << log;
    EXPECT_TRUE(Has(log, " -- " + companion.Path())) << log;
    // Stopped before the search began.
    EXPECT_LT(log.find("Kill KVActivator"), log.find("Begin search device.")) << log;
}

}  // namespace
