#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "Function.h"
#include "SingleInstance.h"

namespace {

sockaddr_in Address(const char* ip, int port) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

// A socket bound to ip:port (and listening when asked); -1 on failure.
int BoundSocket(const char* ip, int port, bool listening, bool reuse = false) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    if (reuse)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = Address(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (listening && listen(fd, 5) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool CanListenOn(int port) {
    int fd = BoundSocket("127.0.0.1", port, true, true);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// True when nothing at all holds the port, not even a closed connection
// lingering in TIME_WAIT: a plain bind without SO_REUSEADDR succeeds.
bool Unused(int port) {
    int fd = BoundSocket("127.0.0.1", port, false);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Each test gets its own port and a temporary working directory, where the
// listener child's log lands (the resource path is empty while it runs). The
// port must be unused, since some tests hold it with a plain bind; a port
// that an earlier run left in TIME_WAIT would refuse that bind.
class SingleInstanceGuard : public ::testing::Test {
protected:
    void SetUp() override {
        static int next = 0;
        for (int i = 0; i < 200 && m_port == 0; ++i) {
            int port = 31000 + (getpid() * 31 + next++) % 1500;
            if (Unused(port))
                m_port = port;
        }
        ASSERT_NE(m_port, 0);
        const char* old = std::getenv("FLASHPILOT_GUARD_PORT");
        m_hadPort = old != nullptr;
        if (m_hadPort)
            m_oldPort = old;
        setenv("FLASHPILOT_GUARD_PORT", std::to_string(m_port).c_str(), 1);

        char pattern[] = "/tmp/fp-guard-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ASSERT_NE(getcwd(m_oldCwd, sizeof m_oldCwd), nullptr);
        ASSERT_EQ(chdir(m_dir.c_str()), 0);
        std::memcpy(m_oldResources, g_ResourcesPath, sizeof m_oldResources);
        g_ResourcesPath[0] = '\0';
        listenerPid = 0;
    }

    void TearDown() override {
        EndListener();
        std::memcpy(g_ResourcesPath, m_oldResources, sizeof m_oldResources);
        ASSERT_EQ(chdir(m_oldCwd), 0);
        if (m_hadPort)
            setenv("FLASHPILOT_GUARD_PORT", m_oldPort.c_str(), 1);
        else
            unsetenv("FLASHPILOT_GUARD_PORT");
        std::string cmd = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string LogText() const {
        std::ifstream in(m_dir + "/KorvelFlashPilotLog.log");
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    int m_port = 0;
    bool m_hadPort = false;
    std::string m_oldPort, m_dir;
    char m_oldCwd[4096];
    char m_oldResources[sizeof g_ResourcesPath];
};

TEST_F(SingleInstanceGuard, ListenerHoldsThePortUntilItIsEnded) {
    ASSERT_TRUE(NotReentrant());
    const int pid = listenerPid;
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(CanListenOn(m_port));

    // A second start sees the listener and is refused; the first stays.
    EXPECT_FALSE(NotReentrant());
    EXPECT_EQ(listenerPid, pid);

    // The listener closes an accepted connection at once: the peer reads EOF.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Address("127.0.0.1", m_port);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    char byte = 0;
    EXPECT_EQ(read(fd, &byte, 1), 0);
    close(fd);

    EXPECT_EQ(EndListener(), ListenerEnd::Ended);
    EXPECT_EQ(listenerPid, 0);
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);  // reaped, not a zombie
    EXPECT_TRUE(CanListenOn(m_port));
    // A second end signals nothing.
    EXPECT_EQ(EndListener(), ListenerEnd::NotRunning);

    // One line when the listener starts, none per connection.
    const std::string log = LogText();
    EXPECT_NE(log.find(" -- accept...\n"), std::string::npos);
    EXPECT_EQ(log.find(" -- accept...\n"), log.rfind(" -- accept...\n"));
    EXPECT_EQ(log.find("accept end"), std::string::npos);

    // The port can be taken again after the end.
    EXPECT_TRUE(NotReentrant());
    EXPECT_GT(listenerPid, 0);
    EXPECT_NE(listenerPid, pid);
}

TEST_F(SingleInstanceGuard, BindsLoopbackOnly) {
    ASSERT_TRUE(NotReentrant());
    // Another loopback address on the same port stays free: the guard is not
    // bound to every interface.
    int other = BoundSocket("127.0.0.2", m_port, true, true);
    EXPECT_GE(other, 0);
    if (other >= 0)
        close(other);
}

TEST_F(SingleInstanceGuard, AnotherListenerRefusesTheStart) {
    int holder = BoundSocket("127.0.0.1", m_port, true);
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(NotReentrant());
    EXPECT_EQ(listenerPid, 0);
    close(holder);
}

TEST_F(SingleInstanceGuard, PortBoundWithoutListenerRefusesTheStart) {
    int holder = BoundSocket("127.0.0.1", m_port, false);
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(NotReentrant());
    EXPECT_EQ(listenerPid, 0);
    EXPECT_NE(LogText().find(" -- bind error\n"), std::string::npos);
    close(holder);
}

TEST_F(SingleInstanceGuard, EndSignalsOnlyAPositivePid) {
    // A pid of 0 or -1 would address the process group or every process.
    listenerPid = 0;
    EXPECT_EQ(EndListener(), ListenerEnd::NotRunning);
    listenerPid = -1;
    EXPECT_EQ(EndListener(), ListenerEnd::NotRunning);
    listenerPid = 0;
}

}  // namespace
