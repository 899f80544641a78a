#include "PortDiscovery.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Autosuspend.h"
#include "Function.h"
#include "SessionTrace.h"
#include "TestSeams.h"
#include "UsbDevice.h"

const char kVendorId[] = "1F4B";
const char kLoaderProductId[] = "1408";

#define FP_ROW(pid, modem, diag, pcui) \
    {                                  \
        pid, {                         \
            {modem, 0}, {diag, 1}, {   \
                pcui, 2                \
            }                          \
        }                              \
    }

// clang-format off
const SDeviceRow Devices[kDeviceRows] = {
    FP_ROW("1401", "00", "01", "02"),
    FP_ROW("1402", "00", "_",  "01"),
    FP_ROW("1403", "00", "01", "02"),
    FP_ROW("1404", "_",  "00", "02"),
    FP_ROW("1405", "00", "_",  "02"),
    FP_ROW("1406", "_",  "02", "00"),
    FP_ROW("1407", "00", "01", "02"),
    FP_ROW("1408", "_",  "_",  "00"),
    FP_ROW("1409", "00", "_",  "01"),
    FP_ROW("140A", "_",  "_",  "00"),
    FP_ROW("140B", "00", "01", "02"),
    FP_ROW("140C", "00", "01", "02"),
    FP_ROW("140D", "00", "01", "03"),
    FP_ROW("140E", "_",  "01", "02"),
    FP_ROW("140F", "00", "01", "02"),
    FP_ROW("1410", "00", "01", "02"),
    FP_ROW("1411", "00", "_",  "01"),
    FP_ROW("1412", "00", "_",  "01"),
    FP_ROW("1413", "_",  "_",  "00"),
    FP_ROW("1414", "00", "01", "02"),
    FP_ROW("1415", "00", "02", "03"),
    FP_ROW("1416", "00", "02", "03"),
    FP_ROW("1417", "00", "_",  "02"),
    FP_ROW("1418", "00", "_",  "02"),
    FP_ROW("1419", "00", "_",  "01"),
    FP_ROW("141A", "00", "01", "02"),
    FP_ROW("141B", "00", "01", "03"),
    FP_ROW("141C", "00", "01", "02"),
    FP_ROW("141D", "00", "_",  "01"),
    FP_ROW("141E", "00", "02", "03"),
    FP_ROW("141F", "00", "02", "03"),
    FP_ROW("1420", "00", "02", "03"),
    FP_ROW("1421", "00", "01", "03"),
    FP_ROW("1422", "00", "01", "03"),
    FP_ROW("1423", "00", "_",  "02"),
    FP_ROW("1424", "00", "01", "02"),
    FP_ROW("1425", "00", "01", "03"),
    FP_ROW("1426", "00", "02", "01"),
};
// clang-format on

#undef FP_ROW

