#include "SessionTrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
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

// Two hex digits per byte from one table: the trace's hot loop.
void AppendHex(std::string* out, const BYTE* bytes, DWORD length) {
    static const struct Pairs {
        char text[512];
        Pairs() {
            static const char kDigits[] = "0123456789abcdef";
            for (int i = 0; i < 256; ++i) {
                text[2 * i] = kDigits[i >> 4];
                text[2 * i + 1] = kDigits[i & 0xF];
            }
        }
    } kPairs;
    const size_t at = out->size();
    out->resize(at + 2 * static_cast<size_t>(length));
    char* p = &(*out)[at];
    for (DWORD i = 0; i < length; ++i, p += 2)
        std::memcpy(p, &kPairs.text[2 * bytes[i]], 2);
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

void AppendFrameLine(std::string* line, double seconds, const char* port, bool download, bool tx,
                     const BYTE* payload, DWORD length, bool flag, bool crcOk) {
    *line += Head(seconds, "frame");
    *line += ",\"port\":";
    *line += Quoted(port);
    *line += download ? ",\"mode\":\"download\"" : ",\"mode\":\"normal\"";
    *line += tx ? ",\"dir\":\"tx\",\"hex\":\"" : ",\"dir\":\"rx\",\"hex\":\"";
    AppendHex(line, payload, length);
    *line += flag ? "\",\"flag\":true" : "\",\"flag\":false";
    *line += crcOk ? ",\"crc_ok\":true}" : ",\"crc_ok\":false}";
}

// The length of text's complete lines within its first limit bytes.
size_t CompleteLines(const std::string& text, size_t limit) {
    if (limit >= text.size())
        return text.size();  // the buffer always ends with a line feed
    const size_t feed = limit == 0 ? std::string::npos : text.rfind('\n', limit - 1);
    return feed == std::string::npos ? 0 : feed + 1;
}

}  // namespace

template <typename Work>
void CSessionTrace::Guarded(Work work) noexcept {
    try {
        work();
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> hold(m_writeLock);
        Stop(e.what());
    } catch (...) {
        std::lock_guard<std::mutex> hold(m_writeLock);
        Stop("an unknown error");
    }
}

CSessionTrace& CSessionTrace::Instance() {
    static CSessionTrace trace;
    return trace;
}

CSessionTrace::SEvent& CSessionTrace::SQueue::Next() {
    if (used == events.size())
        events.emplace_back();
    return events[used++];
}

bool CSessionTrace::Open(const std::string& path, std::string* error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        // O_NOFOLLOW refuses a link in the last place with ELOOP.
        const std::string why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        *error = "Warning: the trace " + path + " cannot be written (" + why + ").";
        return false;
    }
    bool ok = false;
    Guarded([&] {
        std::lock_guard<std::mutex> hold(m_writeLock);
        m_path = path;
        m_start = m_lastWrite = std::chrono::steady_clock::now();
        m_buffer.clear();
        m_buffer.reserve(2 * kFlushBytes);
        m_fd.store(fd);
        ok = true;
    });
    if (!ok) {
        close(fd);
        *error = "Warning: the trace " + path + " cannot be written (no memory).";
    }
    return ok;
}

double CSessionTrace::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

std::string CSessionTrace::FrameLine(double seconds, const char* port, bool download, bool tx,
                                     const BYTE* payload, DWORD length, bool flag, bool crcOk) {
    std::string line;
    AppendFrameLine(&line, seconds, BaseName(port), download, tx, payload, length, flag, crcOk);
    return line;
}

void CSessionTrace::Frame(const char* port, bool tx, const BYTE* payload, DWORD length, bool flag,
                          bool crcOk) {
    if (!Enabled())
        return;
    Guarded([&] {
        const double seconds = Seconds();
        std::lock_guard<std::mutex> hold(m_queueLock);
        SEvent& event = m_queue.Next();
        event.isLine = false;
        event.bytes.assign(reinterpret_cast<const char*>(payload), length);
        event.seconds = seconds;
        event.port.assign(BaseName(port));
        event.download = m_download.load();
        event.tx = tx;
        event.flag = flag;
        event.crcOk = crcOk;
    });
}

void CSessionTrace::Settle() {
    if (Enabled())
        Guarded([this] { Drain(false); });
}

void CSessionTrace::Raw(const char* port, const BYTE* bytes, DWORD length) {
    if (!Enabled())
        return;
    Guarded([&] {
        std::string line = Head(Seconds(), "raw") + ",\"port\":" + Quoted(BaseName(port)) +
                           ",\"dir\":\"tx\",\"hex\":\"";
        AppendHex(&line, bytes, length);
        AppendLine(line + "\"}");
    });
}

void CSessionTrace::Dropped(const char* port, const BYTE* bytes, DWORD length, const char* reason,
                            DWORD fullLength) {
    if (!Enabled())
        return;
    Guarded([&] {
        std::string line = Head(Seconds(), "dropped") + ",\"port\":" + Quoted(BaseName(port)) +
                           ",\"mode\":\"" + (m_download.load() ? "download" : "normal") +
                           "\",\"reason\":\"" + reason +
                           "\",\"length\":" + std::to_string(fullLength) + ",\"hex\":\"";
        AppendHex(&line, bytes, length);
        AppendLine(line + "\"}");
    });
}

void CSessionTrace::PortOpen(const char* port, bool ok, unsigned long error) {
    if (!Enabled())
        return;
    Guarded([&] {
        std::string line = Head(Seconds(), "open") + ",\"port\":" + Quoted(BaseName(port)) +
                           ",\"ok\":" + (ok ? "true" : "false");
        if (!ok && error != 0)
            line += ",\"error\":" + std::to_string(error);
        AppendLine(line + "}");
    });
}

