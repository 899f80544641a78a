#include "SessionTrace.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

// The writer writes the queued frames when they make this much text, or
// this long after the first of them was queued.
constexpr size_t kFlushBytes = 64 * 1024;
constexpr auto kFlushAge = std::chrono::milliseconds(200);

const char* BaseName(const char* port) {
    if (port == nullptr)
        return "";
    const char* slash = std::strrchr(port, '/');
    return slash != nullptr ? slash + 1 : port;
}

void AppendHex(std::string* out, const BYTE* bytes, DWORD length) {
    static const char kDigits[] = "0123456789abcdef";
    const size_t at = out->size();
    out->resize(at + 2 * static_cast<size_t>(length));
    char* p = &(*out)[at];
    for (DWORD i = 0; i < length; ++i) {
        *p++ = kDigits[bytes[i] >> 4];
        *p++ = kDigits[bytes[i] & 0xF];
    }
}

std::string Head(double seconds, const char* ev) {
    char text[64];
    std::snprintf(text, sizeof text, "{\"t\":%.6f,\"ev\":\"%s\"", seconds, ev);
    return text;
}

// Port names are node names (ttyUSB2); anything else is written escaped.
std::string Quoted(const char* text) {
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

CSessionTrace& CSessionTrace::Instance() {
    static CSessionTrace trace;
    return trace;
}

bool CSessionTrace::Open(const std::string& path, std::string* error) {
    if (Enabled()) {
        *error = "the trace is open already";
        return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open the trace file " + path + ": " + std::strerror(errno);
        return false;
    }
    m_start = std::chrono::steady_clock::now();
    m_fd.store(fd);
    m_owner = getpid();
    // The writer takes no signal: the program's own thread waits for them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    m_writer = std::thread([this] { WriterLoop(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

double CSessionTrace::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

std::string CSessionTrace::FrameLine(double seconds, const char* port, bool download, bool tx,
                                     const BYTE* payload, DWORD length, bool flag, bool crcOk) {
    std::string line = Head(seconds, "frame");
    line.reserve(line.size() + 2 * static_cast<size_t>(length) + 96);
    line += ",\"port\":";
    line += Quoted(BaseName(port));
    line += download ? ",\"mode\":\"download\"" : ",\"mode\":\"normal\"";
    line += tx ? ",\"dir\":\"tx\",\"hex\":\"" : ",\"dir\":\"rx\",\"hex\":\"";
    AppendHex(&line, payload, length);
    line += flag ? "\",\"flag\":true" : "\",\"flag\":false";
    line += crcOk ? ",\"crc_ok\":true}" : ",\"crc_ok\":false}";
    return line;
}

void CSessionTrace::Frame(const char* port, bool tx, const BYTE* payload, DWORD length, bool flag,
                          bool crcOk) {
    if (!Enabled())
        return;
    SEntry entry;
    entry.seconds = Seconds();
    entry.port = BaseName(port);
    entry.frame = true;
    entry.download = m_download.load();
    entry.tx = tx;
    entry.flag = flag;
    entry.crcOk = crcOk;
    entry.payload.assign(payload, payload + length);
    Queue(std::move(entry));
}

void CSessionTrace::Raw(const char* port, const BYTE* bytes, DWORD length) {
    if (!Enabled())
        return;
    std::string line = Head(Seconds(), "raw") + ",\"port\":" + Quoted(BaseName(port)) +
                       ",\"dir\":\"tx\",\"hex\":\"";
    AppendHex(&line, bytes, length);
    SEntry entry;
    entry.text = line + "\"}";
    Queue(std::move(entry));
}

void CSessionTrace::Dropped(const char* port, const BYTE* bytes, DWORD length, const char* reason,
                            DWORD fullLength) {
    if (!Enabled())
        return;
    std::string line = Head(Seconds(), "dropped") + ",\"port\":" + Quoted(BaseName(port)) +
                       ",\"mode\":\"" + (m_download.load() ? "download" : "normal") +
                       "\",\"reason\":\"" + reason + "\",\"length\":" + std::to_string(fullLength) +
                       ",\"hex\":\"";
    AppendHex(&line, bytes, length);
    SEntry entry;
    entry.text = line + "\"}";
    Queue(std::move(entry));
}

void CSessionTrace::PortOpen(const char* port, bool ok, unsigned long error) {
    if (!Enabled())
        return;
    std::string line = Head(Seconds(), "open") + ",\"port\":" + Quoted(BaseName(port)) +
                       ",\"ok\":" + (ok ? "true" : "false");
    if (!ok && error != 0)
        line += ",\"error\":" + std::to_string(error);
    Append(line + "}");
}

void CSessionTrace::PortClose(const char* port, bool ok) {
    if (!Enabled())
        return;
    Append(Head(Seconds(), "close") + ",\"port\":" + Quoted(BaseName(port)) +
           ",\"ok\":" + (ok ? "true" : "false") + "}");
}

void CSessionTrace::Walk(bool found, const std::vector<STraceWalkEntry>& entries) {
    if (!Enabled())
        return;
    nlohmann::json list = nlohmann::json::array();
    for (const STraceWalkEntry& e : entries) {
        list.push_back({{"entry", e.entry},
                        {"path", e.path},
                        {"product", e.product},
                        {"if", e.iface},
                        {"node", e.node},
                        {"ours", e.ours}});
    }
    Append(Head(Seconds(), "walk") + ",\"found\":" + (found ? "true" : "false") + ",\"entries\":" +
           list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "}");
}

void CSessionTrace::Pause(unsigned long ms, unsigned long scaledMs) {
    if (!Enabled())
        return;
    Append(Head(Seconds(), "pause") + ",\"ms\":" + std::to_string(ms) +
           ",\"scaled_ms\":" + std::to_string(scaledMs) + "}");
}

void CSessionTrace::End(const std::string& result, int errorCode) {
    if (!Enabled())
        return;
    Append(Head(Seconds(), "end") + ",\"result\":" + Quoted(result.c_str()) +
           ",\"error_code\":" + (errorCode < 0 ? "null" : std::to_string(errorCode)) + "}");
}

void CSessionTrace::Queue(SEntry entry) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_fd.load() < 0)
            return;
        m_queuedBytes += entry.text.size() + 2 * entry.payload.size() + 128;
        wake = m_queue.empty() || m_queuedBytes >= kFlushBytes;
        m_queue.push_back(std::move(entry));
    }
    // The first entry starts the writer's 0.2 s; a full queue ends them.
    if (wake)
        m_wake.notify_one();
}

