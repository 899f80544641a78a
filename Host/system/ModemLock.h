// One run per modem: an flock on a lock file named after the modem's USB
// port path, /run/lock/flashpilot-usb-<path>.lock, held until the process
// ends. Runs for different modems go ahead side by side; a second run for the
// same modem finds the lock taken.
#pragma once

#include <string>

class ModemLock {
public:
    enum class Result {
        kTaken,   // this object holds the modem's lock
        kBusy,    // another run holds it
        kFailed,  // the lock file cannot be opened or locked; *why says why
    };

    ModemLock() = default;
    ~ModemLock();  // releases the lock
    ModemLock(const ModemLock&) = delete;
    ModemLock& operator=(const ModemLock&) = delete;

    // Takes the lock of the modem at portPath (a USB port path, which is a
    // safe file name part). The lock directory is created when missing; the
    // lock file is never opened through a symbolic link. A lock already held
    // is released first.
    Result Take(const std::string& portPath, std::string* why);
    void Release();
    bool Held() const { return m_fd >= 0; }
    // The port path whose lock this object holds; empty when none.
    const std::string& Path() const { return m_path; }

    // Whether another run (any lock but this object's) holds the lock of
    // the modem at portPath. Creates no file.
    bool HeldElsewhere(const std::string& portPath) const;
    // The port path of a modem another run holds, such as one restarting
    // in that run's update; empty when there is none.
    std::string AnyHeldElsewhere() const;

    // The lock file of the modem at portPath, unprefixed.
    static std::string FileFor(const std::string& portPath);

private:
    int m_fd = -1;
    std::string m_path;
};
