#include "DeviceWriting.h"

#include <mutex>

std::atomic<bool> g_bWritingDevice{false};

namespace {

// Taken for an interruption's decision, and held by one that ends the run
// until the process is gone; the download takes it to start writing.
std::mutex g_decision;

}  // namespace

void BeginWritingDevice() {
    std::lock_guard<std::mutex> decide(g_decision);
    g_bWritingDevice = true;
}

bool EndRunUnlessWriting(const std::function<void()>& endRun) {
    std::lock_guard<std::mutex> decide(g_decision);
    if (g_bWritingDevice)
        return false;
    endRun();
    return true;
}
