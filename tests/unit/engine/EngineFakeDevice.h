// Test support for the engine suites: a scripted device on a pseudo-terminal
// (frames decoded and answered with the test's own small HDLC encoder), an
// observer that records notifications, and a fixture that sets the time
// scale, a private working directory and the process-wide flags.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Function.h"
#include "HOST_MainControl.h"
#include "PortNames.h"
#include "ProcessFlags.h"
#include "TestSeams.h"

namespace enginetest {

using Bytes = std::vector<uint8_t>;

// CRC-16/X-25, bit by bit: independent of the program's table.
inline uint16_t X25(const Bytes& data) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : (crc >> 1);
    }
    return static_cast<uint16_t>(~crc);
}

// A payload as the device sends it: stuffed body, CRC low byte first, 0x7E.
inline Bytes Frame(const Bytes& payload) {
    Bytes body = payload;
    uint16_t crc = X25(payload);
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    Bytes out;
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

// One message the engine wrote: a raw AT line or a decoded frame payload.
struct Request {
    bool raw = false;
    bool openingFlag = false;  // the frame began with its own 0x7E
    bool crcGood = false;
    Bytes bytes;  // the line, or the payload without its CRC
};

// Answers requests; returns the payloads to send back (each framed).
using Responder = std::function<std::vector<Bytes>(const Request&)>;

class FakeDevice {
public:
    FakeDevice() {
        char name[256] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            ADD_FAILURE() << "openpty failed";
        m_path = name;
        termios tio;
        tcgetattr(m_slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_slave, TCSANOW, &tio);
        if (pipe(m_stop) != 0)
            ADD_FAILURE() << "pipe failed";
        m_thread = std::thread([this] { Run(); });
    }
    ~FakeDevice() {
        char b = 1;
        ssize_t ignored = write(m_stop[1], &b, 1);
        (void)ignored;
        m_thread.join();
        close(m_stop[0]);
        close(m_stop[1]);
        close(m_master);
        close(m_slave);
    }
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    const std::string& Path() const { return m_path; }
    void UsePath() { snprintf(bsdPath, sizeof(bsdPath), "%s", m_path.c_str()); }

    void SetResponder(Responder responder) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_responder = std::move(responder);
    }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    // Frame payloads only, in order.
    std::vector<Bytes> Frames() {
        std::vector<Bytes> out;
        for (const Request& r : Requests())
            if (!r.raw)
                out.push_back(r.bytes);
        return out;
    }
    bool WaitForRequests(size_t count, int ms = 5000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                                  [&] { return m_requests.size() >= count; });
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.clear();
    }

private:
    void Run() {
        Bytes pending;
        for (;;) {
            pollfd fds[2] = {{m_master, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0)
                continue;
            if (fds[1].revents != 0)
                return;
            uint8_t chunk[4096];
            ssize_t n = read(m_master, chunk, sizeof(chunk));
            if (n <= 0) {
                // No slave open for a moment: wait a little and look again.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            pending.insert(pending.end(), chunk, chunk + n);
            Parse(pending);
        }
    }

    void Parse(Bytes& pending) {
        for (;;) {
            if (pending.size() >= 2 && pending[0] == 'A' && pending[1] == 'T') {
                auto lf = std::find(pending.begin(), pending.end(), '\n');
                if (lf == pending.end())
                    return;
                Request r;
                r.raw = true;
                r.bytes.assign(pending.begin(), lf + 1);
                pending.erase(pending.begin(), lf + 1);
                Deliver(r);
                continue;
            }
            size_t start = 0;
            bool opening = false;
            while (start < pending.size() && pending[start] == 0x7E) {
                opening = true;
                ++start;
            }
            size_t end = start;
            while (end < pending.size() && pending[end] != 0x7E)
                ++end;
            if (end >= pending.size()) {
                if (start > 0)
                    pending.erase(pending.begin(), pending.begin() + start);
                return;
            }
            Bytes body;
            for (size_t i = start; i < end; ++i) {
                if (pending[i] == 0x7D && i + 1 < end) {
                    body.push_back(static_cast<uint8_t>(pending[i + 1] ^ 0x20));
                    ++i;
                } else {
                    body.push_back(pending[i]);
                }
            }
            pending.erase(pending.begin(), pending.begin() + end + 1);
            Request r;
            r.openingFlag = opening;
            if (body.size() >= 2) {
                Bytes payload(body.begin(), body.end() - 2);
                uint16_t crc =
                    static_cast<uint16_t>(body[body.size() - 2] | (body[body.size() - 1] << 8));
                r.crcGood = X25(payload) == crc;
                r.bytes = payload;
            }
            Deliver(r);
        }
    }

    void Deliver(const Request& r) {
        Responder responder;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(r);
            responder = m_responder;
        }
        m_changed.notify_all();
        if (!responder)
            return;
        for (const Bytes& payload : responder(r)) {
            Bytes wire = Frame(payload);
            ssize_t ignored = write(m_master, wire.data(), wire.size());
            (void)ignored;
        }
    }

    int m_master = -1;
    int m_slave = -1;
    int m_stop[2] = {-1, -1};
    std::string m_path;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Responder m_responder;
    std::vector<Request> m_requests;
};