namespace {

const char kOptionDir[] = "/sys/bus/usb/drivers/option";

// Size of the buffers for sysfs paths and for a first line read from sysfs.
constexpr size_t kLineSize = 1024;

// A rescan prints nothing: its console lines go to the log (those the walk
// logs anyway only once). Set for the length of one walk, under its lock.
bool g_quiet = false;

void Console(const char* text, bool logged) {
    if (!g_quiet)
        std::fputs(text, stdout);
    else if (!logged)
        Log(text);
}

// The first line (newline kept) of the sysfs file dir/entry/file; false when
// the path does not fit or the file cannot be opened or is empty.
bool ReadEntryLine(const char* entry, const char* file, char* line) {
    char path[kLineSize];
    char rooted[kLineSize];
    int n = std::snprintf(path, sizeof path, "%s/%s/%s", kOptionDir, entry, file);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return false;
    if (!RootedPath(path, rooted, sizeof rooted))
        return false;
    FILE* f = std::fopen(rooted, "r");
    if (f == nullptr)
        return false;
    line[0] = '\0';
    bool ok = std::fgets(line, static_cast<int>(kLineSize), f) != nullptr;
    std::fclose(f);
    return ok;
}

// The first child of the interface entry whose name contains "ttyUSB" and
// fits a port name buffer; longer names are logged (unless quiet) and passed
// over.
bool FindTtyNode(const char* entry, char* node, bool quiet = false) {
    char path[kLineSize];
    char rooted[kLineSize];
    int n = std::snprintf(path, sizeof path, "%s/%s", kOptionDir, entry);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return false;
    if (!RootedPath(path, rooted, sizeof rooted))
        return false;
    DIR* dir = opendir(rooted);
    if (dir == nullptr)
        return false;
    bool found = false;
    while (struct dirent* child = readdir(dir)) {
        if (std::strstr(child->d_name, "ttyUSB") == nullptr)
            continue;
        // A name that does not fit is not one of our serial nodes: refuse it
        // rather than store a cut-off name.
        size_t len = std::strlen(child->d_name);
        if (len >= static_cast<size_t>(kPortNameSize)) {
            if (quiet)
                continue;
            char msg[kLineSize];
            std::snprintf(msg, sizeof msg, "The tty device name %s is too long!\n", child->d_name);
            Log(msg);
            continue;
        }
        std::memcpy(node, child->d_name, len + 1);
        found = true;
        break;
    }
    closedir(dir);
    return found;
}

char* NameForBit(int bit) {
    switch (bit) {
        case 0:
            return cmodem;
        case 1:
            return cdiag;
        case 2:
            return cpcui;
        default:
            return nullptr;
    }
}

const char* MessageForBit(int bit) {
    switch (bit) {
        case 0:
            return "modem port is %s\n";
        case 1:
            return "diag port is %s\n";
        default:
            return "PCUI port is %s\n";
    }
}

// Tries every product row against one interface entry whose modalias line
// carries the maker's vendor ID; sets the role flags of each match.
void MatchEntry(const char* entry, const char* modalias, int* roleFlags) {
    char msg[2 * kLineSize];
    for (const SDeviceRow& row : Devices) {
        if (std::strstr(modalias, row.m_szPID) == nullptr) {
            std::snprintf(msg, sizeof msg, "The PID  %s is not found!\n", row.m_szPID);
            Log(msg);
            continue;
        }
        char iface[kLineSize];
        if (!ReadEntryLine(entry, "bInterfaceNumber", iface))
            continue;
        char node[kPortNameSize] = {};
        if (!FindTtyNode(entry, node))
            continue;
        std::snprintf(msg, sizeof msg,
                      "the PID is %s  the tty device is %s the interfacenumber is %s\n",
                      row.m_szPID, node, iface);
        Log(msg);
        if (!g_quiet)
            std::printf("\n%s\n", msg);
        for (const SPortRole& role : row.m_Roles) {
            if (std::strstr(iface, role.m_szInterface) == nullptr)
                continue;
            char* name = NameForBit(role.m_nBit);
            if (name == nullptr)
                break;
            std::snprintf(name, kPortNameSize, "%s", node);
            std::snprintf(msg, sizeof msg, MessageForBit(role.m_nBit), node);
            Log(msg);
            *roleFlags |= 1 << role.m_nBit;
            break;
        }
    }
}

// One interface entry of the walk, with its USB device.
struct SWalkEntry {
    std::string name;
    std::string modalias;
    std::string deviceDir;
    std::string portPath;
    bool maker = false;    // the maker's vendor ID
    bool product = false;  // ... and a product ID of the table
};

// The device followed through the run: the port path the first successful
// walk took, and whether that walk saw no other device of the maker.
std::mutex g_deviceLock;
std::string g_recordedPath;
std::string g_pinnedPath;  // FollowOnlyDevice's path: the walks take no other
bool g_firstWalkSawOne = false;
bool g_choiceAnnounced = false;
std::vector<std::string> g_otherNodes;                    // nodes of the last walk's other devices
std::function<bool(const std::string&)> g_heldElsewhere;  // SkipDevicesHeldElsewhere's test
std::vector<std::string> g_heldLogged;  // devices held elsewhere the log named already

// Drops from paths the devices another run holds: they are never taken, so
// not a byte reaches them. The log names each such device once.
void DropDevicesHeldElsewhere(std::vector<std::string>* paths) {
    if (!g_heldElsewhere)
        return;
    for (auto it = paths->begin(); it != paths->end();) {
        if (!g_heldElsewhere(*it)) {
            ++it;
            continue;
        }
        if (std::find(g_heldLogged.begin(), g_heldLogged.end(), *it) == g_heldLogged.end()) {
            g_heldLogged.push_back(*it);
            char msg[kLineSize];
            std::snprintf(msg, sizeof msg,
                          "The modem at USB port %s is being updated by another FlashPilot; it "
                          "is left alone.\n",
                          it->c_str());
            Log(msg);
        }
        it = paths->erase(it);
    }
}

bool MatchesProductTable(const char* modalias) {
    for (const SDeviceRow& row : Devices) {
        if (std::strstr(modalias, row.m_szPID) != nullptr)
            return true;
    }
    return false;
}

// The entries of the option driver directory, in directory order; false
// when the directory cannot be opened.
bool ReadEntries(std::vector<SWalkEntry>* entries) {
    char rooted[kLineSize];
    DIR* dir = RootedPath(kOptionDir, rooted, sizeof rooted) ? opendir(rooted) : nullptr;
    if (dir == nullptr)
        return false;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strchr(entry->d_name, ':') == nullptr)
            continue;
        char modalias[kLineSize];
        if (!ReadEntryLine(entry->d_name, "modalias", modalias))
            continue;
        SWalkEntry e;
        e.name = entry->d_name;
        e.modalias = modalias;
        e.maker = std::strstr(modalias, kVendorId) != nullptr;
        e.product = e.maker && MatchesProductTable(modalias);
        const std::string path = std::string(rooted) + "/" + e.name;
        if (!ResolveUsbDevice(path.c_str(), &e.deviceDir, &e.portPath))
            continue;
        entries->push_back(e);
    }
    closedir(dir);
    return true;
}

