#include "PortClaim.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "Function.h"
#include "TestSeams.h"

namespace {

constexpr size_t kPathSize = 1024;

std::mutex g_announcedLock;
std::set<std::string> g_announced;  // nodes whose holder was named
bool g_permissionTold = false;
std::map<std::string, std::string> g_problems;  // node -> why its last open failed

// The node as the user knows it: /dev/ and the base name of the opened path
// (the opened path may carry the test root).
std::string PlainNode(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return std::string("/dev/") + (slash != nullptr ? slash + 1 : path);
}

// The command name of a process from /proc, "?" when it cannot be read.
std::string CommandName(long pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    char name[64] = {};
    FILE* f = std::fopen(path, "re");
    if (f == nullptr)
        return "?";
    const bool read = std::fgets(name, sizeof name, f) != nullptr;
    std::fclose(f);
    if (!read)
        return "?";
    name[std::strcspn(name, "\n")] = '\0';
    return name;
}

bool IsLive(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

void NoteProblem(const std::string& node, const std::string& reason) {
    std::lock_guard<std::mutex> lock(g_announcedLock);
    g_problems[node] = reason;
}

// Names the holder of a node once per node, whoever it turns out to be (a
// lock let go during the lookup leaves no holder to name), on standard error
// and in the log; pid 0 when the holder is not known. The reason is kept
// for --check's verdict at every call.
void NameHolder(const char* path, long pid, const char* how) {
    const std::string node = PlainNode(path);
    const std::string name = pid > 0 ? CommandName(pid) : std::string();
    char reason[256];
    if (pid > 0) {
        std::snprintf(reason, sizeof reason, "%s is in use by process %ld (%s, %s)", node.c_str(),
                      pid, name.c_str(), how);
    } else {
        std::snprintf(reason, sizeof reason, "%s is in use by another program (%s)", node.c_str(),
                      how);
    }
    NoteProblem(node, reason);
    {
        std::lock_guard<std::mutex> lock(g_announcedLock);
        if (!g_announced.insert(node).second)
            return;
    }
    // "The port ", the reason (it begins with the node), then the remedy.
    char text[512];
    std::snprintf(text, sizeof text,
                  "The port %s: close it, or stop it, and start the update again.\n", reason);
    std::fputs(text, stderr);
    std::fflush(stderr);
    Log(text);
}

// The process holding a flock on the file of fd, from /proc/locks; 0 when
// none is listed.
long FlockHolder(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return 0;
    FILE* f = std::fopen("/proc/locks", "re");
    if (f == nullptr)
        return 0;
    char line[256];
    long holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, f) != nullptr) {
        char kind[16] = {}, mode[16] = {}, access[16] = {};
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        // "1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF"; waiters ("1: -> ...") do not parse.
        if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &pid, &major,
                        &minor, &inode) != 7)
            continue;
        if (std::strcmp(kind, "FLOCK") == 0 && major == major(st.st_dev) &&
            minor == minor(st.st_dev) && inode == st.st_ino && pid != getpid())
            holder = pid;
    }
    std::fclose(f);
    return holder;
}