void CSessionTrace::Append(const std::string& line) {
    SEntry entry;
    entry.text = line;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_fd.load() < 0)
            return;
        m_queue.push_back(std::move(entry));
    }
    WriteQueued();
}

void CSessionTrace::WriteQueued() {
    // The queue is taken under the write lock, so batches reach the file in
    // the order they were taken.
    std::lock_guard<std::mutex> writing(m_writeLock);
    std::vector<SEntry> taken;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        taken.swap(m_queue);
        m_queuedBytes = 0;
    }
    const int fd = m_fd.load();
    if (taken.empty() || fd < 0)
        return;
    std::string text;
    for (const SEntry& e : taken) {
        if (e.frame)
            text += FrameLine(e.seconds, e.port.c_str(), e.download, e.tx, e.payload.data(),
                              static_cast<DWORD>(e.payload.size()), e.flag, e.crcOk);
        else
            text += e.text;
        text += '\n';
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // a full disk loses the trace, never the update
        done += static_cast<size_t>(n);
    }
}

void CSessionTrace::WriterLoop() {
    std::unique_lock<std::mutex> hold(m_lock);
    while (!m_stop) {
        if (m_queue.empty()) {
            m_wake.wait(hold, [this] { return m_stop || !m_queue.empty(); });
            continue;
        }
        m_wake.wait_for(hold, kFlushAge, [this] { return m_stop || m_queuedBytes >= kFlushBytes; });
        hold.unlock();
        WriteQueued();
        hold.lock();
    }
}

void CSessionTrace::Flush() {
    if (Enabled())
        WriteQueued();
}

void CSessionTrace::Close() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_wake.notify_one();
    // A child forked by the program has no writer thread of its own.
    if (m_writer.joinable() && m_owner == getpid())
        m_writer.join();
    WriteQueued();
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        close(fd);
}
