#include "RunPhases.h"

#include <chrono>
#include <mutex>

#include "StatusChannel.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_lock;
std::vector<SPhaseTime> g_done;
std::string g_current;
Clock::time_point g_since;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void EndLocked() {
    if (g_current.empty())
        return;
    g_done.push_back({g_current, SecondsSince(g_since)});
    g_current.clear();
}

}  // namespace

void BeginPhase(const char* name) {
    std::lock_guard<std::mutex> hold(g_lock);
    EndLocked();
    g_current = name;
    g_since = Clock::now();
    SendStatus(std::string("phase ") + name);
}

void EndPhase() {
    std::lock_guard<std::mutex> hold(g_lock);
    EndLocked();
}

std::vector<SPhaseTime> PhaseTimes() {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<SPhaseTime> all = g_done;
    if (!g_current.empty())
        all.push_back({g_current, SecondsSince(g_since)});
    return all;
}