void CSessionTrace::PortClose(const char* port, bool ok) {
    if (!Enabled())
        return;
    Guarded([&] {
        AppendLine(Head(Seconds(), "close") + ",\"port\":" + Quoted(BaseName(port)) +
                   ",\"ok\":" + (ok ? "true" : "false") + "}");
    });
}

void CSessionTrace::Walk(bool found, const std::vector<STraceWalkEntry>& entries) {
    if (!Enabled())
        return;
    Guarded([&] {
        nlohmann::json list = nlohmann::json::array();
        for (const STraceWalkEntry& e : entries) {
            list.push_back({{"entry", e.entry},
                            {"path", e.path},
                            {"product", e.product},
                            {"if", e.iface},
                            {"node", e.node},
                            {"ours", e.ours}});
        }
        AppendLine(Head(Seconds(), "walk") + ",\"found\":" + (found ? "true" : "false") +
                   ",\"entries\":" +
                   list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "}");
    });
}

void CSessionTrace::Pause(unsigned long ms, unsigned long scaledMs) {
    if (!Enabled())
        return;
    Guarded([&] {
        AppendLine(Head(Seconds(), "pause") + ",\"ms\":" + std::to_string(ms) +
                   ",\"scaled_ms\":" + std::to_string(scaledMs) + "}");
    });
}

void CSessionTrace::Package(const std::string& identity, const std::string& sha256) {
    if (!Enabled())
        return;
    Guarded([&] {
        AppendLine(Head(Seconds(), "package") + ",\"identity\":" + Quoted(identity.c_str()) +
                   ",\"sha256\":" + Quoted(sha256.c_str()) + "}");
    });
}

void CSessionTrace::End(const std::string& result, int errorCode) {
    if (!Enabled())
        return;
    Guarded([&] {
        AppendLine(Head(Seconds(), "end") + ",\"result\":" + Quoted(result.c_str()) +
                   ",\"error_code\":" + (errorCode < 0 ? "null" : std::to_string(errorCode)) + "}");
    });
}

void CSessionTrace::AppendLine(const std::string& line) {
    {
        std::lock_guard<std::mutex> hold(m_queueLock);
        SEvent& event = m_queue.Next();
        event.isLine = true;
        event.bytes = line;
    }
    Drain(true);
}

// The write lock is taken before the queue, so that events reach the buffer
// in the order they were queued whichever thread drains them.
void CSessionTrace::Drain(bool writeNow) {
    std::lock_guard<std::mutex> hold(m_writeLock);
    {
        std::lock_guard<std::mutex> take(m_queueLock);
        std::swap(m_queue, m_taken);
    }
    for (size_t i = 0; i < m_taken.used; ++i) {
        const SEvent& e = m_taken.events[i];
        if (e.isLine)
            m_buffer += e.bytes;
        else
            AppendFrameLine(&m_buffer, e.seconds, e.port.c_str(), e.download, e.tx,
                            reinterpret_cast<const BYTE*>(e.bytes.data()),
                            static_cast<DWORD>(e.bytes.size()), e.flag, e.crcOk);
        m_buffer += '\n';
    }
    m_taken.used = 0;
    if (writeNow || m_buffer.size() >= kFlushBytes ||
        std::chrono::steady_clock::now() - m_lastWrite >= kFlushAge)
        WriteOut();
}

size_t CSessionTrace::RoomInFile(int fd, std::string* why) const {
    struct statvfs fs;
    if (fstatvfs(fd, &fs) != 0)
        return m_buffer.size();  // the write itself will tell
    const unsigned long long unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
    const unsigned long long free = static_cast<unsigned long long>(fs.f_bavail) * unit;
    const unsigned long long room = free > kTraceReserveBytes ? free - kTraceReserveBytes : 0;
    if (room >= m_buffer.size())
        return m_buffer.size();
    *why = "its file system is nearly full";
    return CompleteLines(m_buffer, static_cast<size_t>(room));
}

// The buffer's complete lines go out in one write; what a failed or short
// write left of a line is cut off again, so the file ends with a whole line.
void CSessionTrace::WriteOut() {
    const int fd = m_fd.load();
    if (fd >= 0 && !m_buffer.empty()) {
        std::string why;
        const size_t due = RoomInFile(fd, &why);
        struct stat st;
        const off_t start = fstat(fd, &st) == 0 ? st.st_size : -1;
        size_t done = 0;
        while (done < due) {
            const ssize_t n = write(fd, m_buffer.data() + done, due - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                why = n < 0 ? std::strerror(errno) : "nothing could be written";
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (done < due && start >= 0 && ftruncate(fd, start + CompleteLines(m_buffer, done)) != 0)
            why += std::string("; a part of a line is left: ") + std::strerror(errno);
        if (!why.empty())
            Stop(why);  // a full disk loses the trace, never the update
    }
    m_buffer.clear();
    m_lastWrite = std::chrono::steady_clock::now();
}

void CSessionTrace::Stop(const std::string& why) {
    const int fd = m_fd.exchange(-1);
    if (fd < 0)
        return;
    close(fd);
    m_buffer.clear();
    std::fprintf(stderr, "Warning: the trace %s stops here (%s).\n", m_path.c_str(), why.c_str());
    std::fflush(stderr);
}

void CSessionTrace::Flush() {
    if (Enabled())
        Guarded([this] { Drain(true); });
}

void CSessionTrace::Close() {
    Guarded([this] { Drain(true); });
    std::lock_guard<std::mutex> hold(m_writeLock);
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        close(fd);
}
