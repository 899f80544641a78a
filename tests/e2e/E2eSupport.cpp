#include "E2eSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "Crc16.h"
#include "PortDiscovery.h"

extern char** environ;

namespace e2e {

const char kPackageFile[] = "MODEM_FIRMWARE.BIN";
const char kStringFile[] = "StringList.strings";
const char kLogFile[] = "KorvelFlashPilotLog.log";
const char kResultFile[] = "FlashPilot-Result";
const char kOptionDirPath[] = "/sys/bus/usb/drivers/option";
const char kGuardBusyText[] =
    "A Link Companion application or another FlashPilot is running!\nFlashPilot can not run!\n";

namespace {

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string TempBase() {
    const char* tmp = std::getenv("TMPDIR");
    return (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
}

// Waits for pid to end, at most timeoutMs (negative: without limit). true
// when it ended; *status holds its wait status. Sleeps in the kernel.
bool WaitChild(pid_t pid, int timeoutMs, int* status) {
    if (timeoutMs >= 0) {
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            pollfd p = {pidfd, POLLIN, 0};
            int rc;
            do {
                rc = poll(&p, 1, timeoutMs);
            } while (rc < 0 && errno == EINTR);
            close(pidfd);
            if (rc == 0)
                return false;
        } else {
            // No pidfd: look every 10 ms, sleeping in between.
            long long deadline = NowMs() + timeoutMs;
            for (;;) {
                pid_t r = waitpid(pid, status, WNOHANG);
                if (r == pid)
                    return true;
                if (r < 0 && errno != EINTR)
                    return true;
                if (NowMs() >= deadline)
                    return false;
                timespec ts = {0, 10 * 1000 * 1000};
                nanosleep(&ts, nullptr);
            }
        }
    }
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR)
            return true;
    }
    return true;
}

sockaddr_in Loopback(int port) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// Programs started by ProgramRun and not yet waited for: children of this
// process that are no orphans.
std::mutex g_runningLock;
std::set<pid_t> g_running;

void Track(pid_t pid, bool running) {
    std::lock_guard<std::mutex> lock(g_runningLock);
    if (running)
        g_running.insert(pid);
    else
        g_running.erase(pid);
}

bool Tracked(pid_t pid) {
    std::lock_guard<std::mutex> lock(g_runningLock);
    return g_running.count(pid) != 0;
}

// Children of this process whose command name is comm (zombies included),
// other than the programs that ProgramRun still runs.
std::vector<pid_t> OrphansNamed(const std::string& comm) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    const pid_t self = getpid();
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0')
            continue;
        std::string stat = ReadFile(std::string("/proc/") + entry->d_name + "/stat");
        size_t open = stat.find('(');
        size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            continue;
        std::string name = stat.substr(open + 1, close - open - 1);
        long ppid = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) != 2)
            continue;
        if (ppid == self && name == comm && !Tracked(static_cast<pid_t>(pid)))
            found.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return found;
}

}  // namespace

// ---- Files and directories -------------------------------------------------

TempDir::TempDir(const std::string& tag) {
    std::string pattern = TempBase() + "/" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr)
        m_path = buffer.data();
}

TempDir::~TempDir() {
    const char* keep = std::getenv("FP_KEEP_TEMP");
    if (!m_path.empty() && !(keep != nullptr && std::strcmp(keep, "1") == 0))
        RemoveTree(m_path);
}

std::string TempDir::operator/(const std::string& relative) const {
    return m_path + "/" + relative;
}

bool MakeDirs(const std::string& path) {
    if (path.empty())
        return false;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0755);  // a test may have made it unreadable
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* entry = readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                    continue;
                RemoveTree(path + "/" + entry->d_name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool ReadFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *bytes = buffer.str();
    return true;
}

std::string ReadFile(const std::string& path) {
    std::string bytes;
    ReadFile(path, &bytes);
    return bytes;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// ---- Helper tools ----------------------------------------------------------

ToolResult RunTool(const std::vector<std::string>& argv) {
    ToolResult result;
    if (argv.empty())
        return result;
    TempDir capture("fp-tool");
    std::string outPath = capture / "output.txt";
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fd);
    if (pid < 0)
        return result;
    int status = 0;
    if (!WaitChild(pid, 60000, &status)) {
        kill(pid, SIGKILL);
        WaitChild(pid, -1, &status);
    }
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    result.output = ReadFile(outPath);
    return result;
}

// ---- Packages and program files --------------------------------------------

