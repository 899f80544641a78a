#include "ModemSim.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "SimImpl.h"

namespace modemsim {

namespace {

// Interface numbers of the 38 product rows: modem, diagnostic, PCUI.
const ProductRow kRows[38] = {
    {"00", "01", "02"}, {"00", "", "01"},   {"00", "01", "02"}, {"", "00", "02"},
    {"00", "", "02"},   {"", "02", "00"},   {"00", "01", "02"}, {"", "", "00"},
    {"00", "", "01"},   {"", "", "00"},     {"00", "01", "02"}, {"00", "01", "02"},
    {"00", "01", "03"}, {"", "01", "02"},   {"00", "01", "02"}, {"00", "01", "02"},
    {"00", "", "01"},   {"00", "", "01"},   {"", "", "00"},     {"00", "01", "02"},
    {"00", "02", "03"}, {"00", "02", "03"}, {"00", "", "02"},   {"00", "", "02"},
    {"00", "", "01"},   {"00", "01", "02"}, {"00", "01", "03"}, {"00", "01", "02"},
    {"00", "", "01"},   {"00", "02", "03"}, {"00", "02", "03"}, {"00", "02", "03"},
    {"00", "01", "03"}, {"00", "01", "03"}, {"00", "", "02"},   {"00", "01", "02"},
    {"00", "01", "03"}, {"00", "02", "01"},
};

bool MakeDirs(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return static_cast<bool>(f);
}

std::string Hex(const Bytes& bytes, size_t count) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i) {
            s.push_back(' ');
        }
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 0xF]);
    }
    return s;
}

// Removes a directory tree (entries left behind by an earlier run that died).
void RemoveAll(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (dirent* e = readdir(d)) {
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) {
                    names.push_back(e->d_name);
                }
            }
            closedir(d);
            for (const std::string& n : names)
                RemoveAll(path + "/" + n);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

constexpr size_t kMaxTraceEntries = 200000;
constexpr size_t kMaxPendingOut = 1 << 16;
constexpr auto kDrainLimit = std::chrono::milliseconds(1000);
constexpr auto kDrainRetry = std::chrono::milliseconds(10);

}  // namespace

const char* ModeName(Mode mode) {
    switch (mode) {
        case Mode::kNormal:
            return "normal";
        case Mode::kDownload:
            return "download";
        default:
            return "absent";
    }
}

bool LookupProductRow(int row, ProductRow* out) {
    if (row < 1 || row > 38) {
        return false;
    }
    *out = kRows[row - 1];
    return true;
}

std::string ProductIdOfRow(int row) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", 0x1400 + row);
    return text;
}

