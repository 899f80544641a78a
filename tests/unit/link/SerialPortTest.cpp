#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "HOST_NetPort.h"
#include "LinkTestSupport.h"
#include "PortClaim.h"
#include "TestSeams.h"

namespace {

using linktest::Bytes;
using linktest::Clock;
using linktest::ElapsedMs;
using linktest::LogCapture;
using linktest::Pty;

std::string Path(const Pty& pty) {
    return pty.name();
}

// Opens port on the slave side of pty.
bool OpenOn(CSerialPort& port, const Pty& pty) {
    std::string path = Path(pty);
    return port.Open(&path[0]) == TRUE;
}

TEST(SerialPortOpen, RefusesEmptyPathMissingNodeAndNonTerminal) {
    LogCapture log;
    CSerialPort port;
    char empty[] = "";
    EXPECT_FALSE(port.Open(empty));
    EXPECT_EQ(log.Count("CSerialPort::Open --> Path error\n"), 1);

    char missing[] = "/dev/ttyUSB_fp_no_such_node";
    EXPECT_FALSE(port.Open(missing));
    EXPECT_EQ(log.Count("CSerialPort::Open error\n"), 1);

    std::string file = log.dir() + "/plain-file";
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(port.Open(&file[0]));
    EXPECT_EQ(log.Count("CSerialPort::Open error\n"), 1);  // opened, but no terminal
    std::remove(file.c_str());

    // None of the failures left a descriptor behind: a real terminal still opens.
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(OpenOn(port, pty));
    BYTE probe[] = {0x55};
    EXPECT_TRUE(port.Write(probe, 1));
    EXPECT_EQ(pty.Receive(1, 1000), Bytes({0x55}));
    EXPECT_EQ(port.GetLastError(), 0u);
}

TEST(SerialPortOpen, ConfiguresRawLineAt115200AndSecondOpenChangesNothing) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    termios cooked{};
    ASSERT_EQ(tcgetattr(pty.slave(), &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST;
    cfsetispeed(&cooked, B9600);
    cfsetospeed(&cooked, B9600);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &cooked), 0);

    CSerialPort port;
    ASSERT_TRUE(OpenOn(port, pty));
    EXPECT_TRUE(port.BeginListenCommEvent());
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | HUPCL), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP | INLCR | IGNCR | BRKINT | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 150);

    // A second Open of the open port returns at once and leaves the line alone.
    t.c_cc[VTIME] = 7;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);
    EXPECT_TRUE(OpenOn(port, pty));
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(after.c_cc[VTIME], 7);
}

