#include "HOST_NetPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Assert.h"
#include "Function.h"
#include "PortClaim.h"
#include "TestSeams.h"

namespace {

constexpr DWORD kDefaultSpeed = 115200;
constexpr DWORD kMaxReadCount = 2048;
// How long one write may wait for the line to take its bytes.
constexpr unsigned long kWriteDeadlineMs = 5000;

}  // namespace

CSerialPort::CSerialPort() : m_dwSpeed(kDefaultSpeed), m_dwLastError(0) {
    m_szPortName[0] = '\0';
    // The wake-up pipe is non-blocking on both ends: a Purge never blocks on a
    // full pipe, and draining it never blocks on an empty one.
    if (pipe2(m_nWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        m_nWakePipe[0] = -1;
        m_nWakePipe[1] = -1;
    }
}

CSerialPort::~CSerialPort() {
    Close();
    if (m_nWakePipe[0] >= 0)
        close(m_nWakePipe[0]);
    if (m_nWakePipe[1] >= 0)
        close(m_nWakePipe[1]);
}

BOOL CSerialPort::SetConfig(DWORD /*unused*/, DWORD dwSpeed, char* pszName) {
    if (pszName != nullptr) {
        std::snprintf(m_szPortName, sizeof(m_szPortName), "%s", pszName);
    } else {
        m_szPortName[0] = '\0';
    }
    m_dwSpeed = dwSpeed;
    return TRUE;
}

BOOL CSerialPort::Open(char* pszPath) {
    if (m_nFd.load() != -1)
        return TRUE;
    if (pszPath == nullptr || pszPath[0] == '\0') {
        Log("CSerialPort::Open --> Path error\n");
        return FALSE;
    }

    // No controlling terminal: a modem node must never become the program's
    // terminal. Not inherited by the processes the program starts. Non-blocking:
    // a line that waits for its carrier must not hang the open, and writes
    // wait in poll() with a deadline instead.
    // A node that a live process has locked with a lock file is not opened
    // at all, so that nothing of ours reaches its line.
    if (LockFileHeldByOther(pszPath))
        return FALSE;
    m_csPort.Lock();
    int fd = open(pszPath, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    const int openError = errno;
    m_csPort.Unlock();
    if (fd < 0) {
        Log("CSerialPort::Open error\n");
        ReportOpenFailure(pszPath, openError);
        return FALSE;
    }

    // A port whose set-up fails is closed again here, so that a failed Open
    // never leaves a half-configured descriptor behind that a later Open
    // would take for an open port. The port is ours alone before anything is
    // set or sent: another process's lock makes it a port that cannot be
    // opened.
    m_csPort.Lock();
    bool exclusiveSet = false;
    const bool claimed = ClaimPort(fd, pszPath, &exclusiveSet);
    const bool configured = claimed && Configure(fd);
    if (claimed && !configured)
        ReleasePort(fd, exclusiveSet);
    if (!configured)
        close(fd);
    m_csPort.Unlock();
    if (!configured)
        return FALSE;

    DrainWakePipe();
    m_csPort.Lock();
    m_nFd.store(fd);
    m_bExclusiveSet = exclusiveSet;
    m_byListening.store(1);
    m_csPort.Unlock();
    return TRUE;
}

bool CSerialPort::Configure(int fd) {
    termios options{};
    if (tcgetattr(fd, &options) != 0)
        return false;

    // First pass: 8 data bits, receiver on, modem lines ignored, one stop bit,
    // no hang-up on close; ignore breaks and parity errors; nothing else.
    options.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | HUPCL | CBAUDEX);
    options.c_cflag |= CS8 | CREAD | CLOCAL;
    options.c_iflag = IGNBRK | IGNPAR;
    options.c_oflag = 0;
    options.c_lflag = 0;
    options.c_cc[VMIN] = 1;
    options.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSAFLUSH, &options) != 0)
        return false;
    tcflush(fd, TCIOFLUSH);

    // Second pass on freshly read attributes: raw mode at 115200 baud.
    termios raw{};
    tcgetattr(fd, &raw);
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IUCLC | IXON);
    raw.c_iflag |= IGNBRK | IGNPAR;
    raw.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 150;
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSAFLUSH, &raw);
    return true;
}