// A process other than ours with the node open, found through /proc/*/fd; 0
// when none can be seen.
long OpenerOf(const char* path) {
    char target[kPathSize];
    if (realpath(path, target) == nullptr)
        return 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    long found = 0;
    while (found == 0) {
        struct dirent* entry = readdir(proc);
        if (entry == nullptr)
            break;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == getpid())
            continue;
        char fdDir[64];
        std::snprintf(fdDir, sizeof fdDir, "/proc/%ld/fd", pid);
        DIR* fds = opendir(fdDir);
        if (fds == nullptr)
            continue;
        while (struct dirent* fdEntry = readdir(fds)) {
            char link[384];
            char points[kPathSize];
            std::snprintf(link, sizeof link, "%s/%s", fdDir, fdEntry->d_name);
            const ssize_t n = readlink(link, points, sizeof points - 1);
            if (n <= 0)
                continue;
            points[n] = '\0';
            if (std::strcmp(points, target) == 0) {
                found = pid;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

}  // namespace

long LockFilePid(const char* data, size_t length) {
    if (data == nullptr || length == 0)
        return 0;
    // Text never holds a NUL; a binary id of a live process always does (its
    // high byte is 0).
    if (length == sizeof(int32_t) && std::memchr(data, '\0', length) != nullptr) {
        // The old binary form: the id in the host's byte order, 4 bytes.
        int32_t binary = 0;
        std::memcpy(&binary, data, sizeof binary);
        return binary > 0 ? binary : 0;
    }
    size_t at = 0;
    while (at < length && (data[at] == ' ' || data[at] == '\t' || data[at] == '\n'))
        ++at;
    long pid = 0;
    size_t digits = 0;
    for (; at < length && data[at] >= '0' && data[at] <= '9'; ++at, ++digits) {
        if (digits == 10)
            return 0;  // more digits than a process id has
        pid = pid * 10 + (data[at] - '0');
    }
    // Whatever follows the number (the program's and the user's names, a
    // line feed) does not matter.
    return pid <= INT32_MAX ? pid : 0;
}

bool LockFileHeldByOther(const char* path) {
    const char* slash = std::strrchr(path, '/');
    char lockPath[kPathSize];
    char rooted[kPathSize];
    std::snprintf(lockPath, sizeof lockPath, "/run/lock/LCK..%s",
                  slash != nullptr ? slash + 1 : path);
    if (!RootedPath(lockPath, rooted, sizeof rooted))
        return false;
    FILE* f = std::fopen(rooted, "re");
    if (f == nullptr)
        return false;
    char data[64];
    const size_t length = std::fread(data, 1, sizeof data, f);
    std::fclose(f);
    const long pid = LockFilePid(data, length);
    // No id, our own or a process that is gone: a stale file.
    if (pid == getpid() || !IsLive(pid))
        return false;
    char text[kPathSize + 64];
    std::snprintf(text, sizeof text, "CSerialPort::Open %s: locked by %s\n",
                  PlainNode(path).c_str(), lockPath);
    Log(text);
    NameHolder(path, pid, "lock file");
    return true;
}

bool ClaimPort(int fd, const char* path, bool* exclusiveSet) {
    *exclusiveSet = false;
    char text[kPathSize];
    // Freshly opened, the node can only be in exclusive mode through another
    // process (root may open such a node): it is that process's, and its
    // flag stays as it is.
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        std::snprintf(text, sizeof text, "CSerialPort::Open %s: in exclusive mode\n",
                      PlainNode(path).c_str());
        Log(text);
        NameHolder(path, OpenerOf(path), "exclusive mode");
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        std::snprintf(text, sizeof text, "CSerialPort::Open %s: lock: %s\n",
                      PlainNode(path).c_str(), std::strerror(error));
        Log(text);
        if (error == EWOULDBLOCK) {
            NameHolder(path, FlockHolder(fd), "locked");
            return false;
        }
        // A file system without locks does not stop the update.
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        std::snprintf(text, sizeof text, "CSerialPort::Open %s: exclusive mode: %s\n",
                      PlainNode(path).c_str(), std::strerror(errno));
        Log(text);
    } else {
        *exclusiveSet = true;
    }
    NoteProblem(PlainNode(path), "");
    return true;
}

void ReleasePort(int fd, bool exclusiveSet) {
    if (exclusiveSet)
        ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
}

std::string PortOpenProblem(const char* node) {
    std::lock_guard<std::mutex> lock(g_announcedLock);
    const auto found = g_problems.find(node != nullptr ? node : "");
    return found != g_problems.end() ? found->second : std::string();
}

void ReportOpenFailure(const char* path, int error) {
    const std::string node = PlainNode(path);
    char text[kPathSize];
    std::snprintf(text, sizeof text, "CSerialPort::Open %s: %s\n", node.c_str(),
                  std::strerror(error));
    Log(text);
    if (error == EBUSY) {
        NameHolder(path, OpenerOf(path), "exclusive mode");
        return;
    }
    if (error == ENOENT)
        NoteProblem(node, node + " does not exist");
    else if (error == EACCES || error == EPERM)
        NoteProblem(node, "no permission to open " + node);
    else
        NoteProblem(node, node + " cannot be opened: " + std::strerror(error));
    if (error != EACCES && error != EPERM)
        return;
    {
        std::lock_guard<std::mutex> lock(g_announcedLock);
        if (g_permissionTold)
            return;
        g_permissionTold = true;
    }
    std::snprintf(text, sizeof text,
                  "Cannot open %s: %s. Run as root, or add the user to the group that owns the "
                  "port (ls -l %s).\n",
                  node.c_str(), std::strerror(error), node.c_str());
    std::fputs(text, stderr);
    std::fflush(stderr);
    std::fputs(text, stdout);
    std::fflush(stdout);
    Log(text);
}