Bytes UnitCapture::Data() const {
    Bytes all;
    for (const Bytes& b : blocks) {
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

size_t UnitCapture::Size() const {
    size_t size = 0;
    for (const Bytes& b : blocks)
        size += b.size();
    return size;
}

std::string TraceEntry::Line(size_t maxBytes) const {
    char head[64];
    std::snprintf(head, sizeof head, "%.3f", seconds);
    std::string line = std::string(head) + " " + ModeName(mode) + " " +
                       (node.empty() ? "-" : node) + (received ? " rx " : " tx ") + kind;
    const bool cut = maxBytes > 0 && bytes.size() > maxBytes;
    if (!bytes.empty()) {
        line += " " + Hex(bytes, cut ? maxBytes : bytes.size());
    }
    if (cut) {
        line += " ...";
    }
    return line;
}

// ---------------------------------------------------------------------------

unsigned ModemSim::Impl::Scaled(unsigned ms) const {
    if (ms == 0) {
        return 0;
    }
    double v = std::ceil(ms * o.timeScale);
    return v < 1 ? 1u : static_cast<unsigned>(v);
}

SimPort* ModemSim::Impl::FindPort(int id) {
    for (SimPort& p : ports) {
        if (p.id == id) {
            return &p;
        }
    }
    return nullptr;
}

void ModemSim::Impl::Record(const SimPort* p, bool received, const char* kind, const Bytes& bytes) {
    TraceEntry e;
    e.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    e.mode = mode;
    e.node = p ? p->node : "";
    e.received = received;
    e.kind = kind;
    e.bytes = bytes;
    if (trace) {
        std::string line = e.Line(o.traceBytes);
        std::fprintf(trace, "%s\n", line.c_str());
        std::fflush(trace);
    }
    if (traceLog.size() < kMaxTraceEntries) {
        traceLog.push_back(std::move(e));
    }
}

Snapshot ModemSim::Impl::MakeSnapshot() const {
    Snapshot s;
    s.mode = mode;
    s.generation = generation;
    for (const SimPort& p : ports) {
        s.ports.push_back({p.role, p.node, p.entry, p.iface});
    }
    s.counters = c;
    s.installedVersion = installed;
    return s;
}

bool ModemSim::Impl::Appear(Mode m, std::string* error) {
    int rowNumber = m == Mode::kDownload ? o.loaderRow : o.productRow;
    int number = o.reuseNodeNumbers ? o.firstNode : nextNode;
    if (replaying && replayEnumeration < recording.enumerations.size()) {
        // As the recorded walk found it.
        const ReplayEnumeration& e = recording.enumerations[replayEnumeration];
        rowNumber = e.productRow;
        number = e.firstNode;
        m = e.download ? Mode::kDownload : Mode::kNormal;
    }
    ProductRow row{};
    LookupProductRow(rowNumber, &row);
    const std::string pid = ProductIdOfRow(rowNumber);
    struct Iface {
        std::string number, role;
    };
    std::vector<Iface> ifaces;
    if (*row.modem)
        ifaces.push_back({row.modem, "modem"});
    if (*row.diag)
        ifaces.push_back({row.diag, "diag"});
    if (*row.pcui)
        ifaces.push_back({row.pcui, "pcui"});
    std::sort(ifaces.begin(), ifaces.end(),
              [](const Iface& a, const Iface& b) { return a.number < b.number; });

    for (const Iface& f : ifaces) {
        SimPort p;
        p.id = nextPortId++;
        p.number = number++;
        p.node = "ttyUSB" + std::to_string(p.number);
        p.role = f.role;
        p.iface = f.number;
        p.entry = o.portPath + ":1." + std::to_string(std::stoi(f.number, nullptr, 16));
        if (openpty(&p.master, &p.keep, nullptr, nullptr, nullptr) != 0) {
            *error = std::string("openpty: ") + std::strerror(errno);
            Vanish();
            return false;
        }
        fcntl(p.master, F_SETFD, FD_CLOEXEC);
        fcntl(p.keep, F_SETFD, FD_CLOEXEC);
        fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
        // Raw before anyone opens it: no echo, no translation, 8 bits.
        termios t{};
        tcgetattr(p.keep, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~HUPCL;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(p.keep, TCSANOW, &t);
        char name[128] = {0};
        if (ptsname_r(p.master, name, sizeof name - 1) != 0) {
            *error = "ptsname failed";
            close(p.master);
            close(p.keep);
            Vanish();
            return false;
        }
        p.slavePath = name;
        const std::string link = devDir + "/" + p.node;
        unlink(link.c_str());
        if (symlink(p.slavePath.c_str(), link.c_str()) != 0) {
            *error = "symlink " + link + ": " + std::strerror(errno);
            close(p.master);
            close(p.keep);
            Vanish();
            return false;
        }
        ports.push_back(std::move(p));
    }
    if (!o.reuseNodeNumbers) {
        nextNode = number;
    }
    // The device directory is built aside and moved in whole, then the
    // driver's entries are linked to its interfaces, so a walk never sees a
    // half-written entry.
    if (!o.faults.noOptionDir) {
        const char* vendor = o.faults.foreignVendor ? kForeignVendorId : kVendorId;
        if (!BuildUsbDevice(vendor, pid, error)) {
            Vanish();
            return false;
        }
    }
    mode = m;
    generation++;
    c.enumerations++;
    rebooting = false;
    current = -1;
    endedThisSession = false;
    if (replaying)
        ReplayAppeared();
    cv.notify_all();
    return true;
}

bool ModemSim::Impl::BuildUsbDevice(const std::string& vendor, const std::string& pid,
                                    std::string* error) {
    auto lower = [](std::string text) {
        for (char& ch : text)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return text;
    };
    const std::string staged = stagingDir + "/" + o.portPath;
    RemoveAll(staged);
    mkdir(staged.c_str(), 0755);
    mkdir((staged + "/power").c_str(), 0755);
    WriteText(staged + "/idVendor", lower(vendor) + "\n");
    WriteText(staged + "/idProduct", lower(pid) + "\n");
    WriteText(staged + "/devpath", o.portPath.substr(o.portPath.find('-') + 1) + "\n");
    WriteText(staged + "/power/control", "auto\n");
    for (const SimPort& p : ports) {
        const std::string iface = staged + "/" + p.entry;
        mkdir(iface.c_str(), 0755);
        mkdir((iface + "/" + p.node).c_str(), 0755);
        WriteText(iface + "/modalias", "usb:v" + vendor + "p" + pid +
                                           "d0000dc00dsc00dp00icFFiscFFipFFin" + p.iface + "\n");
        WriteText(iface + "/bInterfaceNumber", p.iface + "\n");
    }
    RemoveAll(usbDir);
    if (!MakeDirs(usbDir.substr(0, usbDir.rfind('/'))) ||
        rename(staged.c_str(), usbDir.c_str()) != 0) {
        *error = "rename " + staged + ": " + std::strerror(errno);
        return false;
    }
    powerFd = open((usbDir + "/power/control").c_str(), O_RDONLY | O_CLOEXEC);
    // From the driver directory up to sys/, then down into the device tree.
    const std::string target = "../../../.." + usbDir.substr(o.root.size() + 4);
    for (const SimPort& p : ports) {
        const std::string link = optionDir + "/" + p.entry;
        RemoveAll(link);
        if (symlink((target + "/" + p.entry).c_str(), link.c_str()) != 0) {
            *error = "symlink " + link + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

void ModemSim::Impl::Vanish() {
    ReleaseLock();  // the held ports go with the device
    for (SimPort& p : ports) {
        if (!o.faults.noOptionDir)
            unlink((optionDir + "/" + p.entry).c_str());
        unlink((devDir + "/" + p.node).c_str());
        // Closing our end hangs the terminal up: the program's reads fail.
        if (p.master >= 0)
            close(p.master);
        if (p.keep >= 0)
            close(p.keep);
    }
    if (powerFd >= 0)
        close(powerFd);
    powerFd = -1;
    if (!o.faults.noOptionDir && !ports.empty()) {
        const std::string gone = stagingDir + "/gone-" + std::to_string(generation);
        if (rename(usbDir.c_str(), gone.c_str()) == 0)
            RemoveAll(gone);
    }
    ports.clear();
    const bool wasPresent = mode != Mode::kAbsent;
    mode = Mode::kAbsent;
    rebooting = false;
    if (wasPresent) {
        c.vanishes++;
    }
    cv.notify_all();
}

void ModemSim::Impl::HoldLock() {
    for (const SimPort& p : ports) {
        if (p.role != o.faults.holdLockRole && o.faults.holdLockRole != "all")
            continue;
        int fd = open(p.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // As another program holds it: an advisory lock, or the terminal's
        // exclusive mode (as a program run as root would, whose open the
        // program's root opens would pass).
        const bool held = fd >= 0 && (o.faults.holdExclusive ? ioctl(fd, TIOCEXCL) == 0
                                                             : flock(fd, LOCK_EX | LOCK_NB) == 0);
        if (!held) {
            if (fd >= 0)
                close(fd);
            continue;
        }
        lockFds.push_back(fd);
    }
    if (!lockFds.empty() && o.faults.holdLockMs > 0) {
        SimTimer t;
        t.kind = SimTimer::kUnlock;
        timers.emplace(Clock::now() + std::chrono::milliseconds(Scaled(o.faults.holdLockMs)),
                       std::move(t));
    }
}

void ModemSim::Impl::ReleaseLock() {
    for (int fd : lockFds) {
        // A port held in exclusive mode: did the program leave the flag set?
        int exclusive = 0;
        if (o.faults.holdExclusive && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0)
            c.exclusiveCleared++;
        close(fd);
    }
    lockFds.clear();
}

// Read through a descriptor kept open: the program rewrites the file in
// place, and a frame costs one pread instead of an open and a close.
bool ModemSim::Impl::PowerControlIsOn() const {
    char value[8] = {};
    const ssize_t n = powerFd < 0 ? -1 : pread(powerFd, value, sizeof value, 0);
    return (n == 2 || (n == 3 && value[2] == '\n')) && value[0] == 'o' && value[1] == 'n';
}

void ModemSim::Impl::Flush(SimPort& p) {
    while (!p.out.empty()) {
        ssize_t n = write(p.master, p.out.data(), p.out.size());
        if (n > 0) {
            p.out.erase(p.out.begin(), p.out.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            p.out.clear();  // the terminal is gone
        }
        break;
    }
    // Nobody reads this terminal: do not hoard stale replies without bound.
    if (p.out.size() > kMaxPendingOut) {
        p.out.clear();
    }
}

void ModemSim::Impl::FireTimers() {
    const auto now = Clock::now();
    while (!timers.empty() && timers.begin()->first <= now) {
        SimTimer t = std::move(timers.begin()->second);
        timers.erase(timers.begin());
        switch (t.kind) {
            case SimTimer::kSend:
                if (SimPort* p = FindPort(t.portId)) {
                    Send(*p, t.payload, t.corrupt, t.opening);
                }
                break;
            case SimTimer::kVanish: {
                // Let the program take the last reply before hanging up.
                bool pending = false;
                for (const SimPort& p : ports) {
                    int queued = 0;
                    if (!p.out.empty() || (ioctl(p.keep, FIONREAD, &queued) == 0 && queued > 0)) {
                        pending = true;
                    }
                }
                if (pending && now - t.firstTry < kDrainLimit) {
                    timers.emplace(now + kDrainRetry, std::move(t));
                    break;
                }
                Vanish();
                if (t.next != Mode::kAbsent) {
                    SimTimer a;
                    a.kind = SimTimer::kAppear;
                    a.next = t.next;
                    const unsigned delay =
                        t.appearMs >= 0 ? static_cast<unsigned>(t.appearMs)
                                        : Scaled(t.next == Mode::kDownload ? o.downloadRebootMs
                                                                           : o.normalRebootMs);
                    timers.emplace(now + std::chrono::milliseconds(delay), std::move(a));
                }
                break;
            }
            case SimTimer::kUnlock:
                ReleaseLock();
                break;
            case SimTimer::kAppear: {
                std::string error;
                if (!Appear(t.next, &error)) {
                    Violation("re-enumeration failed: " + error);
                }
                break;
            }
        }
    }
}

void ModemSim::Impl::Run() {
    std::unique_lock<std::mutex> lock(mu);
    std::vector<RxEvent> events;
    // Large enough for a whole data block frame in one read.
    std::vector<uint8_t> buf(65536);
    while (!stopping) {
        std::vector<pollfd> fds;
        std::vector<int> ids;
        fds.push_back({wake[0], POLLIN, 0});
        for (const SimPort& p : ports) {
            fds.push_back(
                {p.master, static_cast<short>(POLLIN | (p.out.empty() ? 0 : POLLOUT)), 0});
            ids.push_back(p.id);
        }
        int timeout = -1;
        if (!timers.empty()) {
            auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(timers.begin()->first - Clock::now());
            timeout = static_cast<int>(std::max<long long>(0, wait.count()));
        }
        lock.unlock();
        int ready = poll(fds.data(), fds.size(), timeout);
        lock.lock();
        if (stopping) {
            break;
        }
        if (ready > 0) {
            if (fds[0].revents & POLLIN) {
                char drain[64];
                while (read(wake[0], drain, sizeof drain) > 0) {
                }
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                SimPort* p = FindPort(ids[i - 1]);
                if (!p || fds[i].revents == 0) {
                    continue;
                }
                if (fds[i].revents & POLLIN) {
                    ssize_t n = read(p->master, buf.data(), buf.size());
                    if (n > 0) {
                        events.clear();
                        p->rx.Feed(buf.data(), static_cast<size_t>(n), &events);
                        for (const RxEvent& ev : events) {
                            OnEvent(*p, ev);
                        }
                    }
                }
                if (fds[i].revents & POLLOUT) {
                    Flush(*p);
                }
            }
        }
        FireTimers();
    }
}

// ---------------------------------------------------------------------------

ModemSim::ModemSim(Options options) : impl_(new Impl(std::move(options))) {}

ModemSim::~ModemSim() {
    Stop();
}

bool ModemSim::Start(std::string* error) {
    std::string dummy;
    if (!error)
        error = &dummy;
    Impl& s = *impl_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.started) {
        *error = "already started";
        return false;
    }
    const Options& o = s.o;
    ProductRow row{};
    if (o.root.empty()) {
        *error = "no root directory";
        return false;
    }
    if (!(o.timeScale > 0 && o.timeScale <= 1)) {
        *error = "the time scale must be above 0 and at most 1";
        return false;
    }
    if (!LookupProductRow(o.productRow, &row) || !LookupProductRow(o.loaderRow, &row)) {
        *error = "product rows run from 1 to 38";
        return false;
    }
    if (!*row.pcui) {
        *error = "the boot loader's row has no PCUI interface";
        return false;
    }
    if (o.imei.size() != 15 || !std::all_of(o.imei.begin(), o.imei.end(),
                                            [](char ch) { return ch >= '0' && ch <= '9'; })) {
        *error = "the IMEI must be 15 digits";
        return false;
    }
    if (o.versionBefore.size() > 31 || o.versionAfter.size() > 31) {
        *error = "a version text holds at most 31 characters";
        return false;
    }
    if (o.dashboardVersion.size() > 120 || o.boardType.size() > 13) {
        *error = "the dashboard version (120) or board type (13) is too long";
        return false;
    }
    if (o.restoreStatus.empty()) {
        *error = "the restore status sequence is empty";
        return false;
    }
    const size_t dash = o.portPath.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == o.portPath.size() ||
        o.portPath.find_first_not_of("0123456789-.") != std::string::npos || o.firstNode < 0) {
        *error = "a port path is a bus number, '-' and port numbers, such as 1-1 or 2-1.3";
        return false;
    }
    s.optionDir = o.root + "/sys/bus/usb/drivers/option";
    s.devDir = o.root + "/dev";
    s.stagingDir = o.root + "/sys/bus/usb/.modemsim-staging-" + o.portPath;
    s.usbDir = o.root + "/sys/devices/pci0000:00/0000:00:14.0/usb" + o.portPath.substr(0, dash) +
               "/" + o.portPath;
    s.nextNode = o.firstNode;
    if (!MakeDirs(s.devDir) || !MakeDirs(o.root + "/users") || !MakeDirs(s.stagingDir) ||
        (!o.faults.noOptionDir && !MakeDirs(s.optionDir))) {
        *error = "cannot create the tree under " + o.root + ": " + std::strerror(errno);
        return false;
    }
    RemoveAll(s.stagingDir);
    MakeDirs(s.stagingDir);
    if (!o.faults.noOptionDir) {
        // Interface entries of an earlier run on this port path that was
        // killed are stale; those of another stand-in's device are not.
        if (DIR* d = opendir(s.optionDir.c_str())) {
            std::vector<std::string> stale;
            const std::string mine = o.portPath + ":";
            while (dirent* e = readdir(d)) {
                if (std::strncmp(e->d_name, mine.c_str(), mine.size()) == 0)
                    stale.push_back(e->d_name);
            }
            closedir(d);
            for (const std::string& n : stale)
                RemoveAll(s.optionDir + "/" + n);
        }
        // Driver control files sit beside the interface entries.
        for (const char* f : {"bind", "unbind", "new_id", "remove_id", "uevent"}) {
            WriteText(s.optionDir + "/" + f, "");
        }
    }
    if (!o.traceFile.empty()) {
        s.trace = std::fopen(o.traceFile.c_str(), "we");
        if (!s.trace) {
            *error = "cannot open the trace file " + o.traceFile;
            return false;
        }
    }
    // A start that fails half-way gives back the wake pipe and the trace file.
    auto giveBack = [&s] {
        for (int& fd : s.wake) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
        if (s.trace)
            std::fclose(s.trace);
        s.trace = nullptr;
        return false;
    };
    if (pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        s.wake[0] = s.wake[1] = -1;
        *error = "pipe failed";
        return giveBack();
    }
    if (!o.replayFile.empty()) {
        if (!LoadRecording(o.replayFile, &s.recording, error))
            return giveBack();
        s.replaying = true;
    }
    s.t0 = Clock::now();
    s.installed = o.versionBefore;
    s.stopping = false;
    if (!s.Appear(o.faults.startInDownload ? Mode::kDownload : Mode::kNormal, error))
        return giveBack();
    if (!o.faults.holdLockRole.empty())
        s.HoldLock();
    s.started = true;
    s.worker = std::thread([&s] { s.Run(); });
    return true;
}

void ModemSim::Stop() {
    Impl& s = *impl_;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.started) {
            return;
        }
        s.stopping = true;
        char b = 1;
        (void)!write(s.wake[1], &b, 1);
    }
    s.worker.join();
    std::lock_guard<std::mutex> lock(s.mu);
    s.Vanish();
    s.timers.clear();
    close(s.wake[0]);
    close(s.wake[1]);
    s.wake[0] = s.wake[1] = -1;
    if (s.trace) {
        std::fclose(s.trace);
        s.trace = nullptr;
    }
    s.started = false;
}

Mode ModemSim::CurrentMode() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->mode;
}

Snapshot ModemSim::GetSnapshot() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->MakeSnapshot();
}

bool ModemSim::WaitUntil(const std::function<bool(const Snapshot&)>& pred,
                         unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return pred(impl_->MakeSnapshot()); });
}