// Records the engine's notifications.
class RecordingObserver : public IEngineObserver {
public:
    struct Call {
        unsigned long kind;
        double code;
        bool hasText;
        std::string text;
    };
    void UIController(unsigned long kind, double code, char* text) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back({kind, code, text != nullptr, text != nullptr ? text : ""});
        }
        m_called.notify_all();
    }
    // Waits until a call of kind with one of codes has come; false on time-out.
    bool WaitFor(unsigned long kind, std::vector<double> codes, unsigned timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_called.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return std::any_of(m_calls.begin(), m_calls.end(), [&](const Call& c) {
                return c.kind == kind &&
                       std::find(codes.begin(), codes.end(), c.code) != codes.end();
            });
        });
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.clear();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_called;
    std::vector<Call> m_calls;
};

// A reply payload: command byte, then filler bytes up to length.
inline Bytes Reply(uint8_t cmd, size_t length, uint8_t fill = 0x00) {
    Bytes r(length, fill);
    if (length > 0)
        r[0] = cmd;
    return r;
}

// A diagnostic reply to request r: it repeats the request's first three
// bytes (command, and sub-command, item or selector), then fill up to length.
inline Bytes ReplyTo(const Request& r, size_t length, uint8_t fill = 0x00) {
    Bytes reply(length, fill);
    for (size_t i = 0; i < length && i < r.bytes.size() && i < 3; ++i)
        reply[i] = r.bytes[i];
    return reply;
}

// Puts text into a reply at offset.
inline void Put(Bytes& reply, size_t offset, const std::string& text) {
    if (reply.size() < offset + text.size())
        reply.resize(offset + text.size());
    std::copy(text.begin(), text.end(), reply.begin() + offset);
}

class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        OverrideTimeScale(Scale());
        char tmpl[] = "/tmp/engine_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        snprintf(m_savedResources, sizeof(m_savedResources), "%s", g_ResourcesPath);
        snprintf(g_ResourcesPath, sizeof(g_ResourcesPath), "%s/", m_dir.c_str());
        g_nErrorCode = kNoError;
        g_bForceDld = false;
        isNeedRestart = false;
        isDLDMode = false;
        snprintf(strDloadSoftType, sizeof(strDloadSoftType), "firmware");
        bsdPath[0] = '\0';
    }
    void TearDown() override {
        OverrideTimeScale(1.0);
        snprintf(g_ResourcesPath, sizeof(g_ResourcesPath), "%s", m_savedResources);
        std::string cmd = "rm -rf '" + m_dir + "'";
        int ignored = system(cmd.c_str());
        (void)ignored;
    }
    virtual double Scale() const { return 0.02; }

    std::string LogText() const {
        std::ifstream in(m_dir + "/KorvelFlashPilotLog.log", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    size_t CountInLog(const std::string& text) const {
        std::string log = LogText();
        size_t count = 0;
        for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1))
            ++count;
        return count;
    }
    void WriteStrings(const std::string& lines) const {
        std::ofstream out(m_dir + "/StringList.strings", std::ios::binary);
        out << lines;
    }

    std::string m_dir;
    char m_savedResources[256] = {};
};

// An engine whose port is open on the fake device for the whole test.
class EngineWithOpenPort : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        m_device.UsePath();
        ASSERT_TRUE(m_engine.OpenPort());
    }
    void TearDown() override {
        m_engine.ClosePort();
        EngineFixture::TearDown();
    }
    FakeDevice m_device;
    CMainControl m_engine;
};

}  // namespace enginetest
