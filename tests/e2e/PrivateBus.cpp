#include "PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

#include "E2eSupport.h"

extern char** environ;

namespace e2e {

namespace {

// Everything a client may do: own any name, call and hear anyone.
const char kBusConfig[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& x : extra)
            replaced = replaced || entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& t : texts)
        pointers.push_back(&t[0]);
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

LineProcess::~LineProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (m_fd >= 0)
        close(m_fd);
}

bool LineProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    std::vector<std::string> args = argv, environment = Environment(env);
    std::vector<char*> argp = Pointers(args), envp = Pointers(environment);
    int fds[2];
    if (m_pid > 0 || pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    m_pid = pid;
    m_fd = fds[0];
    return true;
}

bool LineProcess::HasLine(const std::string& text) const {
    for (const std::string& line : m_lines) {
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
}

bool LineProcess::WaitForLine(const std::string& text, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!HasLine(text)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p = {m_fd, POLLIN, 0};
        if (m_fd < 0 || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return HasLine(text);
        char buffer[4096];
        const ssize_t n = read(m_fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;  // the process ended
        m_partial.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = m_partial.find('\n')) != std::string::npos;) {
            m_lines.push_back(m_partial.substr(0, end));
            m_partial.erase(0, end + 1);
        }
    }
    return true;
}

bool PrivateBus::Start(const std::string& dir, std::string* error) {
    std::string config = kBusConfig;
    config.replace(config.find("@SOCKET@"), 8, dir + "/system_bus_socket");
    const std::string configPath = dir + "/bus.conf";
    if (!WriteFile(configPath, config) ||
        !m_daemon.Start({FP_DBUS_DAEMON, "--config-file=" + configPath, "--nofork", "--nopidfile",
                         "--print-address"},
                        {}) ||
        !m_daemon.WaitForLine("unix:", 10000)) {
        *error = "dbus-daemon (" FP_DBUS_DAEMON ") did not start";
        return false;
    }
    m_address = m_daemon.Lines().front();
    return true;
}

bool FakeModemManager::Start(const std::string& address, const std::vector<std::string>& args,
                             std::string* error) {
    std::vector<std::string> argv = {std::string(FP_BIN_DIR) + "/fakemm"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!m_process.Start(argv, {"DBUS_SYSTEM_BUS_ADDRESS=" + address}) ||
        !m_process.WaitForLine("ready", 10000)) {
        *error = "fakemm did not start";
        return false;
    }
    return true;
}

std::vector<BusEvent> FakeModemManager::Events() const {
    std::vector<BusEvent> events;
    for (const std::string& line : m_process.Lines()) {
        std::istringstream in(line);
        BusEvent e;
        std::string inhibit;
        if (!(in >> e.seconds >> e.client >> e.what))
            continue;  // "ready"
        in >> e.uid >> inhibit;
        e.inhibit = inhibit == "true";
        events.push_back(e);
    }
    return events;
}

}  // namespace e2e