BOOL CSerialPort::Write(BYTE* pOutBuffer, DWORD dwLength) {
    FP_ASSERT(pOutBuffer != NULL);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(ScaledMs(kWriteDeadlineMs));
    DWORD done = 0;
    ssize_t written = 0;
    while (done < dwLength) {
        // The lock is held for one write call only; the wait for room on
        // the line is taken without it.
        m_csPort.Lock();
        const int fd = m_nFd.load();
        written = fd < 0 ? -1 : write(fd, pOutBuffer + done, dwLength - done);
        const int error = errno;
        m_csPort.Unlock();
        if (written > 0) {
            done += static_cast<DWORD>(written);
            continue;
        }
        if (fd < 0 || (written < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR))
            break;
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd room = {fd, POLLOUT, 0};
        if (poll(&room, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        if ((room.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            break;
    }
    if (done < dwLength) {
        char text[128];
        std::snprintf(text, sizeof(text), "-------- numBytes = %d; dwLength = %d -----------\n",
                      static_cast<int>(done > 0 ? static_cast<ssize_t>(done) : written),
                      static_cast<int>(dwLength));
        Log(text);
        Sleep(100);
        return FALSE;
    }
    return TRUE;
}

int CSerialPort::AvailableLocked(int fd) {
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0)
        return -1;
    return count;
}

void CSerialPort::DrainWakePipe() {
    if (m_nWakePipe[0] < 0)
        return;
    char sink[64];
    while (read(m_nWakePipe[0], sink, sizeof(sink)) > 0) {
    }
}

void CSerialPort::WakeReader() {
    if (m_nWakePipe[1] < 0)
        return;
    char one = 1;
    // A full pipe already holds a pending wake-up; nothing is lost.
    ssize_t ignored = write(m_nWakePipe[1], &one, 1);
    (void)ignored;
}

BOOL CSerialPort::Read(BYTE* pInBuffer, DWORD dwLength, DWORD* pdwRead) {
    return ReadQueued(pInBuffer, dwLength, dwLength, pdwRead);
}

BOOL CSerialPort::ReadSome(BYTE* pInBuffer, DWORD dwMax, DWORD* pdwRead) {
    if (dwMax == 0)
        return FALSE;
    return ReadQueued(pInBuffer, 1, dwMax, pdwRead);
}

BOOL CSerialPort::ReadQueued(BYTE* pInBuffer, DWORD dwLeast, DWORD dwMost, DWORD* pdwRead) {
    FP_ASSERT(pInBuffer != NULL);
    if (dwLeast > dwMost || dwMost > kMaxReadCount)
        return FALSE;
    BYTE scratch[kMaxReadCount];
    // With one byte enough, the read waits for input first and then takes
    // what is there: the caller has usually just taken everything queued.
    bool waited = dwLeast != 1;
    for (;;) {
        m_csPort.Lock();
        int fd = m_nFd.load();
        if (fd == -1) {
            m_csPort.Unlock();
            return FALSE;
        }
        // With one byte enough, the non-blocking read takes what is there
        // without asking the queue first; otherwise the read waits until the
        // queue holds dwLeast bytes. A failed query is read through as well,
        // so that the read reports it.
        const int available = dwLeast <= 1 ? (waited ? 1 : 0) : AvailableLocked(fd);
        waited = true;
        if (available < 0 || static_cast<DWORD>(available) >= dwLeast) {
            DWORD wanted = dwLeast <= 1 ? dwMost : dwLeast;
            if (dwLeast > 1 && available >= 0)
                wanted =
                    static_cast<DWORD>(available) < dwMost ? static_cast<DWORD>(available) : dwMost;
            const ssize_t got = read(fd, scratch, wanted);
            const int error = errno;
            const bool empty =
                dwLeast == 1 && (got == 0 || (got < 0 && (error == EAGAIN || error == EWOULDBLOCK ||
                                                          error == EINTR)));
            if (!empty) {
                if (got < 0 || static_cast<size_t>(got) < dwLeast) {
                    Sleep(100);
                    m_csPort.Unlock();
                    return FALSE;
                }
                m_csPort.Unlock();
                std::memcpy(pInBuffer, scratch, static_cast<size_t>(got));
                if (pdwRead != nullptr)
                    *pdwRead = static_cast<DWORD>(got);
                return TRUE;
            }
        }
        if (m_byListening.load() == 0) {
            m_csPort.Unlock();
            return FALSE;
        }
        m_csPort.Unlock();

        // Sleep in the kernel, without the lock, until input arrives, the
        // line goes away, or Purge or Close ask the wait to end.
        pollfd watch[2] = {{fd, POLLIN, 0}, {m_nWakePipe[0], POLLIN, 0}};
        int ready = poll(watch, m_nWakePipe[0] >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return FALSE;
        }
        if (watch[1].revents != 0)
            DrainWakePipe();  // the flag is re-examined at the top of the loop
        if ((watch[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // The device is gone; deliver what is already queued, if enough.
            m_csPort.Lock();
            int fdNow = m_nFd.load();
            int left = fdNow == -1 ? 0 : AvailableLocked(fdNow);
            m_csPort.Unlock();
            if (left < 0 || static_cast<DWORD>(left) < dwLeast)
                return FALSE;
        }
    }
}

int CSerialPort::GetAvailableDataLen() {
    m_csPort.Lock();
    int fd = m_nFd.load();
    int count = fd == -1 ? -1 : AvailableLocked(fd);
    m_csPort.Unlock();
    return count;
}

BOOL CSerialPort::BeginListenCommEvent() {
    return m_byListening.load();
}

BOOL CSerialPort::Purge() {
    m_byListening.store(0);
    WakeReader();
    return TRUE;
}

BOOL CSerialPort::Close() {
    if (m_nFd.load() == -1)
        return TRUE;
    m_dwSpeed = kDefaultSpeed;
    m_dwLastError = 0;
    m_csPort.Lock();
    m_byListening.store(0);
    m_csPort.Unlock();
    WakeReader();

    m_csPort.Lock();
    ReleasePort(m_nFd.load(), m_bExclusiveSet);
    m_bExclusiveSet = false;
    if (close(m_nFd.load()) != 0) {
        m_csPort.Unlock();
        Log("In ClosePort() --> 3 failed\n");
        return FALSE;
    }
    m_nFd.store(-1);
    m_csPort.Unlock();
    Log("port closed succeed\n");
    return TRUE;
}

DWORD CSerialPort::GetLastError() {
    return m_dwLastError;
}
