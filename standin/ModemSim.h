// The modem stand-in: plays the device's side of the modem contract over
// pseudo-terminals under a root directory, so that the real program (with
// FLASHPILOT_ROOT pointing at the same root) finds, drives and flashes it.
//
// Start() creates the USB device in ROOT/sys/devices/.../usb<bus>/<port path>/
// (idVendor, idProduct, devpath, power/control and an interface directory
// per port with modalias, bInterfaceNumber and a ttyUSB<n> child), the links
// ROOT/sys/bus/usb/drivers/option/<entry> to those interface directories, and
// ROOT/dev/ttyUSB<n> links to terminals in raw mode; one worker thread serves every terminal. The
// device vanishes and comes back under new node names when it reboots (switch to download mode,
// download reset, control reset). All accessors are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Hdlc.h"

namespace modemsim {

enum class Mode { kAbsent, kNormal, kDownload };
const char* ModeName(Mode mode);

// An acknowledgement fault in download mode: which packet it hits.
struct AckFault {
    enum Target { kNone, kErase, kBlock, kEnd, kReset };
    Target target = kNone;
    uint32_t block = 0;   // block number on the wire (kBlock), any unit
    bool always = false;  // false: only the first `times` times
    int times = 1;
};

// Faults; "count" fields take 0 (off), N (the first N times) or kAlways.
struct Faults {
    static constexpr int kAlways = -1;
    AckFault dropAck;                // the device does the work but sends no 0x02
    AckFault nakAck;                 // the device answers 03 <cmd> and does nothing
    int badCrcCommand = -1;          // replies starting with this byte get a bad CRC
    int badCrcCount = 1;             // ... the first N of them, or kAlways
    std::string boardClassField;     // non-empty: the 20-byte board class holds this text
    bool boardClassNak = false;      // the board class reply starts with 0x03
    int refuseBackup = 0;            // backup order answered with status 5
    int restoreBusy = 0;             // restore status 2 for the first N queries
    int refuseRestore = 0;           // restore order answered with status 5
    bool noReturn = false;           // gone for good after the download reset
    bool startInDownload = false;    // enumerates as the boot loader at start
    int imeiLengthByte = 8;          // byte 0 of NV item 550
    unsigned replyDelayMs = 0;       // every reply is sent this late (scaled)
    bool lineNoise = false;          // stray bytes and a flag go before every reply
    int unsolicitedFrames = 0;       // frames nobody asked for, after every reply
    AckFault paddedAck;              // this acknowledgement padded with filler ...
    size_t paddedAckLength = 66548;  // ... to this many bytes: the largest frame
    AckFault hangUp;                 // half of this acknowledgement's frame, then a hang-up
    bool returnAfterHangUp = false;  // ... and back in download mode after downloadRebootMs
    bool foreignVendor = false;      // modalias carries another vendor ID
    bool noOptionDir = false;        // the option driver directory is never created
    bool keepVersion = false;        // the new firmware does not take: the old version stays
    std::string holdLockRole;        // non-empty: this port ("all": every port) of the first
                                     // enumeration is locked ...
    unsigned holdLockMs = 0;         // ... by the stand-in for this long (scaled; 0: to the end)
    bool holdExclusive = false;      // ... in exclusive mode (TIOCEXCL) instead of with flock
};

struct Options {
    std::string root;        // required
    std::string traceFile;   // empty: no trace file (the trace is kept in memory anyway)
    size_t traceBytes = 0;   // > 0: the trace file shows at most this many bytes per frame
    double timeScale = 1.0;  // 0 < F <= 1, multiplies every delay
    int productRow = 11;     // product table row in normal mode
    int loaderRow = 8;       // product table row of the boot loader
    std::string versionBefore = "11.608.13.02.00";
    // The version the device runs after a download: by default the target
    // version of the sample packages of the demo and the tests.
    std::string versionAfter = "11.810.09.17.00";
    std::string imei = "861234567890123";
    std::string boardType = "QM90W";
    std::string dashboardVersion = "UTPS11.002.03.01.03";
    std::vector<int> restoreStatus = {0};  // one value per query, the last repeats
    unsigned downloadRebootMs = 3000;      // reboot into download mode (scaled)
    unsigned normalRebootMs = 5000;        // reboot into normal mode (scaled)
    unsigned vanishDelayMs = 200;          // from the last reply to the hang-up (scaled)
    bool reuseNodeNumbers = false;         // false: every enumeration takes new ttyUSB numbers
    int firstNode = 0;                     // number of the first node (ttyUSB<n>)
    std::string portPath = "1-1";          // the USB port path: device directory and entry names
    // Non-empty: the device's side of this recorded run (the program's
    // --trace file) is played instead of the device; faults are not used.
    std::string replayFile;
    Faults faults;
};

struct Counters {
    int enumerations = 0;  // appearances, the first one included
    int vanishes = 0;
    int atLines = 0;
    int framesIn = 0;
    int badFramesIn = 0;
    int framesOut = 0;
    int downloadSwitches = 0;  // 0x3A in normal mode
    int controlResets = 0;     // 0x29 mode 2
    int downloadResets = 0;    // 0x0A
    int lastControlMode = 0;   // last mode of 0x29
    int backups = 0;
    int backupRefusals = 0;
    int restoreQueries = 0;
    int restoreOrders = 0;
    int restoreRefusals = 0;
    int lastRestoreOrder = 0;  // 0x14 or 0x15
    int adjustments = 0;
    int nvReads = 0;
    int erases = 0;
    int blocks = 0;
    int blockResends = 0;
    int ends = 0;
    int droppedAcks = 0;
    int naks = 0;
    int hangUps = 0;           // acknowledgements cut off by a hang-up
    int framesNotPowerOn = 0;  // frames received while power/control did not read "on"
    int exclusiveCleared = 0;  // ports held in exclusive mode found without it at release
};

struct PortInfo {
    std::string role;             // "modem", "diag" or "pcui"
    std::string node;             // ttyUSB<n>
    std::string entry;            // option driver entry, e.g. 1-1:1.2
    std::string interfaceNumber;  // "02"
};

struct Snapshot {
    Mode mode = Mode::kAbsent;
    int generation = 0;  // number of the current enumeration
    std::vector<PortInfo> ports;
    Counters counters;
    std::string installedVersion;
};

// One flashed unit: erased with 0x41, written with 0x42, closed with 0x43.
struct UnitCapture {
    uint32_t type = 0;
    uint32_t erasedLength = 0;
    std::vector<Bytes> blocks;  // block k (from 1) at index k - 1
    bool ended = false;
    Bytes Data() const;
    size_t Size() const;  // bytes of Data(), without gathering them
};

struct TraceEntry {
    double seconds = 0;  // since Start
    Mode mode = Mode::kAbsent;
    std::string node;
    bool received = false;  // from the program (true) or to it
    std::string kind;       // flag, noflag, raw, badcrc; sent only: noise, unsolicited, cut
    Bytes bytes;
    // The trace file line, without the line feed; maxBytes > 0 shows at most
    // that many bytes, then " ..." when there are more.
    std::string Line(size_t maxBytes = 0) const;
};

// Product table: interface numbers ("00".."03", empty when none) of a row.
struct ProductRow {
    const char* modem;
    const char* diag;
    const char* pcui;
};
bool LookupProductRow(int row, ProductRow* out);
std::string ProductIdOfRow(int row);  // "140B" for row 11
constexpr const char* kVendorId = "1F4B";
constexpr const char* kForeignVendorId = "ABCD";

class ModemSim {
public:
    explicit ModemSim(Options options);
    ~ModemSim();
    ModemSim(const ModemSim&) = delete;
    ModemSim& operator=(const ModemSim&) = delete;

