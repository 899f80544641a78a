#include "AllModems.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

#include "Function.h"
#include "ModemLock.h"
#include "OptionRun.h"
#include "PortDiscovery.h"
#include "RackProgress.h"
#include "RunReport.h"
#include "SingleInstance.h"
#include "StatusChannel.h"
#include "TestSeams.h"

namespace {

const char kChildReport[] = "FlashPilot-Report.json";
const char kChildConsole[] = "FlashPilot-Console.log";

// One modem's run as this process follows it.
struct SChild {
    SRackModem shown;
    pid_t pid = -1;
    int statusFd = -1;           // read end of its status pipe; -1 once it is closed
    std::string pending;         // a status line not yet ended
    int exitStatus = -1;         // -1 while it runs or when it did not exit
    bool heldElsewhere = false;  // another run updates this modem: not started
};

const char kHeldElsewhereText[] = "the modem is being updated by another FlashPilot";

bool g_terminal = false;
bool g_checking = false;  // --all --check

std::string TimeOfDay() {
    const std::time_t now = std::time(nullptr);
    struct tm local;
    char text[16] = "??:??:??";
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// The modems' lines: on a terminal all of them, redrawn in place; otherwise
// the line of the one that changed.
void Draw(const std::vector<SChild>& children, const SChild* changed, bool first = false) {
    if (!g_terminal) {
        if (changed != nullptr)
            std::fputs(EventLine(TimeOfDay(), changed->shown).c_str(), stdout);
        std::fflush(stdout);
        return;
    }
    size_t width = 0;
    for (const SChild& c : children)
        width = std::max(width, c.shown.portPath.size());
    if (!first)
        std::printf("\x1b[%zuA", children.size());
    for (const SChild& c : children)
        std::printf("\r\x1b[K%s\n", ProgressLine(c.shown, width).c_str());
    std::fflush(stdout);
}

// The arguments of the run for the modem at path.
std::vector<std::string> ChildArguments(const char* self, const ProgramOptions& options,
                                        const std::string& path) {
    std::vector<std::string> args = {self, "--usb-port", path, "--report",
                                     path + "/" + kChildReport};
    if (options.mode == ProgramOptions::Mode::kCheck)
        args.push_back("--check");
    if (options.skipIfCurrent)
        args.push_back("--skip-if-current");
    if (!options.tracePath.empty()) {
        args.push_back("--trace");
        args.push_back(TraceFileFor(options.tracePath, path));
    }
    return args;
}

// Starts the run for one modem, its output into its console file, its status
// lines into a pipe; false when it cannot be started.
bool StartChild(const std::vector<std::string>& args, const sigset_t& oldMask, SChild* child) {
    const std::string path = child->shown.portPath;
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    FILE* console = OpenForWriting((path + "/" + kChildConsole).c_str(), "w");
    int fds[2];
    if (console == nullptr || pipe2(fds, O_CLOEXEC) != 0) {
        if (console != nullptr)
            std::fclose(console);
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // A session of its own, without a terminal that could stop it: an
        // interruption reaches it through this process only, once.
        setsid();
        const int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0)
            dup2(nothing, STDIN_FILENO);
        dup2(fileno(console), STDOUT_FILENO);
        dup2(fileno(console), STDERR_FILENO);
        const int statusFd = dup(fds[1]);  // without close-on-exec
        char number[16];
        std::snprintf(number, sizeof number, "%d", statusFd);
        setenv(kStatusFdVariable, number, 1);
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    std::fclose(console);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    child->pid = pid;
    child->statusFd = fds[0];
    return true;
}

void Collect(bool checking, SChild* child);

// Starts the run for one modem unless another run holds the modem: that one
// ends at once as a failure, and nothing of its directory is touched.
void Start(const char* self, const ProgramOptions& options, const sigset_t& oldMask,
           SChild* child) {
    const std::string& path = child->shown.portPath;
    if (ModemLock().HeldElsewhere(path)) {
        std::printf("The modem at USB port %s is being updated by another FlashPilot!\n",
                    path.c_str());
        child->heldElsewhere = true;
        child->shown.result = g_checking ? "not-ready" : "FALSE";
        return;
    }
    // An earlier run's report must not stand for a run that writes none.
    unlink((path + "/" + kChildReport).c_str());
    if (!StartChild(ChildArguments(self, options, path), oldMask, child))
        std::printf("The run for the modem at USB port %s cannot be started!\n", path.c_str());
}

// Reads what a child's status pipe holds; applies whole lines.
void ReadStatus(std::vector<SChild>* children, SChild* child) {
    char buffer[512];
    const ssize_t n = read(child->statusFd, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            close(child->statusFd);
            child->statusFd = -1;
        }
        return;
    }
    child->pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = child->pending.find('\n')) != std::string::npos;) {
        const std::string line = child->pending.substr(0, end);
        child->pending.erase(0, end + 1);
        const bool changed = ApplyStatusLine(&child->shown, line);
        if ((changed || g_terminal) && child->shown.result.empty())
            Draw(*children, child);
    }
}

