// Whether the modem is being written now: from right before the first erase
// until the boot loader has acknowledged its reset (or the download gives up
// on it). A half-written modem may not start again, so while the flag is set
// neither an interruption nor a stop request ends the run. The download sets
// it; the engine's pauses and the interruption handler read it.
#pragma once

#include <atomic>
#include <functional>

// Set by the download while the device is being written.
extern std::atomic<bool> g_bWritingDevice;

// Sets g_bWritingDevice under the lock an interruption takes for its
// decision, right before the first erase goes out: an interruption either
// ends the run before that erase or finds the write under way.
void BeginWritingDevice();

// Runs endRun under that lock when the device is not being written and
// returns true; returns false without running it while the device is being
// written. endRun may end the process: the lock is then held until the
// process is gone, so no write can begin behind it.
bool EndRunUnlessWriting(const std::function<void()>& endRun);
