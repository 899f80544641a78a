#include "SingleInstance.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Function.h"
#include "TestSeams.h"

int listenerPid = 0;

namespace {

// Longest wait for the connect test when a listener does not answer at once
// (for example because its backlog is full): that still counts as taken.
constexpr time_t kConnectTimeoutSeconds = 5;

sockaddr_in GuardAddress() {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(GuardPort()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// true when something accepts connections on the guard port.
bool GuardIsHeld(const sockaddr_in& addr) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    timeval timeout = {kConnectTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    int err = errno;
    close(fd);
    if (rc == 0)
        return true;
    return err == EINPROGRESS || err == EAGAIN || err == ETIMEDOUT;
}

// The listener child: accepts and closes connections for as long as it lives.
// It is ended by signal 9 and never returns. It logs once: a line per
// connection would let any local user churn the program log past its size
// limit and wipe the run's record.
[[noreturn]] void ListenerLoop(int fd) {
    Log("accept...\n");
    for (;;) {
        int conn = accept(fd, nullptr, nullptr);
        if (conn >= 0) {
            close(conn);
        } else if (errno != EINTR && errno != ECONNABORTED) {
            // An unexpected failure: pause in the kernel instead of spinning.
            poll(nullptr, 0, 1000);
        }
    }
}

}  // namespace

const char kAnotherInstanceText[] =
    "A Link Companion application or another FlashPilot is running!\nFlashPilot can not run!\n";

bool SingleInstanceHeld() {
    return GuardIsHeld(GuardAddress());
}

bool NotReentrant() {
    const sockaddr_in addr = GuardAddress();
    if (GuardIsHeld(addr))
        return false;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Log("socket error\n");
        return false;
    }
    // Connections the listener closed linger in TIME_WAIT on the guard port;
    // they must not keep the next run from binding it. A live listener still
    // makes the bind fail.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        Log("bind error\n");
        close(fd);
        return false;
    }
    if (listen(fd, 5) != 0) {
        Log("listen error\n");
        close(fd);
        return false;
    }

    // Nothing buffered may be written twice by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        Log("fork error\n");
        close(fd);
        return false;
    }
    if (pid == 0) {
        // The guard must not outlive the program, even when it is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(0);
        ListenerLoop(fd);
    }
    // The child's copy keeps the port bound; once it is ended the port is free.
    close(fd);
    listenerPid = pid;
    return true;
}

ListenerEnd EndListener() {
    if (listenerPid <= 0)
        return ListenerEnd::NotRunning;
    const pid_t pid = listenerPid;
    listenerPid = 0;
    bool sent = kill(pid, SIGKILL) == 0;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return sent ? ListenerEnd::Ended : ListenerEnd::SignalFailed;
}
