#include "Interruption.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <utility>

#include "ConsoleScreens.h"
#include "DeviceWriting.h"
#include "Function.h"
#include "ProgramFlow.h"
#include "SessionTrace.h"
#include "SingleInstance.h"

namespace {

// SIGUSR1 is used only to end the watching thread.
constexpr int kStopSignal = SIGUSR1;

pthread_t g_watcher;
bool g_watching = false;
std::atomic<bool> g_stopping{false};
std::function<void(int)> g_endAction;

sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, kStopSignal);
    return set;
}

[[noreturn]] void EndInterruptedRun(int sig) {
    std::printf("\nThe update was interrupted (signal %d)!\n", sig);
    std::fflush(stdout);
    char text[64];
    std::snprintf(text, sizeof text, "Interrupted by signal %d.\n", sig);
    Log(text);
    if (iState != Finished)
        WriteResult("FALSE");
    DeleteFilses();
    EndListener();
    if (g_endAction)
        g_endAction(sig);
    // _exit skips every destructor: the trace's last lines go out here.
    SessionTrace().Flush();
    _exit(128 + sig);
}

void* Watch(void*) {
    const sigset_t set = WatchedSignals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            continue;
        if (g_stopping)
            return nullptr;
        if (sig == kStopSignal)
            continue;
        // An interruption that ends the run does not come back from here.
        EndRunUnlessWriting([sig] { EndInterruptedRun(sig); });
        std::printf(
            "\nThe modem is being written: the update goes on and will finish by itself.\n");
        std::fflush(stdout);
        Log("Interruption while the modem is being written: the update goes on.\n");
    }
}

}  // namespace

void BlockInterruptions() {
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void SetInterruptedEndAction(std::function<void(int)> action) {
    g_endAction = std::move(action);
}

bool StartInterruptionWatch() {
    if (g_watching)
        return true;
    g_stopping = false;
    g_watching = pthread_create(&g_watcher, nullptr, Watch, nullptr) == 0;
    return g_watching;
}

void StopInterruptionWatch() {
    if (!g_watching)
        return;
    g_stopping = true;
    pthread_kill(g_watcher, kStopSignal);
    pthread_join(g_watcher, nullptr);
    g_watching = false;
}

bool InterruptionEndsTheRun() {
    return !g_bWritingDevice;
}