// True when every entry of the device at portPath enumerates as the boot
// loader.
bool IsBootLoader(const std::vector<SWalkEntry>& entries, const std::string& portPath) {
    bool any = false;
    for (const SWalkEntry& e : entries) {
        if (!e.product || e.portPath != portPath)
            continue;
        if (e.modalias.find(std::string("p") + kLoaderProductId) == std::string::npos)
            return false;
        any = true;
    }
    return any;
}

// The device this walk takes its ports from; logs a device that came back on
// another port and a walk that finds the followed one absent. In the
// download's search a device elsewhere is taken only as the boot loader: a
// modem in normal mode there is another one, plugged in meanwhile.
std::string ChooseDevice(const std::vector<SWalkEntry>& entries, std::vector<std::string>* paths,
                         WalkFor purpose) {
    for (const SWalkEntry& e : entries) {
        if (e.product && std::find(paths->begin(), paths->end(), e.portPath) == paths->end())
            paths->push_back(e.portPath);
    }
    std::sort(paths->begin(), paths->end(), PortPathBefore);
    DropDevicesHeldElsewhere(paths);
    std::string chosen = ChooseDevicePath(*paths, g_recordedPath, g_firstWalkSawOne);
    char msg[kLineSize];
    if (purpose == WalkFor::kBootLoader && !g_recordedPath.empty() && !chosen.empty() &&
        chosen != g_recordedPath && !IsBootLoader(entries, chosen)) {
        std::snprintf(msg, sizeof msg,
                      "The modem at USB port %s is not in its boot loader; it is not ours and is "
                      "left alone.\n",
                      chosen.c_str());
        Log(msg);
        chosen.clear();
    }
    if (!g_recordedPath.empty() && !paths->empty() && chosen != g_recordedPath) {
        if (chosen.empty()) {
            std::snprintf(msg, sizeof msg,
                          "The modem at USB port %s is not there; the other modems are left "
                          "alone.\n",
                          g_recordedPath.c_str());
        } else {
            std::snprintf(msg, sizeof msg,
                          "The modem came back at USB port %s (it was at %s); it is the only "
                          "one.\n",
                          chosen.c_str(), g_recordedPath.c_str());
            g_recordedPath = chosen;
        }
        Log(msg);
    }
    return chosen;
}