bool ModemSim::WaitForMode(Mode mode, unsigned timeoutMs) const {
    return WaitUntil([mode](const Snapshot& s) { return s.mode == mode; }, timeoutMs);
}

std::string ModemSim::DevPath(const std::string& role) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (const SimPort& p : impl_->ports) {
        if (p.role == role) {
            return impl_->devDir + "/" + p.node;
        }
    }
    return "";
}

std::string ModemSim::DeviceDir() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->usbDir;
}

void ModemSim::ReleaseHeldPorts() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->ReleaseLock();
}

std::vector<UnitCapture> ModemSim::Units() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->units;
}

std::map<uint32_t, Bytes> ModemSim::Flash() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::map<uint32_t, Bytes> flash;
    for (const UnitCapture& u : impl_->units) {
        flash[u.type] = u.Data();
    }
    return flash;
}

bool ModemSim::WriteFlashFiles(const std::string& dir, std::string* error) const {
    std::string dummy;
    if (!error)
        error = &dummy;
    if (!MakeDirs(dir)) {
        *error = "cannot create " + dir;
        return false;
    }
    for (const auto& unit : Flash()) {
        char name[16];
        std::snprintf(name, sizeof name, "%08X.bin", unit.first);
        const std::string path = dir + "/" + name;
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(unit.second.data()),
                static_cast<std::streamsize>(unit.second.size()));
        if (!f) {
            *error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

std::vector<TraceEntry> ModemSim::Trace() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->traceLog;
}

std::vector<std::string> ModemSim::ReplayBreaches() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->breaches;
}

size_t ModemSim::ReplayMatched() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->replayNext;
}

size_t ModemSim::ReplayRecorded() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->recording.steps.size();
}

std::vector<std::string> ModemSim::Violations() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->violations;
}

}  // namespace modemsim