    // Builds the tree and the terminals and starts serving; false with a reason.
    bool Start(std::string* error);
    // Ends the worker, removes the device's entries and links, closes every fd.
    void Stop();

    Mode CurrentMode() const;
    Snapshot GetSnapshot() const;
    // Waits (condition variable) until pred holds; false on time-out (real ms).
    bool WaitUntil(const std::function<bool(const Snapshot&)>& pred, unsigned timeoutMs) const;
    // Waits until the device is enumerated in the given mode (or absent).
    bool WaitForMode(Mode mode, unsigned timeoutMs) const;
    // ROOT/dev/<node> of the current port with the role, empty when none.
    std::string DevPath(const std::string& role) const;
    // The USB device directory in the device tree (it exists while the device
    // is enumerated; every enumeration makes it anew).
    std::string DeviceDir() const;
    // Lets go of the ports held (Faults::holdLockRole) now.
    void ReleaseHeldPorts();

    std::vector<UnitCapture> Units() const;   // in order of the first erase
    std::map<uint32_t, Bytes> Flash() const;  // unit type -> data
    bool WriteFlashFiles(const std::string& dir, std::string* error) const;
    std::vector<TraceEntry> Trace() const;
    std::vector<std::string> Violations() const;  // protocol breaches seen
    // Replay: requests that differed from the recording or that it does not
    // hold (only the first is answered by nothing further), and how many of
    // the recorded requests were matched, of how many.
    std::vector<std::string> ReplayBreaches() const;
    size_t ReplayMatched() const;
    size_t ReplayRecorded() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace modemsim
