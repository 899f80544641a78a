// The run's frame trace (--trace FILE): one JSON object per line, appended to
// FILE, for every frame sent and received, bytes the deframer dropped, port
// opens and closes, port walks, pauses longer than a second and the run's
// end. The reader thread and the worker both write. A frame is only queued
// (its time and bytes) on the link's path; the caller turns the queue into
// lines with Settle() once the frame is sent or handed on, so the text costs
// the link nothing. The queue keeps the order of the events; lines reach the
// file at every event that is no frame, when the buffer is large, a moment
// after the last write, and at every end. Without --trace every call returns
// at once.
// The trace never ends a run: no call throws, and a trace that cannot be
// written is one warning on standard error, after which tracing stops. The
// file only ever holds complete lines.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "Types.h"

// Free space the trace leaves on its file system: it stops, with a warning,
// rather than take the room the run still needs for its result file's
// replacement (a 64-byte file, one block), its report and the program log's
// last entries (at most 2 KiB each).
constexpr unsigned long long kTraceReserveBytes = 256 * 1024;

// One interface entry a port walk found.
struct STraceWalkEntry {
    std::string entry;    // the option driver's entry, e.g. 1-1:1.2
    std::string path;     // the USB device's port path, e.g. 1-1
    std::string product;  // product ID, four upper-case hex digits; empty when unreadable
    std::string iface;    // interface number, e.g. 02
    std::string node;     // ttyUSB<n>; empty when it has none
    bool ours = false;    // the device whose ports the walk took
};

class CSessionTrace {
public:
    static CSessionTrace& Instance();

    // Opens FILE for appending, never through a symbolic link; false with
    // the warning to show in *error.
    bool Open(const std::string& path, std::string* error);
    bool Enabled() const { return m_fd.load(std::memory_order_relaxed) >= 0; }
    // The link's mode as the program sees it: the boot loader's download mode or not.
    void SetDownloadMode(bool download) { m_download.store(download); }

    // The trace's first line: the package the run installs, by its identity
    // and SHA-256, so that a replay can be run with the same package.
    void Package(const std::string& identity, const std::string& sha256);
    // Queues a frame: payload without its CRC; port the node's path.
    void Frame(const char* port, bool tx, const BYTE* payload, DWORD length, bool flag, bool crcOk);
    // Turns the queued frames into lines, and writes them out when due.
    void Settle();
    // Bytes sent outside frames (AT lines).
    void Raw(const char* port, const BYTE* bytes, DWORD length);
    // reason: "short" (a frame of fewer bytes than a CRC), "overlong" (longer
    // than the receive buffer; hex holds its first bytes, fullLength the
    // count), "cut" (a frame the port's end cut off). A frame with a bad CRC
    // is a frame event with crc_ok false.
    void Dropped(const char* port, const BYTE* bytes, DWORD length, const char* reason,
                 DWORD fullLength);
    // error: the adapter's last error code of a failed open (0 none).
    void PortOpen(const char* port, bool ok, unsigned long error);
    void PortClose(const char* port, bool ok);
    void Walk(bool found, const std::vector<STraceWalkEntry>& entries);
    void Pause(unsigned long ms, unsigned long scaledMs);
    // The run's end, written at once. Frames the worker still sends while
    // an interrupted run ends may follow it: the modem saw them.
    void End(const std::string& result, int errorCode);
    // Writes everything queued; safe from any thread, at any end.
    void Flush();
    void Close();

    // The line of a frame event, without the line feed (tests read it back).
    static std::string FrameLine(double seconds, const char* port, bool download, bool tx,
                                 const BYTE* payload, DWORD length, bool flag, bool crcOk);

private:
    // An event in the queue: a frame's fields and bytes, or a line made already.
    struct SEvent {
        bool isLine = false;
        std::string bytes;  // the frame's payload, or the line
        double seconds = 0;
        std::string port;  // the node's name
        bool download = false, tx = false, flag = false, crcOk = false;
    };
    // Events keep their strings' room when they are used again.
    struct SQueue {
        std::vector<SEvent> events;
        size_t used = 0;
        SEvent& Next();
    };

    CSessionTrace() = default;
    ~CSessionTrace() { Close(); }  // an exit() anywhere still writes the last lines
    CSessionTrace(const CSessionTrace&) = delete;
    CSessionTrace& operator=(const CSessionTrace&) = delete;
    double Seconds() const;
    void AppendLine(const std::string& line);  // queued, then settled and written
    void Drain(bool writeNow);
    void WriteOut();  // m_writeLock held
    // Bytes of the buffer's complete lines that may go to the file now:
    // all, or those that leave kTraceReserveBytes free. *why says why not all.
    size_t RoomInFile(int fd, std::string* why) const;
    // Ends the trace with one warning; m_writeLock held.
    void Stop(const std::string& why);
    // Runs work; an exception it throws stops the trace instead of the run.
    template <typename Work>
    void Guarded(Work work) noexcept;

    std::atomic<int> m_fd{-1};
    std::atomic<bool> m_download{false};
    std::mutex m_queueLock;  // m_queue; held only to queue or take events
    SQueue m_queue;
    std::mutex m_writeLock;  // the rest; held while events become text
    SQueue m_taken;
    std::string m_buffer;  // complete lines only
    std::string m_path;    // as given, for the warnings
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastWrite;
};

// Shorthand: the one trace of the process.
inline CSessionTrace& SessionTrace() {
    return CSessionTrace::Instance();
}
