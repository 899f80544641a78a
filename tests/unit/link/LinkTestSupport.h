// Helpers for the serial port and HDLC adapter tests: a pseudo-terminal whose
// master side plays the device, an independent frame encoder, and a program
// log redirected into a scratch directory.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Crc16.h"
#include "Function.h"
#include "Types.h"

namespace linktest {

using Bytes = std::vector<BYTE>;
using Clock = std::chrono::steady_clock;

inline long ElapsedMs(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A pseudo-terminal pair. The test keeps a slave descriptor of its own open so
// that the master stays readable between the port's opens and closes.
class Pty {
public:
    Pty() {
        char name[256] = {0};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0)
            m_name = name;
    }
    ~Pty() {
        CloseMaster();
        if (m_slave >= 0)
            close(m_slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return !m_name.empty(); }
    const std::string& name() const { return m_name; }
    int slave() const { return m_slave; }

    void CloseMaster() {
        if (m_master >= 0)
            close(m_master);
        m_master = -1;
    }

    bool Send(const Bytes& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Up to count bytes from the device side, waiting at most timeoutMs in all.
    Bytes Receive(size_t count, int timeoutMs) const {
        Bytes out;
        Clock::time_point start = Clock::now();
        while (out.size() < count) {
            int left = timeoutMs - static_cast<int>(ElapsedMs(start));
            if (left <= 0)
                break;
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                break;
            BYTE chunk[4096];
            size_t want = count - out.size();
            ssize_t n = read(m_master, chunk, want < sizeof(chunk) ? want : sizeof(chunk));
            if (n <= 0)
                break;
            out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }

    // Whatever the device side sends: waits at most timeoutMs for the first
    // byte, then takes bytes until the line stays quiet for 50 ms.
    Bytes Pending(int timeoutMs) const {
        Bytes out;
        int wait = timeoutMs;
        for (;;) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, wait) <= 0 || (p.revents & POLLIN) == 0)
                return out;
            BYTE chunk[4096];
            ssize_t n = read(m_master, chunk, sizeof(chunk));
            if (n <= 0)
                return out;
            out.insert(out.end(), chunk, chunk + n);
            wait = 50;
        }
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_name;
};

inline WORD CrcOf(const Bytes& payload) {
    WORD crc = 0;
    CalculateCRC(payload.data(), static_cast<DWORD>(payload.size()), crc);
    return crc;
}

inline void Stuff(Bytes& out, BYTE b) {
    if (b == 0x7E) {
        out.push_back(0x7D);
        out.push_back(0x5E);
    } else if (b == 0x7D) {
        out.push_back(0x7D);
        out.push_back(0x5D);
    } else {
        out.push_back(b);
    }
}

// The frame a correct device sends for payload: stuffed payload and CRC (low
// byte first), closing flag; optionally an opening flag.
inline Bytes Frame(const Bytes& payload, bool openingFlag = false) {
    Bytes out;
    if (openingFlag)
        out.push_back(0x7E);
    for (BYTE b : payload)
        Stuff(out, b);
    WORD crc = CrcOf(payload);
    Stuff(out, static_cast<BYTE>(crc & 0xFF));
    Stuff(out, static_cast<BYTE>(crc >> 8));
    out.push_back(0x7E);
    return out;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Points the program log into a fresh scratch directory for one test.
class LogCapture {
public:
    LogCapture() {
        std::memcpy(m_saved, g_ResourcesPath, sizeof(m_saved));
        char dir[] = "/tmp/fp_linklog_XXXXXX";
        if (mkdtemp(dir) != nullptr) {
            m_dir = dir;
            std::snprintf(g_ResourcesPath, sizeof(g_ResourcesPath), "%s/", dir);
        }
    }
    ~LogCapture() {
        std::memcpy(g_ResourcesPath, m_saved, sizeof(m_saved));
        if (!m_dir.empty()) {
            std::remove((m_dir + "/KorvelFlashPilotLog.log").c_str());
            rmdir(m_dir.c_str());
        }
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const {
        std::ifstream in(m_dir + "/KorvelFlashPilotLog.log", std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    // Number of entries whose message is exactly msg (entries are
    // "<time> -- <message>").
    int Count(const std::string& msg) const {
        std::string text = Text();
        std::string needle = " -- " + msg;
        int n = 0;
        for (size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + needle.size()))
            ++n;
        return n;
    }
    const std::string& dir() const { return m_dir; }

private:
    char m_saved[sizeof(g_ResourcesPath)];
    std::string m_dir;
};

}  // namespace linktest
