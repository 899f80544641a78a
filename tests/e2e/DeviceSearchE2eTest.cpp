// The real program binary through the failures of the device search: the
// search screen, the result screens, what reached the device, and the
// companion process stopped at the start of the search. A search that succeeds
// is followed through the whole update in UpdateE2eTest.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "E2eFixture.h"
#include "E2eScreens.h"
#include "E2eSupport.h"

namespace {

using namespace e2e;

// Scale of the runs whose outcome is a search limit.
const char kLimitScale[] = "0.02";

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

class DeviceSearchRun : public DeviceRunTest {
protected:
    DeviceSearchRun() : DeviceRunTest("fp-search") {}

    void SetUp() override {
        DeviceRunTest::SetUp();
        if (HasFatalFailure())
            return;
        std::string error;
        ASSERT_TRUE(MakeProgramFile(m_app, kProgram, "V001:QM90W:11.810.09.17.00", SmallUnits(),
                                    nullptr, &error))
            << error;
    }
};

// ---- Search failures -----------------------------------------------------------

TEST_F(DeviceSearchRun, NodeThatCannotBeOpenedEndsWithFindPortFailed) {
    // The option tree names the device's ports, but no node exists, neither
    // the named ones nor ttyUSB0..2.
    ASSERT_TRUE(MakeRootTree(m_root));
    FakePorts ports = AddFakeProduct(m_root, 11);
    ASSERT_EQ(ports.pcui, "ttyUSB2");

    RunResult r = Run(kLimitScale);
    ExpectNormalEnd(r, "FALSE");

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
    ExpectNormalEnd(r, "FALSE");

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

TEST_F(DeviceSearchRun, UnprivilegedUserIsToldTheReasonAndTheRemedyOnce) {
    // The stand-in's terminals belong to root with mode 0600; the program
    // runs as nobody, in a directory it may write.
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chmod(m_tmp.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(m_app.c_str(), 0777), 0);
    modemsim::ModemSim sim(SimOptions(std::atof(kLimitScale)));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    for (const char* role : {"modem", "diag", "pcui"})
        ASSERT_EQ(chmod(sim.DevPath(role).c_str(), 0600), 0) << role;

    RunOptions options = Options(kLimitScale);
    options.uid = nobody->pw_uid;
    options.gid = nobody->pw_gid;
    RunResult r = RunProgram(options);
    ASSERT_FALSE(r.timedOut);
    const std::string told =
        "Cannot open /dev/ttyUSB2: Permission denied. Run as root, or add the user to the group "
        "that owns the port (ls -l /dev/ttyUSB2).\n";
    ExpectNormalEnd(r, "FALSE", told);
    EXPECT_EQ(Count(r.out, told), 1u) << r.out;
    EXPECT_TRUE(EndsWith(r.out, ResultPathLine() + SearchFailedScreen("Find port failed!")))
        << r.out;
    // Every failed open is logged with its reason; nothing reached the device.
    const std::string log = Log();
    EXPECT_EQ(Count(log, " -- CSerialPort::Open error\n"),
              Count(log, " -- CSerialPort::Open /dev/ttyUSB"));
    EXPECT_GE(Count(log, ": Permission denied\n"), 10u) << log;
    EXPECT_EQ(sim.GetSnapshot().counters.framesIn + sim.GetSnapshot().counters.atLines, 0);
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
    ExpectNormalEnd(r, "FALSE");

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

// A check leaves the host as it found it: the last update's log goes on, the
// companion keeps running. The program logs before it signals a companion it
// has found; the companion runs from before the start, so a listing finds it.
// (Whether it still runs afterwards is not asked: another program on this
// machine, such as a parallel test run, may stop it.)
TEST_F(DeviceSearchRun, CheckLeavesTheCompanionAndTheProgramLogAlone) {
    Companion companion;
    ASSERT_TRUE(companion.Start());
    const std::string earlier = "Thu Dec 10 00:00:00 2026 -- Update succeed!\n";
    ASSERT_TRUE(WriteFile(m_app + "/" + kLogFile, earlier));

    ASSERT_TRUE(MakeRootTree(m_root));
    AddFakeProduct(m_root, 11);
    RunOptions options = Options(kLimitScale);
    options.arguments = {"--check"};
    const RunResult r = RunProgram(options);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 3) << r.out;  // no modem answers on the fake tree

    const std::string log = Log();
    EXPECT_EQ(log.compare(0, earlier.size(), earlier), 0) << log;
    EXPECT_TRUE(Has(log, " -- Begin search device.\n")) << log;
    EXPECT_FALSE(Has(log, "KVActivator")) << log;
}

}  // namespace