// Says once, on the console and in the log, which of several devices is
// updated.
void AnnounceChoice(const std::string& chosen, const std::vector<std::string>& paths) {
    if (g_choiceAnnounced || chosen.empty() || paths.size() < 2)
        return;
    g_choiceAnnounced = true;
    std::string others;
    for (const std::string& path : paths) {
        if (path != chosen)
            others += (others.empty() ? "" : ", ") + path;
    }
    char msg[kLineSize];
    std::snprintf(msg, sizeof msg,
                  "%zu modems found: the modem at USB port %s is updated; left alone: USB port "
                  "%s.\n",
                  paths.size(), chosen.c_str(), others.c_str());
    std::printf("%s", msg);
    Log(msg);
}

}  // namespace

// The listing of the device at path among entries.
static SModemListing ListDevice(const std::vector<SWalkEntry>& entries, const std::string& path) {
    SModemListing modem;
    modem.portPath = path;
    modem.bootLoader = IsBootLoader(entries, path);
    std::string* nodes[] = {&modem.modemNode, &modem.diagNode, &modem.pcuiNode};
    for (const SWalkEntry& e : entries) {
        if (!e.product || e.portPath != path)
            continue;
        const size_t p = e.modalias.find(std::string("v") + kVendorId + "p");
        if (modem.productId.empty() && p != std::string::npos && p + 10 <= e.modalias.size())
            modem.productId = e.modalias.substr(p + 6, 4);
        char iface[kLineSize];
        char node[kPortNameSize] = {};
        if (!ReadEntryLine(e.name.c_str(), "bInterfaceNumber", iface) ||
            !FindTtyNode(e.name.c_str(), node, true))
            continue;
        for (const SDeviceRow& row : Devices) {
            if (e.modalias.find(std::string("p") + row.m_szPID) == std::string::npos)
                continue;
            for (const SPortRole& role : row.m_Roles) {
                if (std::strstr(iface, role.m_szInterface) != nullptr)
                    *nodes[role.m_nBit] = node;
            }
            break;
        }
    }
    return modem;
}

std::vector<SModemListing> ListModems() {
    std::vector<SWalkEntry> entries;
    std::vector<std::string> paths;
    std::vector<SModemListing> modems;
    if (!ReadEntries(&entries))
        return modems;
    for (const SWalkEntry& e : entries) {
        if (e.product && std::find(paths.begin(), paths.end(), e.portPath) == paths.end())
            paths.push_back(e.portPath);
    }
    std::sort(paths.begin(), paths.end(), PortPathBefore);
    for (const std::string& path : paths)
        modems.push_back(ListDevice(entries, path));
    return modems;
}

void FollowOnlyDevice(const std::string& portPath) {
    std::lock_guard<std::mutex> lock(g_deviceLock);
    g_pinnedPath = portPath;
    g_recordedPath = portPath;
    g_firstWalkSawOne = false;
}

void SkipDevicesHeldElsewhere(std::function<bool(const std::string& portPath)> held) {
    std::lock_guard<std::mutex> lock(g_deviceLock);
    g_heldElsewhere = std::move(held);
    g_heldLogged.clear();
}

void ForgetFollowedDevice() {
    std::lock_guard<std::mutex> lock(g_deviceLock);
    g_recordedPath = g_pinnedPath;
    g_firstWalkSawOne = false;
    g_choiceAnnounced = false;
    g_otherNodes.clear();
}

std::string FollowedDevicePath() {
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return g_recordedPath;
}

bool IsPortOfOtherDevice(const char* node) {
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return node != nullptr &&
           std::find(g_otherNodes.begin(), g_otherNodes.end(), node) != g_otherNodes.end();
}

