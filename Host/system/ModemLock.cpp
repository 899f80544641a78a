#include "ModemLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "TestSeams.h"

namespace {

const char kLockDir[] = "/run/lock";
constexpr size_t kPathSize = 1024;

// The rooted path of an unprefixed one; false when it does not fit.
bool Rooted(const std::string& path, char* out) {
    return RootedPath(path.c_str(), out, kPathSize);
}

}  // namespace

ModemLock::~ModemLock() {
    Release();
}

std::string ModemLock::FileFor(const std::string& portPath) {
    return std::string(kLockDir) + "/flashpilot-usb-" + portPath + ".lock";
}

void ModemLock::Release() {
    if (m_fd >= 0)
        close(m_fd);  // closing the only descriptor drops the flock
    m_fd = -1;
    m_path.clear();
}

bool ModemLock::HeldElsewhere(const std::string& portPath) const {
    if (portPath == m_path)
        return false;
    char file[kPathSize];
    if (!Rooted(FileFor(portPath), file))
        return false;
    const int fd = open(file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;  // no run has locked it since boot
    // A shared lock is refused only while some run holds the exclusive one.
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // drops the shared lock, if taken
    return held;
}

std::string ModemLock::AnyHeldElsewhere() const {
    char dir[kPathSize];
    DIR* d = Rooted(kLockDir, dir) ? opendir(dir) : nullptr;
    if (d == nullptr)
        return std::string();
    const std::string prefix = "flashpilot-usb-", suffix = ".lock";
    std::string found;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() <= prefix.size() + suffix.size() ||
            name.compare(0, prefix.size(), prefix) ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix))
            continue;
        const std::string path =
            name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (HeldElsewhere(path)) {
            found = path;
            break;
        }
    }
    closedir(d);
    return found;
}

ModemLock::Result ModemLock::Take(const std::string& portPath, std::string* why) {
    Release();
    char dir[kPathSize], file[kPathSize];
    if (!Rooted(kLockDir, dir) || !Rooted(FileFor(portPath), file)) {
        *why = "the lock file's path is too long";
        return Result::kFailed;
    }
    // Under a test root the directory and its parent may be missing.
    const std::string parent(dir, std::strrchr(dir, '/') - dir);
    if ((mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) ||
        (mkdir(dir, 0755) != 0 && errno != EEXIST)) {
        *why = std::string(dir) + ": " + std::strerror(errno);
        return Result::kFailed;
    }
    const int fd = open(file, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = std::string(file) + ": " + std::strerror(errno);
        return Result::kFailed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK)
            return Result::kBusy;
        *why = std::string(file) + ": " + std::strerror(error);
        return Result::kFailed;
    }
    m_fd = fd;
    m_path = portPath;
    return Result::kTaken;
}
