// A system bus of the tests' own (dbus-daemon on a socket in a temporary
// directory) and the fake ModemManager (fakemm) on it, whose recorded events
// the tests read as they arrive.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

// A helper process whose standard output the test reads line by line. The
// destructor ends it (SIGTERM to its pid) and reaps it.
class LineProcess {
public:
    LineProcess() = default;
    ~LineProcess();
    LineProcess(const LineProcess&) = delete;
    LineProcess& operator=(const LineProcess&) = delete;

    // argv[0] is the program's path; env entries NAME=VALUE replace or add.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env);
    // Reads until a line contains text or timeoutMs passed (sleeping in
    // poll); true when such a line has been read, now or before.
    bool WaitForLine(const std::string& text, int timeoutMs);
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    bool HasLine(const std::string& text) const;

    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
};

// dbus-daemon with a permissive configuration, listening in dir.
class PrivateBus {
public:
    bool Start(const std::string& dir, std::string* error);
    const std::string& Address() const { return m_address; }

private:
    LineProcess m_daemon;
    std::string m_address;
};

// One event the fake ModemManager recorded.
struct BusEvent {
    double seconds = 0;  // CLOCK_MONOTONIC, as std::chrono::steady_clock
    std::string client;  // the caller's unique name
    std::string what;    // GetManagedObjects, InhibitDevice or left
    std::string uid;     // InhibitDevice only
    bool inhibit = false;
};

// The fake on the bus at address; args as fakemm takes them.
class FakeModemManager {
public:
    bool Start(const std::string& address, const std::vector<std::string>& args,
               std::string* error);
    // Waits until the fake has seen a client leave the bus.
    bool WaitUntilClientLeft(int timeoutMs) { return m_process.WaitForLine(" left", timeoutMs); }
    std::vector<BusEvent> Events() const;

private:
    LineProcess m_process;
};

}  // namespace e2e