bool BuildPackage(const std::string& out, const std::string& identity,
                  const std::vector<PackageUnit>& units, std::string* error, unsigned frameSize) {
    std::vector<std::string> argv = {
        std::string(FP_BIN_DIR) + "/fwpack", "build", "-o", out, "--identity", identity};
    if (frameSize != 0) {
        argv.push_back("--frame-size");
        argv.push_back(std::to_string(frameSize));
    }
    for (size_t i = 0; i < units.size(); ++i) {
        std::string file = out + ".unit" + std::to_string(i);
        if (!WriteFile(file, units[i].data)) {
            if (error)
                *error = "cannot write " + file;
            return false;
        }
        char type[16];
        std::snprintf(type, sizeof type, "0x%08X", units[i].type);
        argv.push_back(std::string(type) + ":" + file);
    }
    ToolResult r = RunTool(argv);
    if (r.exitStatus != 0 && error)
        *error = "fwpack build: " + r.output;
    return r.exitStatus == 0;
}

bool AttachPackage(const std::string& out, const std::string& package, std::string* error,
                   const std::string& image) {
    ToolResult r =
        RunTool({std::string(FP_BIN_DIR) + "/fwpack", "attach", "-o", out, image, package});
    if (r.exitStatus != 0 && error)
        *error = "fwpack attach: " + r.output;
    return r.exitStatus == 0;
}

bool SetPackageIdentity(std::string* package, const std::string& identity) {
    constexpr size_t kHeader = 92;  // the first unit header
    constexpr size_t kIdentity = kHeader + 60;
    constexpr size_t kCrc = kHeader + 92;
    constexpr size_t kHeaderSize = 98;
    if (identity.size() > 31 || package->size() < kHeader + kHeaderSize)
        return false;
    std::fill(package->begin() + kIdentity, package->begin() + kIdentity + 32, '\0');
    std::copy(identity.begin(), identity.end(), package->begin() + kIdentity);
    (*package)[kCrc] = 0;
    (*package)[kCrc + 1] = 0;
    WORD crc = 0;
    CalculateCRC(reinterpret_cast<const BYTE*>(package->data() + kHeader), kHeaderSize, crc);
    (*package)[kCrc] = static_cast<char>(crc & 0xFF);
    (*package)[kCrc + 1] = static_cast<char>(crc >> 8);
    return true;
}

std::vector<PackageUnit> SmallUnits() {
    std::string table(464, '\0');
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    std::string image(5000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>((i * 13 + 1) & 0xFF);
    return {{0x00010000, table}, {0x00110000, image}};
}

bool MakeProgramFile(const std::string& dir, const std::string& name, const std::string& identity,
                     const std::vector<PackageUnit>& units, std::string* package,
                     std::string* error, bool patchIdentity) {
    TempDir work("fp-pack");
    std::string pkgPath = work / "package.bin";
    const std::string buildIdentity = patchIdentity ? "V000:PLACEHOLDER:0.0" : identity;
    if (!BuildPackage(pkgPath, buildIdentity, units, error))
        return false;
    if (patchIdentity) {
        std::string bytes;
        if (!ReadFile(pkgPath, &bytes) || !SetPackageIdentity(&bytes, identity) ||
            !WriteFile(pkgPath, bytes)) {
            if (error)
                *error = "cannot patch the identity to " + identity;
            return false;
        }
    }
    if (!AttachPackage(dir + "/" + name, pkgPath, error))
        return false;
    if (package != nullptr && !ReadFile(pkgPath, package)) {
        if (error)
            *error = "cannot read " + pkgPath;
        return false;
    }
    return true;
}

// ---- The guard port --------------------------------------------------------

bool PortIsFree(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = Loopback(port);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 1) == 0;
    close(fd);
    return ok;
}

namespace {

// True when nothing at all holds the port, not even a closed connection
// lingering in TIME_WAIT: a plain bind without SO_REUSEADDR succeeds.
bool PortIsUnused(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr = Loopback(port);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

}  // namespace

int UniqueGuardPort() {
    // Below the ephemeral range; spread by process id so that parallel test
    // processes start far apart, then step on within this process. The port
    // must be unused: a PortHolder takes it with a plain bind, which a
    // connection of an earlier run left in TIME_WAIT would refuse.
    static std::atomic<int> next{static_cast<int>(getpid() * 97 % 8000)};
    for (int attempt = 0; attempt < 200; ++attempt) {
        int port = 23000 + (next.fetch_add(1) % 8000 + 8000) % 8000;
        if (port != 22222 && PortIsUnused(port) && PortIsFree(port))
            return port;
    }
    return 0;
}

PortHolder::PortHolder(int port, bool listenOnIt) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    sockaddr_in addr = Loopback(port);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (listenOnIt && listen(m_fd, 5) != 0)) {
        close(m_fd);
        m_fd = -1;
    }
}