// Reaps the modems' runs that ended (never the guard's listener child).
void Reap(std::vector<SChild>* children) {
    for (SChild& c : *children) {
        int status = 0;
        if (c.pid <= 0 || waitpid(c.pid, &status, WNOHANG) != c.pid)
            continue;
        c.pid = -1;
        c.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        Collect(g_checking, &c);
        Draw(*children, &c);
    }
}

// Waits for every child, passing interruptions on to those still running.
void Follow(std::vector<SChild>* children, int signals) {
    for (;;) {
        std::vector<pollfd> fds = {{signals, POLLIN, 0}};
        std::vector<SChild*> owners = {nullptr};
        bool running = false;
        for (SChild& c : *children) {
            running = running || c.pid > 0;
            if (c.statusFd >= 0) {
                fds.push_back({c.statusFd, POLLIN, 0});
                owners.push_back(&c);
            }
        }
        if (!running && fds.size() == 1)
            return;
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents != 0)
                ReadStatus(children, owners[i]);
        }
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        signalfd_siginfo info;
        if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            continue;
        if (info.ssi_signo == SIGCHLD) {
            Reap(children);
            continue;
        }
        // Each run follows its own rules: it never stops while its modem is
        // being written.
        for (const SChild& c : *children) {
            if (c.pid > 0)
                kill(c.pid, static_cast<int>(info.ssi_signo));
        }
        std::printf("Signal %u passed on to every modem's run.\n", info.ssi_signo);
        if (g_terminal)
            Draw(*children, nullptr, true);  // the lines anew, below the message
        std::fflush(stdout);
    }
}

// The whole file at path; empty when it cannot be read.
std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

// What a modem's run left behind: its result word, or for --check its
// verdict; its versions and error code from its report.
void Collect(bool checking, SChild* child) {
    const std::string path = child->shown.portPath;
    if (checking) {
        child->shown.result = child->exitStatus == kCheckReady     ? "ready"
                              : child->exitStatus == kCheckCurrent ? "current"
                                                                   : "not-ready";
    } else {
        // The result file holds the word, then zero bytes. Only a run that
        // ended normally wrote it: a refused or killed one may have left an
        // earlier run's word there.
        const std::string word = ReadText(path + "/FlashPilot-Result");
        child->shown.result =
            child->exitStatus == 0 && word.c_str() == std::string("TRUE") ? "TRUE" : "FALSE";
    }
    if (child->exitStatus == kGuardStatus)
        return;  // the report there is another run's
    const nlohmann::json report =
        nlohmann::json::parse(ReadText(path + "/" + kChildReport), nullptr, false);
    if (!report.is_object())
        return;
    const nlohmann::json device = report.value("device", nlohmann::json::object());
    if (device.is_object()) {
        child->shown.versionBefore = device.value("version_before", nlohmann::json()).is_string()
                                         ? device["version_before"].get<std::string>()
                                         : "";
        child->shown.versionAfter = device.value("version_after", nlohmann::json()).is_string()
                                        ? device["version_after"].get<std::string>()
                                        : "";
    }
    const nlohmann::json code = report.value("error_code", nlohmann::json());
    child->shown.errorCode = code.is_number_integer() ? code.get<int>() : -1;
}