TEST(SerialPortIo, WritesAllBytesAndReadsExactCountAcrossPieces) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CSerialPort port;
    ASSERT_TRUE(OpenOn(port, pty));

    // Control characters and the flag byte go through untouched (raw line).
    BYTE out[] = {'A', 'T', '\r', '\n', 0x7E, 0x00, 0x11, 0x13, 0x03};
    ASSERT_TRUE(port.Write(out, sizeof(out)));
    EXPECT_EQ(pty.Receive(sizeof(out), 1000), Bytes(out, out + sizeof(out)));

    std::atomic<bool> done{false};
    BYTE in[4] = {0};
    DWORD got = 0;
    BOOL result = FALSE;
    std::thread reader([&] {
        result = port.Read(in, 4, &got);
        done = true;
    });
    ASSERT_TRUE(pty.Send({0x0D, 0x0A}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());  // two of four bytes: still waiting
    ASSERT_TRUE(pty.Send({0x03, 0x7E}));
    reader.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(Bytes(in, in + 4), Bytes({0x0D, 0x0A, 0x03, 0x7E}));

    BYTE big[4096];
    EXPECT_FALSE(port.Read(big, 2049, &got));  // over the 2,048-byte bound

    // ReadSome takes what has arrived, up to its bound, in one call.
    ASSERT_TRUE(pty.Send({1, 2, 3, 4, 5, 6}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(port.ReadSome(big, 4, &got));
    EXPECT_EQ(Bytes(big, big + got), Bytes({1, 2, 3, 4}));
    ASSERT_TRUE(port.ReadSome(big, 2048, &got));
    EXPECT_EQ(Bytes(big, big + got), Bytes({5, 6}));
    EXPECT_FALSE(port.ReadSome(big, 2049, &got));
    EXPECT_FALSE(port.ReadSome(big, 0, &got));
}

TEST(SerialPortIo, PurgeEndsBlockedReadAndQueuedDataIsStillDelivered) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CSerialPort port;
    ASSERT_TRUE(OpenOn(port, pty));

    std::atomic<long> endedAfter{-1};
    BOOL result = TRUE;
    Clock::time_point start = Clock::now();
    std::thread reader([&] {
        BYTE b = 0;
        DWORD got = 0xDEAD;
        result = port.Read(&b, 1, &got);
        endedAfter = ElapsedMs(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(endedAfter.load(), -1);  // blocked on the idle line
    Clock::time_point purged = Clock::now();
    EXPECT_TRUE(port.Purge());
    reader.join();
    EXPECT_FALSE(result);
    EXPECT_LT(ElapsedMs(purged), 500);
    EXPECT_FALSE(port.BeginListenCommEvent());

    // Not listening any more: nothing queued fails at once, queued data is read.
    BYTE buf[3] = {0};
    DWORD got = 0xDEAD;
    Clock::time_point idle = Clock::now();
    EXPECT_FALSE(port.Read(buf, 1, &got));
    EXPECT_EQ(got, 0xDEADu);  // no count stored
    EXPECT_LT(ElapsedMs(idle), 200);

    ASSERT_TRUE(pty.Send({0x26, 0x01, 0x02}));
    for (int i = 0; i < 200 && port.GetAvailableDataLen() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(port.GetAvailableDataLen(), 3);
    EXPECT_FALSE(port.Read(buf, 4, &got));  // more than queued: fails, keeps the bytes
    EXPECT_TRUE(port.Read(buf, 3, &got));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(Bytes(buf, buf + 3), Bytes({0x26, 0x01, 0x02}));
}

long ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<long>(ts.tv_sec) * 1000L + ts.tv_nsec / 1000000L;
}

TEST(SerialPortIo, WaitingReadSleepsInTheKernelAndLetsTheWriterIn) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CSerialPort port;
    ASSERT_TRUE(OpenOn(port, pty));
    std::atomic<long> cpuMs{-1};
    BYTE in = 0;
    BOOL result = FALSE;
    std::thread reader([&] {
        long before = ThreadCpuMs();
        result = port.Read(&in, 1, nullptr);
        cpuMs = ThreadCpuMs() - before;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The waiting reader does not hold the port lock: a write goes out at once.
    BYTE out[] = {0x4B, 0x0E};
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(port.Write(out, 2));
    EXPECT_LT(ElapsedMs(start), 200);
    EXPECT_EQ(pty.Receive(2, 1000), Bytes({0x4B, 0x0E}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(pty.Send({0x5A}));
    reader.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(in, 0x5A);
    // About 400 ms of waiting cost next to no processor time (a spin costs it all).
    EXPECT_LT(cpuMs.load(), 60);
}

// A one-byte read started on another thread and left waiting on the idle line.
class BlockedRead {
public:
    explicit BlockedRead(CSerialPort& port)
        : m_thread([this, &port] {
              BYTE b = 0;
              m_result = port.Read(&b, 1, nullptr);
              m_done = true;
          }) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ~BlockedRead() {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Done() const { return m_done.load(); }
    // Waits for the read to end and gives its result.
    BOOL Finish() {
        m_thread.join();
        return m_result;
    }

private:
    std::atomic<bool> m_done{false};
    BOOL m_result = TRUE;
    std::thread m_thread;  // last: starts once the fields above exist
};

TEST(SerialPortIo, CloseFromAnotherThreadEndsBlockedRead) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CSerialPort port;
    ASSERT_TRUE(OpenOn(port, pty));
    BlockedRead reader(port);
    EXPECT_FALSE(reader.Done());
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(reader.Finish());
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(log.Count("port closed succeed\n"), 1);

    EXPECT_TRUE(port.Close());  // already closed: nothing more happens
    EXPECT_EQ(log.Count("port closed succeed\n"), 1);
    EXPECT_EQ(port.GetLastError(), 0u);
    EXPECT_EQ(port.GetAvailableDataLen(), -1);
}

TEST(SerialPortIo, HangUpEndsBlockedReadAndFailsWrites) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CSerialPort port;
    ASSERT_TRUE(OpenOn(port, pty));
    BlockedRead reader(port);
    EXPECT_FALSE(reader.Done());
    Clock::time_point start = Clock::now();
    pty.CloseMaster();  // the device vanishes
    EXPECT_FALSE(reader.Finish());
    EXPECT_LT(ElapsedMs(start), 500);

    BYTE out[] = {1, 2, 3};
    Clock::time_point writeStart = Clock::now();
    EXPECT_FALSE(port.Write(out, 3));
    EXPECT_GE(ElapsedMs(writeStart), 90);  // the pause after a short write
    EXPECT_EQ(log.Count("-------- numBytes = -1; dwLength = 3 -----------\n"), 1);
}

TEST(SerialPortIo, AWriteTheLineNeverTakesEndsAtItsDeadline) {
    // Nobody reads the device side: once the line's buffer is full, a write
    // waits at most its deadline (5 s, scaled here) instead of for ever.
    LogCapture log;
    OverrideTimeScale(0.02);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CSerialPort port;
    ASSERT_TRUE(OpenOn(port, pty));
    std::vector<BYTE> block(4096, 0x5A);
    bool refused = false;
    for (int i = 0; i < 1000 && !refused; ++i) {
        Clock::time_point start = Clock::now();
        refused = !port.Write(block.data(), static_cast<DWORD>(block.size()));
        EXPECT_LT(ElapsedMs(start), 2000);
    }
    OverrideTimeScale(1.0);
    EXPECT_TRUE(refused);
    EXPECT_NE(log.Text().find("; dwLength = 4096 -----------\n"), std::string::npos);
}

// ---- Another program's hold on the port ------------------------------------------

bool Exclusive(int fd) {
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// The lock file of pty's node, /run/lock/LCK..<base name>, under a temporary
// FLASHPILOT_ROOT for the test's length.
class LockFileOf {
public:
    LockFileOf(const LogCapture& log, const Pty& pty) {
        const char* old = std::getenv("FLASHPILOT_ROOT");
        m_hadRoot = old != nullptr;
        if (m_hadRoot)
            m_oldRoot = old;
        setenv("FLASHPILOT_ROOT", (log.dir() + "/root").c_str(), 1);
        const std::string dir = log.dir() + "/root/run/lock";
        EXPECT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
        m_path = dir + "/LCK.." + pty.name().substr(pty.name().rfind('/') + 1);
    }
    ~LockFileOf() {
        std::remove(m_path.c_str());
        if (m_hadRoot)
            setenv("FLASHPILOT_ROOT", m_oldRoot.c_str(), 1);
        else
            unsetenv("FLASHPILOT_ROOT");
    }
    void Write(const std::string& bytes) const {
        FILE* f = std::fopen(m_path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }

private:
    std::string m_path, m_oldRoot;
    bool m_hadRoot = false;
};

TEST(SerialPortClaim, LockFileOfALiveProcessInEveryFormKeepsUsOff) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    LockFileOf lockFile(log, pty);
    // A live process other than ours: the one that started the tests.
    const int holder = static_cast<int>(getppid());
    char padded[32], named[64];
    std::snprintf(padded, sizeof padded, "%10d\n", holder);
    std::snprintf(named, sizeof named, "%10d minicom root\n", holder);
    char binary[4];
    std::memcpy(binary, &holder, sizeof binary);
    const std::string forms[] = {padded, named, std::to_string(holder),
                                 std::string(binary, sizeof binary)};
    const std::string node = "/dev/" + pty.name().substr(pty.name().rfind('/') + 1);
    for (const std::string& form : forms) {
        SCOPED_TRACE(form);
        lockFile.Write(form);
        CSerialPort port;
        EXPECT_FALSE(OpenOn(port, pty));
        const std::string problem = PortOpenProblem(node.c_str());
        EXPECT_EQ(problem.rfind(node + " is in use by process " + std::to_string(holder) + " (", 0),
                  0u)
            << problem;
        const std::string how = ", lock file)";
        EXPECT_EQ(problem.find(how), problem.size() - how.size()) << problem;
    }
    EXPECT_EQ(log.Count("CSerialPort::Open " + node + ": locked by /run/lock/LCK.."), 4);
    // Named once for the node, however often it was found held.
    EXPECT_EQ(log.Count("The port " + node + " is in use by process "), 1);
    EXPECT_EQ(pty.Pending(50), Bytes());
}

TEST(SerialPortClaim, LockFileWithoutALiveProcessIsStale) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    LockFileOf lockFile(log, pty);
    char ours[16];
    std::snprintf(ours, sizeof ours, "%10d\n", static_cast<int>(getpid()));
    const std::string forms[] = {"", "0", "garbage\n", "      \n", ours};
    for (const std::string& form : forms) {
        SCOPED_TRACE(form);
        lockFile.Write(form);
        CSerialPort port;
        EXPECT_TRUE(OpenOn(port, pty));
        EXPECT_TRUE(port.Close());
    }
    EXPECT_EQ(log.Count("CSerialPort::Open /dev/"), 0);
    EXPECT_EQ(log.Text().find("is in use by"), std::string::npos) << log.Text();
}

TEST(SerialPortClaim, ExclusiveModeIsOursOnlyWhileOpenAndAnotherHoldersIsKept) {
    LogCapture log;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const std::string node = "/dev/" + pty.name().substr(pty.name().rfind('/') + 1);
    {
        CSerialPort port;
        ASSERT_TRUE(OpenOn(port, pty));
        EXPECT_TRUE(Exclusive(pty.slave()));
        EXPECT_EQ(PortOpenProblem(node.c_str()), "");
        EXPECT_TRUE(port.Close());
        EXPECT_FALSE(Exclusive(pty.slave()));  // cleared: we had set it
    }
    // Another program (here: this test's own descriptor) put the terminal in
    // exclusive mode. Root may open it anyway; we leave it, flag and all.
    ASSERT_EQ(ioctl(pty.slave(), TIOCEXCL), 0);
    CSerialPort port;
    EXPECT_FALSE(OpenOn(port, pty));
    EXPECT_TRUE(Exclusive(pty.slave()));
    const std::string problem = PortOpenProblem(node.c_str());
    EXPECT_NE(problem.find("exclusive mode)"), std::string::npos) << problem;
    EXPECT_EQ(log.Count("port closed succeed\n"), 1);
    ASSERT_EQ(ioctl(pty.slave(), TIOCNXCL), 0);
    EXPECT_EQ(pty.Pending(50), Bytes());
}

TEST(LockFile, ProcessIdInEitherForm) {
    const int32_t binary = 4242;
    char binaryBytes[4];
    std::memcpy(binaryBytes, &binary, sizeof binary);
    struct Row {
        std::string data;
        long pid;
    };
    const int32_t low = 49;  // its first byte is the digit 1
    char lowBytes[4];
    std::memcpy(lowBytes, &low, sizeof low);
    const Row rows[] = {
        {"      1234\n", 1234},               // ten columns
        {"      1234 minicom root\n", 1234},  // ... then the program and the user
        {"1234", 1234},                       // bare digits
        {std::string(binaryBytes, 4), 4242},  // the old binary form
        {std::string(lowBytes, 4), 49},
        {"\t1234\n", 1234},
        {"", 0},
        {"\n", 0},
        {"0", 0},
        {"garbage\n", 0},
        {"99999999999\n", 0},  // more digits than a process id has
        {"-5\n", 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(LockFilePid(r.data.data(), r.data.size()), r.pid) << r.data;
}

}  // namespace