PortHolder::~PortHolder() {
    if (m_fd >= 0)
        close(m_fd);
}

// ---- Runs of the program ---------------------------------------------------

ProgramRun::~ProgramRun() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        int status = 0;
        WaitChild(m_pid, -1, &status);
        Track(m_pid, false);
        m_pid = -1;
    }
    if (m_stdoutReader.joinable())
        m_stdoutReader.join();
    if (!m_ownCaptureDir.empty())
        RemoveTree(m_ownCaptureDir);
}

bool ProgramRun::Start(const RunOptions& options) {
    if (m_pid > 0)
        return false;
    m_result = RunResult();
    m_timeoutMs = options.timeoutMs;

    std::string captureDir = options.captureDir;
    if (captureDir.empty()) {
        std::string pattern = TempBase() + "/fp-run-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr)
            return false;
        captureDir = m_ownCaptureDir = buffer.data();
    }
    m_result.stdoutPath = captureDir + "/stdout.txt";
    m_result.stderrPath = captureDir + "/stderr.txt";

    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls run.
    std::vector<std::string> env;
    const char kBusVariable[] = "DBUS_SYSTEM_BUS_ADDRESS=";
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "FLASHPILOT_", 11) != 0 &&
            std::strncmp(*e, kBusVariable, sizeof kBusVariable - 1) != 0)
            env.push_back(*e);
    }
    // Never the host's system bus: a ModemManager there must not be asked
    // about the stand-in's ports.
    bool busGiven = false;
    for (const auto& kv : options.extraEnv)
        busGiven = busGiven || kv.first + "=" == kBusVariable;
    if (!busGiven)
        env.push_back(kBusVariable + ("unix:path=" + captureDir + "/no-system-bus"));
    if (!options.root.empty())
        env.push_back("FLASHPILOT_ROOT=" + options.root);
    if (options.guardPort != 0)
        env.push_back("FLASHPILOT_GUARD_PORT=" + std::to_string(options.guardPort));
    if (!options.timeScale.empty())
        env.push_back("FLASHPILOT_TIME_SCALE=" + options.timeScale);
    for (const auto& kv : options.extraEnv)
        env.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string command = options.command;
    std::vector<std::string> arguments = options.arguments;
    std::vector<char*> argv = {&command[0]};
    for (std::string& argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    int outFd = open(m_result.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int errFd = open(m_result.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int inFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (outFd < 0 || errFd < 0 || inFd < 0) {
        if (outFd >= 0)
            close(outFd);
        if (errFd >= 0)
            close(errFd);
        if (inFd >= 0)
            close(inFd);
        return false;
    }
    int childOut = outFd;
    if (options.stdoutLimit > 0) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            close(outFd);
            close(errFd);
            close(inFd);
            return false;
        }
        childOut = pipeFds[1];
        const size_t limit = options.stdoutLimit;
        m_stdoutReader = std::thread([readFd = pipeFds[0], outFd, limit] {
            char chunk[512];
            for (size_t left = limit; left > 0;) {
                const ssize_t n = read(readFd, chunk, std::min(left, sizeof chunk));
                if (n <= 0)
                    break;
                if (write(outFd, chunk, static_cast<size_t>(n)) != n)
                    break;
                left -= static_cast<size_t>(n);
            }
            close(readFd);
            close(outFd);
        });
    }
    // Orphans of the run come back to this process, so that Wait can tell
    // whether the program left a process of its own behind.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    size_t slash = command.rfind('/');
    m_comm = command.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 15);
    m_startMs = NowMs();
    pid_t pid = fork();
    if (pid == 0) {
        if (options.uid != 0 &&
            (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0 || setuid(options.uid) != 0))
            _exit(126);
        if (chdir(options.workDir.c_str()) != 0)
            _exit(126);
        dup2(inFd, 0);
        dup2(childOut, 1);
        dup2(errFd, 2);
        execve(command.c_str(), argv.data(), envp.data());
        // Why the program did not start, for the row's failure message.
        char why[64];
        const int n = std::snprintf(why, sizeof why, "execve failed: errno %d\n", errno);
        if (n > 0 && write(2, why, static_cast<size_t>(n)) < 0)
            _exit(127);
        _exit(127);
    }
    close(childOut);  // the pipe's reader closes outFd itself
    close(errFd);
    close(inFd);
    if (pid < 0)
        return false;
    m_pid = pid;
    Track(pid, true);
    m_result.started = true;
    return true;
}

