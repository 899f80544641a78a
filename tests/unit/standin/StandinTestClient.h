// A minimal client of the stand-in for its own tests: opens a node like the
// program does (raw terminal), frames requests with the program's CRC routine
// and cuts replies with a deframer. Also waits for tree entries with inotify.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Crc16.h"
#include "Hdlc.h"

namespace standin_test {

using modemsim::Bytes;

// Frame built with the program's CRC-16 and by-hand stuffing.
inline Bytes Frame(const Bytes& payload, bool openingFlag) {
    WORD crc = 0;
    CalculateCRC(payload.data(), static_cast<DWORD>(payload.size()), crc);
    Bytes body = payload;
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    Bytes out;
    if (openingFlag)
        out.push_back(0x7E);
    for (uint8_t b : body) {
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0x7E);
    return out;
}

// A recorded walk (the program's trace) that found the device on one node.
inline std::string WalkLine(double seconds, int node, const char* product) {
    char line[512];
    std::snprintf(line, sizeof line,
                  R"({"t":%.1f,"ev":"walk","found":true,"entries":[{"entry":"1-1:1.0","if":"00",)"
                  R"("node":"ttyUSB%d","ours":true,"path":"1-1","product":"%s"}]})",
                  seconds, node, product);
    return line;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The node names (ttyUSB<n>) found under the option directory's entries, with
// the modalias and interface number of each entry: "entry node iface modalias".
struct TreeEntry {
    std::string entry, node, iface, modalias;
};
inline std::vector<TreeEntry> WalkTree(const std::string& root) {
    const std::string option = root + "/sys/bus/usb/drivers/option";
    std::vector<TreeEntry> found;
    for (const std::string& e : ListDir(option)) {
        if (e.find(':') == std::string::npos)
            continue;
        TreeEntry t;
        t.entry = e;
        for (const std::string& c : ListDir(option + "/" + e)) {
            if (c.find("ttyUSB") != std::string::npos)
                t.node = c;
        }
        t.iface = ReadFile(option + "/" + e + "/bInterfaceNumber");
        t.modalias = ReadFile(option + "/" + e + "/modalias");
        found.push_back(t);
    }
    return found;
}

// Waits (inotify, no polling) until the option directory holds an entry with
// a ttyUSB child whose modalias contains the text; returns that node.
inline std::string WaitForNode(const std::string& root, const std::string& modaliasPart,
                               int timeoutMs) {
    const std::string option = root + "/sys/bus/usb/drivers/option";
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(fd, option.c_str(), IN_MOVED_TO | IN_CREATE);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string node;
    for (;;) {
        for (const TreeEntry& t : WalkTree(root)) {
            if (!t.node.empty() && t.modalias.find(modaliasPart) != std::string::npos) {
                node = t.node;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (!node.empty() || left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0) {
            char buf[4096];
            while (read(fd, buf, sizeof buf) > 0) {
            }
        }
    }
    close(fd);
    return node;
}

class Client {
public:
    ~Client() { Close(); }

    bool Open(const std::string& path) {
        Close();
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            return false;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSAFLUSH, &t);
        tcflush(fd_, TCIOFLUSH);
        deframer_.Reset();
        pending_.clear();
        return true;
    }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool WriteRaw(const Bytes& bytes) {
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    bool WriteText(const std::string& text) { return WriteRaw(Bytes(text.begin(), text.end())); }
    bool Send(const Bytes& payload, bool openingFlag = false) {
        return WriteRaw(Frame(payload, openingFlag));
    }

    // Next frame or refused frame within the time-out; raw bytes are skipped.
    bool Receive(modemsim::RxEvent* ev, int timeoutMs, Bytes* wire = nullptr) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            while (!pending_.empty()) {
                modemsim::RxEvent e = pending_.front();
                pending_.pop_front();
                if (e.kind != modemsim::RxEvent::kRaw) {
                    *ev = e;
                    if (wire)
                        *wire = wire_;
                    wire_.clear();
                    return true;
                }
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                return false;
            uint8_t buf[8192];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) {
                hungUp_ = true;
                return false;
            }
            wire_.insert(wire_.end(), buf, buf + n);
            std::vector<modemsim::RxEvent> events;
            deframer_.Feed(buf, static_cast<size_t>(n), &events);
            pending_.insert(pending_.end(), events.begin(), events.end());
        }
    }
    // A good reply frame's payload; empty on time-out or a refused frame.
    Bytes Ask(const Bytes& payload, bool openingFlag = false, int timeoutMs = 2000) {
        if (!Send(payload, openingFlag))
            return {};
        modemsim::RxEvent ev;
        if (!Receive(&ev, timeoutMs) || ev.kind != modemsim::RxEvent::kFrame)
            return {};
        return ev.bytes;
    }
    // True when the terminal hangs up (POLLHUP, or a read that fails) in time.
    bool WaitHangup(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                return false;
            if (p.revents & (POLLHUP | POLLERR))
                return true;
            uint8_t buf[256];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                return true;
        }
    }
    // True when bytes are waiting to be read within the time-out; reads none.
    bool WaitReadable(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN) != 0;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool hungUp_ = false;
    modemsim::Deframer deframer_;
    std::deque<modemsim::RxEvent> pending_;
    Bytes wire_;
};

}  // namespace standin_test