// The overall result, the exit status and the verdict lines.
int Conclude(bool checking, const std::vector<SChild>& children, std::string* result) {
    bool allTrue = true, allCurrent = true, anyNotReady = false;
    for (const SChild& c : children) {
        allTrue = allTrue && c.shown.result == "TRUE";
        allCurrent = allCurrent && c.shown.result == "current";
        anyNotReady = anyNotReady || c.shown.result == "not-ready";
        if (checking)
            std::printf("%s: %s\n", c.shown.portPath.c_str(), c.shown.result.c_str());
    }
    if (!checking) {
        *result = allTrue ? "success" : "failure";
        WriteResult(allTrue ? "TRUE" : "FALSE");
        return 0;
    }
    *result = anyNotReady ? "not-ready" : allCurrent ? "current" : "ready";
    return anyNotReady ? kCheckNotReady : allCurrent ? kCheckCurrent : kCheckReady;
}

// Runs one process per modem found, follows them, and concludes.
int RunRack(int argc, char** argv, const ProgramOptions& options) {
    const bool checking = options.mode == ProgramOptions::Mode::kCheck;
    g_checking = checking;
    if (getcwd(g_ResourcesPath, sizeof g_ResourcesPath - 1) == nullptr) {
        std::printf("Get current path failed!\n");
        return checking ? kCheckNotReady : -1;
    }
    std::strcat(g_ResourcesPath, "/");
    StartRunReport(options.reportPath);
    WriteResult("Updating");

    std::vector<SChild> children;
    for (const SModemListing& modem : ListModems()) {
        children.emplace_back();
        children.back().shown.portPath = modem.portPath;
    }
    if (children.empty()) {
        std::printf("No modem found!\n");
        WriteResult("FALSE");
        WriteRackReport(checking ? "not-ready" : "failure", {});
        return checking ? kCheckNotReady : 1;
    }

    // Interruptions and the children's ends arrive through one descriptor.
    sigset_t watched, oldMask;
    sigemptyset(&watched);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&watched, sig);
    sigprocmask(SIG_BLOCK, &watched, &oldMask);
    const int signals = signalfd(-1, &watched, SFD_CLOEXEC);
    g_terminal = isatty(STDOUT_FILENO) != 0;
    const char* self = argc > 0 && argv[0] != nullptr ? argv[0] : "flashpilot";
    for (SChild& c : children)
        Start(self, options, oldMask, &c);
    Draw(children, nullptr, true);
    if (signals >= 0)
        Follow(&children, signals);
    for (SChild& c : children) {
        if (c.shown.result.empty())
            Collect(checking, &c);  // never started, or not followed
    }
    std::vector<SRackModem> shown;
    for (const SChild& c : children)
        shown.push_back(c.shown);
    std::fputs(ResultTable(shown).c_str(), stdout);
    std::string result;
    const int status = Conclude(checking, children, &result);
    std::vector<SRackEntry> entries;
    for (const SChild& c : children) {
        entries.push_back({c.shown.portPath,
                           c.heldElsewhere ? "" : ReadText(c.shown.portPath + "/" + kChildReport),
                           c.heldElsewhere ? kHeldElsewhereText : ""});
    }
    WriteRackReport(result, entries);
    std::fflush(stdout);
    return status;
}

}  // namespace

std::string TraceFileFor(const std::string& file, const std::string& portPath) {
    const size_t slash = file.rfind('/');
    const size_t dot = file.rfind('.');
    const bool extension =
        dot != std::string::npos && dot > (slash == std::string::npos ? 0 : slash + 1);
    if (!extension)
        return file + "-" + portPath;
    return file.substr(0, dot) + "-" + portPath + file.substr(dot);
}

int RunAllModems(int argc, char** argv, const ProgramOptions& options) {
    std::string message;
    if (!TimeScaleIsValid(&message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 2;
    }
    std::fputs(TestSettingsInForce().c_str(), stderr);
    // One --all at a time, and no plain run beside it: their result files
    // are the same. A refused run touches nothing.
    if (!NotReentrant()) {
        std::fputs(kAnotherInstanceText, stdout);
        return kGuardStatus;
    }
    const int status = RunRack(argc, argv, options);
    EndListener();
    return status;
}