RunResult ProgramRun::Wait() {
    if (m_pid <= 0)
        return m_result;
    int status = 0;
    long long left = m_timeoutMs - (NowMs() - m_startMs);
    if (!WaitChild(m_pid, static_cast<int>(std::max(0LL, left)), &status)) {
        m_result.timedOut = true;
        kill(m_pid, SIGKILL);
        WaitChild(m_pid, -1, &status);
    }
    Track(m_pid, false);
    m_pid = -1;
    if (m_stdoutReader.joinable())
        m_stdoutReader.join();
    for (pid_t orphan : OrphansNamed(m_comm)) {
        ++m_result.leftoverProcesses;
        kill(orphan, SIGKILL);
        int ignored = 0;
        WaitChild(orphan, -1, &ignored);
    }
    if (WIFEXITED(status)) {
        m_result.exited = true;
        m_result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        m_result.termSignal = WTERMSIG(status);
    }
    m_result.out = ReadFile(m_result.stdoutPath);
    m_result.err = ReadFile(m_result.stderrPath);
    return m_result;
}

bool ProgramRun::Signal(int sig) {
    return m_pid > 0 && kill(m_pid, sig) == 0;
}

RunResult RunProgram(const RunOptions& options) {
    ProgramRun run;
    if (!run.Start(options))
        return RunResult();
    return run.Wait();
}

// ---- Fake sysfs option trees -----------------------------------------------

std::string Modalias(const std::string& vendor, const std::string& pid,
                     const std::string& interfaceNumber, const std::string& bcdDevice) {
    return "usb:v" + vendor + "p" + pid + "d" + bcdDevice + "dc00dsc00dp00icFFiscFFipFFin" +
           interfaceNumber;
}

bool MakeRootTree(const std::string& root, bool withOptionDir) {
    bool ok = MakeDirs(root + "/dev") && MakeDirs(root + "/users");
    if (withOptionDir)
        ok = ok && MakeDirs(root + kOptionDirPath);
    return ok;
}

bool AddOptionEntry(const std::string& root, const FakeInterface& entry) {
    std::string dir = root + kOptionDirPath + "/" + entry.entry;
    if (!MakeDirs(dir))
        return false;
    if (!entry.modalias.empty() && !WriteFile(dir + "/modalias", entry.modalias + "\n"))
        return false;
    if (!entry.interfaceNumber.empty() &&
        !WriteFile(dir + "/bInterfaceNumber", entry.interfaceNumber + "\n"))
        return false;
    if (!entry.tty.empty() && !MakeDirs(dir + "/" + entry.tty))
        return false;
    return true;
}

std::vector<std::pair<std::string, std::string>> AddFakeDevice(const std::string& root,
                                                               const std::string& vendor,
                                                               const std::string& pid,
                                                               std::vector<std::string> interfaces,
                                                               int firstTty) {
    std::sort(interfaces.begin(), interfaces.end());
    std::vector<std::pair<std::string, std::string>> nodes;
    for (size_t k = 0; k < interfaces.size(); ++k) {
        const std::string& iface = interfaces[k];
        FakeInterface entry;
        entry.entry = "1-1:1." + std::to_string(std::strtol(iface.c_str(), nullptr, 16));
        entry.modalias = Modalias(vendor, pid, iface);
        entry.interfaceNumber = iface;
        entry.tty = "ttyUSB" + std::to_string(firstTty + static_cast<int>(k));
        if (!AddOptionEntry(root, entry))
            return {};
        nodes.emplace_back(iface, entry.tty);
    }
    return nodes;
}

FakePorts AddFakeProduct(const std::string& root, int row, int firstTty) {
    FakePorts ports;
    if (row < 1 || row > kDeviceRows)
        return ports;
    const SDeviceRow& product = Devices[row - 1];
    std::vector<std::string> interfaces;
    for (const SPortRole& role : product.m_Roles) {
        if (std::strcmp(role.m_szInterface, "_") != 0)
            interfaces.push_back(role.m_szInterface);
    }
    auto nodes = AddFakeDevice(root, kVendorId, product.m_szPID, interfaces, firstTty);
    std::string* names[3] = {&ports.modem, &ports.diag, &ports.pcui};
    for (const SPortRole& role : product.m_Roles) {
        for (const auto& node : nodes) {
            if (node.first == role.m_szInterface)
                *names[role.m_nBit] = node.second;
        }
    }
    return ports;
}

}  // namespace e2e
