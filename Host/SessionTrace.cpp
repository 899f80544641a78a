#include "SessionTrace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

// The buffer goes to the file when it holds this much, or when a line comes
// this long after the last write; every other event writes at once.
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
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open the trace file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_start = m_lastWrite = std::chrono::steady_clock::now();
    m_buffer.reserve(2 * kFlushBytes);
    m_fd.store(fd);
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
    Append(FrameLine(Seconds(), port, m_download.load(), tx, payload, length, flag, crcOk), false);
}

void CSessionTrace::Raw(const char* port, const BYTE* bytes, DWORD length) {
    if (!Enabled())
        return;
    std::string line = Head(Seconds(), "raw") + ",\"port\":" + Quoted(BaseName(port)) +
                       ",\"dir\":\"tx\",\"hex\":\"";
    AppendHex(&line, bytes, length);
    Append(line + "\"}", false);
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
    Append(line + "\"}", false);
}

void CSessionTrace::PortOpen(const char* port, bool ok, unsigned long error) {
    if (!Enabled())
        return;
    std::string line = Head(Seconds(), "open") + ",\"port\":" + Quoted(BaseName(port)) +
                       ",\"ok\":" + (ok ? "true" : "false");
    if (!ok && error != 0)
        line += ",\"error\":" + std::to_string(error);
    Append(line + "}", true);
}

void CSessionTrace::PortClose(const char* port, bool ok) {
    if (!Enabled())
        return;
    Append(Head(Seconds(), "close") + ",\"port\":" + Quoted(BaseName(port)) +
               ",\"ok\":" + (ok ? "true" : "false") + "}",
           true);
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
               list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "}",
           true);
}

void CSessionTrace::Pause(unsigned long ms, unsigned long scaledMs) {
    if (!Enabled())
        return;
    Append(Head(Seconds(), "pause") + ",\"ms\":" + std::to_string(ms) +
               ",\"scaled_ms\":" + std::to_string(scaledMs) + "}",
           true);
}

void CSessionTrace::End(const std::string& result, int errorCode) {
    if (!Enabled())
        return;
    Append(Head(Seconds(), "end") + ",\"result\":" + Quoted(result.c_str()) +
               ",\"error_code\":" + (errorCode < 0 ? "null" : std::to_string(errorCode)) + "}",
           true);
}

void CSessionTrace::Append(const std::string& line, bool flushNow) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd.load() < 0)
        return;
    m_buffer += line;
    m_buffer += '\n';
    if (flushNow || m_buffer.size() >= kFlushBytes ||
        std::chrono::steady_clock::now() - m_lastWrite >= kFlushAge)
        WriteOut();
}

void CSessionTrace::WriteOut() {
    const int fd = m_fd.load();
    size_t done = 0;
    while (fd >= 0 && done < m_buffer.size()) {
        const ssize_t n = write(fd, m_buffer.data() + done, m_buffer.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // a full disk loses the trace, never the update
        done += static_cast<size_t>(n);
    }
    m_buffer.clear();
    m_lastWrite = std::chrono::steady_clock::now();
}

void CSessionTrace::Flush() {
    if (!Enabled())
        return;
    std::lock_guard<std::mutex> hold(m_lock);
    WriteOut();
}

void CSessionTrace::Close() {
    std::lock_guard<std::mutex> hold(m_lock);
    WriteOut();
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        close(fd);
}
