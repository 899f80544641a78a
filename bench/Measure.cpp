// bench_measure OUT COMMAND [ARG...]: runs COMMAND and writes one line to OUT:
// the wall seconds, the user and system CPU seconds of the command and of
// the processes it started and waited for, the peak resident set of the
// command's own process in KiB (VmHWM, read when it exits), its exit status,
// and the user and system CPU seconds of the command's own process alone. The command is traced only to be stopped once at its exit, before
// its memory is released.
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "BenchLink.h"

namespace {

long PeakResidentKiB(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* status = std::fopen(path, "r");
    if (status == nullptr)
        return -1;
    long kib = -1;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    }
    std::fclose(status);
    return kib;
}

// The user and system CPU seconds of pid's own threads, without its
// children's; false when /proc cannot tell.
bool OwnCpuSeconds(pid_t pid, double* user, double* system) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* stat = std::fopen(path, "r");
    if (stat == nullptr)
        return false;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    // The fields after the command name in parentheses start with the
    // state (field 3); utime and stime are fields 14 and 15, in clock ticks.
    const char* rest = read ? std::strrchr(line, ')') : nullptr;
    unsigned long ticksUser = 0, ticksSystem = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ticksUser,
                    &ticksSystem) != 2)
        return false;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    *user = static_cast<double>(ticksUser) / tick;
    *system = static_cast<double>(ticksSystem) / tick;
    return true;
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_measure OUT COMMAND [ARG...]\n");
        return 2;
    }
    const bench::Clock::time_point start = bench::Clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("bench_measure: fork");
        return 1;
    }
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execvp(argv[2], argv + 2);
        std::perror("bench_measure: exec");
        _exit(127);
    }
    long peak = -1;
    double ownUser = -1, ownSystem = -1;
    int status = 0;
    rusage usage{};
    bool first = true;
    for (;;) {
        if (wait4(pid, &status, 0, &usage) < 0) {
            std::perror("bench_measure: wait4");
            return 1;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
        if (!WIFSTOPPED(status))
            continue;
        int deliver = WSTOPSIG(status);
        if (first && deliver == SIGTRAP) {
            // The stop after exec: from here on only the exit stops it.
            first = false;
            ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                   reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
            deliver = 0;
        } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            peak = PeakResidentKiB(pid);
            OwnCpuSeconds(pid, &ownUser, &ownSystem);
            deliver = 0;
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    const double wall = bench::Seconds(bench::Clock::now() - start);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror("bench_measure: output");
        return 1;
    }
    std::fprintf(out, "%.3f %.3f %.3f %ld %d %.3f %.3f\n", wall, Seconds(usage.ru_utime),
                 Seconds(usage.ru_stime), peak, code, ownUser, ownSystem);
    std::fclose(out);
    return 0;
}