// The walk as the trace records it: every entry with its device, product,
// interface and node, and whether its device is the one taken.
static void TraceWalk(bool found, const std::vector<SWalkEntry>& entries,
                      const std::string& chosen) {
    if (!SessionTrace().Enabled())
        return;
    std::vector<STraceWalkEntry> traced;
    for (const SWalkEntry& e : entries) {
        STraceWalkEntry t;
        t.entry = e.name;
        t.path = e.portPath;
        // usb:v<vendor>p<product>d...in<interface>
        const size_t product = e.modalias.find('p', 5);
        if (product != std::string::npos && product + 5 <= e.modalias.size())
            t.product = e.modalias.substr(product + 1, 4);
        const size_t iface = e.modalias.rfind("in");
        if (iface != std::string::npos && iface + 4 <= e.modalias.size())
            t.iface = e.modalias.substr(iface + 2, 2);
        char node[kPortNameSize] = {};
        if (FindTtyNode(e.name.c_str(), node))
            t.node = node;
        t.ours = e.product && e.portPath == chosen;
        traced.push_back(t);
    }
    SessionTrace().Walk(found, traced);
}

int GetDevicePIDAndSetPorts(WalkFor purpose) {
    std::lock_guard<std::mutex> lock(g_deviceLock);
    g_quiet = purpose == WalkFor::kRescan;
    std::memset(cmodem, 0, sizeof cmodem);
    std::memset(cdiag, 0, sizeof cdiag);
    std::memset(cpcui, 0, sizeof cpcui);
    int roleFlags = 0;

    std::vector<SWalkEntry> entries;
    if (!ReadEntries(&entries)) {
        TraceWalk(false, entries, std::string());
        char msg[kLineSize];
        std::snprintf(msg, sizeof msg, "Open %s failed!\n", kOptionDir);
        Console(msg, false);
        return -1;
    }
    std::vector<std::string> paths;
    const std::string chosen = ChooseDevice(entries, &paths, purpose);
    g_otherNodes.clear();
    std::string chosenDir;
    for (const SWalkEntry& e : entries) {
        const bool ours = e.product && e.portPath == chosen;
        if (!ours) {
            // Ports of another device are never opened, not even by the
            // search through the fixed node names.
            char node[kPortNameSize] = {};
            if (FindTtyNode(e.name.c_str(), node))
                g_otherNodes.push_back(node);
        }
        if (!e.maker) {
            char msg[kLineSize];
            std::snprintf(msg, sizeof msg, "the directory %s is not KORVEL's device !\n",
                          e.name.c_str());
            Console(msg, true);
            Log(msg);
            continue;
        }
        if (ours)
            chosenDir = e.deviceDir;
        if (ours || !e.product)
            MatchEntry(e.name.c_str(), e.modalias.c_str(), &roleFlags);
    }
    AnnounceChoice(chosen, paths);
    char ports[kLineSize];
    std::snprintf(ports, sizeof ports, "%sMODEM=%s DIAG=%s PCUI=%s\n", g_quiet ? "" : "\n", cmodem,
                  cdiag, cpcui);
    Console(ports, false);

    TraceWalk((roleFlags & 4) != 0, entries, chosen);
    if (roleFlags == 0) {
        Log("Set Ports failed !\n");
        Console("Set ports failed !\n", true);
        return -1;
    }
    if ((roleFlags & 1) == 0) {
        Log("Set modem port failed !\n");
        Console("Set modem port failed !\n", true);
    }
    if ((roleFlags & 2) == 0) {
        Log("Set diag port failed !\n");
        Console("Set diag port failed !\n", true);
    }
    if ((roleFlags & 4) == 0) {
        Log("Set pcui port failed !\n");
        Console("Set pcui port failed !\n", true);
        return -1;
    }
    if (g_recordedPath.empty()) {
        g_recordedPath = chosen;
        g_firstWalkSawOne = paths.size() == 1;
    }
    KeepDeviceAwake(chosenDir);
    return 0;
}
